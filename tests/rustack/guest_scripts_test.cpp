// Scripts inside the guest through virsh and the guest agent, and the ssh
// probe of the hypervisor host, against the virsh and ssh stand-ins placed at
// /usr/bin inside the sandbox.
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include <boost/filesystem.hpp>
#include <boost/json.hpp>
#include <gtest/gtest.h>

#include "common/test_util.h"
#include "module_probe.h"
#include "rustack/curl_api.h"
#include "rustack/ks_module_rustack.h"
#include "support/utils/quoting.h"

namespace fs = boost::filesystem;

namespace {

char const* const kSig =
    "int KsModuleRuStack::run_script_inside_vm(const string&, const string&, const string&, "
    "std::__cxx11::string&, curlAPI*, unsigned int&)";
char const* const kSshSig =
    "bool openstack::test_ssh_connection(const string&, const string&, unsigned int, bool, const string&, bool)";
char const* const kHost = "192.168.100.12";
char const* const kDomain = "instance-0000002a";
char const* const kScript = "/opt/kestrova/scripts/rustack.sh";

std::vector<boost::json::value> json_lines(fs::path const& p) {
  std::vector<boost::json::value> out;
  if (!fs::exists(p)) return out;
  std::istringstream in(kstest::read_file(p));
  for (std::string line; std::getline(in, line);)
    if (!line.empty()) out.push_back(boost::json::parse(line));
  return out;
}

std::vector<std::string> strings(boost::json::value const& v) {
  std::vector<std::string> out;
  for (auto const& s : v.as_array()) out.emplace_back(s.as_string());
  return out;
}

// The guest and the hypervisor host as the stand-ins show them to this
// process and its commands.
class StandIns {
 public:
  StandIns() {
    ::setenv("VIRSH_STANDIN_FIXTURE", (dir_ / "virsh.json").c_str(), 1);
    ::setenv("VIRSH_STANDIN_STATE", (dir_ / "virsh.state").c_str(), 1);
    ::setenv("VIRSH_STANDIN_LOG", (dir_ / "virsh.log").c_str(), 1);
    ::setenv("SSH_STANDIN_FIXTURE", (dir_ / "ssh.json").c_str(), 1);
    ::setenv("SSH_STANDIN_LOG", (dir_ / "ssh.log").c_str(), 1);
    guest({});
    hosts({{"default", {{"exit", 0}}}});
  }
  ~StandIns() {
    for (char const* v : {"VIRSH_STANDIN_FIXTURE", "VIRSH_STANDIN_STATE", "VIRSH_STANDIN_LOG", "SSH_STANDIN_FIXTURE",
                          "SSH_STANDIN_LOG"})
      ::unsetenv(v);
  }
  StandIns(StandIns const&) = delete;
  StandIns& operator=(StandIns const&) = delete;

  void guest(boost::json::object const& fixture) {
    kstest::write_file(dir_ / "virsh.json", boost::json::serialize(fixture));
    fs::remove(dir_ / "virsh.state");
  }
  void hosts(boost::json::object const& fixture) { kstest::write_file(dir_ / "ssh.json", boost::json::serialize(fixture)); }

  // Calls of virsh: argv without the program name.
  std::vector<std::vector<std::string>> virsh() const {
    std::vector<std::vector<std::string>> out;
    for (auto const& l : json_lines(dir_ / "virsh.log")) out.push_back(strings(l.at("argv")));
    return out;
  }
  std::vector<std::string> virsh_langs() const {
    std::vector<std::string> out;
    for (auto const& l : json_lines(dir_ / "virsh.log"))
      out.push_back(l.at("lang").is_string() ? std::string(l.at("lang").as_string()) : "");
    return out;
  }
  // The agent requests, parsed.
  std::vector<boost::json::value> requests() const {
    std::vector<boost::json::value> out;
    for (auto const& a : virsh())
      if (a.size() == 5) out.push_back(boost::json::parse(a[4]));
    return out;
  }
  int status_polls() const {
    int n = 0;
    for (auto const& r : requests()) n += r.at("execute") == "guest-exec-status";
    return n;
  }
  std::vector<boost::json::value> ssh() const { return json_lines(dir_ / "ssh.log"); }

