// Shared pieces of the RuStack module tests: a module object that shows its
// settings, the module configuration file of the sandbox, a URL where no
// cloud listens, and log text without time stamps and colours.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <regex>
#include <stdexcept>
#include <string>
#include <utility>

#include "common/test_util.h"
#include "rustack/ks_module_rustack.h"
#include "standins/cloud/fake_cloud.h"
#include "support/log/ks_log.h"

namespace kstest {

inline constexpr char const* module_config_path = "/opt/kestrova/etc/ks_module_rustack.conf";

// The module with its protected state in reach.
class ModuleProbe : public KsModuleRuStack {
 public:
  explicit ModuleProbe(KsModuleOptions options = {}) : KsModuleRuStack(std::move(options)) {}
  conf& config() { return settings; }
  rustack_vm_info const& found_vm() const { return resource_vm; }
  std::uint32_t block_size() const { return dd_block_size; }
  void set_backup_server_name(std::string name) { backup_server_name = std::move(name); }
};

inline void write_module_config(std::string const& text) { write_file(module_config_path, text); }

// A configuration for the accounts of the standard seed at `url`.
inline std::string standard_module_config(std::string const& url,
                                          std::string const& vm_id = standard_cloud::kestrova_vm,
                                          std::string const& password = standard_cloud::password) {
  return "url " + url + "/\n" + "username " + standard_cloud::user + "\n" + "password " + password + "\n" +
         "admin_name " + standard_cloud::admin + "\n" + "admin_password " + standard_cloud::admin_password + "\n" +
         "domain " + standard_cloud::domain + "\n" + "project_id " + standard_cloud::project + "\n" +
         "kestrova-vm-id " + vm_id + "\n" + "timeout 20\n";
}

// http://127.0.0.1:<port> of a port that was free a moment ago: connections
// to it are refused.
inline std::string closed_url() {
  int const fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0)
    throw std::runtime_error("socket");
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof addr;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length) != 0) {
    ::close(fd);
    throw std::runtime_error("bind");
  }
  ::close(fd);
  return "http://127.0.0.1:" + std::to_string(ntohs(addr.sin_port));
}

// Output text with the time stamp of each log line replaced by `mark`.
inline std::string without_time_stamps(std::string const& text, std::string const& mark = "[T] ") {
  static std::regex const stamp("\\[[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\\] ");
  return std::regex_replace(text, stamp, mark);
}

// Log text without colour codes and the blank the reset code brings.
inline std::string without_colours(std::string const& text) {
  static std::regex const reset(" \x1b\\[0m");
  static std::regex const colour("\x1b\\[[0-9;]*m");
  return std::regex_replace(std::regex_replace(text, reset, ""), colour, "");
}

// Every log message of the test process goes to a file of its own while the
// object lives; lines() gives them without time stamps and colours.
class LogLines {
 public:
  LogLines() : path_((dir_ / "module.log").string()) {
    KsLogStream::set_global_log_level(KsLogLvl::Info);
    KsLogStream::set_default_loggers(KsDestination::File(path_));
  }
  ~LogLines() { KsLogStream::set_default_loggers(KsDestination::Stderr()); }
  LogLines(LogLines const&) = delete;
  LogLines& operator=(LogLines const&) = delete;

  std::string lines() const {
    return boost::filesystem::exists(path_) ? without_colours(without_time_stamps(read_file(path_), "")) : "";
  }
  bool contains(std::string const& part) const { return lines().find(part) != std::string::npos; }

 private:
  TempDir dir_;
  std::string path_;
};

}  // namespace kstest
