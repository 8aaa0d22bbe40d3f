// The information operations run through the real program against the
// stand-in cloud (byte-exact standard output, exit codes of the failure
// paths), and the resource checks and the archiving hook against the
// stand-in's inventory.
#include <functional>
#include <string>
#include <vector>

#include <boost/json.hpp>
#include <gtest/gtest.h>

#include "module_probe.h"

namespace {

namespace sc = kstest::standard_cloud;
using kstest::FakeCloud;
using kstest::LogLines;
using kstest::ModuleProbe;

struct ProgramRun {
  int status;
  std::string out, err;
};

// Runs the program with standard output and standard error kept apart; the
// time stamps of log lines are replaced by "[T] ".
ProgramRun run_program(std::vector<std::string> const& args) {
  kstest::TempDir dir;
  std::string command = kstest::sh_quote(KS_MODULE_PROGRAM);
  for (auto const& a : args)
    command += " " + kstest::sh_quote(a);
  command = "(" + command + " >" + kstest::sh_quote((dir / "out").string()) + " 2>" +
            kstest::sh_quote((dir / "err").string()) + ")";
  ProgramRun r;
  r.status = kstest::run(command).status;
  r.out = kstest::without_time_stamps(kstest::read_file(dir / "out"));
  r.err = kstest::without_colours(kstest::without_time_stamps(kstest::read_file(dir / "err")));
  return r;
}

std::string const kVersionLines =
    "Module version: 2.1.0\n"
    "[T] Info: Nova-api version: v2.1\n"
    "[T] Info: Cinder version: v3.0\n"
    "[T] Info: Keystone version: v3.14\n";
std::string const kServerLines =
    std::string(sc::kestrova_vm) + "|kestrova-vm|ACTIVE\n" + sc::web + "|web|ACTIVE\n";
std::string const kRestoreParameters =
    "dd_block_size: unsigned ::Block size for dd operations, Megabytes:\n"
    "network_uuid: UUID :" + std::string(sc::network) + ":UUID of network to use for the new server:\n"
    "fixed_ip: IPv4 ::Fixed IP address to use for the new server:\n";

class InformationOperations : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!kstest::in_sandbox())
      GTEST_SKIP() << "needs the sandbox";
    // Present from the start, so that no run reports it missing.
    kstest::write_file("/opt/kestrova/etc/ks_logger.config",
                       "log_level Info\nlog_file_max_size 1\nlog_file_max_rotate 10\n");
    kstest::write_module_config(kstest::standard_module_config(cloud_.base_url()));
  }
  FakeCloud cloud_;
};

TEST_F(InformationOperations, OutputOnTheStandardCloud) {
  struct Row {
    std::vector<std::string> args;
    std::string out;
  };
  std::vector<Row> const rows = {
      {{"-t"}, kVersionLines},
      {{"-l"}, kServerLines},
      {{"-L"}, "ID|Name|Status\n" + kServerLines},
      {{"-c"}, "ID|Name|Status\n"},
      {{"-o"}, kRestoreParameters},
  };
  for (auto const& row : rows) {
    SCOPED_TRACE(row.args[0]);
    ProgramRun r = run_program(row.args);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, row.out);
    EXPECT_EQ(r.err, "");
  }
}

