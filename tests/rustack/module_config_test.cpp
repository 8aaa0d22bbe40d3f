// The module configuration file (keys, defaults, warnings, bad values), the
// module parameters of a task with their ranges, and the discovery of the
// service path segments against the stand-in cloud.
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/json.hpp>
#include <gtest/gtest.h>

#include "module_probe.h"

namespace {

namespace sc = kstest::standard_cloud;
using kstest::LogLines;
using kstest::ModuleProbe;

std::string const kPath = kstest::module_config_path;
std::string const kWrongLine = "Error: virtual bool KsModuleRuStack::load_module_config(): wrong definition in the "
                               "config file: /opt/kestrova/etc/ks_module_rustack.conf, line: ";

// Every field, so that a row also fails when a line sets a field it should not.
std::string dump(conf const& c) {
  std::string out;
  auto add = [&out](char const* name, std::string const& value) { out += std::string(name) + "=[" + value + "]\n"; };
  add("url", c.url);
  add("username", c.username);
  add("password", c.password);
  add("admin_name", c.admin_name);
  add("admin_password", c.admin_password);
  add("protocol", c.protocol);
  add("domain", c.domain);
  add("project_id", c.project_id);
  add("vm_name", c.vm_name);
  add("vm_id", c.vm_id);
  add("ca_info", c.ca_info);
  add("enable_ssl", c.enable_ssl ? "true" : "false");
  add("curl_verbose", c.curl_verbose ? "true" : "false");
  add("timeout", std::to_string(c.timeout));
  add("volume_creation_timeout", std::to_string(c.volume_creation_timeout));
  add("snapshot_creation_timeout", std::to_string(c.snapshot_creation_timeout));
  add("volume_attachment_timeout", std::to_string(c.volume_attachment_timeout));
  add("api_version", c.api_version.nova + "/" + c.api_version.cinder + "/" + c.api_version.keystone);
  return out;
}

std::string timeout_warning(std::string const& value) {
  return "Warning: Selected value '" + value + "' for parameter 'timeout ' is out of range [1, 300]\n" +
         "The default value will be used: 5 (seconds)\n";
}

std::string wait_warning(std::string const& value, std::string const& key) {
  return "Warning: Selected value '" + value + "' for parameter '" + key +
         "' is invalid: a time-out must be at least 1\nThe default value will be used: 300 (seconds)\n";
}

// ------------------------------------------------------------ config file

TEST(ModuleConfigFile, Table) {
  KS_REQUIRE_SANDBOX();
  struct Row {
    char const* name;
    std::string text;
    std::function<void(conf&)> expected;  // applied to a default record
    std::string log;                      // every line logged, in order
  };
  std::vector<Row> const rows = {
      {"empty file keeps every default", "", [](conf&) {}, ""},
      {"every key, with comments, empty lines and tabs",
       "# RuStack cloud\n\n"
       "url https://cloud.test:5000/\n"
       "username\tbackup-user\n"
       "password p@ss:word\n"
       "admin_name root-admin\n"
       "admin_password adm pw\n"
       "protocol tcp\n"
       "domain d-1\n"
       "project_id p-1\n"
       "volume_creation_timeout 120\n"
       "snapshot_creation_timeout 90\n"
       "volume_attachment_timeout 60\n"
       "timeout 30\n"
       "kestrova-vm-id 11111111-2222-3333-4444-555555555555\n"
       "ca_info /opt/kestrova/keys/ca.pem\n"
       "enable_ssl yes\n"
       "curl_verbose\n",
       [](conf& c) {
         c.url = "https://cloud.test:5000";
         c.username = "backup-user";
         c.password = "p@ss:word";
         c.admin_name = "root-admin";
         c.admin_password = "adm pw";
         c.protocol = "tcp";
         c.domain = "d-1";
         c.project_id = "p-1";
         c.volume_creation_timeout = 120;
         c.snapshot_creation_timeout = 90;
         c.volume_attachment_timeout = 60;
         c.timeout = 30;
         c.vm_id = c.vm_name = "11111111-2222-3333-4444-555555555555";
         c.ca_info = "/opt/kestrova/keys/ca.pem";
         c.enable_ssl = true;
         c.curl_verbose = true;
       },
       ""},
      {"one trailing slash of the url is dropped, not two", "url http://a.test//\n",
       [](conf& c) { c.url = "http://a.test/"; }, ""},
      {"blanks and tabs around and inside values shrink to one blank",
       "   username \t  alice   \t\n\tpassword  two   blanks\t\tinside \r\nurl http://crlf.test/\r\n",
       [](conf& c) {
         c.username = "alice";
         c.password = "two blanks inside";
         c.url = "http://crlf.test";
       },
       ""},
      {"unknown keys and keys without value are errors counted with comments and empty lines",
       "# first\n\nuser_name bob\nusername carol\ndomain\n  \n#x\nURL http://upper.test\n",
       [](conf& c) { c.username = "carol"; }, kWrongLine + "3\n" + kWrongLine + "5\n" + kWrongLine + "8\n"},
      {"repeated keys: the last one wins", "username a\nusername b\ntimeout 7\ntimeout 8\n",
       [](conf& c) {
         c.username = "b";
         c.timeout = 8;
       },
       ""},
      {"timeout 300 is the largest", "timeout 300\n", [](conf& c) { c.timeout = 300; }, ""},
      {"timeout 1 is the smallest", "timeout 1\n", [](conf& c) { c.timeout = 1; }, ""},
      {"timeout 0", "timeout 0\n", [](conf& c) { c.timeout = 5; }, timeout_warning("0")},
      {"timeout 301", "timeout 301\n", [](conf& c) { c.timeout = 5; }, timeout_warning("301")},
      {"timeout -1", "timeout -1\n", [](conf& c) { c.timeout = 5; }, timeout_warning("-1")},
      {"timeout digits before text", "timeout 42s\n", [](conf& c) { c.timeout = 42; }, ""},
      {"cloud waits below 1 fall back to 300",
       "volume_creation_timeout 0\nsnapshot_creation_timeout -5\nvolume_attachment_timeout 1\n",
       [](conf& c) { c.volume_attachment_timeout = 1; },
       wait_warning("0", "volume_creation_timeout") + wait_warning("-5", "snapshot_creation_timeout")},
      {"cloud waits take large values", "volume_creation_timeout 86400\n",
       [](conf& c) { c.volume_creation_timeout = 86400; }, ""},
      {"protocol is compared case-sensitively", "protocol TCP\n", [](conf&) {},
       "Warning: : wrong protocol - \"TCP\" for requests to hypervisor is specified in the config file: " + kPath +
           ", will use default value: ssh\n"},
      {"a wrong protocol is shown quoted and escaped", "protocol tcp\nprotocol a\"b\\c\n", [](conf&) {},
       "Warning: : wrong protocol - \"a\\\"b\\\\c\" for requests to hypervisor is specified in the config file: " +
           kPath + ", will use default value: ssh\n"},
      {"enable_ssl true then on: on changes nothing", "enable_ssl true\nenable_ssl on\n",
       [](conf& c) { c.enable_ssl = true; }, ""},
      {"enable_ssl yes then no", "enable_ssl yes\nenable_ssl no\n", [](conf&) {}, ""},
      {"enable_ssl false after true", "enable_ssl true\nenable_ssl false\n", [](conf&) {}, ""},
      {"curl_verbose followed by false still switches it on", "curl_verbose false\n",
       [](conf& c) { c.curl_verbose = true; }, ""},
      {"kestrova-vm-id names the VM until the cloud gives its name", "kestrova-vm-id vm-7\n",
       [](conf& c) { c.vm_id = c.vm_name = "vm-7"; }, ""},
      {"a value keeps quotes, hashes and colons verbatim", "password \"q\" # not a comment\n",
       [](conf& c) { c.password = "\"q\" # not a comment"; }, ""},
  };
  for (auto const& row : rows) {
    SCOPED_TRACE(row.name);
    kstest::write_module_config(row.text);
    LogLines log;
    ModuleProbe module;
    EXPECT_TRUE(module.load_module_config());
    conf expected;
    row.expected(expected);
    EXPECT_EQ(dump(module.config()), dump(expected));
    EXPECT_EQ(log.lines(), row.log);
  }
}

TEST(ModuleConfigFile, KeysThatDoNotOccurKeepTheirValues) {
  KS_REQUIRE_SANDBOX();
  ModuleProbe module;
  kstest::write_module_config("url http://first.test\ntimeout 30\nprotocol tcp\n");
  ASSERT_TRUE(module.load_module_config());
  kstest::write_module_config("username second\n");
  ASSERT_TRUE(module.load_module_config());
  EXPECT_EQ(module.config().url, "http://first.test");
  EXPECT_EQ(module.config().timeout, 30u);
  EXPECT_EQ(module.config().protocol, "tcp");
  EXPECT_EQ(module.config().username, "second");
}

TEST(ModuleConfigFile, MissingFileFailsAndKeepsTheDefaults) {
  KS_REQUIRE_SANDBOX();
  boost::filesystem::remove(kPath);
  LogLines log;
  ModuleProbe module;
  EXPECT_FALSE(module.load_module_config());
  EXPECT_EQ(dump(module.config()), dump(conf()));
  EXPECT_EQ(log.lines(), "Error: virtual bool KsModuleRuStack::load_module_config(): unable to open config file: " +
                             kPath + "\n");
}

// The conversion's own exception types (run() ends with 13), with a text
// that names the key, the value and the line.
TEST(ModuleConfigFile, NonNumericTimeOutsThrowTheConversionErrorNamingKeyValueAndLine) {
  KS_REQUIRE_SANDBOX();
  struct Row {
    std::string text;
    bool out_of_range;
    std::string what;
  };
  std::string const of = " of " + kPath + ")";
  std::vector<Row> const rows = {
      {"username u\ntimeout abc\n", false, "timeout: 'abc' is not an integer (line 2" + of},
      {"# c\n\nvolume_creation_timeout x\n", false, "volume_creation_timeout: 'x' is not an integer (line 3" + of},
      {"snapshot_creation_timeout -\n", false, "snapshot_creation_timeout: '-' is not an integer (line 1" + of},
      {"username u\nvolume_attachment_timeout 99999999999\n", true,
       "volume_attachment_timeout: '99999999999' is out of the range of an integer (line 2" + of},
      {"timeout -2147483649\n", true, "timeout: '-2147483649' is out of the range of an integer (line 1" + of},
      {"timeout it's\n", false, "timeout: 'it\\'s' is not an integer (line 1" + of},
  };
  for (auto const& row : rows) {
    SCOPED_TRACE(row.text);
    kstest::write_module_config(row.text);
    ModuleProbe module;
    try {
      module.load_module_config();
      ADD_FAILURE() << "no exception";
    } catch (std::out_of_range const& e) {
      EXPECT_TRUE(row.out_of_range);
      EXPECT_EQ(e.what(), row.what);
    } catch (std::invalid_argument const& e) {
      EXPECT_FALSE(row.out_of_range);
      EXPECT_EQ(e.what(), row.what);
    }
  }
  // The conversion reads the leading digits, and the range's ends are numbers.
  kstest::write_module_config("volume_creation_timeout 12abc\ntimeout 2147483647\n");
  ModuleProbe module;
  LogLines log;
  EXPECT_TRUE(module.load_module_config());
  EXPECT_EQ(module.config().volume_creation_timeout, 12u);
  EXPECT_EQ(module.config().timeout, 5u);
}

// ------------------------------------------------------- module parameters

TEST(ModuleParameters, RangesAndDefaults) {
  struct Row {
    std::string params;
    std::string before, after;
    unsigned script_timeout;
    std::string network, fixed_ip;
    unsigned block_size;
    std::string log;
  };
  std::string const uuid = sc::network;
  std::vector<Row> const rows = {
      {"", "", "", 5, "", "", 5, ""},
      {"execution_script_timeout:1,dd_block_size:1", "", "", 1, "", "", 1, ""},
      {"execution_script_timeout:600,dd_block_size:100", "", "", 600, "", "", 100, ""},
      {"execution_script_timeout:0", "", "", 5, "", "", 5,
       "Info: Selected value '0' for parameter 'execution_script_timeout' is out of range [1, 600]\n"
       "Info: The default value will be used: 5 (seconds)\n"},
      {"execution_script_timeout:601", "", "", 5, "", "", 5,
       "Info: Selected value '601' for parameter 'execution_script_timeout' is out of range [1, 600]\n"
       "Info: The default value will be used: 5 (seconds)\n"},
      {"execution_script_timeout:-3", "", "", 5, "", "", 5,
       "Info: Selected value '-3' for parameter 'execution_script_timeout' is out of range [1, 600]\n"
       "Info: The default value will be used: 5 (seconds)\n"},
      {"dd_block_size:0", "", "", 5, "", "", 5,
       "Warning: : Invalid dd_block_size value: 0, using default dd_block_size value:5\n"},
      {"dd_block_size:101", "", "", 5, "", "", 5,
       "Warning: : Invalid dd_block_size value: 101, using default dd_block_size value:5\n"},
      {"dd_block_size: 64", "", "", 5, "", "", 64, ""},
      {"script_before_snapshot:/usr/local/bin/pre.sh,script_after_snapshot:/usr/local/bin/post x.sh", "/usr/local/bin/pre.sh",
       "/usr/local/bin/post x.sh", 5, "", "", 5, ""},
      {"network_uuid:" + uuid + ",fixed_ip:10.10.0.50", "", "", 5, uuid, "10.10.0.50", 5, ""},
      {"fixed_ip:not-an-address", "", "", 5, "", "not-an-address", 5, ""},
  };
  for (auto const& row : rows) {
    SCOPED_TRACE(row.params);
    ModuleProbe module;
    std::vector<std::string> args = {"ks_module_rustack", "-A", "vm"};
    if (!row.params.empty()) {
      args.push_back("-e");
      args.push_back(row.params);
    }
    std::vector<char*> argv;
    for (auto& a : args)
      argv.push_back(&a[0]);
    ASSERT_TRUE(module.init(static_cast<int>(argv.size()), argv.data()));

    LogLines log;
    rustack_module_conf const backup = module.read_backup_parameters();
    rustack_server_parameters const server = module.read_server_parameters();
    module.read_dd_block_size();
    EXPECT_EQ(backup.script_before_snapshot, row.before);
    EXPECT_EQ(backup.script_after_snapshot, row.after);
    EXPECT_EQ(backup.execution_script_timeout, row.script_timeout);
    EXPECT_EQ(server.network_uuid, row.network);
    EXPECT_EQ(server.fixed_ip, row.fixed_ip);
    EXPECT_EQ(module.block_size(), row.block_size);
    EXPECT_EQ(log.lines(), row.log);
  }
}

TEST(ModuleParameters, NonNumericValuesThrowForTheHookToCatch) {
  struct Row {
    char const* params;
    bool script_timeout;  // else dd_block_size
  };
  for (auto const& row : std::vector<Row>{{"execution_script_timeout:abc", true}, {"dd_block_size:MB", false}}) {
    SCOPED_TRACE(row.params);
    ModuleProbe module;
    std::string a0 = "ks_module_rustack", a1 = "-A", a2 = "vm", a3 = "-e", a4 = row.params;
    char* argv[] = {&a0[0], &a1[0], &a2[0], &a3[0], &a4[0]};
    ASSERT_TRUE(module.init(5, argv));
    if (row.script_timeout) {
      EXPECT_THROW(module.read_backup_parameters(), std::invalid_argument);
    } else {
      EXPECT_THROW(module.read_dd_block_size(), std::invalid_argument);
      EXPECT_EQ(module.block_size(), 5u);
    }
  }
}

// ---------------------------------------------------------- API versions

class ApiVersions : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!kstest::in_sandbox())
      GTEST_SKIP() << "needs the sandbox";
    kstest::write_module_config(kstest::standard_module_config(cloud_.base_url()));
    ASSERT_TRUE(module_.load_module_config());
    module_.config().api_version = {"old-n", "old-c", "old-k"};
  }
  std::string segments() {
    auto const& v = module_.config().api_version;
    return v.nova + "/" + v.cinder + "/" + v.keystone;
  }
  kstest::FakeCloud cloud_;
  ModuleProbe module_;
};

