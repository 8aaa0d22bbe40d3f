// A module for driving the framework in tests: every hook records its name
// (in memory and, when a file is set, one line per call in that file) and
// returns what the test scripted for it; an action may run inside a hook
// (throw, sleep, spawn a process).
#pragma once

#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <boost/filesystem.hpp>

#include "framework/ks_module_universal.h"

namespace kstest {

// The capabilities this program's entry point declares.
inline KsModuleOptions module_capabilities() {
  KsModuleOptions options;
  options.supports_incremental = true;
  options.supports_differential = true;
  options.supports_dedup = true;
  options.supports_archiving = true;
  options.supports_autonomous = false;
  options.one_source_at_a_time = true;
  return options;
}

class ScriptedModule : public KsModuleUniversal {
 public:
  explicit ScriptedModule(KsModuleOptions const& options = module_capabilities()) : KsModuleUniversal(options) {}

  // What the tests look at and change.
  using KsModuleUniversal::after_snapshot_script;
  using KsModuleUniversal::backup_succeeded;
  using KsModuleUniversal::before_snapshot_script;
  using KsModuleUniversal::block_size;
  using KsModuleUniversal::defect;
  using KsModuleUniversal::error_snapshot_script;
  using KsModuleUniversal::file_list;
  using KsModuleUniversal::hash_algorithm;
  using KsModuleUniversal::hash_length;
  using KsModuleUniversal::ignore_errors_snapshot;
  using KsModuleUniversal::ksfd_flag_names;
  using KsModuleUniversal::ksfd_flags;
  using KsModuleUniversal::ksfd_pid;
  using KsModuleUniversal::last;
  using KsModuleUniversal::numeric_owner;
  using KsModuleUniversal::options_;
  using KsModuleUniversal::paused;
  using KsModuleUniversal::remove_tmp_directory;
  using KsModuleUniversal::shutdown_requested;
  using KsModuleUniversal::snapshot_size;
  using KsModuleUniversal::snapshot_type;
  using KsModuleUniversal::special_params;
  using KsModuleUniversal::tmp_catalog;
  using KsModuleUniversal::use_snapshot;
  using KsModuleUniversal::without_deployment_restore;

  std::vector<std::string> calls;
  std::set<std::string> failing;                             // hooks that answer false
  std::map<std::string, std::function<void()>> actions;     // run inside the hook
  std::string record_file;                                   // one line per call
  int client_code = 0;                                        // check_client and the listings

  bool prepare_resource_before_backup(bool const& replica) override {
    return hook(replica ? "prepare(replica)" : "prepare");
  }
  bool release_resource_after_backup() override { return hook("release"); }
  bool load_module_config() override { return hook("load_module_config"); }
  void usage_custom() override { hook("usage_custom"); }
  int check_client(bool const&) override { return hook("check_client") ? client_code : 2; }
  std::string get_full_module_version() override { return "2.1.0.test"; }
  int list_header_labels() override { return hook("list_header_labels") ? client_code : 2; }
  int list_all_resources() override { return hook("list_all_resources") ? client_code : 2; }
  int list_all_resources_with_header_labels() override {
    return hook("list_all_resources_with_header_labels") ? client_code : 2;
  }
  bool resource_exists() override { return hook("resource_exists"); }
  bool before_restore() override { return hook("before_restore"); }
  bool after_restore() override { return hook("after_restore"); }
  bool after_restore_last_file() override { return hook("after_restore_last_file"); }
  bool deployment(bool const& replica) override { return hook(replica ? "deployment(replica)" : "deployment"); }
  void autonomous_options() override { hook("autonomous_options"); }
  void make_archiving() override { hook("make_archiving"); }
  void list_restore_parameters() override { hook("list_restore_parameters"); }
  void load_custom_module_parameters() override { hook("load_custom_module_parameters"); }
  void close_restore() override { hook("close_restore"); }

  // The restore directory of the framework: T + "/" + record id + ".rest".
  int define_restore_directory() override {
    if (!hook("define_restore_directory")) return 1;
    options_.tmp_operation_directory += "/" + options_.record_id + ".rest";
    boost::filesystem::create_directories(options_.tmp_operation_directory);
    return 0;
  }

  // Calls of one hook.
  int count(std::string const& name) const {
    int n = 0;
    for (auto const& c : calls) n += c == name;
    return n;
  }

 private:
  bool hook(std::string const& name) {
    calls.push_back(name);
    if (!record_file.empty()) {
      std::ofstream out(record_file, std::ios::app);
      out << name << "\n";
    }
    auto action = actions.find(name);
    if (action != actions.end()) action->second();
    return failing.count(name) == 0;
  }
};

// Runs init and run on a command line (argv[0] included).
inline unsigned int init_and_run(ScriptedModule& module, std::vector<std::string> args, bool* init_ok = nullptr) {
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  bool ok = module.init(static_cast<int>(args.size()), argv.data());
  if (init_ok) *init_ok = ok;
  if (!ok) return 14;
  return module.run();
}

}  // namespace kstest
