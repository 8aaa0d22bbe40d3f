#include <algorithm>
#include <exception>

#include <boost/filesystem.hpp>

#include "framework/ks_module_universal.h"
#include "support/log/ks_log.h"

namespace {

bool is_true_word(std::string const& value) { return value == "t" || value == "true"; }

}  // namespace

void KsModuleUniversal::parce_param_string() {
  std::string const& text = options_.module_params;
  std::string::size_type start = 0;
  while (start <= text.size()) {
    auto comma = text.find(',', start);
    std::string const item = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    start = comma == std::string::npos ? text.size() + 1 : comma + 1;
    if (item.empty()) continue;

    auto colon = item.find(':');
    if (colon == std::string::npos || colon + 1 == item.size()) {
      KsLogStream(KsLogLvl::Warning) << __PRETTY_FUNCTION__ << ": Separator ':' is not found in string: " << item
                                     << '\n';
      continue;
    }
    std::string const key = item.substr(0, colon);
    std::string const value = item.substr(colon + 1);

    if (key == "ksd_hash_algorithm") {
      hash_algorithm = value;
    } else if (key == "ksd_hash_length") {
      // An unconvertible value ends the whole command-line parse.
      hash_length = std::stoi(value);
    } else if (key == "ksd_block_size") {
      block_size = std::stoi(value);
    } else if (std::find(ksfd_flag_names.begin(), ksfd_flag_names.end(), key) != ksfd_flag_names.end()) {
      ksfd_flags[key] = value;
    } else if (key == "file_list") {
      file_list = is_true_word(value);
    } else if (key == "numeric_owner") {
      numeric_owner = is_true_word(value);
    } else if (key == "last") {
      last = value == "true";
    } else if (key == "tmp_catalog") {
      tmp_catalog = value;
    } else if (key == "without_deployment_restore") {
      if (value == "yes") without_deployment_restore = true;
    } else if (key == "use_snapshot") {
      if (is_true_word(value)) use_snapshot = true;
    } else if (key == "ignore_errors_snapshot") {
      if (value == "f" || value == "false") ignore_errors_snapshot = false;
    } else if (key == "snapshot_type") {
      if (value == "lvm" || value == "dattobd")
        snapshot_type = value;
      else
        KsLogStream(KsLogLvl::Warning) << "Wrong value of snapshot_type, ignore..." << std::endl;
    } else if (key == "snapshot_size" || key == "lvm_snapshot_size") {
      if (!value.empty()) {
        try {
          snapshot_size = std::stoi(value);
        } catch (std::exception const&) {
          KsLogStream(KsLogLvl::Error) << __PRETTY_FUNCTION__ << ": can't convert " << value << " to int" << std::endl;
          continue;
        }
        if (snapshot_size < 1) {
          KsLogStream(KsLogLvl::Warning) << "Wrong OS snaphot size: " << snapshot_size
                                         << ", set to default value: " << 10 << "%" << std::endl;
          snapshot_size = 10;
        }
      }
      if (key == "lvm_snapshot_size") {
        use_snapshot = true;
        snapshot_type = "lvm";
      }
    } else {
      std::string* script = nullptr;
      if (key == "script_before_snapshot")
        script = &before_snapshot_script;
      else if (key == "script_after_snapshot")
        script = &after_snapshot_script;
      else if (key == "script_error_snapshot")
        script = &error_snapshot_script;
      if (script) {
        boost::system::error_code ec;
        if (boost::filesystem::is_regular_file(value, ec)) *script = value;
      }
      // The first value given for a key wins.
      special_params.emplace(key, value);
    }
  }
  load_custom_module_parameters();
}

bool KsModuleUniversal::find_special_param(std::string const& key, std::string& value) const noexcept {
  try {
    auto found = special_params.find(key);
    if (found == special_params.end()) return false;
    value = found->second;
    return !value.empty();
  } catch (...) {
    return false;
  }
}

bool KsModuleUniversal::has_special_param_passed_from_client(std::string const& key) const {
  return special_params.count(key) != 0;
}