 private:
  kstest::TempDir dir_;
};

struct Outcome {
  int result;
  std::string arguments;  // as the call left them
};

Outcome run_script(kstest::ModuleProbe& module, std::string const& script, std::string arguments, unsigned timeout,
                   std::string const& host = kHost, std::string const& domain = kDomain) {
  curlAPI client(module.config());
  int const r = module.run_script_inside_vm(host, domain, script, arguments, &client, timeout);
  return {r, arguments};
}

boost::json::object rule(std::string const& path, boost::json::object more = {}) {
  more["path"] = path;
  return more;
}

}  // namespace

// One table over the agent's answers: what the call returns, the line it
// logs and how often it asks for the status.
TEST(GuestScripts, TheAgentExchange) {
  KS_REQUIRE_SANDBOX();
  struct Case {
    char const* what;
    boost::json::object rule;
    std::string script;
    std::string arguments;
    unsigned timeout;
    int result;
    std::string line;  // empty: no error line
    int polls;
  };
  std::string const probe = "/usr/bin/test";
  std::string const probe_args = std::string("-f ") + kScript;
  std::vector<Case> const cases = {
      {"exits at once", rule(kScript, {{"exitcode", 0}}), kScript, "before", 5, 0, "", 1},
      {"exits on the third poll", rule(kScript, {{"exitcode", 0}, {"polls", 2}}), kScript, "before", 3, 0, "", 3},
      {"a non-zero exit code", rule(kScript, {{"exitcode", 3}}), kScript, "after", 5, 1,
       std::string(kSig) + ": internal VM script returned: 3", 1},
      {"never ends within the bound", rule(kScript, {{"never", true}}), kScript, "before", 2, 1,
       std::string(kSig) + ": internal VM script execution timed out", 2},
      {"needs as many polls as the bound", rule(kScript, {{"exitcode", 0}, {"polls", 2}}), kScript, "before", 2, 1,
       std::string(kSig) + ": internal VM script execution timed out", 2},
      {"a bound of 0 polls once", rule(kScript, {{"exitcode", 0}, {"polls", 1}}), kScript, "before", 0, 1,
       std::string(kSig) + ": internal VM script execution timed out", 1},
      {"exited without a code", rule(kScript, {{"exitcode", nullptr}}), kScript, "before", 5, 1,
       std::string(kSig) + ": got empty exit code for executed script", 1},
      {"the guest lacks the script", rule("/other"), kScript, "before", 5, 1,
       std::string(kSig) + ": can't execute script inside VM. /usr/bin/virsh returned: 1 with error: '", 0},
      {"the probe finds no file", rule(probe, {{"exitcode", 1}}), probe, probe_args, 1, 1,
       std::string(kSig) + ": internal VM script returned: 1", 1},
      {"the probe finds the file", rule(probe, {{"exitcode", 0}}), probe, probe_args, 1, 0, "", 1},
      {"the probe cannot start", rule(probe, {{"exec_error", "Permission denied"}}), probe, probe_args, 1, 1,
       std::string(kSig) + ": internal VM script execution timed out", 0},
      {"the status request fails", rule(kScript, {{"status_error", "agent gone"}}), kScript, "before", 5, 1,
       std::string(kSig) + ": can't get exec status of running script. /usr/bin/virsh returned: 1 with error: '",
       1},
      // What virsh printed, on the line of the message.
      {"the status request fails with control characters",
       rule(kScript, {{"status_error", "gone\nMAIN SNAPSHOT FILENAME:/x\x1b[2K"}}), kScript, "before", 5, 1,
       std::string(kSig) +
           ": can't get exec status of running script. /usr/bin/virsh returned: 1 with error: 'error: internal "
           "error: unable to execute QEMU agent command \\'guest-exec-status\\': gone\\nMAIN SNAPSHOT "
           "FILENAME:/x\\x1b[2K'\n",
       1},
      {"a status reply that is not JSON", rule(kScript, {{"status_reply", "not json"}}), kScript, "before", 5, 1,
       std::string(kSig) + ": json: ", 1},
      {"a status reply that is an array", rule(kScript, {{"status_reply", "[1]"}}), kScript, "before", 5, 1,
       ": json value is not an object", 1},
      {"a return member that is no object", rule(kScript, {{"status_reply", "{\"return\": 5}"}}), kScript, "before",
       5, 1, std::string(kSig) + ": json value is not an object", 1},
      {"an empty return member", rule(kScript, {{"status_reply", "{\"return\": {}}"}}), kScript, "before", 5, 1,
       std::string(kSig) + ": json object is empty. Expected virsh command exec info", 1},
      {"a pid after a blank", rule(kScript, {{"exec_reply", "{\"return\": {\"pid\": 4000}}"}}), kScript, "before", 5,
       0, "", 1},
      {"a start reply without a pid", rule(kScript, {{"exec_reply", "{\"return\": {}}"}}), kScript, "before", 5, 1,
       std::string(kSig) + ": can't get pid of the script started inside VM from: '", 0},
  };
  for (Case const& c : cases) {
    SCOPED_TRACE(c.what);
    StandIns s;
    s.guest({{"scripts", {c.rule}}});
    kstest::LogLines log;
    kstest::ModuleProbe module;
    EXPECT_EQ(run_script(module, c.script, c.arguments, c.timeout).result, c.result);
    if (c.line.empty()) EXPECT_FALSE(log.contains(kSig)) << log.lines();
    else EXPECT_TRUE(log.contains(c.line)) << log.lines();
    EXPECT_EQ(s.status_polls(), c.polls);
    // The probe's start is never announced; a real script's is.
    EXPECT_EQ(log.contains("Run command '"), c.script != probe && c.polls > 0) << log.lines();
  }
}