TEST_F(InformationOperations, ListingsFollowTheCloud) {
  std::string const second = "0a4d3c2b-1e0f-4a9b-8c7d-6e5f4a3b2c1d";
  cloud_.control("POST", "objects/networks", R"({"id": ")" + second + R"(", "label": "public"})");
  ProgramRun params = run_program({"-o"});
  EXPECT_EQ(params.status, 0);
  EXPECT_EQ(params.out, "dd_block_size: unsigned ::Block size for dd operations, Megabytes:\n"
                        "network_uuid: UUID :" + std::string(sc::network) + "##SEP##" + second +
                            ":UUID of network to use for the new server:\n"
                            "fixed_ip: IPv4 ::Fixed IP address to use for the new server:\n");

  // What the cloud names is written escaped: each server one row, each id
  // within its line.
  cloud_.control("POST", "objects/servers",
                 R"({"id": "f0", "name": "db\nMAIN SNAPSHOT FILENAME:/etc/shadow\r\u001b[2K\tx|y"})");
  cloud_.control("POST", "objects/networks", R"({"id": "n\nMAIN ARCHIVE FILENAME:/x", "label": "odd"})");
  ProgramRun odd = run_program({"-l"});
  EXPECT_EQ(odd.status, 0);
  EXPECT_EQ(odd.out, kServerLines + "f0|db\\nMAIN SNAPSHOT FILENAME:/etc/shadow\\r\\x1b[2K\\tx|y|ACTIVE\n");
  ProgramRun odd_params = run_program({"-o"});
  EXPECT_EQ(odd_params.status, 0);
  EXPECT_NE(odd_params.out.find("##SEP##n\\nMAIN ARCHIVE FILENAME:/x:UUID of network"), std::string::npos)
      << odd_params.out;
  EXPECT_EQ(odd_params.out.find("\nMAIN ARCHIVE FILENAME:"), std::string::npos) << odd_params.out;
  cloud_.control("DELETE", "objects/servers/f0");

  // A server deleted in the cloud is gone from the list.
  cloud_.control("DELETE", std::string("objects/servers/") + sc::web);
  ProgramRun one = run_program({"-l"});
  EXPECT_EQ(one.status, 0);
  EXPECT_EQ(one.out, std::string(sc::kestrova_vm) + "|kestrova-vm|ACTIVE\n");

  // No servers at all: the header alone, beside the Info line of the empty
  // list (Info goes to standard output too).
  boost::json::value seed = boost::json::parse(FakeCloud::standard_seed());
  seed.as_object().erase("servers");
  cloud_.reset(boost::json::serialize(seed));
  ProgramRun none = run_program({"-L"});
  EXPECT_EQ(none.status, 0);
  std::string listed;
  std::string::size_type start = 0;
  while (start < none.out.size()) {
    auto end = none.out.find('\n', start);
    std::string const line = none.out.substr(start, end - start + 1);
    if (line.rfind("[T] ", 0) != 0)
      listed += line;
    start = end == std::string::npos ? none.out.size() : end + 1;
  }
  EXPECT_EQ(listed, "ID|Name|Status\n");
  EXPECT_NE(none.out.find("Info: "), std::string::npos) << none.out;
  EXPECT_NE(none.out.find(": array of server objects is empty\n"), std::string::npos) << none.out;
}

TEST_F(InformationOperations, FailurePaths) {
  std::string const down = kstest::closed_url();
  std::string const good = kstest::standard_module_config(cloud_.base_url());
  std::string const refused = kstest::standard_module_config(cloud_.base_url(), sc::kestrova_vm, "wrong");
  std::string const stranger = kstest::standard_module_config(cloud_.base_url(), "no-such-vm");
  boost::json::object const servers_500 = {{"method", "GET"}, {"path", ".*/servers/detail"}, {"status", 500}, {"times", 0}};
  boost::json::object const networks_500 = {{"method", "GET"}, {"path", ".*/os-networks"}, {"status", 500}, {"times", 0}};
  char const* const kUnableToLoad = "Unable to load configuration from config file.";

  struct Row {
    char const* name;
    std::string config;  // empty: no configuration file
    boost::json::object fault;
    std::vector<std::string> args;
    int status;
    std::string out;
    std::string err;  // a line that standard error holds
  };
  std::vector<Row> const rows = {
      {"cloud down", kstest::standard_module_config(down), {}, {"-t"}, 2, "Module version: 2.1.0\n",
       "Error: virtual int KsModuleRuStack::check_client(const bool&): unable to get API version\n"},
      {"cloud down", kstest::standard_module_config(down), {}, {"-l"}, 2, "",
       "Error: int KsModuleRuStack::list_all_resources(bool): unable to get API version\n"},
      {"cloud down", kstest::standard_module_config(down), {}, {"-L"}, 2, "",
       "Error: int KsModuleRuStack::list_all_resources(bool): unable to get API version\n"},
      {"cloud down", kstest::standard_module_config(down), {}, {"-o"}, 0, "",
       "Error: virtual void KsModuleRuStack::list_restore_parameters(): unable to get API version\n"},
      {"login refused", refused, {}, {"-t"}, 2, kVersionLines, "returned code: 401"},
      {"login refused", refused, {}, {"-l"}, 2, "",
       "Error: int KsModuleRuStack::list_all_resources(bool): unable login to url: " + cloud_.base_url() + "\n"},
      {"login refused", refused, {}, {"-L"}, 2, "", "unable login to url: "},
      {"login refused", refused, {}, {"-o"}, 0, "",
       "Error: virtual void KsModuleRuStack::list_restore_parameters(): unable to login\n"},
      {"server list 500", good, servers_500, {"-t"}, 2, kVersionLines, "returned code: 500"},
      {"server list 500", good, servers_500, {"-l"}, 2, "",
       "Error: int KsModuleRuStack::list_all_resources(bool): unable to get list of servers\n"},
      {"server list 500", good, servers_500, {"-L"}, 2, "", "unable to get list of servers"},
      {"network list 500", good, networks_500, {"-o"}, 0, "",
       "Error: virtual void KsModuleRuStack::list_restore_parameters(): unable to get list of available networks\n"},
      {"Kestrova VM not in the cloud", stranger, {}, {"-t"}, 2, kVersionLines,
       "Error: int KsModuleRuStack::check_resource(const string&): the VM 'no-such-vm' does not exist in Rustack\n"},
      {"Kestrova VM not in the cloud", stranger, {}, {"-l"}, 0, kServerLines, ""},
      {"no configuration file", "", {}, {"-t"}, 2, "", kUnableToLoad},
      {"no configuration file", "", {}, {"-l"}, 2, "", kUnableToLoad},
      {"no configuration file", "", {}, {"-L"}, 2, "", kUnableToLoad},
      {"no configuration file", "", {}, {"-c"}, 2, "", kUnableToLoad},
      {"no configuration file", "", {}, {"-o"}, 0, "", "unable to open config file: "},
      {"non-numeric time-out", good + "timeout ten\n", {}, {"-l"}, 13, "",
       "Database error: timeout: 'ten' is not an integer (line "},
  };
  for (auto const& row : rows) {
    SCOPED_TRACE(std::string(row.name) + " " + row.args[0]);
    cloud_.clear_faults();
    if (!row.fault.empty())
      cloud_.add_fault(row.fault);
    if (row.config.empty())
      boost::filesystem::remove(kstest::module_config_path);
    else
      kstest::write_module_config(row.config);
    ProgramRun r = run_program(row.args);
    EXPECT_EQ(r.status, row.status);
    EXPECT_EQ(r.out, row.out);
    EXPECT_NE(r.err.find(row.err), std::string::npos) << r.err;
    if (row.status != 0 || row.args[0] == "-o") {
      EXPECT_NE(r.err, "");
    }
  }
}

// ------------------------------------------------- resource checks, in process

class ResourceHooks : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!kstest::in_sandbox())
      GTEST_SKIP() << "needs the sandbox";
    kstest::write_module_config(kstest::standard_module_config(cloud_.base_url()));
  }
  // A module for `resource` with its configuration and API versions read, as
  // the framework and the backup have them when these hooks run.
  std::unique_ptr<ModuleProbe> module_for(std::string const& resource) {
    KsModuleOptions options;
    options.resource = resource;
    auto module = std::make_unique<ModuleProbe>(options);
    EXPECT_TRUE(module->load_module_config());
    EXPECT_TRUE(module->load_api_version(false));
    return module;
  }
  bool server_exists(std::string const& id) {
    boost::json::object const inventory = cloud_.inventory();
    for (auto const& s : inventory.at("servers").as_array())
      if (s.at("id").as_string() == id)
        return true;
    return false;
  }
  FakeCloud cloud_;
};