TEST_F(ApiVersions, SegmentsOfTheStandardCloudAndTheirInfoLines) {
  {
    LogLines log;
    ASSERT_TRUE(module_.load_api_version(true));
    EXPECT_EQ(segments(), "v2/v3/v3");
    EXPECT_EQ(log.lines(), "Info: Nova-api version: v2.1\nInfo: Cinder version: v3.0\nInfo: Keystone version: v3.14\n");
  }
  LogLines quiet;
  module_.config().api_version = {};
  ASSERT_TRUE(module_.load_api_version(false));
  EXPECT_EQ(segments(), "v2/v3/v3");
  EXPECT_EQ(quiet.lines(), "");
  // Discovery reads the three version documents without a token, the
  // identity one where the identity root redirects.
  boost::json::array const requests = cloud_.request_log();
  std::vector<std::string> paths;
  for (auto const& entry : requests) paths.emplace_back(entry.at("path").as_string());
  std::vector<std::string> const once = {"/nova-api/", "/cinder/", "/keystone/", "/keystone/v3/"};
  std::vector<std::string> twice = once;
  twice.insert(twice.end(), once.begin(), once.end());
  EXPECT_EQ(paths, twice);
  for (auto const& entry : requests) {
    EXPECT_EQ(entry.at("method").as_string(), "GET") << boost::json::serialize(entry);
    EXPECT_TRUE(entry.at("token_scope").is_null()) << boost::json::serialize(entry);
    for (auto const& header : entry.at("headers").as_array())
      EXPECT_NE(header.as_array()[0].as_string(), "X-Auth-Token") << boost::json::serialize(entry);
  }
}

