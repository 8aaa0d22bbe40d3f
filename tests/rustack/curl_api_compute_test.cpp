// Compute operations of curlAPI against the stand-in cloud: server list,
// description and status, hypervisors, networks, creating and deleting a
// server, attaching and detaching volumes. Replies the stand-in would not
// give by itself come from fault rules.
#include <string>
#include <vector>

#include <boost/json.hpp>
#include <gtest/gtest.h>

#include "ops_cloud.h"
#include "rustack/curl_api.h"

namespace {

namespace sc = kstest::standard_cloud;
using kstest::LogCapture;

class Compute : public kstest::OpsCloudTest {
 protected:
  void SetUp() override {
    KS_REQUIRE_SANDBOX();
    OpsCloudTest::SetUp();
  }

  // Makes the next request of `method` to a path matching `path` answer with
  // `action` (members of a fault rule) instead of the service.
  static void answer(char const* method, char const* path, std::string const& action) {
    fault(std::string("{\"method\": \"") + method + "\", \"path\": \"" + path + "\", " + action + "}");
  }

  // The query of each request of the server list, in order.
  static std::vector<std::string> list_queries() {
    std::vector<std::string> out;
    auto const entries = cloud().request_log();
    for (auto const& e : entries) {
      auto const& o = e.as_object();
      if (o.at("path").as_string() == "/nova-api/v2/servers/detail")
        out.emplace_back(o.at("query").as_string());
    }
    return out;
  }

  // A volume of the project that nothing uses.
  static std::string spare_volume(char const* name = "spare") {
    return add("volumes", std::string("{\"name\": \"") + name + "\", \"size\": 1}");
  }
};

// One reply and what the operation must make of it.
struct ReplyCase {
  char const* what;
  std::string action;  // fault rule members giving the reply; empty: the stand-in answers
  int code;
  char const* log;  // part of the log the call writes
};

std::string const kCB = "/nova-api/v2";

// -------------------------------------------------------------- server list

TEST_F(Compute, ServerListAppendsEveryServerOfTheProject) {
  curlAPI api(settings);
  std::vector<rustack_vm_info> list{{"x", "earlier", "SHUTOFF"}};
  ASSERT_EQ(api.get_server_list(list), 0);
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[0].name, "earlier");
  EXPECT_EQ(list[1].id, sc::kestrova_vm);
  EXPECT_EQ(list[1].name, "kestrova-vm");
  EXPECT_EQ(list[1].status, "ACTIVE");
  EXPECT_EQ(list[2].id, sc::web);
  EXPECT_EQ(list[2].name, "web");
  auto const r = requests();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].method, "GET");
  EXPECT_EQ(r[0].path, kCB + "/servers/detail");
  EXPECT_EQ(r[0].token_scope, "project");
}

TEST_F(Compute, ServerListResultForEachKindOfReply) {
  struct Case {
    ReplyCase reply;
    std::size_t appended;
  };
  Case const cases[] = {
      {{"empty array", R"("body": {"servers": []})", 0, ": array of server objects is empty"}, 0},
      {{"error member after the servers", R"("patch": {"computeFault": {"code": 500, "message": "late"}})", 6,
        ": returned code: 500, error message: \"late\""},
       2},
      {{"error reply", R"("status": 503)", 6, ": returned code: 503, error message: "}, 0},
      // JSON keeps a line feed escaped, not a NEL or a line separator.
      {{"error message with line breaks",
        R"("patch": {"computeFault": {"code": 500, "message": "a\nb\u0085MAIN SNAPSHOT FILENAME:/x\u2028c"}})", 6,
        ": returned code: 500, error message: \"a\\nb\\xc2\\x85MAIN SNAPSHOT FILENAME:/x\\xe2\\x80\\xa8c\""},
       2},
      {{"member that is no error object", R"("body": {"serverz": [1]})", 6,
        ": server returned not a 'servers' object"},
       0},
      {{"empty object", R"("body": {})", 2,
        "int curlAPI::get_server_list(std::vector<rustack_vm_info>&): json object value is empty. Expected "
        "server list info"},
       0},
      // An id that would start a line of its own fails the list.
      {{"server id with a line end",
        R"("body": {"servers": [{"id": "s1", "name": "a"}, {"id": "s2\nMAIN SNAPSHOT FILENAME:/forged"}]})", 2,
        ": the server id in the reply is not a plain id: \"s2\\nMAIN SNAPSHOT FILENAME:/forged\""},
       1},
      {{"servers not an array", R"("body": {"servers": {}})", 2, ": json is not an array of server objects"}, 0},
      {{"server not an object", R"("body": {"servers": ["web"]})", 2, ": json value is not an object: server"}, 0},
      {{"empty server", R"("body": {"servers": [{}]})", 2, ": json object value is empty. Expected server info"}, 0},
      {{"array", R"("raw_body": "[]")", 2, ": json value is not an object"}, 0},
      {{"not JSON", R"("raw_body": "<html>busy</html>")", 2, "get_server_list(std::vector<rustack_vm_info>&): json: "},
       0},
      {{"empty reply", R"("status": 200, "raw_body": "")", 2, ": json: "}, 0},
      {{"connection dropped", R"("drop": true, "times": 0)", 2, "get_server_list(std::vector<rustack_vm_info>&): exception:"},
       0},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(c.reply.what);
    cloud().reset();
    LogCapture log;
    answer("GET", ".*/servers/detail", c.reply.action);
    curlAPI api(settings);
    std::vector<rustack_vm_info> list;
    EXPECT_EQ(api.get_server_list(list), c.reply.code);
    EXPECT_EQ(list.size(), c.appended);
    EXPECT_TRUE(log.contains(c.reply.log)) << log.text();
  }
}

