// Runs of the real program for the backup and restore tests: command lines
// as the backup client gives them, a restore directory read back through the
// module's own description readers, and the part of the cloud's inventory
// that a backup must leave as it found it.
#pragma once

#include <algorithm>
#include <chrono>
#include <regex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <boost/filesystem.hpp>
#include <boost/json.hpp>

#include "common/test_util.h"
#include "e2e/harness.h"

namespace kstest::paths {

inline constexpr char const* kTask = "t1";

// The module's log starts empty for each test (it would otherwise keep the
// lines of the earlier tests of the same sandbox).
inline void fresh_log() {
  boost::system::error_code ec;
  boost::filesystem::remove("/opt/kestrova/log/ks_module_rustack.log", ec);
}

// The task secret that the media-server command lines name.
inline void write_task_secret() {
  kstest::write_file(std::string("/opt/kestrova/var/tasks/task_secret_") + kTask, "s");
}

// A backup of `vm` into the archive `name` on the media server.
inline std::vector<std::string> backup_args(std::string const& vm, std::string const& dir, std::string const& name,
                                            std::string const& params = "", char const* type = "-1") {
  std::vector<std::string> a{"-b", vm, type, "-d", dir, "-n", name, "-m", "media", "-T", kTask};
  if (!params.empty()) a.insert(a.end(), {"-e", params});
  return a;
}

// A restore of the archive `name` whose snapshot tarball is `snap`.
inline std::vector<std::string> restore_args(std::string const& name, std::string const& dir, std::string const& snap,
                                             std::string const& params) {
  std::vector<std::string> a{"-r", name, "-d", dir, "-m", "media", "-T", kTask, "-M", snap};
  if (!params.empty()) a.insert(a.end(), {"-e", params});
  return a;
}

// A finished run, for a failure message: status, output and the module's log.
inline std::string describe(kstest::e2e::ProcessResult const& r, kstest::e2e::Harness const& h) {
  return "status " + std::to_string(r.status) + "\n--- out\n" + r.out + "--- err\n" + r.err + "--- log\n" +
         h.log_text();
}

inline std::string text(boost::json::value const& v, char const* key) {
  auto const* m = v.as_object().if_contains(key);
  return m && m->is_string() ? std::string(m->as_string()) : std::string();
}

// Volumes (state and attachment), snapshots and servers, one line each.
inline std::string cloud_objects(kstest::e2e::Harness const& h) {
  boost::json::object const inv = h.inventory();
  std::string out;
  for (auto const& v : inv.at("volumes").as_array()) {
    out += "volume " + text(v, "id") + " " + text(v, "status");
    auto const& a = v.at("attachment");
    if (!a.is_null()) out += " at " + text(a, "server_id") + ":" + text(a, "device");
    out += "\n";
  }
  for (auto const& s : inv.at("snapshots").as_array()) out += "snapshot " + text(s, "id") + "\n";
  for (auto const& s : inv.at("servers").as_array())
    out += "server " + text(s, "id") + " " + text(s, "name") + " " + text(s, "status") + "\n";
  return out;
}

// Waits until the cloud has answered `count` requests of `method` whose
// path matches `path` since the start of the wait (the program's standard
// output may hold its lines back). False after `limit`.
inline bool wait_for_requests(kstest::e2e::Harness const& h, std::string const& method, std::string const& path,
                              int count, std::chrono::seconds limit = std::chrono::seconds(120)) {
  int from = 0;
  for (auto const& e : h.request_log()) from = std::max(from, static_cast<int>(e.at("seq").to_number<double>()));
  std::regex const wanted(path);
  auto const deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    int seen = 0;
    for (auto const& e : h.request_log(from))
      if (static_cast<int>(e.at("seq").to_number<double>()) > from && text(e, "method") == method &&
          std::regex_match(text(e, "path"), wanted) && !e.at("status").is_null())
        ++seen;
    if (seen >= count) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

// A volume of 1 MiB of random bytes that no server has; its id.
inline std::string spare_volume(kstest::e2e::Harness& h) {
  boost::json::value const made = h.cloud().control("POST", "objects/volumes", R"({"size": 1})");
  std::string const id = text(made, "id");
  h.write_volume(id, kstest::e2e::random_bytes(1 << 20));
  return id;
}

// Another backup or restore on the same Kestrova VM. The cloud holds back
// its answer to the program's next attachment for a few seconds and then
// names /dev/vdb; meanwhile `volume` is attached to the Kestrova VM as that
// other task would do it, so /dev/vdb is a new disk, but that volume's.
class AttachmentMeanwhile {
 public:
  // Arms the cloud; before the program starts.
  AttachmentMeanwhile(kstest::e2e::Harness& h, std::string volume) : h_(h), volume_(std::move(volume)) {
    for (auto const& e : h.request_log()) from_ = std::max(from_, static_cast<int>(e.at("seq").to_number<double>()));
    h.cloud().add_fault({{"method", "POST"},
                         {"path", attachments()},
                         {"nth", 1},
                         {"delay", 4},
                         {"patch", {{"volumeAttachment", {{"device", "/dev/vdb"}}}}}});
  }

  // Waits for the program's request, then attaches the other volume and
  // returns once it is in use: "" or what went wrong.
  std::string run() const {
    std::regex const wanted(attachments());
    auto const deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    for (bool arrived = false; !arrived; std::this_thread::sleep_for(std::chrono::milliseconds(20))) {
      if (std::chrono::steady_clock::now() > deadline) return "the program never asked for an attachment";
      for (auto const& e : h_.request_log(from_))
        if (static_cast<int>(e.at("seq").to_number<double>()) > from_ && text(e, "method") == "POST" &&
            std::regex_match(text(e, "path"), wanted))
          arrived = true;
    }
    std::string const token = h_.cloud().login(kstest::standard_cloud::user, kstest::standard_cloud::password);
    std::vector<std::string> const headers{"X-Auth-Token: " + token, "Content-Type: application/json"};
    auto const attach = h_.cloud().request(
        "POST", std::string("/nova-api/v2/servers/") + kstest::standard_cloud::kestrova_vm + "/os-volume_attachments",
        R"({"volumeAttachment": {"volumeId": ")" + volume_ + R"("}})", headers);
    if (attach.status != 200) return "the other attachment was refused: " + attach.body;
    // Each read moves the attachment on; once in use, its device is there.
    std::string const path = std::string("/cinder/v3/") + kstest::standard_cloud::project + "/volumes/" + volume_;
    for (int i = 0; i < 20; ++i) {
      auto const r = h_.cloud().request("GET", path, "", headers);
      if (r.status == 200 && text(boost::json::parse(r.body).at("volume"), "status") == "in-use") return "";
    }
    return "the other volume never came into use";
  }

 private:
  static std::string attachments() {
    return std::string(".*/servers/") + kstest::standard_cloud::kestrova_vm + "/os-volume_attachments";
  }

  kstest::e2e::Harness& h_;
  std::string volume_;
  int from_ = 0;
};

// The names of the entries of a directory, sorted.
inline std::vector<std::string> entries(std::string const& dir) {
  std::vector<std::string> names;
  for (auto const& e : boost::filesystem::directory_iterator(dir)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace kstest::paths
