#include "e2e/backup_client.h"

#include <algorithm>
#include <memory>
#include <regex>
#include <thread>
#include <stdexcept>

#include <boost/filesystem.hpp>

#include "common/test_util.h"

namespace kstest::e2e {

namespace fs = boost::filesystem;

std::string ClientRun::command_line() const {
  std::string line = sh_quote(module_program());
  for (auto const& a : args) line += " " + sh_quote(a);
  return line;
}

std::vector<std::string> directory_entries(std::string const& dir) {
  std::vector<std::string> names;
  boost::system::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
    names.push_back(it->path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

SharedBackup const& shared_backup() {
  static std::unique_ptr<SharedBackup> made;
  if (made) return *made;
  auto b = std::make_unique<SharedBackup>();
  {
    Harness h;
    h.cloud().set_polls(quick_polls());
    b->vm = h.make_vm();
    BackupClient client(h, (b->dir / "client").string());
    ClientRun const r = client.backup(b->vm.id, "db-full");
    if (r.result.status != 0) throw std::runtime_error("the shared backup failed:\n" + r.result.out + h.log_text());
    b->snapshot = (b->dir / "db-full.snap").string();
    b->archive = (b->dir / "db-full.ksfd").string();
    fs::copy_file(client.stored_snapshot("db-full"), b->snapshot);
    fs::copy_file(h.media_dir() + "/db-full.ksfd", b->archive);
  }
  made = std::move(b);
  return *made;
}

boost::json::object quick_polls() {
  return {{"snapshot_create", 0}, {"volume_create", 0}, {"volume_attach", 0}, {"volume_detach", 0},
          {"server_build", 0}};
}

bool wait_for_requests(Harness const& harness, std::string const& method, std::string const& path_regex,
                       std::size_t count, std::chrono::milliseconds timeout) {
  std::regex const path(path_regex);
  auto const end = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    std::size_t seen = 0;
    for (auto const& e : harness.request_log()) {
      auto const& o = e.as_object();
      auto const* status = o.if_contains("status");
      if (o.at("method").as_string() == method && status && status->is_int64() && status->as_int64() < 300 &&
          std::regex_match(std::string(o.at("path").as_string()), path))
        ++seen;
    }
    if (seen >= count) return true;
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

BackupClient::BackupClient(Harness const& harness, std::string work, std::string task_id, std::string media_server)
    : harness_(harness), store_(std::move(work)), task_id_(std::move(task_id)), media_server_(std::move(media_server)) {
  fs::create_directories(store_ + "/handover");
  // The client writes the task's secret before it starts the module.
  write_file("/opt/kestrova/var/tasks/task_secret_" + task_id_, "secret of task " + task_id_ + "\n");
}

std::string BackupClient::stored_snapshot(std::string const& name) const {
  std::string const path = store_ + "/" + name + ".snap";
  return fs::exists(path) ? path : std::string();
}

bool BackupClient::keep(std::string const& name) const {
  std::string const snap = harness_.task_dir() + "/" + name + ".snap";
  if (!fs::exists(snap)) return false;
  fs::rename(snap, store_ + "/" + name + ".snap");
  return true;
}

void BackupClient::adopt(std::string const& name, std::string const& snapshot_file,
                         std::string const& archive_file) const {
  fs::copy_file(snapshot_file, store_ + "/" + name + ".snap", fs::copy_options::overwrite_existing);
  fs::copy_file(archive_file, harness_.media_dir() + "/" + fs::path(archive_file).filename().string(),
                fs::copy_options::overwrite_existing);
}

std::string BackupClient::hand_over(std::string const& name) const {
  std::string const kept = stored_snapshot(name);
  if (kept.empty()) throw std::runtime_error("client: no snapshot tarball of " + name);
  std::string const copy = store_ + "/handover/" + name + ".snap";
  fs::copy_file(kept, copy, fs::copy_options::overwrite_existing);
  return copy;
}

std::vector<std::string> BackupClient::backup_args(std::string const& vm_id, std::string const& name,
                                                   std::string const& reference,
                                                   std::string const& module_params) const {
  std::vector<std::string> a{reference.empty() ? "-1" : "-2", "-b", vm_id, "-d", harness_.task_dir(),
                             "-m", media_server_, "-T", task_id_, "-n", name};
  if (!reference.empty()) a.insert(a.end(), {"-s", hand_over(reference)});
  if (!module_params.empty()) a.insert(a.end(), {"-e", module_params});
  return a;
}

ClientRun BackupClient::backup(std::string const& vm_id, std::string const& name, std::string const& reference,
                               std::string const& module_params) const {
  ClientRun run;
  run.args = backup_args(vm_id, name, reference, module_params);
  run.result = harness_.run(run.args);
  if (run.result.status == 0) keep(name);
  return run;
}

std::unique_ptr<ChildProcess> BackupClient::start_backup(std::string const& vm_id, std::string const& name,
                                                         std::string const& reference,
                                                         std::string const& module_params) const {
  return harness_.start(backup_args(vm_id, name, reference, module_params));
}

std::vector<std::string> BackupClient::restore_args(std::string const& name, RestoreRequest const& request) const {
  std::string params = request.last ? "last:true" : "last:false";
  if (!request.module_params.empty()) params += "," + request.module_params;
  std::vector<std::string> a{"-r", name, "-d", harness_.task_dir(), "-m", media_server_, "-T", task_id_,
                             "-M", hand_over(name), "-e", params};
  if (!request.patch.empty()) a.insert(a.end(), {"-i", request.patch});
  return a;
}

ClientRun BackupClient::restore(std::string const& name, RestoreRequest const& request) const {
  ClientRun run;
  run.args = restore_args(name, request);
  run.result = harness_.run(run.args);
  return run;
}

std::unique_ptr<ChildProcess> BackupClient::start_restore(std::string const& name,
                                                          RestoreRequest const& request) const {
  return harness_.start(restore_args(name, request));
}

}  // namespace kstest::e2e
