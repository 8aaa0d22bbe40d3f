// The program: logging set up after the program's own file name, the module's
// capabilities declared, then one operation run by the framework.
#include <string>

#include <boost/filesystem/path.hpp>

#include "rustack/ks_module_rustack.h"
#include "support/log/ks_log.h"

int main(int argc, char** argv) {
  std::string const program = argc > 0 && argv[0] ? boost::filesystem::path(argv[0]).filename().string() : "";
  std::string const log_file = "/opt/kestrova/log/" + program + ".log";

  // Error to the log and standard error; Warning and Info to the log and
  // standard output; Debug to the log only.
  KsLogStream::set_default_loggers(KsDestination::File(log_file), KsDestination::Stdout());
  KsLogStream::set_log_level_logger(KsLogLvl::Error, KsDestination::File(log_file), KsDestination::Stderr());
  KsLogStream::set_log_level_logger(KsLogLvl::Debug, KsDestination::File(log_file));
  KsLogStream::set_global_log_level(KsLogLvl::Debug);

  KsModuleOptions options;
  options.supports_incremental = true;
  options.supports_differential = true;
  options.supports_dedup = true;
  options.supports_archiving = true;
  options.supports_autonomous = false;
  options.one_source_at_a_time = true;
  options.restriction_list_file = "/opt/kestrova/etc/kestrova_restriction.list.rustack";

  KsModuleRuStack module(options);
  if (module.init(argc, argv)) return static_cast<int>(module.run());
  KsLogStream(KsLogLvl::Error) << __PRETTY_FUNCTION__ << "Wrong combination of options" << std::endl;
  return 14;
}
