// Sends every log message of the test process to a file of its own while the
// object lives, and reads it back without the colour codes.
#pragma once

#include <regex>
#include <string>

#include "common/test_util.h"
#include "support/log/ks_log.h"

namespace kstest {

class LogCapture {
 public:
  LogCapture() : path_((dir_ / "test.log").string()) {
    KsLogStream::set_global_log_level(KsLogLvl::Info);
    KsLogStream::set_default_loggers(KsDestination::File(path_));
  }
  ~LogCapture() { KsLogStream::set_default_loggers(KsDestination::Stderr()); }
  LogCapture(LogCapture const&) = delete;
  LogCapture& operator=(LogCapture const&) = delete;

  std::string text() const {
    if (!boost::filesystem::exists(path_))
      return std::string();
    static std::regex const colour("\x1b\\[[0-9;]*m");
    return std::regex_replace(read_file(path_), colour, "");
  }
  bool contains(std::string const& part) const { return text().find(part) != std::string::npos; }

 private:
  TempDir dir_;
  std::string path_;
};

}  // namespace kstest
