// The module configuration file, the API version discovery, the module
// parameters of a task, the backup options of autonomous mode and the restore
// parameters.
#include <cstdint>
#include <fstream>
#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/algorithm/string/predicate.hpp>
#include <boost/algorithm/string/replace.hpp>
#include <boost/algorithm/string/trim_all.hpp>
#include <boost/filesystem.hpp>

#include "rustack/curl_api.h"
#include "rustack/ks_module_rustack.h"
#include "support/log/ks_log.h"
#include "support/utils/quoting.h"

namespace {

char const* const kConfigPath = "/opt/kestrova/etc/ks_module_rustack.conf";

char const* const kLoadConfigSig = "virtual bool KsModuleRuStack::load_module_config()";
char const* const kLoadApiSig = "bool KsModuleRuStack::load_api_version(bool)";
char const* const kRestoreParamsSig = "virtual void KsModuleRuStack::list_restore_parameters()";

// A cloud wait bound (polls of one second) must allow at least one poll.
std::uint32_t const kDefaultWaitBound = 300;

std::uint32_t const kDefaultRequestTimeout = 5;
std::uint32_t const kMaxRequestTimeout = 300;

std::uint32_t const kDefaultScriptTimeout = 5;
std::uint32_t const kMaxScriptTimeout = 600;

std::uint32_t const kDefaultDdBlockSize = 5;
std::uint32_t const kMaxDdBlockSize = 100;

// The standard conversion of a counted value (digits up to the first other
// character, a leading sign allowed). A value that holds no number, or one
// beyond the range of int, throws the conversion's own exception type with a
// text that names the key, the value and the line.
int config_integer(std::string const& value, std::string const& key, unsigned long line) {
  auto text = [&](char const* what) {
    return key + ": " + kestrova::as_quoted(value, '\'', '\\') + what + " (line " + std::to_string(line) + " of " +
           kConfigPath + ")";
  };
  try {
    return std::stoi(value);
  } catch (std::invalid_argument const&) {
    throw std::invalid_argument(text(" is not an integer"));
  } catch (std::out_of_range const&) {
    throw std::out_of_range(text(" is out of the range of an integer"));
  }
}

// Reads a wait bound; a value below 1 (zero or negative) would end the wait
// before its first poll, so it is replaced by the default.
std::uint32_t wait_bound(std::string const& value, std::string const& key, unsigned long line) {
  int const n = config_integer(value, key, line);
  if (n >= 1)
    return static_cast<std::uint32_t>(n);
  KsLogStream(KsLogLvl::Warning) << "Selected value '" << n << "' for parameter '" << key
                                 << "' is invalid: a time-out must be at least 1\n"
                                 << "The default value will be used: " << kDefaultWaitBound << " (seconds)"
                                 << std::endl;
  return kDefaultWaitBound;
}

// The segments of the three services, or false with an Error naming the
// version id that gives none.
bool service_segment(std::string const& service, std::string const& version_id, std::string& segment) {
  if (curlAPI::api_path_segment(version_id, segment))
    return true;
  KsLogStream(KsLogLvl::Error) << kLoadApiSig << ": the " << service << " version id "
                               << kestrova::as_one_line_quoted(version_id) << " does not give a service path segment"
                               << std::endl;
  return false;
}

}  // namespace