// nova links the next page under its own endpoint (the stand-in: an address
// that never resolves): only the query of the link is sent, to the
// configured compute URL.
TEST_F(Compute, ServerListJoinsThePagesOfTheCloud) {
  std::string const third = add("servers", R"({"name": "third"})");
  for (int limit : {1, 2, 3, 1000}) {
    SCOPED_TRACE("page limit " + std::to_string(limit));
    cloud().clear_log();
    cloud().control("POST", "options", "{\"server_page_limit\": " + std::to_string(limit) + "}");
    curlAPI api(settings);
    std::vector<rustack_vm_info> list;
    ASSERT_EQ(api.get_server_list(list), 0) << log.text();
    std::vector<std::string> ids;
    for (auto const& s : list) ids.push_back(s.id);
    EXPECT_EQ(ids, (std::vector<std::string>{sc::kestrova_vm, sc::web, third}));
    std::vector<std::string> const pages[] = {
        {"", std::string("marker=") + sc::kestrova_vm, std::string("marker=") + sc::web, "marker=" + third},
        {"", std::string("marker=") + sc::web},
        {"", "marker=" + third},
        {""}};
    EXPECT_EQ(list_queries(), pages[limit == 1000 ? 3 : limit - 1]);
  }
}

TEST_F(Compute, ServerListStopsAtLinksThatLoopOrNeverEnd) {
  {
    SCOPED_TRACE("a next link that repeats");
    answer("GET", ".*/servers/detail", R"("times": 0, "body": {"servers": [{"id": "a", "name": "a", "status": "ACTIVE"}],
        "servers_links": [{"rel": "next", "href": "http://nova.internal:8774/v2.1/servers/detail?marker=a"}]})");
    curlAPI api(settings);
    std::vector<rustack_vm_info> list;
    EXPECT_EQ(api.get_server_list(list), 2);
    EXPECT_EQ(list.size(), 2u);
    EXPECT_EQ(list_queries(), (std::vector<std::string>{"", "marker=a"}));
    EXPECT_TRUE(log.contains("int curlAPI::get_server_list(std::vector<rustack_vm_info>&): the server list links a "
                             "page it has given before: marker=a"))
        << log.text();
  }
  {
    SCOPED_TRACE("more than 100 pages");
    cloud().reset();
    cloud().clear_log();
    for (int i = 0; i < 99; ++i) add("servers", R"({"name": "s"})");
    cloud().control("POST", "options", R"({"server_page_limit": 1})");
    curlAPI api(settings);
    std::vector<rustack_vm_info> list;
    EXPECT_EQ(api.get_server_list(list), 2);
    EXPECT_EQ(list.size(), 100u);
    EXPECT_EQ(list_queries().size(), 100u);
    EXPECT_TRUE(log.contains(": the server list goes on after 100 pages")) << log.text();
  }
}

TEST_F(Compute, ServerListLinksOfOtherForms) {
  ReplyCase const cases[] = {
      {"only a previous link", R"("patch": {"servers_links": [{"rel": "prev", "href": "http://n/servers?marker=x"}]})",
       0, ""},
      {"links not an array", R"("patch": {"servers_links": {"rel": "next"}})", 2,
       ": json is not an array of server list links"},
      {"link without href", R"("patch": {"servers_links": [{"rel": "next"}]})", 2,
       ": json value is not a server list link: {\"rel\":\"next\"}"},
      {"next link without query", R"("patch": {"servers_links": [{"rel": "next", "href": "http://n/servers"}]})", 2,
       ": the next link of the server list names no page: http://n/servers"},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(c.what);
    cloud().reset();
    LogCapture log;
    answer("GET", ".*/servers/detail", c.action);
    curlAPI api(settings);
    std::vector<rustack_vm_info> list;
    EXPECT_EQ(api.get_server_list(list), c.code);
    EXPECT_EQ(list.size(), 2u);
    EXPECT_TRUE(log.contains(c.log)) << log.text();
  }

  // A query that cannot stand in a URL as it is reaches the cloud encoded.
  cloud().reset();
  LogCapture log;
  answer("GET", ".*/servers/detail",
         R"("patch": {"servers_links": [{"rel": "next", "href": "http://n/v2.1/servers/detail?marker=a b\"c\u00e9#top"}]})");
  curlAPI api(settings);
  std::vector<rustack_vm_info> list;
  EXPECT_EQ(api.get_server_list(list), 6) << "the stand-in knows no such marker";
  EXPECT_EQ(list_queries(), (std::vector<std::string>{"", "marker=a%20b%22c%C3%A9"}));
  EXPECT_TRUE(log.contains(": returned code: 400, error message: \"marker [a b\\\"c\u00e9] not found\""))
      << log.text();
}

// The names of the list are the characters of the name, the form a saved
// description holds, whatever the name holds.
TEST_F(Compute, ServerListGivesNamesAsTheirCharacters) {
  std::string const name = "d\"b\\x\n\xc3\x84pfel \xc3\xa9t\xc3\xa9";
  boost::json::object entry{{"name", name}};
  std::string const id = add("servers", boost::json::serialize(entry));
  curlAPI api(settings);
  std::vector<rustack_vm_info> list;
  ASSERT_EQ(api.get_server_list(list), 0) << log.text();
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[2].id, id);
  EXPECT_EQ(list[2].name, name);
  EXPECT_TRUE(curlAPI::server_name_exists(list, name));
}

// ------------------------------------------------------- server description

