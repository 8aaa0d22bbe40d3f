#include "support/utils/environment_variable.h"

#include <cstdlib>
#include <stdexcept>

namespace {
namespace ks_details_linux {

void set_env_var(std::string const& name, std::string const& value, bool overwrite) {
  if (setenv(name.c_str(), value.c_str(), overwrite ? 1 : 0) != 0)
    throw std::runtime_error("environment variable \"" + name + "\" set failure");
}

void unset_env_var(std::string const& name) {
  if (unsetenv(name.c_str()) != 0)
    throw std::runtime_error("environment variable \"" + name + "\" unset failure");
}

std::string get_env_var(std::string const& name) {
  char const* value = getenv(name.c_str());
  return value ? std::string(value) : std::string();
}

}  // namespace ks_details_linux
}  // namespace

EnvironmentVariable::EnvironmentVariable(std::string const& name, std::string const& value) : name_(name) {
  ks_details_linux::set_env_var(name_, value, true);
}

EnvironmentVariable::EnvironmentVariable(std::string const& name) : EnvironmentVariable(name, std::string()) {}

EnvironmentVariable::~EnvironmentVariable() {
  try {
    unset();
  } catch (...) {
    // A name that could be set can always be unset; nothing to report here.
  }
}

std::string EnvironmentVariable::getName() const { return name_; }

std::string EnvironmentVariable::getValue() const { return ks_details_linux::get_env_var(name_); }

void EnvironmentVariable::setValue(std::string const& value) { ks_details_linux::set_env_var(name_, value, true); }

void EnvironmentVariable::unset() { ks_details_linux::unset_env_var(name_); }

std::string EnvironmentVariable::getValue(std::string const& name) { return ks_details_linux::get_env_var(name); }

void EnvironmentVariable::setValue(std::string const& name, std::string const& value) {
  ks_details_linux::set_env_var(name, value, true);
}

void EnvironmentVariable::unset(std::string const& name) { ks_details_linux::unset_env_var(name); }