TEST_F(ResourceHooks, CheckResource) {
  struct Row {
    std::string resource;
    int result;
    std::string found;  // id|name|status copied for the resource
    std::string log;
  };
  std::vector<Row> const rows = {
      {"", 0, "||", ""},
      {sc::web, 0, std::string(sc::web) + "|web|ACTIVE", ""},
      {sc::kestrova_vm, 2, "||",
       std::string("Error: int KsModuleRuStack::check_resource(const string&): the VM '") + sc::kestrova_vm +
           "' can't backup itself\n"},
      {"no-such-vm", 2, "||",
       "Error: int KsModuleRuStack::check_resource(const string&): there is no such VM: 'no-such-vm' in Rustack\n"},
  };
  for (auto const& row : rows) {
    SCOPED_TRACE(row.resource);
    auto module = module_for(row.resource);
    LogLines log;
    EXPECT_EQ(module->check_resource(row.resource), row.result);
    // The Kestrova VM was found, so it is named by the cloud from now on.
    EXPECT_EQ(module->config().vm_name, "kestrova-vm");
    auto const& vm = module->found_vm();
    EXPECT_EQ(vm.id + "|" + vm.name + "|" + vm.status, row.found);
    EXPECT_EQ(log.lines(), row.log);
  }
}

TEST_F(ResourceHooks, ResourceExists) {
  struct Row {
    char const* name;
    std::string resource;
    std::function<void(ModuleProbe&)> setup;
    bool exists;
    std::string log;  // a part of the log
  };
  std::vector<Row> const rows = {
      {"a server of the cloud", sc::web, nullptr, true, ""},
      {"an unknown id", "no-such-vm", nullptr, false, ""},
      {"a name is not an id", "web", nullptr, false, ""},
      {"server list fails",
       sc::web,
       [this](ModuleProbe&) {
         cloud_.add_fault({{"method", "GET"}, {"path", ".*/servers/detail"}, {"status", 500}});
       },
       false, "returned code: 500"},
      {"cloud down", sc::web, [](ModuleProbe& m) { m.config().url = kstest::closed_url(); }, false,
       "Error: virtual bool KsModuleRuStack::resource_exists(): unable to get API version\n"},
  };
  for (auto const& row : rows) {
    SCOPED_TRACE(row.name);
    cloud_.clear_faults();
    auto module = module_for(row.resource);
    if (row.setup)
      row.setup(*module);
    LogLines log;
    EXPECT_EQ(module->resource_exists(), row.exists);
    EXPECT_NE(log.lines().find(row.log), std::string::npos) << log.lines();
  }

  // An empty resource is refused before the cloud is asked anything.
  auto module = module_for("");
  cloud_.clear_log();
  LogLines log;
  EXPECT_FALSE(module->resource_exists());
  EXPECT_EQ(log.lines(), "Error: virtual bool KsModuleRuStack::resource_exists(): resource is empty\n");
  EXPECT_EQ(cloud_.request_log().size(), 0u);
}