TEST_F(Compute, ServerConfigReadsEveryFieldOfTheSystemView) {
  server_conf record;
  record.hypervisor_type = "kept";
  record.hypervisor_ip = "kept";
  curlAPI api(settings);
  ASSERT_EQ(api.get_server_config(sc::web, record, true), 0) << log.text();

  auto const inv = find("servers", sc::web).as_object();
  auto const& address = inv.at("addresses").at(0);
  EXPECT_EQ(record.id, sc::web);
  EXPECT_EQ(record.name, "web");
  EXPECT_EQ(record.status, "ACTIVE");
  EXPECT_EQ(record.tenant_id, sc::project);
  EXPECT_EQ(record.user_id, inv.at("user_id").as_string());
  EXPECT_EQ(record.metadata, (std::vector<std::pair<std::string, std::string>>{{"role", "\"frontend\""}}));
  EXPECT_FALSE(record.hostId.empty());
  EXPECT_EQ(record.image, "");
  EXPECT_EQ(record.flavor_id, "c2-m4");
  EXPECT_EQ(record.network_name, "private");
  ASSERT_EQ(record.addresses.size(), 1u);
  EXPECT_EQ(record.addresses[0].version, "4");
  EXPECT_EQ(record.addresses[0].addr, address.at("addr").as_string());
  EXPECT_EQ(record.addresses[0].addr_type, "fixed");
  EXPECT_EQ(record.addresses[0].mac_addr, address.at("mac").as_string());
  EXPECT_EQ(record.disk_config, "MANUAL");
  EXPECT_EQ(record.availability_zone, "nova");
  EXPECT_EQ(record.key_name, "ops");
  EXPECT_EQ(record.security_groups, (std::vector<std::string>{"default", "web"}));
  EXPECT_EQ(record.host, "node2");
  EXPECT_EQ(record.instance_name, "instance-0000002a");
  EXPECT_EQ(record.hypervisor_hostname, "node2.cloud.test");
  EXPECT_EQ(record.attached_volumes, (std::vector<std::string>{sc::web_root, sc::web_data}));
  EXPECT_EQ(record.hypervisor_type, "kept");
  EXPECT_EQ(record.hypervisor_ip, "kept");

  auto const r = requests();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].path, kCB + "/servers/" + sc::web);
  EXPECT_EQ(r[0].token_scope, "system");
}

TEST_F(Compute, ServerConfigWithTheProjectTokenLeavesTheSystemFieldsAlone) {
  server_conf record;
  record.host = record.instance_name = record.hypervisor_hostname = "kept";
  curlAPI api(settings);
  ASSERT_EQ(api.get_server_config(sc::web, record, false), 0) << log.text();
  EXPECT_EQ(record.name, "web");
  EXPECT_EQ(record.host, "kept");
  EXPECT_EQ(record.instance_name, "kept");
  EXPECT_EQ(record.hypervisor_hostname, "kept");
  EXPECT_EQ(requests().at(0).token_scope, "project");
}

TEST_F(Compute, ServerConfigReadsValuesAsTheirJsonText) {
  answer("GET", ".*/servers/.*", R"("body": {"server": {"id": "s1", "metadata": {"n": 5, "s": "t\"u"},
      "key_name": null, "security_groups": [{"name": "a", "extra": true}],
      "os-extended-volumes:volumes_attached": [{"id": "v1", "delete_on_termination": false}]}})");
  server_conf record;
  record.key_name = "kept";
  record.attached_volumes = {"v0"};
  curlAPI api(settings);
  ASSERT_EQ(api.get_server_config("s1", record, false), 0) << log.text();
  EXPECT_EQ(record.metadata, (std::vector<std::pair<std::string, std::string>>{{"n", "5"}, {"s", "\"t\\\"u\""}}));
  EXPECT_EQ(record.key_name, "kept");
  EXPECT_EQ(record.security_groups, (std::vector<std::string>{"a", "true"}));
  EXPECT_EQ(record.attached_volumes, (std::vector<std::string>{"v0", "v1", "false"}));

  // A server without the attached-volume member keeps what the caller had.
  answer("GET", ".*/servers/.*", R"("body": {"server": {"id": "s2", "metadata": {}}})");
  record.attached_volumes = {"v0"};
  ASSERT_EQ(api.get_server_config("s2", record, false), 0);
  EXPECT_EQ(record.attached_volumes, (std::vector<std::string>{"v0"}));
  EXPECT_TRUE(log.contains(": json object value is empty. Expected server metadata"));
}

// What nova sends as null for a server without a host (never scheduled, or
// still building) and for one without a zone or key reads as no value.
TEST_F(Compute, ServerConfigReadsNullsAsNoValue) {
  cloud().set_object("servers", sc::web,
                     {{"host", nullptr}, {"hypervisor_hostname", nullptr}, {"instance_name", nullptr},
                      {"availability_zone", nullptr}, {"key_name", nullptr}});
  server_conf record;
  record.host = record.hypervisor_hostname = record.instance_name = record.availability_zone = record.key_name =
      "kept";
  curlAPI api(settings);
  ASSERT_EQ(api.get_server_config(sc::web, record, true), 0) << log.text();
  EXPECT_EQ(record.name, "web");
  EXPECT_EQ(record.host, "kept");
  EXPECT_EQ(record.hypervisor_hostname, "kept");
  EXPECT_EQ(record.instance_name, "kept");
  EXPECT_EQ(record.availability_zone, "kept");
  EXPECT_EQ(record.key_name, "kept");
  EXPECT_EQ(record.attached_volumes, (std::vector<std::string>{sc::web_root, sc::web_data}));
  boost::json::value const reply = boost::json::parse(cloud().request_log().back().at("reply").as_string());
  EXPECT_TRUE(reply.at("server").at("OS-EXT-SRV-ATTR:host").is_null()) << "the stand-in must send the null";
}

