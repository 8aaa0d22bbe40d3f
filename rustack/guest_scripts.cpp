// A script inside the protected guest, started and watched through virsh and
// the guest's QEMU agent (guest-exec, then guest-exec-status polls). The
// guest needs no network; the hypervisor host is reached over ssh or tcp.
#include <chrono>
#include <exception>
#include <string>

#include <boost/json.hpp>
#include <boost/system/system_error.hpp>

#include "rustack/curl_api.h"
#include "rustack/ks_module_rustack.h"
#include "rustack/marker_text.h"
#include "rustack/poll.h"
#include "support/log/ks_log.h"
#include "support/utils/ks_utils_common.h"
#include "support/utils/quoting.h"

namespace {

char const* const kRunScriptSig =
    "int KsModuleRuStack::run_script_inside_vm(const string&, const string&, const string&, "
    "std::__cxx11::string&, curlAPI*, unsigned int&)";
char const* const kVirsh = "/usr/bin/virsh";
char const* const kProbe = "/usr/bin/test";

// The blank-separated arguments as the agent's JSON array items: every piece
// (consecutive blanks give empty ones) in double quotes, JSON-escaped,
// joined by ", ".
std::string quoted_arguments(std::string const& arguments) {
  std::string out;
  std::size_t start = 0;
  for (;;) {
    std::size_t const blank = arguments.find(' ', start);
    std::string const piece = arguments.substr(start, blank == std::string::npos ? std::string::npos : blank - start);
    if (start != 0) out += ", ";
    out += "\"" + curlAPI::json_escaped(piece) + "\"";
    if (blank == std::string::npos) break;
    start = blank + 1;
  }
  return out;
}

// The pid text of a guest-exec reply, without "}" and line breaks.
std::string pid_text(std::string const& output) {
  std::string pid;
  rustack_text::text_after_marker(output, "\"pid\":", pid);
  std::string out;
  for (char c : pid)
    if (c != '}' && c != '\n' && c != '\r') out += c;
  return out;
}

// A pid text is placed into the next agent request as a JSON number: it must
// be digits, blanks around them allowed.
bool is_pid(std::string const& text) { return ks_utils_common::is_digits(ks_utils_common::trimmed(text, " \t")); }

}  // namespace