bool KsModuleRuStack::load_module_config() {
  try {
    std::ifstream file(kConfigPath);
    if (!file.is_open()) {
      KsLogStream(KsLogLvl::Error) << kLoadConfigSig << ": unable to open config file: " << kConfigPath
                                   << std::endl;
      return false;
    }

    std::string line;
    for (unsigned long number = 1; std::getline(file, line); ++number) {
      boost::algorithm::replace_all(line, "\t", " ");
      boost::algorithm::trim_all(line);
      if (line.empty() || line[0] == '#')
        continue;

      auto key = [&line](char const* prefix) { return boost::algorithm::starts_with(line, prefix); };
      auto value = [&line](char const* prefix) { return line.substr(std::char_traits<char>::length(prefix)); };

      if (key("url ")) {
        settings.url = value("url ");
        if (!settings.url.empty() && settings.url.back() == '/')
          settings.url.pop_back();
      } else if (key("username ")) {
        settings.username = value("username ");
      } else if (key("password ")) {
        settings.password = value("password ");
      } else if (key("admin_name ")) {
        settings.admin_name = value("admin_name ");
      } else if (key("admin_password ")) {
        settings.admin_password = value("admin_password ");
      } else if (key("protocol ")) {
        settings.protocol = value("protocol ");
        if (settings.protocol != "ssh" && settings.protocol != "tcp") {
          KsLogStream(KsLogLvl::Warning) << ": wrong protocol - " << kestrova::as_quoted(settings.protocol, '"', '\\')
                                         << " for requests to hypervisor is specified in the config file: "
                                         << kConfigPath << ", will use default value: ssh" << std::endl;
          settings.protocol = "ssh";
        }
      } else if (key("domain ")) {
        settings.domain = value("domain ");
      } else if (key("project_id ")) {
        settings.project_id = value("project_id ");
      } else if (key("volume_creation_timeout ")) {
        settings.volume_creation_timeout =
            wait_bound(value("volume_creation_timeout "), "volume_creation_timeout", number);
      } else if (key("snapshot_creation_timeout ")) {
        settings.snapshot_creation_timeout =
            wait_bound(value("snapshot_creation_timeout "), "snapshot_creation_timeout", number);
      } else if (key("volume_attachment_timeout ")) {
        settings.volume_attachment_timeout =
            wait_bound(value("volume_attachment_timeout "), "volume_attachment_timeout", number);
      } else if (key("timeout ")) {
        int const n = config_integer(value("timeout "), "timeout", number);
        auto const timeout = static_cast<std::uint32_t>(n);
        if (timeout == 0 || timeout > kMaxRequestTimeout) {
          KsLogStream(KsLogLvl::Warning) << "Selected value '" << n << "' for parameter '" << "timeout "
                                         << "' is out of range [" << 1 << ", " << kMaxRequestTimeout << "]\n"
                                         << "The default value will be used: " << kDefaultRequestTimeout
                                         << " (seconds)" << std::endl;
          settings.timeout = kDefaultRequestTimeout;
        } else {
          settings.timeout = timeout;
        }
      } else if (key("kestrova-vm-id ")) {
        settings.vm_id = value("kestrova-vm-id ");
        settings.vm_name = settings.vm_id;
      } else if (key("ca_info ")) {
        settings.ca_info = value("ca_info ");
      } else if (key("enable_ssl ")) {
        std::string const v = value("enable_ssl ");
        if (v == "no" || v == "false")
          settings.enable_ssl = false;
        else if (v == "yes" || v == "true")
          settings.enable_ssl = true;
      } else if (key("curl_verbose")) {
        settings.curl_verbose = true;
      } else {
        KsLogStream(KsLogLvl::Error) << kLoadConfigSig << ": wrong definition in the config file: " << kConfigPath
                                     << ", line: " << number << std::endl;
      }
    }
    return true;
  } catch (boost::filesystem::filesystem_error const& e) {
    KsLogStream(KsLogLvl::Error) << kLoadConfigSig << ": boost::filesystem:" << kestrova::as_one_line(e.what())
                                 << std::endl;
    return false;
  }
}

bool KsModuleRuStack::load_api_version(bool print) {
  curlAPI client(settings);

  std::string nova;
  if (client.get_api_version("nova-api", nova) != 0) {
    KsLogStream(KsLogLvl::Error) << kLoadApiSig << ": unable to work with openstack nova-api API on current host: "
                                 << kestrova::as_one_line(settings.vm_name) << std::endl;
    return false;
  }
  std::string cinder;
  if (client.get_api_version("cinder", cinder) != 0) {
    KsLogStream(KsLogLvl::Error) << kLoadApiSig << ": unable to work with openstack cinder API on current host: "
                                 << kestrova::as_one_line(settings.vm_name) << std::endl;
    return false;
  }
  std::string keystone;
  if (client.get_keystone_api_version(keystone) != 0) {
    KsLogStream(KsLogLvl::Error) << kLoadApiSig << ": unable to work with openstack keystone API on current host: "
                                 << kestrova::as_one_line(settings.vm_name) << std::endl;
    return false;
  }

  if (print) {
    KsLogStream(KsLogLvl::Info) << "Nova-api version: " << kestrova::as_one_line(nova) << std::endl;
    KsLogStream(KsLogLvl::Info) << "Cinder version: " << kestrova::as_one_line(cinder) << std::endl;
    KsLogStream(KsLogLvl::Info) << "Keystone version: " << kestrova::as_one_line(keystone) << std::endl;
  }

  // All three or none: a half-updated set would mix services of two clouds.
  rustack_api_version segments;
  if (!service_segment("nova-api", nova, segments.nova) || !service_segment("cinder", cinder, segments.cinder) ||
      !service_segment("keystone", keystone, segments.keystone))
    return false;
  settings.api_version = segments;
  return true;
}

