// Helpers of the logging tests: console capture, time-stamp checks, a
// recording destination and a fixture that puts the process-wide logging
// state in a known shape.
#pragma once

#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/log/ks_log.h"

namespace kslogtest {

// Sends std::cout or std::cerr into a string while alive.
class StreamCapture {
 public:
  explicit StreamCapture(std::ostream& stream) : stream_(stream), old_(stream.rdbuf(buffer_.rdbuf())) {}
  ~StreamCapture() { stream_.rdbuf(old_); }
  StreamCapture(StreamCapture const&) = delete;
  StreamCapture& operator=(StreamCapture const&) = delete;
  std::string text() const { return buffer_.str(); }

 private:
  std::ostream& stream_;
  std::ostringstream buffer_;
  std::streambuf* old_;
};

// The text after a leading "[YYYY-MM-DD HH:MM:SS] ", or "<no time stamp>"
// followed by the text when it does not begin with one.
std::string after_stamp(std::string const& text);

// Every line of a file of one-line messages, each without its time stamp.
std::vector<std::string> unstamped_lines(std::string const& text);

// A destination that records what reaches it, and its own destruction.
class Recorder : public KsDestination::KsLogger {
 public:
  Recorder(std::string name, std::shared_ptr<std::vector<std::string>> journal)
      : name_(std::move(name)), journal_(std::move(journal)) {}
  ~Recorder() override { journal_->push_back(name_ + " destroyed"); }

 protected:
  int write_log_impl(std::string const& line) override {
    journal_->push_back(name_ + " " + after_stamp(line));
    return 0;
  }

 private:
  std::string name_;
  std::shared_ptr<std::vector<std::string>> journal_;
};

// Makes sure the configuration read of the first message is behind us,
// empties the registry before and after each test, and restores the file
// settings.
class LoggingTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  static void empty_registry();

  std::shared_ptr<std::vector<std::string>> journal_ = std::make_shared<std::vector<std::string>>();
  std::unique_ptr<KsDestination::KsLogger> recorder(std::string const& name) {
    return std::make_unique<Recorder>(name, journal_);
  }
};

}  // namespace kslogtest