TEST_F(Compute, ServerConfigFailures) {
  ReplyCase const cases[] = {
      {"unknown server", "", 6, ": returned code: 404, error message: \"Instance no-such could not be found.\""},
      {"image is an object", R"("body": {"server": {"id": "s", "image": {"id": "i"}}})", 6, ": exception:"},
      {"host a number", R"("body": {"server": {"OS-EXT-SRV-ATTR:host": 5}})", 6, ": exception:"},
      {"empty attached volumes", R"("body": {"server": {"os-extended-volumes:volumes_attached": []}})", 6,
       ": attached volumes array is empty"},
      {"server id with a line end", R"("body": {"server": {"id": "s\nMAIN SNAPSHOT FILENAME:/forged"}})", 6,
       ": the server id in the reply is not a plain id: \"s\\nMAIN SNAPSHOT FILENAME:/forged\""},
      {"attached volume id with a line separator",
       R"("body": {"server": {"id": "s", "os-extended-volumes:volumes_attached": [{"id": "v\u2028x"}]}})", 6,
       ": the volume id in the reply is not a plain id: \"v\\xe2\\x80\\xa8x\""},
      {"project id with a path", R"("body": {"server": {"id": "s", "tenant_id": "../p"}})", 6,
       ": the project id in the reply is not a plain id: \"../p\""},
      {"empty attached volume", R"("body": {"server": {"os-extended-volumes:volumes_attached": [{}]}})", 6,
       ": json object value is empty. Expected attached volume info"},
      {"empty security groups", R"("body": {"server": {"security_groups": []}})", 6,
       ": security groups array is empty"},
      {"security group not an object", R"("body": {"server": {"security_groups": ["default"]}})", 6,
       ": json value is not an object: security group"},
      {"flavor not an object", R"("body": {"server": {"flavor": "c2-m4"}})", 6,
       ": json value is not an object: flavor"},
      {"empty flavor", R"("body": {"server": {"flavor": {}}})", 6, ": json object value is empty. Expected flavor info"},
      {"empty addresses", R"("body": {"server": {"addresses": {}}})", 6,
       ": json object value is empty. Expected addresses info"},
      {"empty address list", R"("body": {"server": {"addresses": {"private": []}}})", 6, ": Addresses array is empty"},
      {"empty address", R"("body": {"server": {"addresses": {"private": [{}]}}})", 6,
       ": json object value is empty. Expected address info"},
      {"metadata not an object", R"("body": {"server": {"metadata": []}})", 6,
       ": json value is not an object: server metadata"},
      {"server not an object", R"("body": {"server": []})", 6, ": json value is not an object"},
      {"empty server", R"("body": {"server": {}})", 6, ": json object is empty. Expected server info"},
      {"empty object", R"("body": {})", 6,
       "int curlAPI::get_server_config(const string&, server_conf&, bool): server object is empty"},
      {"no server member", R"("body": {"servers": []})", 6, ": server returned not a 'server' object"},
      {"not JSON", R"("raw_body": "oops")", 6, ": json: "},
      {"connection dropped", R"("drop": true, "times": 0)", 6, ": exception:"},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(c.what);
    cloud().reset();
    LogCapture log;
    if (!c.action.empty())
      answer("GET", ".*/servers/.*", c.action);
    curlAPI api(settings);
    server_conf record;
    EXPECT_EQ(api.get_server_config("no-such", record, true), c.code);
    EXPECT_TRUE(log.contains(c.log)) << log.text();
  }
}

// ------------------------------------------------------------ server status

TEST_F(Compute, ServerStatusFollowsTheBuildOfANewServer) {
  // The stand-in shows BUILD on the first read and ACTIVE on the next.
  std::string const boot = add("volumes", R"({"name": "boot", "size": 4, "bootable": true})");
  server_conf record;
  record.name = "fresh";
  record.flavor_id = "c2-m4";
  record.security_groups = {"default"};
  curlAPI api(settings);
  ASSERT_EQ(api.create_server(boot, {}, record), 0) << log.text();
  std::string status = "stale";
  ASSERT_EQ(api.get_server_status(record.id, status), 0);
  EXPECT_EQ(status, "BUILD");
  ASSERT_EQ(api.get_server_status(record.id, status), 0);
  EXPECT_EQ(status, "ACTIVE");
  EXPECT_EQ(requests().back().path, kCB + "/servers/" + record.id);
}

TEST_F(Compute, ServerStatusFailuresLeaveNoStatus) {
  ReplyCase const cases[] = {
      {"unknown server", "", 7, ": returned code: 404"},
      {"error member only", R"("status": 500)", 7, ": returned code: 500"},
      {"no status", R"("body": {"server": {"id": "x"}})", 7, ": server object holds no status"},
      {"empty server", R"("body": {"server": {}})", 7, ": json object is empty. Expected server info"},
      {"server not an object", R"("body": {"server": "ACTIVE"})", 7, ": json value is not an object"},
      {"empty object", R"("body": {})", 7,
       "int curlAPI::get_server_status(const string&, string&): server object is empty"},
      {"array", R"("raw_body": "[]")", 7, ": json value is not an object"},
      {"status not a string", R"("body": {"server": {"status": 1}})", 2, ": exception:"},
      {"not JSON", R"("raw_body": "oops")", 2, ": json: "},
      {"connection dropped", R"("drop": true, "times": 0)", 2, ": exception:"},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(c.what);
    cloud().reset();
    LogCapture log;
    if (!c.action.empty())
      answer("GET", ".*/servers/.*", c.action);
    curlAPI api(settings);
    std::string status = "ACTIVE";
    EXPECT_EQ(api.get_server_status("no-such", status), c.code);
    EXPECT_EQ(status, "") << "a failed read must not leave an earlier status";
    EXPECT_TRUE(log.contains(c.log)) << log.text();
  }
}

// -------------------------------------------------------------- hypervisors

