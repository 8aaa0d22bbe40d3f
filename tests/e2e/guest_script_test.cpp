// Which scripts a backup runs inside the guest, through virsh and the guest
// agent, for each server state, administrator account, hypervisor type and
// choice of script: the expected guest-exec calls, in order.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <boost/filesystem.hpp>

#include "e2e/backup_client.h"
#include "e2e/cloud_objects.h"

namespace fs = boost::filesystem;
using namespace kstest::e2e;

namespace {

char const* const kDefault = "/opt/kestrova/scripts/rustack.sh";
char const* const kFreeze = "/opt/app/freeze";
char const* const kThaw = "/opt/app/thaw";

// One guest-exec request: the program and its arguments, "program arg ...".
using Exec = std::string;

struct GuestRow {
  char const* name;
  char const* status;        // of the server
  bool admin;                // an administrator account in the module configuration
  char const* hypervisor;    // the server's hypervisor (node3 is not QEMU)
  char const* before;        // script_before_snapshot, empty: not given
  char const* after;         // script_after_snapshot
  bool default_in_guest;     // /opt/kestrova/scripts/rustack.sh exists in the guest
  bool later_failure;        // the second attachment is refused after the first script ran
  std::vector<Exec> calls;   // expected guest-exec requests
};

void PrintTo(GuestRow const& row, std::ostream* out) { *out << row.name; }

std::string probe() { return std::string("/usr/bin/test -f ") + kDefault; }
std::string call(char const* script, char const* arg) { return std::string(script) + " " + arg; }

std::vector<GuestRow> rows() {
  char const* const qemu = "node2.cloud.test";
  char const* const other = "node3.cloud.test";
  return {
      {"default_script_absent", "ACTIVE", true, qemu, "", "", false, false, {probe()}},
      {"default_script_present", "ACTIVE", true, qemu, "", "", true, false,
       {probe(), call(kDefault, "before"), call(kDefault, "after")}},
      {"before_given", "ACTIVE", true, qemu, kFreeze, "", true, false, {call(kFreeze, "before")}},
      {"after_given_default_absent", "ACTIVE", true, qemu, "", kThaw, false, false, {probe(), call(kThaw, "after")}},
      {"after_given_default_present", "ACTIVE", true, qemu, "", kThaw, true, false,
       {probe(), call(kDefault, "before"), call(kThaw, "after")}},
      {"both_given", "ACTIVE", true, qemu, kFreeze, kThaw, true, false,
       {call(kFreeze, "before"), call(kThaw, "after")}},
      {"server_not_active", "SHUTOFF", true, qemu, kFreeze, kThaw, true, false, {}},
      {"no_admin_account", "ACTIVE", false, qemu, kFreeze, kThaw, true, false, {}},
      {"hypervisor_not_qemu", "ACTIVE", true, other, kFreeze, kThaw, true, false, {}},
      // A guest whose "before" script ran gets its "after" script also when
      // the backup fails later.
      {"both_given_later_failure", "ACTIVE", true, qemu, kFreeze, kThaw, true, true,
       {call(kFreeze, "before"), call(kThaw, "after")}},
      {"default_present_later_failure", "ACTIVE", true, qemu, "", "", true, true,
       {probe(), call(kDefault, "before"), call(kDefault, "after")}},
  };
}

// The standard seed and a hypervisor that is not QEMU.
std::string seed_with_other_hypervisor() {
  boost::json::value seed = boost::json::parse(kstest::FakeCloud::standard_seed());
  seed.at("hypervisors").as_array().push_back(
      {{"hypervisor_hostname", "node3.cloud.test"}, {"hypervisor_type", "VMware"}, {"host_ip", "192.168.100.13"}});
  return boost::json::serialize(seed);
}

boost::json::object guest(bool default_in_guest) {
  boost::json::array scripts;
  scripts.push_back(
      {{"path", "/usr/bin/test"}, {"args", {"-f", kDefault}}, {"exitcode", default_in_guest ? 0 : 1}});
  // The scripts take a poll or two, so the module waits for them.
  for (char const* s : {kDefault, kFreeze, kThaw}) scripts.push_back({{"path", s}, {"exitcode", 0}, {"polls", 1}});
  return {{"hosts", {"192.168.100.12", "192.168.100.13"}}, {"scripts", scripts}};
}

class GuestScripts : public ::testing::TestWithParam<GuestRow> {};

TEST_P(GuestScripts, RunAsTheTableSays) {
  GuestRow const& row = GetParam();
  fs::remove("/opt/kestrova/log/ks_module_rustack.log");
  HarnessOptions options;
  options.seed_json = seed_with_other_hypervisor();
  if (!row.admin) options.config.admin_name.clear();
  Harness h(options);
  h.cloud().set_polls(quick_polls());
  VmSpec spec;
  spec.status = row.status;
  spec.hypervisor_hostname = row.hypervisor;
  Vm const vm = h.make_vm(spec);
  h.set_virsh_fixture(guest(row.default_in_guest));
  if (row.later_failure)
    h.cloud().add_fault({{"method", "POST"}, {"path", ".*/os-volume_attachments"}, {"nth", 2}, {"status", 500}});
  kstest::TempDir store;
  BackupClient client(h, store.str());
  CloudObjects const before = cloud_objects(h.inventory());

  std::string params;
  if (*row.before) params += std::string("script_before_snapshot:") + row.before;
  if (*row.after) params += std::string(params.empty() ? "" : ",") + "script_after_snapshot:" + row.after;
  ClientRun const run = client.backup(vm.id, "db-full", "", params);
  EXPECT_EQ(run.result.status, row.later_failure ? 6 : 0) << run.command_line() << "\n" << h.log_text();

  std::vector<Exec> execs;
  for (VirshCall const& c : h.virsh_calls()) {
    boost::json::value const request = c.request();
    if (request.is_null() || request.at("execute") != "guest-exec") continue;
    // Every agent command goes to the server's domain on its hypervisor, in the C locale.
    EXPECT_EQ(c.argv.at(1), "qemu+ssh://root@192.168.100.12/system");
    EXPECT_EQ(c.argv.at(3), vm.instance_name);
    EXPECT_EQ(c.lang, "C");
    Exec e(request.at("arguments").at("path").as_string());
    for (auto const& a : request.at("arguments").at("arg").as_array()) e += " " + std::string(a.as_string());
    execs.push_back(e);
  }
  EXPECT_EQ(execs, row.calls) << h.log_text();

  // The hypervisor is asked only when scripts may run at all; over ssh its
  // host is probed before the first agent command.
  bool queried = false;
  for (auto const& e : h.request_log())
    queried |= e.at("path").as_string() == "/nova-api/v2/os-hypervisors/detail";
  EXPECT_EQ(queried, std::string(row.status) == "ACTIVE" && row.admin);
  if (!row.calls.empty()) {
    std::vector<boost::json::object> const ssh = h.ssh_calls();
    ASSERT_FALSE(ssh.empty());
    EXPECT_EQ(ssh.front().at("host").as_string(), "192.168.100.12");
  }
  EXPECT_EQ(cloud_objects(h.inventory()), before);
}

INSTANTIATE_TEST_SUITE_P(Matrix, GuestScripts, ::testing::ValuesIn(rows()),
                         [](::testing::TestParamInfo<GuestRow> const& info) { return std::string(info.param.name); });

// The hypervisor's host_ip goes into "qemu+<protocol>://root@<host>/system"
// and to ssh. One that is no host is refused before virsh or ssh runs with
// it, and the backup then goes on as when the hypervisor cannot be reached:
// without the default script, or failing when a "before" script was asked.
struct AddressRow {
  std::string name;
  std::string host_ip;
  std::string shown;  // how the refusal shows it: in quotes, on one line
  std::string protocol;
  bool refused;  // false: a good address of a hypervisor that cannot be reached
  bool before;   // script_before_snapshot given
  int status;
};

void PrintTo(AddressRow const& row, std::ostream* out) { *out << row.name; }

std::vector<AddressRow> address_rows() {
  struct Host {
    char const* name;
    std::string ip, shown;
  };
  std::vector<Host> const hosts = {
      {"command_query", "1.2.3.4/system?command=/tmp/x&", "'1.2.3.4/system?command=/tmp/x&'"},
      {"user", "user@1.2.3.4", "'user@1.2.3.4'"},
      {"port", "1.2.3.4:16509", "'1.2.3.4:16509'"},
      {"blank", "", "''"},
      {"leading_dash", "-oProxyCommand=/tmp/x", "'-oProxyCommand=/tmp/x'"},
      // The module reads host_ip in its JSON form, so the line end arrives
      // as "\n", whose backslash the quotes escape.
      {"line_end", "192.168.100.12\nMAIN SNAPSHOT FILENAME:/forged",
       "'192.168.100.12\\\\nMAIN SNAPSHOT FILENAME:/forged'"},
      {"ipv6_zone", "[fe80::1%eth0]", "'[fe80::1%eth0]'"},
  };
  std::string const good = "192.168.100.12";
  std::vector<AddressRow> rows;
  for (std::string const protocol : {"ssh", "tcp"}) {
    rows.push_back({"unreachable_" + protocol, good, "", protocol, false, false, 0});
    rows.push_back({"unreachable_before_" + protocol, good, "", protocol, false, true, 6});
    for (Host const& host : hosts)
      rows.push_back({std::string(host.name) + "_" + protocol, host.ip, host.shown, protocol, true, false, 0});
    rows.push_back({"command_query_before_" + protocol, hosts[0].ip, hosts[0].shown, protocol, true, true, 6});
  }
  return rows;
}

std::string seed_with_host_ip(std::string const& host_ip) {
  boost::json::value seed = boost::json::parse(kstest::FakeCloud::standard_seed());
  for (auto& h : seed.at("hypervisors").as_array())
    if (h.at("hypervisor_hostname") == "node2.cloud.test") h.as_object()["host_ip"] = host_ip;
  return boost::json::serialize(seed);
}

class HypervisorAddress : public ::testing::TestWithParam<AddressRow> {};

TEST_P(HypervisorAddress, IsAHostOrNothingRuns) {
  AddressRow const& row = GetParam();
  fs::remove("/opt/kestrova/log/ks_module_rustack.log");
  HarnessOptions options;
  options.seed_json = seed_with_host_ip(row.host_ip);
  options.config.protocol = row.protocol;
  Harness h(options);
  h.cloud().set_polls(quick_polls());
  Vm const vm = h.make_vm();
  // Every address would answer and the guest has the default script, so
  // only the refusal keeps the scripts from running; the control rows make
  // the good address unreachable instead.
  boost::json::object fixture = guest(true);
  if (row.refused) {
    fixture.erase("hosts");
  } else {
    fixture["hosts"] = boost::json::array{"10.9.9.9"};
    h.set_ssh_fixture({});
  }
  h.set_virsh_fixture(fixture);
  kstest::TempDir store;
  BackupClient client(h, store.str());
  CloudObjects const before = cloud_objects(h.inventory());

  ClientRun const run =
      client.backup(vm.id, "db-full", "", row.before ? std::string("script_before_snapshot:") + kFreeze : "");
  std::string const log = h.log_text();
  EXPECT_EQ(run.result.status, row.status) << run.command_line() << "\n" << log;
  EXPECT_EQ(h.ksfd_calls().size(), row.status == 0 ? 1u : 0u);
  EXPECT_EQ(cloud_objects(h.inventory()), before);
  for (std::string const& line : run.result.out_lines) EXPECT_NE(line, "MAIN SNAPSHOT FILENAME:/forged");

  if (row.refused) {
    EXPECT_TRUE(h.virsh_calls().empty());
    EXPECT_TRUE(h.ssh_calls().empty());
    std::string const refusal = ": the hypervisor address " + row.shown +
                                " is not a host name, an IPv4 address or an IPv6 address in brackets; no script is "
                                "run inside VM " + vm.instance_name;
    EXPECT_NE(log.find(refusal), std::string::npos) << log;
  } else {
    // The guest was not reached: over ssh the probe failed, over tcp virsh.
    EXPECT_EQ(log.find("is not a host name"), std::string::npos) << log;
    if (row.protocol == "ssh")
      EXPECT_NE(log.find(": unable to connect via ssh to host: '192.168.100.12'"), std::string::npos) << log;
    else
      EXPECT_TRUE(h.ssh_calls().empty());
  }
}

INSTANTIATE_TEST_SUITE_P(Rows, HypervisorAddress, ::testing::ValuesIn(address_rows()),
                         [](::testing::TestParamInfo<AddressRow> const& info) { return info.param.name; });

}  // namespace
