// Backup and restore of a server with two 256 MiB volumes through the real
// program and the stand-ins (cloud, ksfd, virsh), inside the test sandbox
// (scripts/bench-backup runs it there):
// - the wall time of a full backup and of a restore to a new server, with
//   the part spent in ksfd and, for the restore, in each dd copy;
// - the peak resident memory of the module process itself (VmHWM, sampled)
//   and of the ksfd and dd processes below it;
// - next to the restore's dd copies, a plain dd of the same image onto the
//   same kind of loop device, in the same run.
//
//   e2e_bench [volume size in MiB, default 256]
//
// Every cloud wait of the stand-in ends at its first poll, so each wait
// costs the module's one-second sleep and nothing more; those sleeps are
// part of the wall times.
#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <boost/filesystem.hpp>

#include "common/test_util.h"
#include "e2e/backup_client.h"
#include "e2e/loop_device.h"

namespace fs = boost::filesystem;
using namespace kstest::e2e;
using Clock = std::chrono::steady_clock;

namespace {

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }
double mib(std::uint64_t bytes) { return bytes / 1048576.0; }

// One process seen below the module (the module itself included).
struct Seen {
  std::string comm;
  Clock::time_point first, last;
  long hwm_kib = 0;  // VmHWM, the peak resident set size
};

// Watches a process and its descendants through /proc every few
// milliseconds until stopped.
class TreeSampler {
 public:
  explicit TreeSampler(pid_t root) : root_(root), thread_([this] { loop(); }) {}
  ~TreeSampler() { stop(); }
  TreeSampler(TreeSampler const&) = delete;
  TreeSampler& operator=(TreeSampler const&) = delete;

  std::map<pid_t, Seen> stop() {
    if (thread_.joinable()) {
      done_ = true;
      thread_.join();
    }
    std::lock_guard<std::mutex> lock(mutex_);
    return seen_;
  }

 private:
  static bool read(std::string const& path, std::string& out) {
    try {
      out = kstest::read_file(path);
      return true;
    } catch (std::exception const&) {
      return false;
    }
  }

  void sample() {
    std::map<pid_t, pid_t> parent;
    std::map<pid_t, std::string> comm;
    DIR* d = ::opendir("/proc");
    if (!d) return;
    while (dirent* e = ::readdir(d)) {
      char* end = nullptr;
      long const pid = std::strtol(e->d_name, &end, 10);
      if (!end || *end || pid <= 0) continue;
      std::string stat;
      if (!read("/proc/" + std::string(e->d_name) + "/stat", stat)) continue;
      auto const open = stat.find('('), close = stat.rfind(')');
      if (open == std::string::npos || close == std::string::npos || close + 4 >= stat.size()) continue;
      comm[pid] = stat.substr(open + 1, close - open - 1);
      parent[pid] = std::atoi(stat.c_str() + close + 4);
    }
    ::closedir(d);
    auto const now = Clock::now();
    for (auto const& [pid, name] : comm) {
      pid_t p = pid;
      while (p > 1 && p != root_) p = parent.count(p) ? parent[p] : 0;
      if (p != root_) continue;
      std::string status;
      if (!read("/proc/" + std::to_string(pid) + "/status", status)) continue;
      long hwm = 0;
      auto const at = status.find("VmHWM:");
      if (at != std::string::npos) hwm = std::atol(status.c_str() + at + 6);
      std::lock_guard<std::mutex> lock(mutex_);
      auto [it, fresh] = seen_.try_emplace(pid);
      if (fresh) it->second.first = now, it->second.comm = name;
      it->second.comm = name;  // after exec the name changes (sh -> ksfd)
      it->second.last = now;
      it->second.hwm_kib = std::max(it->second.hwm_kib, hwm);
    }
  }