TEST_F(Compute, HypervisorInfoCompletesTheServerFromItsHypervisor) {
  server_conf record;
  record.id = sc::web;
  record.name = "web";
  record.hypervisor_hostname = "node2.cloud.test";
  record.instance_name = "instance-0000002a";
  curlAPI api(settings);
  ASSERT_EQ(api.get_hypervisor_info(record), 0) << log.text();
  EXPECT_EQ(record.hypervisor_type, "QEMU");
  EXPECT_EQ(record.hypervisor_ip, "192.168.100.12");
  EXPECT_TRUE(log.contains(std::string("Server: web, ID: ") + sc::web +
                           " is running on hypervisor: node2.cloud.test as instance: instance-0000002a\n"))
      << log.text();
  EXPECT_TRUE(log.contains("Hypervisor IP address: 192.168.100.12\n"));
  EXPECT_TRUE(log.contains("Hypervisor type: QEMU\n"));
  auto const r = requests();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].path, kCB + "/os-hypervisors/detail");
  EXPECT_EQ(r[0].token_scope, "system");
}

TEST_F(Compute, HypervisorInfoWithoutAMatchKeepsTheFieldsAndTheLastMatchWins) {
  server_conf record;
  record.hypervisor_hostname = "node9.cloud.test";
  record.hypervisor_type = "old-type";
  record.hypervisor_ip = "old-ip";
  curlAPI api(settings);
  ASSERT_EQ(api.get_hypervisor_info(record), 0);
  EXPECT_EQ(record.hypervisor_type, "old-type");
  EXPECT_EQ(record.hypervisor_ip, "old-ip");
  EXPECT_TRUE(log.contains("Hypervisor IP address: old-ip\n"));

  answer("GET", ".*/os-hypervisors/detail", R"("body": {"hypervisors": [
      {"hypervisor_hostname": "node9.cloud.test", "hypervisor_type": "QEMU", "host_ip": "10.0.0.1"},
      {"hypervisor_hostname": "node9.cloud.test", "hypervisor_type": "KVM", "host_ip": "10.0.0.2"}]})");
  ASSERT_EQ(api.get_hypervisor_info(record), 0);
  EXPECT_EQ(record.hypervisor_type, "KVM");
  EXPECT_EQ(record.hypervisor_ip, "10.0.0.2");
}

TEST_F(Compute, HypervisorInfoFailures) {
  ReplyCase const cases[] = {
      {"empty array", R"("body": {"hypervisors": []})", 1, ": array of hypervisors objects is empty"},
      {"a later empty array", R"("body": {"hypervisors": [{"hypervisor_hostname": "node2.cloud.test",
          "hypervisor_type": "XEN", "host_ip": "1.1.1.1"}], "more": []})",
       1, ": array of hypervisors objects is empty"},
      {"refused", R"("status": 403)", 2, ": json is not an array of hypervisor objects"},
      {"empty object", R"("body": {})", 2,
       "int curlAPI::get_hypervisor_info(server_conf&): json object value is empty. Expected hypervisor list info"},
      {"hypervisor not an object", R"("body": {"hypervisors": [1]})", 2, ": json value is not an object: hypervisor"},
      {"empty hypervisor", R"("body": {"hypervisors": [{}]})", 2,
       ": json object value is empty. Expected hypervisor info"},
      {"connection dropped", R"("drop": true, "times": 0)", 2, ": exception:"},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(c.what);
    cloud().reset();
    LogCapture log;
    answer("GET", ".*/os-hypervisors/detail", c.action);
    curlAPI api(settings);
    server_conf record;
    record.hypervisor_hostname = "node2.cloud.test";
    EXPECT_EQ(api.get_hypervisor_info(record), c.code);
    EXPECT_EQ(record.hypervisor_type, "") << "a failed walk completes nothing";
    EXPECT_TRUE(log.contains(c.log)) << log.text();
  }
}

// ----------------------------------------------------------------- networks

TEST_F(Compute, NetworkListAppendsIdAndLabel) {
  curlAPI api(settings);
  std::vector<network> list(1);
  ASSERT_EQ(api.get_network_list(list), 0) << log.text();
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[1].id, sc::network);
  EXPECT_EQ(list[1].label, "private");
  EXPECT_EQ(requests().at(0).path, kCB + "/os-networks");

  answer("GET", ".*/os-networks", R"("body": {"networks": [{"id": "n2"}]})");
  ASSERT_EQ(api.get_network_list(list), 0);
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[2].id, "n2");
  EXPECT_EQ(list[2].label, "");
}

TEST_F(Compute, NetworkListFailures) {
  struct Case {
    ReplyCase reply;
    std::size_t appended;
  };
  Case const cases[] = {
      {{"well-formed reply with 203", R"("status": 203, "body": {"networks": [{"id": "n"}]})", 12,
        ": unable to get network list, got http code: 203, API response: {\"networks\": [{\"id\": \"n\"}]}"},
       0},
      {{"error reply", R"("status": 500)", 12, ": unable to get network list, got http code: 500"}, 0},
      // The reply as the cloud sent it, on one line.
      {{"error page of several lines", R"("status": 502, "raw_body": "<p>\nMAIN SNAPSHOT FILENAME:/etc/shadow\r\n</p>")",
        12, ": unable to get network list, got http code: 502, API response: <p>\\nMAIN SNAPSHOT FILENAME:/etc/shadow\\r\\n</p>"},
       0},
      {{"empty object", R"("body": {})", 12,
        "int curlAPI::get_network_list(std::vector<network>&): json object value is empty. Expected networks list "
        "info. json:{}"},
       0},
      {{"networks not an array", R"("body": {"networks": {}})", 12, ": json is not an array of network objects"}, 0},
      {{"network not an object", R"("body": {"networks": ["n"]})", 12, ": json value is not an object: network"}, 0},
      {{"network without id", R"("body": {"networks": [{"id": "a"}, {"label": "x"}]})", 12,
        ": unable to find id in network object"},
       1},
      {{"error member", R"("body": {"forbidden": {"code": 403, "message": "no"}})", 12,
        ": returned code: 403, error message: \"no\""},
       0},
      {{"member that is no error object", R"("body": {"nets": []})", 12, ": server returned not a 'network' object"},
       0},
      {{"connection dropped", R"("drop": true, "times": 0)", 12, ": exception:"}, 0},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(c.reply.what);
    cloud().reset();
    LogCapture log;
    answer("GET", ".*/os-networks", c.reply.action);
    curlAPI api(settings);
    std::vector<network> list;
    EXPECT_EQ(api.get_network_list(list), c.reply.code);
    EXPECT_EQ(list.size(), c.appended);
    EXPECT_TRUE(log.contains(c.reply.log)) << log.text();
  }
}

