// A process environment variable owned by scope: set on construction,
// removed on destruction.
#pragma once

#include <string>

class EnvironmentVariable {
 public:
  // Sets `name` to `value` (overwriting); throws std::runtime_error when the
  // variable cannot be set, and then no object exists.
  EnvironmentVariable(std::string const& name, std::string const& value);
  explicit EnvironmentVariable(std::string const& name);
  // Removes the variable, whatever its value by then; never throws.
  ~EnvironmentVariable();

  EnvironmentVariable(EnvironmentVariable const&) = delete;
  EnvironmentVariable& operator=(EnvironmentVariable const&) = delete;

  std::string getName() const;
  std::string getValue() const;
  void setValue(std::string const& value);
  void unset();

  // "" when the variable is not set.
  static std::string getValue(std::string const& name);
  static void setValue(std::string const& name, std::string const& value);
  static void unset(std::string const& name);

 private:
  std::string name_;
};