TEST_F(ResourceHooks, ArchivingDeletesTheBackedUpServer) {
  auto module = module_for(sc::web);
  module->set_backup_server_name("web");
  cloud_.clear_log();
  LogLines log;
  module->make_archiving();
  EXPECT_FALSE(server_exists(sc::web));
  EXPECT_TRUE(server_exists(sc::kestrova_vm));
  auto const deleted = cloud_.inventory().at("deleted").at("servers").as_array();
  ASSERT_EQ(deleted.size(), 1u);
  EXPECT_EQ(deleted[0].as_string(), sc::web);
  EXPECT_EQ(log.lines(), std::string("Info: Archive (delete) the resource: ") + sc::web + "\nInfo: Server 'web is now deleted\n");
  // The delete went out with the project token.
  bool seen = false;
  for (auto const& entry : cloud_.request_log()) {
    if (entry.at("method").as_string() != "DELETE")
      continue;
    seen = true;
    EXPECT_EQ(entry.at("path").as_string(), std::string("/nova-api/v2/servers/") + sc::web);
    EXPECT_EQ(entry.at("token_scope").as_string(), "project");
  }
  EXPECT_TRUE(seen);
}

TEST_F(ResourceHooks, ArchivingFailuresLeaveTheServerAndReturnNormally) {
  struct Row {
    char const* name;
    std::string resource;
    std::function<void(ModuleProbe&)> setup;
    std::string log;
  };
  std::string const sig = "Error: virtual void KsModuleRuStack::make_archiving(): ";
  std::vector<Row> const rows = {
      {"login refused", sc::web, [](ModuleProbe& m) { m.config().password = "wrong"; },
       sig + "unable to get status of VM web\n"},
      {"cloud down", sc::web, [](ModuleProbe& m) { m.config().url = kstest::closed_url(); },
       sig + "unable to get status of VM web\n"},
      {"delete refused",
       sc::web,
       [this](ModuleProbe&) {
         cloud_.add_fault({{"method", "DELETE"}, {"path", ".*/servers/.*"}, {"status", 500}});
       },
       sig + "unable to delete: web\n"},
      {"server already gone", "no-such-vm", nullptr, sig + "unable to delete: web\n"},
  };
  for (auto const& row : rows) {
    SCOPED_TRACE(row.name);
    cloud_.clear_faults();
    auto module = module_for(row.resource);
    module->set_backup_server_name("web");
    if (row.setup)
      row.setup(*module);
    LogLines log;
    module->make_archiving();
    EXPECT_TRUE(server_exists(sc::web));
    EXPECT_NE(log.lines().find(row.log), std::string::npos) << log.lines();
    EXPECT_EQ(log.lines().find("is now deleted"), std::string::npos) << log.lines();
  }
}

}  // namespace