rustack_module_conf KsModuleRuStack::read_backup_parameters() const {
  rustack_module_conf parameters;
  find_special_param("script_before_snapshot", parameters.script_before_snapshot);
  find_special_param("script_after_snapshot", parameters.script_after_snapshot);
  std::string value;
  if (find_special_param("execution_script_timeout", value)) {
    auto const timeout = static_cast<std::uint32_t>(std::stoi(value));
    if (timeout < 1 || timeout > kMaxScriptTimeout) {
      KsLogStream(KsLogLvl::Info) << "Selected value '" << value << "' for parameter '"
                                  << "execution_script_timeout" << "' is out of range [" << 1 << ", "
                                  << kMaxScriptTimeout << "]" << std::endl;
      KsLogStream(KsLogLvl::Info) << "The default value will be used: " << kDefaultScriptTimeout << " (seconds)"
                                  << std::endl;
      parameters.execution_script_timeout = kDefaultScriptTimeout;
    } else {
      parameters.execution_script_timeout = timeout;
    }
  }
  return parameters;
}

rustack_server_parameters KsModuleRuStack::read_server_parameters() const {
  rustack_server_parameters parameters;
  find_special_param("network_uuid", parameters.network_uuid);
  find_special_param("fixed_ip", parameters.fixed_ip);
  return parameters;
}

void KsModuleRuStack::read_dd_block_size() {
  std::string value;
  if (!find_special_param("dd_block_size", value))
    return;
  auto const size = static_cast<std::uint32_t>(std::stoi(value));
  if (size < 1 || size > kMaxDdBlockSize) {
    KsLogStream(KsLogLvl::Warning) << ": Invalid " << "dd_block_size" << " value: " << value << ", using default "
                                   << "dd_block_size" << " value:" << kDefaultDdBlockSize << std::endl;
    dd_block_size = kDefaultDdBlockSize;
  } else {
    dd_block_size = size;
  }
}

void KsModuleRuStack::autonomous_options() {
  std::cout << "script_before_snapshot\t\t : string \tExecute script before snapshot(s) creation" << std::endl;
  std::cout << "script_after_snapshot\t\t : string \tExecute script after snapshot(s) creation" << std::endl;
  std::cout << "execution_script_timeout\t : integer \tScript timeout, seconds" << std::endl;
  std::cout << "dd_block_size\t\t\t : integer \tBlock size for dd operations, Megabytes" << std::endl;
}

void KsModuleRuStack::list_restore_parameters() {
  load_module_config();
  if (!load_api_version(false)) {
    KsLogStream(KsLogLvl::Error) << kRestoreParamsSig << ": unable to get API version " << std::endl;
    return;
  }
  curlAPI client(settings);
  if (client.login(false) != 0) {
    KsLogStream(KsLogLvl::Error) << kRestoreParamsSig << ": unable to login " << std::endl;
    return;
  }
  std::vector<network> networks;
  if (client.get_network_list(networks) != 0) {
    KsLogStream(KsLogLvl::Error) << kRestoreParamsSig << ": unable to get list of available networks "
                                 << std::endl;
    return;
  }

  std::string ids;
  for (std::size_t i = 0; i < networks.size(); ++i)
    ids += (i == 0 ? "" : "##SEP##") + kestrova::as_one_line(networks[i].id);
  std::cout << "dd_block_size" << ": unsigned ::" << "Block size for dd operations, Megabytes:" << std::endl;
  std::cout << "network_uuid" << ": UUID :" << ids << ":" << "UUID of network to use for the new server:"
            << std::endl;
  std::cout << "fixed_ip" << ": IPv4 ::" << "Fixed IP address to use for the new server:" << std::endl;
}
