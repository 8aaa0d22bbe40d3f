// A module for running real backups and restores through the framework and
// the stand-in ksfd at /opt/kestrova/bin/ksfd: its preparation writes the
// ksfd list file of the items a test chose, and the restore directory and its
// clean-up are the framework's own.
#pragma once

#include <sys/stat.h>

#include <cstdlib>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "common/test_util.h"
#include "framework_log.h"
#include "scripted_module.h"

namespace kstest {

// Sets an environment variable for one scope (children inherit it).
class ScopedEnv {
 public:
  ScopedEnv(std::string name, std::string const& value) : name_(std::move(name)) {
    if (char const* old = std::getenv(name_.c_str())) {
      old_ = old;
      had_ = true;
    }
    setenv(name_.c_str(), value.c_str(), 1);
  }
  ~ScopedEnv() {
    if (had_)
      setenv(name_.c_str(), old_.c_str(), 1);
    else
      unsetenv(name_.c_str());
  }
  ScopedEnv(ScopedEnv const&) = delete;
  ScopedEnv& operator=(ScopedEnv const&) = delete;

 private:
  std::string name_;
  std::string old_;
  bool had_ = false;
};

class KsfdModule : public ScriptedModule {
 public:
  explicit KsfdModule(KsModuleOptions const& options = module_capabilities()) : ScriptedModule(options) {}

  using KsModuleUniversal::client_defined_storages;
  using KsModuleUniversal::incremental_without_reference;
  using KsModuleUniversal::reference_snapshot_directory;
  using KsModuleUniversal::special_entries;
  using KsModuleUniversal::storage_id;
  using KsModuleUniversal::storage_type;

  // Local path -> name in the archive; empty: the preparation writes no list.
  std::map<std::string, std::string> items;
  std::string list_file;
  // Storage types this module accepts (the framework accepts none).
  std::vector<int> supported_storages;

  bool prepare_resource_before_backup(bool const& replica) override {
    if (!ScriptedModule::prepare_resource_before_backup(replica)) return false;
    if (items.empty()) return true;
    options_.resource_list_file = list_file;
    return add_to_ksfd_list_file(list_file, items, false);
  }
  int define_restore_directory() override { return KsModuleUniversal::define_restore_directory(); }
  void close_restore() override {
    ScriptedModule::close_restore();
    KsModuleUniversal::close_restore();
  }
  bool check_supported_client_defined_storage(int type) override {
    for (int t : supported_storages)
      if (t == type) return true;
    return false;
  }
};

struct ModuleRun {
  unsigned code = 0;
  bool init_ok = false;
  std::string out;  // standard output
  std::string log;
};

// init and run on a command line (program name added), with standard output
// and the log captured.
inline ModuleRun run_module(KsfdModule& module, std::vector<std::string> args) {
  FrameworkLog log(KsLogLvl::Debug);
  args.insert(args.begin(), "/usr/lib/kestrova/ks_test_module");
  testing::internal::CaptureStdout();
  ModuleRun r;
  r.code = init_and_run(module, args, &r.init_ok);
  r.out = testing::internal::GetCapturedStdout();
  r.log = log.text();
  return r;
}

// The lines of a text that begin with a prefix.
inline std::vector<std::string> lines_with(std::string const& text, std::string const& prefix) {
  std::vector<std::string> found;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    std::string line = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (line.compare(0, prefix.size(), prefix) == 0) found.push_back(line);
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return found;
}

// The permission bits of a file.
inline unsigned mode_of(std::string const& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return 0xffff;
  return st.st_mode & 07777;
}

inline std::string task_secret_path(std::string const& task) { return "/opt/kestrova/var/tasks//task_secret_" + task; }

}  // namespace kstest