// ------------------------------------------------------------ create server

TEST_F(Compute, CreateServerSendsTheBodyAndTheCloudBuildsIt) {
  std::string const boot = add("volumes", R"({"name": "boot", "size": 4, "bootable": true})");
  server_conf record;
  record.id = "old-id";
  record.name = "restored";
  record.availability_zone = "nova";
  record.flavor_id = "c2-m4";
  record.security_groups = {"default", "web"};
  record.metadata = {{"role", "\"frontend\""}, {"tier", "\"2\""}};
  rustack_server_parameters parameters;
  parameters.network_uuid = sc::network;
  parameters.fixed_ip = "10.10.0.50";
  curlAPI api(settings);
  ASSERT_EQ(api.create_server(boot, parameters, record), 0) << log.text();

  auto const r = requests();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].method, "POST");
  EXPECT_EQ(r[0].path, kCB + "/servers");
  EXPECT_EQ(r[0].body,
            std::string(R"({"server": {"name": "restored", "availability_zone": "nova", "flavorRef" : "c2-m4", )"
                        R"("security_groups": [{"name": "default"}, {"name": "web"}], )"
                        R"("metadata": {"role": "frontend", "tier": "2"},)"
                        R"("networks": [{"uuid": ")") +
                sc::network +
                R"(","fixed_ip": "10.10.0.50"}],"block_device_mapping_v2": [{"uuid": ")" + boot +
                R"(", "source_type": "volume", "destination_type": "volume", "boot_index": 0, )"
                R"("delete_on_termination": false}]}})");

  auto const server = find("servers", record.id);
  ASSERT_FALSE(server.is_null()) << "the id must be the new server's";
  EXPECT_EQ(server.at("name").as_string(), "restored");
  EXPECT_EQ(server.at("addresses").at(0).at("addr").as_string(), "10.10.0.50");
  ASSERT_EQ(server.at("volumes").as_array().size(), 1u);
  EXPECT_EQ(server.at("volumes").at(0).as_string(), boot);
}

TEST_F(Compute, CreateServerBodyVariants) {
  struct Case {
    char const* what;
    std::vector<std::string> groups;
    std::vector<std::pair<std::string, std::string>> metadata;
    std::string zone;
    rustack_server_parameters parameters;
    std::string middle;  // the body between the flavor and the block device mapping
  };
  Case const cases[] = {
      {"one group, nothing else", {"G"}, {}, "Z", {}, R"("security_groups": [{"name": "G"}], "metadata": {},)"},
      {"fixed address without network", {"G"}, {}, "Z", {"", "10.0.0.9"},
       R"("security_groups": [{"name": "G"}], "metadata": {},)"},
      {"no group", {}, {}, "Z", {}, R"("security_groups": [], "metadata": {},)"},
      {"network without fixed address", {"G"}, {}, "Z", {"U", ""},
       R"("security_groups": [{"name": "G"}], "metadata": {},"networks": [{"uuid": "U"}],)"},
      {"no zone", {"G"}, {}, "", {}, R"("security_groups": [{"name": "G"}], "metadata": {},)"},
      {"metadata as JSON text, and text that is not JSON", {"G"}, {{"a", "\"x\""}, {"b", "7"}, {"c", "plain"}}, "Z",
       {}, R"("security_groups": [{"name": "G"}], "metadata": {"a": "x", "b": 7, "c": "plain"},)"},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(c.what);
    cloud().reset();
    answer("POST", ".*/servers", R"("status": 202, "body": {"server": {"id": "new"}})");
    server_conf record;
    record.name = "N";
    record.availability_zone = c.zone;
    record.flavor_id = "F";
    record.security_groups = c.groups;
    record.metadata = c.metadata;
    curlAPI api(settings);
    ASSERT_EQ(api.create_server("B", c.parameters, record), 0);
    EXPECT_EQ(record.id, "new");
    std::string const zone = c.zone.empty() ? "null" : "\"" + c.zone + "\"";
    EXPECT_EQ(requests().at(0).body,
              R"({"server": {"name": "N", "availability_zone": )" + zone + R"(, "flavorRef" : "F", )" + c.middle +
                  R"("block_device_mapping_v2": [{"uuid": "B", "source_type": "volume", )"
                  R"("destination_type": "volume", "boot_index": 0, "delete_on_termination": false}]}})");
  }
}

TEST_F(Compute, CreateServerEscapesQuotesAndBackslashes) {
  // Against the stand-in, which parses every body strictly.
  std::string const boot = add("volumes", R"({"name": "boot", "size": 4, "bootable": true})");
  server_conf record;
  record.name = "we\"b\\01 \"}, \"x\": {\"";
  record.flavor_id = "c2-m4";
  record.security_groups = {"default"};
  record.metadata = {{"k\"ey\\", "\"va\\\"lue\""}};
  curlAPI api(settings);
  ASSERT_EQ(api.create_server(boot, {}, record), 0) << log.text();
  auto const server = find("servers", record.id);
  ASSERT_FALSE(server.is_null());
  EXPECT_EQ(server.at("name").as_string(), record.name);
  EXPECT_EQ(server.at("metadata"), boost::json::parse(R"({"k\"ey\\": "va\"lue"})"));

  // The values the stand-in would refuse: checked in the body itself.
  answer("POST", ".*/servers", R"("status": 202, "body": {"server": {"id": "new"}})");
  rustack_server_parameters parameters;
  parameters.network_uuid = "u\"1";
  parameters.fixed_ip = "10.0.0.1\\";
  ASSERT_EQ(api.create_server("b\"oot\\", parameters, record), 0);
  boost::json::value body;
  ASSERT_NO_THROW(body = boost::json::parse(requests().back().body)) << requests().back().body;
  auto const& s = body.at("server");
  EXPECT_EQ(s.at("networks").at(0).at("uuid").as_string(), "u\"1");
  EXPECT_EQ(s.at("networks").at(0).at("fixed_ip").as_string(), "10.0.0.1\\");
  EXPECT_EQ(s.at("block_device_mapping_v2").at(0).at("uuid").as_string(), "b\"oot\\");
  EXPECT_EQ(s.as_object().size(), 7u) << "nothing may be smuggled into the server object";
}