int KsModuleRuStack::run_script_inside_vm(std::string const& host, std::string const& domain,
                                          std::string const& script, std::string& arguments, curlAPI* client,
                                          unsigned int& timeout) {
  if (!client) return 1;
  // The host goes into the libvirt address and to ssh: a user, port, path or
  // query there ("?command=" names the program libvirt runs over ssh) would
  // change what is reached or run. Such a host is refused like one that
  // cannot be reached.
  if (!ks_utils_common::is_uri_host(host)) {
    KsLogStream(KsLogLvl::Error) << kRunScriptSig << ": the hypervisor address "
                                 << kestrova::as_one_line(kestrova_common::single_quoted(host))
                                 << " is not a host name, an IPv4 address or an IPv6 address in brackets; "
                                 << "no script is run inside VM " << kestrova::as_one_line(domain) << std::endl;
    return 1;
  }

  std::string output;
  if (ks_utils_common::execute_command(std::string(kVirsh) + " -v", output) != 0) {
    KsLogStream(KsLogLvl::Warning) << kRunScriptSig << ": " << kVirsh << " is not installed. Install it first"
                                   << std::endl;
    return 1;
  }
  // ssh takes an IPv6 address bare, as libvirt hands it over from the address.
  std::string const ssh_host = host.front() == '[' ? host.substr(1, host.size() - 2) : host;
  if (settings.protocol == "ssh" && !openstack::test_ssh_connection(ssh_host, "root", 5, true, "", false)) return 1;

  arguments = quoted_arguments(arguments);
  bool const probe = script == kProbe;
  // Every value is escaped for JSON and the JSON quoted for the shell as a
  // whole, so no path or argument can break the request or the command.
  std::string const prefix = "LANG=C " + std::string(kVirsh) + " -c " +
                             kestrova::shell_quoted_if_needed("qemu+" + settings.protocol + "://root@" + host +
                                                              "/system") +
                             " qemu-agent-command " + kestrova::shell_quoted_if_needed(domain) + " ";
  std::string const start = "{\"execute\": \"guest-exec\", \"arguments\":{\"path\": \"" +
                            curlAPI::json_escaped(script) + "\",\"arg\": [" + arguments + "]}}";

  int status = ks_utils_common::execute_command(prefix + kestrova::shell_quoted(start), output);
  if (status != 0) {
    if (probe)
      KsLogStream(KsLogLvl::Error) << kRunScriptSig << ": internal VM script execution timed out" << std::endl;
    else
      KsLogStream(KsLogLvl::Error) << kRunScriptSig << ": can't execute script inside VM. " << kVirsh
                                   << " returned: " << status
                                   << " with error: " << kestrova::as_quoted_output(output)
                                   << std::endl;
    return 1;
  }

  std::string const pid = pid_text(output);
  if (!is_pid(pid)) {
    KsLogStream(KsLogLvl::Error) << kRunScriptSig << ": can't get pid of the script started inside VM from: "
                                 << kestrova::as_quoted_output(output) << std::endl;
    return 1;
  }
  if (!probe)
    KsLogStream(KsLogLvl::Info) << "Run command '" << script << "' with argument '" << arguments
                                << "' inside VM: " << kestrova::as_one_line(domain) << ", pid: " << pid << std::endl;

  rustack_poll::pause(std::chrono::milliseconds(10));
  std::string const poll = "{\"execute\": \"guest-exec-status\", \"arguments\": {\"pid\": " + pid + "}}";
  std::string exit_code;
  auto const ask_status = [&] {
    output.clear();
    exit_code.clear();
    status = ks_utils_common::execute_command(prefix + kestrova::shell_quoted(poll), output);
    if (status != 0) {
      KsLogStream(KsLogLvl::Error) << kRunScriptSig << ": can't get exec status of running script. " << kVirsh
                                   << " returned: " << status
                                   << " with error: " << kestrova::as_quoted_output(output)
                                   << std::endl;
      return rustack_poll::answer::failed;
    }

    std::string exited;
    try {
      boost::json::value reply;
      if (client->parse_result_string(output, reply) != 0) return rustack_poll::answer::failed;
      for (auto const& member : reply.as_object()) {
        if (member.key() != "return") continue;
        if (!member.value().is_object()) {
          KsLogStream(KsLogLvl::Error) << kRunScriptSig << ": json value is not an object" << std::endl;
          return rustack_poll::answer::failed;
        }
        boost::json::object const& info = member.value().as_object();
        if (info.empty()) {
          KsLogStream(KsLogLvl::Error) << kRunScriptSig << ": json object is empty. "
                                       << "Expected virsh command exec info" << std::endl;
          return rustack_poll::answer::failed;
        }
        for (auto const& field : info) {
          if (field.key() == "exitcode") exit_code = boost::json::serialize(field.value());
          else if (field.key() == "exited") exited = boost::json::serialize(field.value());
        }
      }
    } catch (boost::system::system_error const& e) {
      KsLogStream(KsLogLvl::Error) << kRunScriptSig << ": json: " << kestrova::as_one_line(e.what()) << std::endl;
      return rustack_poll::answer::failed;
    } catch (std::exception const& e) {
      KsLogStream(KsLogLvl::Error) << kRunScriptSig << ": exception:" << kestrova::as_one_line(e.what()) << std::endl;
      return rustack_poll::answer::failed;
    }
    return exited == "true" ? rustack_poll::answer::awaited : rustack_poll::answer::pending;
  };
  // A pause after each status that is not the end; a bound of 0 still asks once.
  rustack_poll::ending const end = rustack_poll::poll(
      timeout, timeout == 0 ? rustack_poll::order::ask_around_sleeps : rustack_poll::order::ask_then_sleep, ask_status);
  if (end == rustack_poll::ending::failed) return 1;
  if (end == rustack_poll::ending::bound) {
    KsLogStream(KsLogLvl::Error) << kRunScriptSig << ": internal VM script execution timed out" << std::endl;
    return 1;
  }
  if (exit_code.empty()) {
    KsLogStream(KsLogLvl::Error) << kRunScriptSig << ": got empty exit code for executed script" << std::endl;
    return 1;
  }
  if (exit_code == "0") return 0;
  KsLogStream(KsLogLvl::Error) << kRunScriptSig
                               << ": internal VM script returned: " << kestrova::as_one_line(exit_code) << std::endl;
  return 1;
}