TEST(GuestScripts, CommandLinesOfOneRun) {
  KS_REQUIRE_SANDBOX();
  StandIns s;
  s.guest({{"next_pid", 4321}, {"scripts", {rule(kScript, {{"exitcode", 0}, {"polls", 1}})}}});
  kstest::LogLines log;
  kstest::ModuleProbe module;
  Outcome const o = run_script(module, kScript, "before", 5);
  ASSERT_EQ(o.result, 0) << log.lines();
  EXPECT_EQ(o.arguments, "\"before\"");

  std::string const uri = std::string("qemu+ssh://root@") + kHost + "/system";
  std::vector<std::vector<std::string>> const expected = {
      {"-v"},
      {"-c", uri, "qemu-agent-command", kDomain,
       "{\"execute\": \"guest-exec\", \"arguments\":{\"path\": \"/opt/kestrova/scripts/rustack.sh\",\"arg\": "
       "[\"before\"]}}"},
      {"-c", uri, "qemu-agent-command", kDomain, "{\"execute\": \"guest-exec-status\", \"arguments\": {\"pid\": 4321}}"},
      {"-c", uri, "qemu-agent-command", kDomain, "{\"execute\": \"guest-exec-status\", \"arguments\": {\"pid\": 4321}}"},
  };
  EXPECT_EQ(s.virsh(), expected);
  std::vector<std::string> const langs = s.virsh_langs();
  EXPECT_EQ(std::vector<std::string>(langs.begin() + 1, langs.end()), (std::vector<std::string>{"C", "C", "C"}));
  EXPECT_TRUE(log.contains(std::string("Run command '") + kScript + "' with argument '\"before\"' inside VM: " +
                           kDomain + ", pid: 4321"))
      << log.lines();

  // The hypervisor host was probed first, as root, quietly, within 5 seconds.
  std::vector<boost::json::value> const ssh = s.ssh();
  ASSERT_EQ(ssh.size(), 1u);
  EXPECT_EQ(strings(ssh[0].at("argv")),
            (std::vector<std::string>{"-q", "-l", "root", kHost, "-o", "ConnectTimeout=5", "-o",
                                      "PasswordAuthentication=no", "-o", "PubkeyAuthentication=yes", "-o",
                                      "BatchMode=yes", "-o", "StrictHostKeyChecking=accept-new", "exit 0"}));
}