TEST_F(ApiVersions, SegmentIsTheIdUpToItsFirstPoint) {
  struct Row {
    char const* compute;
    char const* volume;
    char const* identity;
    char const* segments;
  };
  for (auto const& row : std::vector<Row>{{"v2.15", "v3.70", "v3", "v2/v3/v3"},
                                          {"v10.2", "v3.0.1", "v3.4", "v10/v3/v3"}}) {
    SCOPED_TRACE(row.segments);
    boost::json::value seed = boost::json::parse(kstest::FakeCloud::standard_seed());
    seed.at("options").as_object()["api_versions"] = {
        {"compute", row.compute}, {"volume", row.volume}, {"identity", row.identity}};
    cloud_.reset(boost::json::serialize(seed));
    ASSERT_TRUE(module_.load_api_version(false));
    EXPECT_EQ(segments(), row.segments);
  }
}

TEST_F(ApiVersions, OddVersionIdsFailClearlyAndChangeNoSegment) {
  struct Row {
    char const* path;  // the version document that answers the odd id
    char const* body;
    char const* service;
    char const* id;
  };
  std::vector<Row> const rows = {
      {"/nova-api/", R"({"versions": [{"id": "2.1", "status": "CURRENT"}]})", "nova-api", "2.1"},
      {"/nova-api/", R"({"versions": [{"id": "v", "status": "CURRENT"}]})", "nova-api", "v"},
      {"/cinder/", R"({"versions": [{"id": "v3x.0", "status": "CURRENT"}]})", "cinder", "v3x.0"},
      {"/keystone/", R"({"version": {"id": ".14", "status": "stable"}})", "keystone", ".14"},
  };
  for (auto const& row : rows) {
    SCOPED_TRACE(row.id);
    cloud_.clear_faults();
    cloud_.add_fault({{"method", "GET"}, {"path", row.path}, {"times", 0}, {"body", boost::json::parse(row.body)}});
    LogLines log;
    EXPECT_FALSE(module_.load_api_version(false));
    EXPECT_EQ(segments(), "old-n/old-c/old-k");
    EXPECT_EQ(log.lines(), std::string("Error: bool KsModuleRuStack::load_api_version(bool): the ") + row.service +
                               " version id \"" + row.id + "\" does not give a service path segment\n");
  }
}

