#include "framework/ks_module_universal.h"

#include <cstdio>
#include <fstream>
#include <iostream>

#include <boost/filesystem.hpp>
#include <boost/format.hpp>

#include "support/log/ks_log.h"
#include "support/utils/quoting.h"

namespace fs = boost::filesystem;

namespace {

// Its messages name the public reader, whichever caller asked.
char const read_restrictions_signature[] =
    "std::vector<std::__cxx11::basic_string<char> > KsModuleUniversal::read_local_restrictions() const";

}  // namespace

KsModuleUniversal::KsModuleUniversal(KsModuleOptions const& options) : options_(options) { init_ksfd_flags(); }

KsModuleUniversal::~KsModuleUniversal() {
  // Whatever is still buffered for the client must go out while SIGPIPE is
  // still caught: flushed at exit, a closed pipe would kill the process and
  // replace the exit code.
  std::cout.flush();
  std::fflush(stdout);
  signal_handler.reset();
}

bool KsModuleUniversal::init(int argc, char** argv) {
  signal_handler = KsModuleSignalHandler::init(this);
  if (!parse_module_options(argc, argv, options_)) return false;
  switch (options_.operation) {
    case op_backup:
    case op_restore:
    case op_delete_from_client_defined_storage:
    case op_verify_in_client_defined_storage:
      break;
    default:
      return true;
  }
  if (options_.need_esign) return true;
  if (!load_client_defined_storages()) {
    KsLogStream(KsLogLvl::Error) << __PRETTY_FUNCTION__ << ": Can't load cliend defined storages info" << std::endl;
    return false;
  }
  if (client_defined_storages.empty()) return true;
  if (client_defined_storage_prepare()) return true;
  KsLogStream(KsLogLvl::Error) << __PRETTY_FUNCTION__
                               << ": can't prepare the module to work with client defined storage" << std::endl;
  return false;
}

// ---- base hooks ---------------------------------------------------------------

void KsModuleUniversal::list_restore_parameters() {}

void KsModuleUniversal::load_custom_module_parameters() {}

int KsModuleUniversal::get_config_option_presence_type(std::string const&) { return 0; }

std::string KsModuleUniversal::resolve_config_option_merge_conflict(std::string const&, std::string const& old_value) {
  return old_value;
}

// ---- restriction list -------------------------------------------------------------

bool KsModuleUniversal::read_restriction_lines(std::vector<std::string>& lines) const {
  char const* const signature = read_restrictions_signature;
  lines.clear();
  std::string const& path = options_.restriction_list_file;
  if (path.empty()) return true;
  boost::system::error_code ec;
  fs::file_status const status = fs::status(path, ec);
  if (status.type() == fs::file_not_found) return true;
  // Anything else that is not a readable regular file restricts everything:
  // a list that cannot be read must not let a restricted resource through.
  std::ifstream in;
  if (!ec && fs::is_regular_file(status)) in.open(path);
  if (!in.is_open()) {
    KsLogStream(KsLogLvl::Error) << signature << ": unable to open " << path << std::endl;
    return false;
  }
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  if (in.bad()) {
    KsLogStream(KsLogLvl::Error) << signature << ": unable to read " << path << std::endl;
    lines.clear();
    return false;
  }
  return true;
}

std::vector<std::string> KsModuleUniversal::read_local_restrictions() const {
  std::vector<std::string> lines;
  read_restriction_lines(lines);
  return lines;
}

bool KsModuleUniversal::check_local_restrictions() const {
  std::vector<std::string> lines;
  if (!read_restriction_lines(lines)) return false;
  for (auto const& line : lines) {
    if (line == options_.resource) return false;
  }
  return true;
}

// ---- module properties --------------------------------------------------------------

void KsModuleUniversal::module_properties() {
  auto yes_no = [](bool value) { return value ? "true" : "false"; };
  std::cout << "Module properties:" << std::endl << std::endl;
  std::cout << "Only one data source backup operation is allowed at one time       : "
            << yes_no(options_.one_source_at_a_time) << std::endl;
  std::cout << "Does the module support working in the client's autonomous mode    : "
            << yes_no(options_.supports_autonomous) << std::endl;
  std::cout << "Does the module support incremental backup                         : "
            << yes_no(options_.supports_incremental) << std::endl;
  std::cout << "Does the module support differential backup                        : "
            << yes_no(options_.supports_differential) << std::endl;
  std::cout << "Does this module support deduplication                             : "
            << yes_no(options_.supports_dedup) << std::endl;
  std::cout << "Does this module support archiving                                 : "
            << yes_no(options_.supports_archiving) << std::endl;
  std::cout << "Location of the restriction list                                   : "
            << options_.restriction_list_file;
  std::cout.flush();
}

// ---- resource lock ---------------------------------------------------------------------

bool KsModuleUniversal::reassign_resource_locker(std::string const& resource) {
  try {
    std::string const module_name = fs::path(options_.program_path).filename().string();
    if (!resource_lock.module_name().empty() && !resource_lock.resource_name().empty() &&
        resource_lock.module_name() != module_name && resource_lock.resource_name() != resource) {
      KsLogStream(KsLogLvl::Warning)
          << (boost::format("lock resource changes for [ module, resource ] pair { %1%, %2% } -> { %3%, %4% }!") %
              kestrova::as_one_line_quoted(resource_lock.module_name()) %
              kestrova::as_one_line_quoted(resource_lock.resource_name()) % kestrova::as_one_line_quoted(module_name) %
              kestrova::as_one_line_quoted(resource))
                 .str()
          << std::endl;
    }
    kestrova::module::resource_file_lock lock(module_name, resource);
    resource_lock.swap(lock);
    return true;
  } catch (std::exception const& e) {
    KsLogStream(KsLogLvl::Error) << __PRETTY_FUNCTION__ << ": "
                                 << (boost::format("%1% resource locking failed (%2%)!") %
                                     kestrova::as_one_line_quoted(resource) % kestrova::as_one_line(e.what()))
                                        .str()
                                 << std::endl;
    return false;
  }
}