TEST_F(Compute, CreateServerFailuresLeaveNoId) {
  ReplyCase const cases[] = {
      {"unknown flavor", "", 7, ": returned code: 400, error message: \"Invalid flavorRef provided.\""},
      {"server without id", R"("status": 202, "body": {"server": {"links": []}})", 7,
       ": got empty ID of created server"},
      {"empty id", R"("status": 202, "body": {"server": {"id": ""}})", 7, ": got empty ID of created server"},
      {"id with a line end", R"("status": 202, "body": {"server": {"id": "s\rMAIN SNAPSHOT FILENAME:/forged"}})", 7,
       ": the server id in the reply is not a plain id: \"s\\rMAIN SNAPSHOT FILENAME:/forged\""},
      {"server not an object", R"("status": 202, "body": {"server": "new"})", 7, ": json value is not an object"},
      {"empty server", R"("status": 202, "body": {"server": {}})", 7, ": json object is empty. Expected server info"},
      {"empty object", R"("status": 202, "body": {})", 7,
       "int curlAPI::create_server(const string&, const rustack_server_parameters&, server_conf&): server object "
       "is empty"},
      {"member that is no error object", R"("status": 202, "body": {"srv": 1})", 7,
       ": server returned not a 'server' object"},
      {"not JSON", R"("raw_body": "accepted")", 7, ": json: "},
      {"connection dropped", R"("drop": true, "times": 0)", 7, ": exception:"},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(c.what);
    cloud().reset();
    LogCapture log;
    if (!c.action.empty())
      answer("POST", ".*/servers", c.action);
    server_conf record;
    record.id = "old-id";
    record.name = "n";
    record.flavor_id = "no-such-flavor";
    curlAPI api(settings);
    EXPECT_EQ(api.create_server(sc::web_data, {}, record), c.code);
    EXPECT_EQ(record.id, "");
    EXPECT_TRUE(log.contains(c.log)) << log.text();
  }
}

// ------------------------------------------------------------ delete server

TEST_F(Compute, DeleteServerRemovesItFromTheCloud) {
  curlAPI api(settings);
  ASSERT_EQ(api.delete_server(sc::web), 0) << log.text();
  EXPECT_TRUE(find("servers", sc::web).is_null());
  EXPECT_EQ(status_of("volumes", sc::web_data), "available");
  auto const r = requests();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].method, "DELETE");
  EXPECT_EQ(r[0].path, kCB + "/servers/" + sc::web);
  EXPECT_EQ(r[0].body, "");
}

TEST_F(Compute, DeleteServerJudgesEmptyRepliesByTheirStatus) {
  ReplyCase const cases[] = {
      {"204, empty", R"("status": 204)", 0, ""},
      {"202, empty", R"("status": 202)", 0, ""},
      {"500, empty", R"("status": 500, "raw_body": "")", 6, ": got an empty reply with HTTP code 500"},
      {"404, empty", R"("status": 404, "raw_body": "")", 6, ": got an empty reply with HTTP code 404"},
      {"unknown server", R"("status": 404)", 6,
       "int curlAPI::delete_server(const string&): returned code: 404, error message: "},
      {"empty object", R"("status": 200, "body": {})", 6, ": error message object is empty"},
      {"no error object", R"("status": 200, "body": {"a": 1})", 6, ": got non empty reply from server"},
      {"connection dropped", R"("drop": true, "times": 0)", 6, ": exception:"},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(c.what);
    cloud().reset();
    LogCapture log;
    answer("DELETE", ".*/servers/.*", c.action);
    curlAPI api(settings);
    EXPECT_EQ(api.delete_server(sc::web), c.code);
    EXPECT_TRUE(log.contains(c.log)) << log.text();
  }
}

TEST_F(Compute, EmptyIdsAndOddIdsNeverReachAnotherPath) {
  curlAPI api(settings);
  EXPECT_EQ(api.delete_server(""), 6);
  EXPECT_TRUE(log.contains("int curlAPI::delete_server(const string&): empty server id"));
  EXPECT_TRUE(requests().empty()) << "a DELETE of the server collection must never be sent";

  EXPECT_EQ(api.delete_server("../os-networks"), 6);
  EXPECT_EQ(api.delete_server(".."), 6);
  std::string status;
  EXPECT_EQ(api.get_server_status("x?all=1#", status), 7);
  auto const r = requests();
  ASSERT_EQ(r.size(), 3u);
  EXPECT_EQ(r[0].path, kCB + "/servers/..%2Fos-networks");
  EXPECT_EQ(r[1].path, kCB + "/servers/%2E%2E");
  EXPECT_EQ(r[2].path, kCB + "/servers/x%3Fall%3D1%23");
  EXPECT_TRUE(find("servers", sc::web).is_object());
}

// ------------------------------------------------------- volume attachments