  void loop() {
    while (!done_) {
      sample();
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }

  pid_t root_;
  std::atomic<bool> done_{false};
  std::mutex mutex_;
  std::map<pid_t, Seen> seen_;
  std::thread thread_;
};

struct Measured {
  ProcessResult result;
  double wall = 0;
  std::map<pid_t, Seen> tree;
  pid_t module = -1;

  long peak_kib(std::string const& comm) const {
    long peak = 0;
    for (auto const& [pid, s] : tree)
      if ((comm.empty() ? pid == module : s.comm == comm)) peak = std::max(peak, s.hwm_kib);
    return peak;
  }
  // The processes of one program, in start order.
  std::vector<Seen> of(std::string const& comm) const {
    std::vector<Seen> out;
    for (auto const& [pid, s] : tree)
      if (s.comm == comm) out.push_back(s);
    std::sort(out.begin(), out.end(), [](Seen const& a, Seen const& b) { return a.first < b.first; });
    return out;
  }
};

Measured measure(Harness const& h, std::vector<std::string> const& args) {
  Measured m;
  auto const start = Clock::now();
  auto child = h.start(args);
  m.module = child->pid();
  TreeSampler sampler(child->pid());
  m.result = child->wait(std::chrono::seconds(1800));
  m.wall = seconds(Clock::now() - start);
  m.tree = sampler.stop();
  return m;
}

void require(bool ok, Measured const& m, Harness const& h, char const* what) {
  if (ok) return;
  std::fprintf(stderr, "e2e_bench: the %s failed (status %d)\n%s\n%s\n", what, m.result.status, m.result.out.c_str(),
               h.log_text().c_str());
  std::exit(1);
}

}  // namespace