TEST(GuestScripts, OverTcpNoSshProbeIsMade) {
  KS_REQUIRE_SANDBOX();
  StandIns s;
  s.guest({{"scripts", {rule(kScript, {{"exitcode", 0}})}}});
  s.hosts({});  // every host unreachable over ssh
  kstest::ModuleProbe module;
  module.config().protocol = "tcp";
  EXPECT_EQ(run_script(module, kScript, "before", 5).result, 0);
  EXPECT_TRUE(s.ssh().empty());
  ASSERT_EQ(s.virsh().size(), 3u);
  EXPECT_EQ(s.virsh()[1][1], std::string("qemu+tcp://root@") + kHost + "/system");
}

TEST(GuestScripts, ArgumentsSplitAtEveryBlank) {
  KS_REQUIRE_SANDBOX();
  struct Case {
    std::string arguments;
    std::string quoted;
    std::vector<std::string> received;
  };
  for (Case const& c : {Case{"", "\"\"", {""}}, Case{"before", "\"before\"", {"before"}},
                        Case{std::string("-f ") + kScript, std::string("\"-f\", \"") + kScript + "\"", {"-f", kScript}},
                        Case{"a  b ", "\"a\", \"\", \"b\", \"\"", {"a", "", "b", ""}}}) {
    SCOPED_TRACE(c.arguments);
    StandIns s;
    s.guest({{"scripts", {rule(kScript, {{"exitcode", 0}})}}});
    kstest::ModuleProbe module;
    Outcome const o = run_script(module, kScript, c.arguments, 5);
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(o.arguments, c.quoted);
    ASSERT_FALSE(s.requests().empty());
    EXPECT_EQ(strings(s.requests()[0].at("arguments").at("arg")), c.received);
  }
}

// Paths, arguments and domain that hold JSON or shell syntax reach the
// agent as they are and run nothing on the way.
TEST(GuestScripts, HostileTextsArriveWhole) {
  KS_REQUIRE_SANDBOX();
  kstest::TempDir dir;
  std::string const mark = (dir / "ran").string();
  std::string const script = "/opt/my \"scripts\"/it's\\$(touch " + mark + ")\ttab`touch " + mark + "`";
  std::string const argument = "x\"y'$(touch${IFS}" + mark + ")\\";  // one piece: no blank
  std::string const domain = "inst'; touch " + mark + "; echo '";
  StandIns s;
  s.guest({{"scripts", {rule(script, {{"exitcode", 0}})}}});
  kstest::ModuleProbe module;
  Outcome const o = run_script(module, script, argument, 5, kHost, domain);
  EXPECT_EQ(o.result, 0);
  EXPECT_FALSE(fs::exists(mark));

  std::vector<std::vector<std::string>> const calls = s.virsh();
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[1][1], std::string("qemu+ssh://root@") + kHost + "/system");
  EXPECT_EQ(calls[1][3], domain);
  boost::json::value const start = boost::json::parse(calls[1][4]);
  EXPECT_EQ(start.at("arguments").at("path").as_string(), script);
  EXPECT_EQ(strings(start.at("arguments").at("arg")), std::vector<std::string>{argument});
  ASSERT_EQ(s.ssh().size(), 1u);
  EXPECT_EQ(s.ssh()[0].at("host").as_string(), kHost);
}

