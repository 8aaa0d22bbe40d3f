// Sends every log message of the test process to a file while the object
// lives, and reads it back without colour codes.
#pragma once

#include <regex>
#include <string>

#include "common/test_util.h"
#include "support/log/ks_log.h"

namespace kstest {

class FrameworkLog {
 public:
  explicit FrameworkLog(KsLogLvl::Level level = KsLogLvl::Debug) : path_((dir_ / "test.log").string()) {
    // The first message of a process reads the logger configuration and
    // would replace the level set here.
    { KsLogStream(KsLogLvl::Debug) << ""; }
    KsLogStream::set_global_log_level(level);
    KsLogStream::set_default_loggers(KsDestination::File(path_));
  }
  ~FrameworkLog() { KsLogStream::set_default_loggers(KsDestination::Stderr()); }
  FrameworkLog(FrameworkLog const&) = delete;
  FrameworkLog& operator=(FrameworkLog const&) = delete;

  std::string text() const {
    if (!boost::filesystem::exists(path_)) return std::string();
    static std::regex const colour("\x1b\\[[0-9;]*m");
    return std::regex_replace(read_file(path_), colour, "");
  }
  bool contains(std::string const& part) const { return text().find(part) != std::string::npos; }
  void clear() const {
    boost::system::error_code ec;
    boost::filesystem::remove(path_, ec);
  }

 private:
  TempDir dir_;
  std::string path_;
};

}  // namespace kstest
