// Exceptions of the configuration-file library.
#pragma once

#include <exception>
#include <string>

namespace ks_config {

// A file that cannot be opened or read, or a line of an unknown kind.
class WrongConfigException : public std::exception {
 public:
  explicit WrongConfigException(std::string message) : message_(std::move(message)) {}
  char const* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

// A file that opened but could not be read to its end (an I/O error, or a
// directory in its place); the file itself may be whole.
class UnreadableConfigException : public WrongConfigException {
 public:
  using WrongConfigException::WrongConfigException;
};

// A variable that is not there was read or removed; what() is its bare name.
class VariableAbsentException : public std::exception {
 public:
  explicit VariableAbsentException(std::string name) : name_(std::move(name)) {}
  char const* what() const noexcept override { return name_.c_str(); }

 private:
  std::string name_;
};

}  // namespace ks_config
