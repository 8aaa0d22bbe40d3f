// The logger configuration file, read by the first message of the process.
#include <cinttypes>
#include <cstdlib>
#include <iostream>

#include <boost/algorithm/string/trim_all.hpp>

#include "support/config/ks_config.h"
#include "support/log/ks_log_stream.h"

namespace {

char const logger_config_path[] = "/opt/kestrova/etc/ks_logger.config";

unsigned long to_number(std::string const& text) {
  return static_cast<unsigned long>(std::strtoumax(text.c_str(), nullptr, 10));
}

}  // namespace

bool KsLogStream::load_properties() {
  try {
    ks_config::ConfigFile const config(logger_config_path);
    // All three are read before any is applied.
    std::string const level_text = config["log_level"];
    std::string const max_size = config["log_file_max_size"];
    std::string const max_rotate = config["log_file_max_rotate"];

    KsLogLvl::Level level = KsLogLvl::Info;
    KsLogLvl::from_string(boost::algorithm::trim_all_copy(level_text), level);
    global_log_level_ = KsLogLvl::get_mask(level);
    KsDestination::FileLogger::set_max_size(to_number(max_size));
    KsDestination::FileLogger::set_max_rotate(to_number(max_rotate));
    return true;
  } catch (ks_config::UnreadableConfigException const& e) {
    // A read error says nothing about the file's content: never replace it.
    std::cerr << "Warning: KsLogStream config file is absent: " << e.what() << std::endl;
    apply_properties(default_level, default_max_size, default_max_rotate);
    return true;
  } catch (ks_config::WrongConfigException const& e) {
    std::cerr << "Warning: KsLogStream config file is absent: " << e.what() << std::endl;
  } catch (ks_config::VariableAbsentException const& e) {
    std::cerr << "Warning: KsLogStream config variable is absent: " << e.what() << std::endl;
  }
  return false;
}

void KsLogStream::apply_properties(KsLogLvl::Level level, unsigned long max_size, unsigned long max_rotate) {
  global_log_level_ = KsLogLvl::get_mask(level);
  KsDestination::FileLogger::set_max_size(max_size);
  KsDestination::FileLogger::set_max_rotate(max_rotate);
}

void KsLogStream::set_properties(KsLogLvl::Level level, unsigned long max_size, unsigned long max_rotate) {
  apply_properties(level, max_size, max_rotate);

  ks_config::ConfigFile config;
  config.addComment("Logging level: Error, Warning, Info, Debug, Debug1, Debug2, Debug3, Debug4");
  config.addVariable("log_level", KsLogLvl::to_string(level));
  config.addComment("Maximum size of log file in Mb");
  config.addVariable("log_file_max_size", std::to_string(max_size));
  config.addComment("Number of stored log file rotations, log file itself is not included");
  config.addVariable("log_file_max_rotate", std::to_string(max_rotate));
  // Not writable: the file stays absent and the next run tries again.
  config.save(logger_config_path);
}