// The hypervisor address goes into "qemu+<protocol>://root@<host>/system"
// and to ssh: only a host name, an IPv4 address or an IPv6 address in
// brackets gets there. Anything else is refused with an Error before
// anything runs, over ssh and over tcp alike.
TEST(GuestScripts, OnlyAHostReachesVirshAndSsh) {
  KS_REQUIRE_SANDBOX();
  kstest::TempDir dir;
  std::string const mark = (dir / "ran").string();
  struct Case {
    std::string host;
    bool accepted;
    std::string ssh_host;  // as the probe passes it to ssh
  };
  std::vector<Case> const cases = {
      {"1.2.3.4/system?command=" + mark + "&", false, ""},
      {"user@1.2.3.4", false, ""},
      {"1.2.3.4:16509", false, ""},
      {"", false, ""},
      {" ", false, ""},
      {"-oProxyCommand=touch " + mark, false, ""},
      {"1.2.3.4\n", false, ""},
      {"1.2.3.4\nMAIN SNAPSHOT FILENAME:/forged", false, ""},
      {"192.168.100.12';touch " + mark + ";'", false, ""},
      {"[fe80::1%eth0]", false, ""},
      {"fe80::1", false, ""},
      {"[::1]", true, "::1"},
      {"node2.cloud.test", true, "node2.cloud.test"},
      {"1.2.3.4", true, "1.2.3.4"},
  };
  for (std::string const protocol : {"ssh", "tcp"}) {
    for (Case const& c : cases) {
      SCOPED_TRACE(protocol + " " + kestrova::as_one_line(c.host));
      StandIns s;
      s.guest({{"scripts", {rule(kScript, {{"exitcode", 0}})}}});
      kstest::LogLines log;
      kstest::ModuleProbe module;
      module.config().protocol = protocol;
      EXPECT_EQ(run_script(module, kScript, "before", 5, c.host).result, c.accepted ? 0 : 1) << log.lines();
      EXPECT_FALSE(fs::exists(mark));
      std::string const refusal = std::string(kSig) + ": the hypervisor address " +
                                  kestrova::as_one_line(kestrova::as_quoted_single(c.host)) +
                                  " is not a host name, an IPv4 address or an IPv6 address in brackets; no script "
                                  "is run inside VM " + kDomain + "\n";
      if (!c.accepted) {
        EXPECT_TRUE(log.contains(refusal)) << log.lines();
        EXPECT_TRUE(s.virsh().empty());
        EXPECT_TRUE(s.ssh().empty());
        continue;
      }
      EXPECT_FALSE(log.contains(kSig)) << log.lines();
      std::vector<std::vector<std::string>> const calls = s.virsh();
      ASSERT_EQ(calls.size(), 3u);
      EXPECT_EQ(calls[1][1], "qemu+" + protocol + "://root@" + c.host + "/system");
      if (protocol == "ssh") {
        ASSERT_EQ(s.ssh().size(), 1u);
        EXPECT_EQ(s.ssh()[0].at("host").as_string(), c.ssh_host);
      } else {
        EXPECT_TRUE(s.ssh().empty());
      }
    }
  }
}

TEST(GuestScripts, NothingRunsWithoutVirshClientOrSsh) {
  KS_REQUIRE_SANDBOX();
  {
    SCOPED_TRACE("virsh does not run");
    StandIns s;
    s.guest({{"version_exit", 1}, {"scripts", {rule(kScript)}}});
    kstest::LogLines log;
    kstest::ModuleProbe module;
    EXPECT_EQ(run_script(module, kScript, "before", 5).result, 1);
    EXPECT_TRUE(log.contains(std::string(kSig) + ": /usr/bin/virsh is not installed. Install it first"));
    EXPECT_EQ(s.virsh().size(), 1u);
    EXPECT_TRUE(s.ssh().empty());
  }
  {
    SCOPED_TRACE("no client");
    StandIns s;
    kstest::ModuleProbe module;
    std::string arguments = "before";
    unsigned timeout = 5;
    EXPECT_EQ(module.run_script_inside_vm(kHost, kDomain, kScript, arguments, nullptr, timeout), 1);
    EXPECT_TRUE(s.virsh().empty());
  }
  {
    SCOPED_TRACE("the host is unreachable over ssh");
    StandIns s;
    s.guest({{"scripts", {rule(kScript)}}});
    s.hosts({});
    kstest::LogLines log;
    kstest::ModuleProbe module;
    EXPECT_EQ(run_script(module, kScript, "before", 5).result, 1);
    EXPECT_TRUE(log.contains(std::string(kSshSig) + ": unable to connect via ssh to host: '" + kHost + "'"))
        << log.lines();
    EXPECT_EQ(s.virsh().size(), 1u);  // only the version
  }
}