TEST_F(Compute, AttachVolumeSendsTheBodyAndAnswersTheDevice) {
  std::string const volume = spare_volume();
  curlAPI api(settings);
  std::string device = "stale";
  ASSERT_EQ(api.attach_volume(sc::kestrova_vm, volume, device), 0) << log.text();
  EXPECT_EQ(device, "/dev/vdb");
  EXPECT_TRUE(log.contains("Attaching volume '" + volume + "' to VM '" + sc::kestrova_vm + "' ...\n"));
  auto const r = requests();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].method, "POST");
  EXPECT_EQ(r[0].path, kCB + "/servers/" + sc::kestrova_vm + "/os-volume_attachments");
  EXPECT_EQ(r[0].body, R"({"volumeAttachment": {"volumeId": ")" + volume + R"(", "device": null}})");

  // The volume turns in-use over the polls of its status.
  std::string status;
  ASSERT_EQ(api.get_volume_status(sc::project, volume, status), 0);
  EXPECT_EQ(status, "attaching");
  ASSERT_EQ(api.get_volume_status(sc::project, volume, status), 0);
  EXPECT_EQ(status, "in-use");
  EXPECT_EQ(find("volumes", volume).at("attachment").at("server_id").as_string(), sc::kestrova_vm);
}

TEST_F(Compute, AttachVolumeEscapesTheVolumeId) {
  answer("POST", ".*/os-volume_attachments", R"("body": {"volumeAttachment": {"device": "/dev/vdc"}})");
  curlAPI api(settings);
  std::string device;
  ASSERT_EQ(api.attach_volume(sc::kestrova_vm, "v\"1\\", device), 0);
  EXPECT_EQ(device, "/dev/vdc");
  boost::json::value body;
  ASSERT_NO_THROW(body = boost::json::parse(requests().at(0).body)) << requests().at(0).body;
  EXPECT_EQ(body.at("volumeAttachment").at("volumeId").as_string(), "v\"1\\");
  EXPECT_TRUE(body.at("volumeAttachment").at("device").is_null());
}

TEST_F(Compute, AttachVolumeFailuresLeaveNoDevice) {
  ReplyCase const cases[] = {
      {"volume in use", "", 6, ": returned code: 400, error message: \"Invalid volume: volume '"},
      {"empty device", R"("body": {"volumeAttachment": {"device": ""}})", 6,
       ": device the volume attached to is empty string"},
      {"no device", R"("body": {"volumeAttachment": {"id": "x"}})", 6,
       ": device the volume attached to is empty string"},
      {"null device", R"("body": {"volumeAttachment": {"device": null}})", 6,
       ": device the volume attached to is empty string"},
      {"error member only", R"("body": {"conflictingRequest": {"code": 409, "message": "busy"}})", 6,
       ": returned code: 409, error message: \"busy\""},
      {"attachment not an object", R"("body": {"volumeAttachment": []})", 6, ": json value is not an object"},
      {"empty attachment", R"("body": {"volumeAttachment": {}})", 6,
       ": json object is empty. Expected volume attachment info"},
      {"empty object", R"("body": {})", 6,
       "int curlAPI::attach_volume(const string&, const string&, string&): volume attachment object is empty"},
      {"connection dropped", R"("drop": true, "times": 0)", 6, ": exception:"},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(c.what);
    cloud().reset();
    LogCapture log;
    if (!c.action.empty())
      answer("POST", ".*/os-volume_attachments", c.action);
    curlAPI api(settings);
    std::string device = "/dev/vdz";
    EXPECT_EQ(api.attach_volume(sc::kestrova_vm, sc::web_data, device), c.code);
    EXPECT_EQ(device, "");
    EXPECT_TRUE(log.contains(c.log)) << log.text();
  }
}

TEST_F(Compute, DetachVolumeReturnsTheVolume) {
  curlAPI api(settings);
  ASSERT_EQ(api.detach_volume(sc::web, sc::web_data), 0) << log.text();
  EXPECT_TRUE(log.contains(std::string("Detaching volume '") + sc::web_data + "' from VM '" + sc::web + "' ...\n"));
  EXPECT_TRUE(log.contains(std::string("Volume '") + sc::web_data + "' was successfully detached from VM '" +
                           sc::web + "'\n"));
  auto const r = requests();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].method, "DELETE");
  EXPECT_EQ(r[0].path, kCB + "/servers/" + sc::web + "/os-volume_attachments/" + sc::web_data);
  std::string status;
  ASSERT_EQ(api.get_volume_status(sc::project, sc::web_data, status), 0);
  EXPECT_EQ(status, "detaching");
  ASSERT_EQ(api.get_volume_status(sc::project, sc::web_data, status), 0);
  EXPECT_EQ(status, "available");
}

TEST_F(Compute, DetachVolumeResults) {
  ReplyCase const cases[] = {
      {"not attached", "", 0, ": returned code: 404, error message: \"volume_id not found: "},
      {"404 without a body", R"("status": 404, "raw_body": "")", 0, "is not attached to VM"},
      {"conflict", R"("status": 409)", 6, ": returned code: 409"},
      {"500 without a body", R"("status": 500, "raw_body": "")", 6, ": got an empty reply with HTTP code 500"},
      {"empty object", R"("status": 202, "body": {})", 6,
       "int curlAPI::detach_volume(const string&, const string&): error message object is empty"},
      {"no error object", R"("status": 202, "body": {"x": []})", 6, ": got non empty reply from server"},
      {"error object without code or message", R"("status": 202, "body": {"x": {"details": "busy"}})", 6,
       "int curlAPI::detach_volume(const string&, const string&): returned code: , error message: \n"},
      {"connection dropped", R"("drop": true, "times": 0)", 6, ": exception:"},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(c.what);
    cloud().reset();
    LogCapture log;
    if (!c.action.empty())
      answer("DELETE", ".*/os-volume_attachments/.*", c.action);
    curlAPI api(settings);
    EXPECT_EQ(api.detach_volume(sc::kestrova_vm, sc::web_data), c.code);
    EXPECT_TRUE(log.contains(c.log)) << log.text();
    EXPECT_EQ(status_of("volumes", sc::web_data), "in-use");
  }
}

}  // namespace