int main(int argc, char** argv) {
  if (!private_dev()) {
    std::fprintf(stderr, "e2e_bench: run it through scripts/bench-backup (it needs the test sandbox)\n");
    return 2;
  }
  int const size_mib = argc > 1 ? std::atoi(argv[1]) : 256;
  std::uint64_t const volume_bytes = std::uint64_t(size_mib) << 20;

  Harness h;
  h.cloud().set_polls(quick_polls());
  std::printf("e2e_bench: server of two %d MiB volumes of random bytes; stand-in cloud, ksfd, virsh\n", size_mib);
  Vm const vm = h.make_vm(VmSpec("bench", {VolumeSpec("bench-root", size_mib, true, true),
                                           VolumeSpec("bench-data", size_mib)}));
  kstest::TempDir store;
  BackupClient client(h, store.str());

  // ---- backup -------------------------------------------------------------------
  Measured const backup = measure(h, client.backup_args(vm.id, "bench-full"));
  require(backup.result.status == 0, backup, h, "backup");
  client.keep("bench-full");
  std::vector<Seen> const backup_ksfd = backup.of("ksfd");
  double const ksfd_backup = backup_ksfd.empty() ? 0 : seconds(backup_ksfd.front().last - backup_ksfd.front().first);

  // ---- the images, extracted by a restore run that is not the last ----------------
  // It extracts into a directory of its own, so the measured restore later
  // writes its images afresh, as the plain dd's image was written.
  std::string const aside = h.data_dir() + "/aside";
  fs::create_directories(aside);
  std::vector<std::string> args = client.restore_args("bench-full", RestoreRequest(false));
  for (std::size_t i = 0; i + 1 < args.size(); ++i)
    if (args[i] == "-d") args[i + 1] = aside;
  Measured const extract = measure(h, args);
  require(extract.result.status == 0, extract, h, "extraction");
  std::string const image = aside + "/bench-full.rest/vdb";

  // A plain dd of that image onto the same kind of loop device (a sparse
  // file beside the cloud's volumes, as a loop device of the private /dev),
  // once before and once after the restore, to show how much the machine
  // itself varies.
  std::string const target = h.data_dir() + "/plain-dd.img";
  auto plain_dd = [&]() -> double {
    {
      std::FILE* f = std::fopen(target.c_str(), "w");
      if (!f || ::ftruncate(fileno(f), static_cast<off_t>(volume_bytes)) != 0) std::exit(1);
      std::fclose(f);
    }
    double t = 0;
    {
      LoopDevice device("/dev/vdz", target);
      ::sync();  // each copy starts without earlier writes pending
      auto const start = Clock::now();
      kstest::RunResult const dd =
          kstest::run("/bin/dd if=" + kstest::sh_quote(image) + " of=/dev/vdz bs=5M conv=fsync");
      t = seconds(Clock::now() - start);
      if (dd.status != 0) {
        std::fprintf(stderr, "e2e_bench: plain dd failed: %s\n", dd.output.c_str());
        std::exit(1);
      }
    }
    if (kstest::read_file(target) != kstest::read_file(image)) {
      std::fprintf(stderr, "e2e_bench: the plain dd copy differs from its image\n");
      std::exit(1);
    }
    fs::remove(target);
    return t;
  };
  double const plain_before = plain_dd();

  // ---- restore to a new server ----------------------------------------------------
  ::sync();
  Measured const restore = measure(h, client.restore_args("bench-full", RestoreRequest(true)));
  require(restore.result.status == 0, restore, h, "restore");
  std::vector<Seen> const restore_ksfd = restore.of("ksfd");
  double const ksfd_restore =
      restore_ksfd.empty() ? 0 : seconds(restore_ksfd.front().last - restore_ksfd.front().first);
  std::vector<Seen> const dds = restore.of("dd");
  double const plain_after = plain_dd();
  fs::remove_all(aside);

  bool restored_equal = false;
  {
    boost::json::object const inventory = h.inventory();
    for (auto const& s : inventory.at("servers").as_array())
      if (s.at("name") == "bench_2") {
        auto const& ids = s.at("volumes").as_array();
        restored_equal = ids.size() == 2 &&
                         h.read_volume(std::string(ids[0].as_string())) == h.read_volume(vm.volume_ids[0]) &&
                         h.read_volume(std::string(ids[1].as_string())) == h.read_volume(vm.volume_ids[1]);
      }
  }

  double const total = mib(2 * volume_bytes);
  std::printf("\nfull backup      wall %6.2f s   ksfd %5.2f s (%6.1f MiB/s over both volumes)\n", backup.wall,
              ksfd_backup, ksfd_backup > 0 ? total / ksfd_backup : 0.0);
  std::printf("                 peak RSS: module %6.1f MiB, ksfd %6.1f MiB\n", backup.peak_kib("") / 1024.0,
              backup.peak_kib("ksfd") / 1024.0);
  std::printf("restore (last)   wall %6.2f s   ksfd %5.2f s (%6.1f MiB/s extracting)\n", restore.wall, ksfd_restore,
              ksfd_restore > 0 ? total / ksfd_restore : 0.0);
  for (std::size_t i = 0; i < dds.size(); ++i) {
    double const t = seconds(dds[i].last - dds[i].first);
    std::printf("                 dd copy %zu      %5.2f s (%6.1f MiB/s), peak RSS %5.1f MiB\n", i + 1, t,
                t > 0 ? mib(volume_bytes) / t : 0.0, dds[i].hwm_kib / 1024.0);
  }
  std::printf("                 peak RSS: module %6.1f MiB, ksfd %6.1f MiB\n", restore.peak_kib("") / 1024.0,
              restore.peak_kib("ksfd") / 1024.0);
  for (auto const& [when, t] : {std::pair<char const*, double>{"before", plain_before}, {"after", plain_after}})
    std::printf("plain dd         the same image onto a loop device, bs=5M conv=fsync, %-6s the restore: %5.2f s "
                "(%6.1f MiB/s)\n", when, t, t > 0 ? mib(volume_bytes) / t : 0.0);
  std::printf("restored volumes equal the originals: %s\n", restored_equal ? "yes" : "NO");
  return restored_equal ? 0 : 1;
}