TEST_F(ApiVersions, AFailingServiceIsNamedAndNoSegmentChanges) {
  struct Row {
    char const* path;
    char const* service;
  };
  for (auto const& row : std::vector<Row>{{"/nova-api/", "nova-api"}, {"/cinder/", "cinder"}, {"/keystone/", "keystone"}}) {
    SCOPED_TRACE(row.service);
    cloud_.clear_faults();
    cloud_.add_fault({{"method", "GET"}, {"path", row.path}, {"status", 500}, {"times", 0}});
    LogLines log;
    EXPECT_FALSE(module_.load_api_version(true));
    EXPECT_EQ(segments(), "old-n/old-c/old-k");
    EXPECT_TRUE(log.contains(std::string("Error: bool KsModuleRuStack::load_api_version(bool): unable to work with "
                                         "openstack ") +
                             row.service + " API on current host: " + sc::kestrova_vm + "\n"))
        << log.lines();
    EXPECT_FALSE(log.contains("version: ")) << log.lines();
  }
}

TEST_F(ApiVersions, CloudDown) {
  module_.config().url = kstest::closed_url();
  LogLines log;
  EXPECT_FALSE(module_.load_api_version(true));
  EXPECT_EQ(segments(), "old-n/old-c/old-k");
  EXPECT_TRUE(log.contains("unable to work with openstack nova-api API on current host: ")) << log.lines();
}

}  // namespace