TEST(SshProbe, CommandLinesAndReports) {
  KS_REQUIRE_SANDBOX();
  std::vector<std::string> const fixed = {"-o", "ConnectTimeout=7", "-o", "PasswordAuthentication=no", "-o",
                                          "PubkeyAuthentication=yes", "-o", "BatchMode=yes", "-o",
                                          "StrictHostKeyChecking=accept-new", "exit 0"};
  auto argv = [&](std::vector<std::string> head) {
    head.insert(head.end(), fixed.begin(), fixed.end());
    return head;
  };
  struct Case {
    char const* what;
    std::string host, key;
    bool as_error, verbose, result;
    std::vector<std::string> argv;  // empty: ssh is not run
    std::string line;               // the log line, empty: none
  };
  // ssh's line end ends its output; it is not shown inside the quotes.
  std::string const denied = "unable to connect via ssh to host: '10.0.0.2', command output: "
                             "'Permission denied (publickey).'";
  for (Case const& c : std::vector<Case>{
           {"reachable", "10.0.0.1", "", true, false, true, argv({"-q", "-l", "admin", "10.0.0.1"}), ""},
           {"a key file goes before -q", "10.0.0.1", "/k/id key", true, false, true,
            argv({"-i", "/k/id key", "-q", "-l", "admin", "10.0.0.1"}), ""},
           {"refused, as an error", "10.0.0.2", "", true, true, false, argv({"-l", "admin", "10.0.0.2"}),
            std::string(kSshSig) + ": " + denied},
           {"refused, as a warning", "10.0.0.2", "", false, true, false, argv({"-l", "admin", "10.0.0.2"}), denied},
           {"quiet refusal has no output", "10.0.0.2", "", true, false, false,
            argv({"-q", "-l", "admin", "10.0.0.2"}), std::string(kSshSig) + ": unable to connect via ssh to host: '10.0.0.2'"},
           {"a host that reads as an option", "-oProxyCommand=x", "", true, false, false, {},
            std::string(kSshSig) + ": unable to connect via ssh to host: '-oProxyCommand=x'"}}) {
    SCOPED_TRACE(c.what);
    StandIns s;
    s.hosts({{"hosts",
                  {{"10.0.0.1", {{"exit", 0}}}, {"10.0.0.2", {{"exit", 255}, {"output", "Permission denied (publickey)."}}}}}});
    kstest::LogLines log;
    EXPECT_EQ(openstack::test_ssh_connection(c.host, "admin", 7, c.as_error, c.key, c.verbose), c.result);
    std::vector<boost::json::value> const calls = s.ssh();
    if (c.argv.empty()) {
      EXPECT_TRUE(calls.empty());
    } else {
      ASSERT_EQ(calls.size(), 1u);
      EXPECT_EQ(strings(calls[0].at("argv")), c.argv);
    }
    if (c.line.empty()) {
      EXPECT_EQ(log.lines(), "");
    } else {
      EXPECT_TRUE(log.contains(c.line)) << log.lines();
      // A warning carries no signature.
      EXPECT_EQ(log.contains(kSshSig), c.as_error) << log.lines();
      EXPECT_EQ(log.contains(", command output: "), c.verbose) << log.lines();
    }
  }
}
