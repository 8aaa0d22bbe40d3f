// Pieces of a machine that the operating-system snapshot and remote-backup
// tests need, set up inside the test sandbox's private mount namespace only
// and torn down by their destructors: a /proc that can hold a driver's state
// file, a /dev that takes new nodes, the udev properties lsblk reads, loop
// devices with real file systems, mounts, stand-in tools at fixed paths, and
// the stand-in tools' control folder.
#pragma once

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/filesystem.hpp>

#include "common/test_util.h"

namespace kstest {

// Runs a set-up command; anything but status 0 ends the test's set-up.
inline std::string must(std::string const& command) {
  RunResult r = run(command);
  if (r.status != 0) throw std::runtime_error("set-up command failed (" + std::to_string(r.status) + "): " + command +
                                              "\n" + r.output);
  return r.output;
}

// Best effort, for destructors.
inline void quietly(std::string const& command) { (void)run(command); }

inline void require_sandbox() {
  if (!in_sandbox()) throw std::runtime_error("this fixture changes mounts and must run inside the test sandbox");
}

// A mount that is undone (lazily, so that a test's failure cannot leave it
// busy) when the object goes.
class ScopedMount {
 public:
  ScopedMount(std::string const& source, std::string const& target, std::string const& options = "")
      : target_(target) {
    require_sandbox();
    must("mount " + options + " " + sh_quote(source) + " " + sh_quote(target));
  }
  ~ScopedMount() { quietly("umount -l " + sh_quote(target_)); }
  ScopedMount(ScopedMount const&) = delete;
  ScopedMount& operator=(ScopedMount const&) = delete;

 private:
  std::string target_;
};

// /proc cannot take new files, and an overlay refuses it as a layer. So the
// real /proc is bound aside and a tmpfs takes its place, holding a link to
// every entry of the real one (self, mounts, mountinfo, the pid folders of
// this moment) next to the files a test writes, such as datto-info.
class FakeProc {
 public:
  FakeProc() {
    require_sandbox();
    must("mkdir -p " + real_ + " && mount --rbind /proc " + real_);
    must("mount -t tmpfs -o mode=0555 ks-fake-proc /proc");
    // One ln for all: a process start is slow on some machines, and /proc
    // has an entry per process.
    must("ln -s " + real_ + "/* /proc/");
  }
  ~FakeProc() {
    quietly("umount -l /proc");
    quietly("umount -R -l " + real_ + " && rmdir " + real_);
  }
  FakeProc(FakeProc const&) = delete;
  FakeProc& operator=(FakeProc const&) = delete;

  void write(std::string const& name, std::string const& content) const { write_file("/proc/" + name, content); }
  void remove(std::string const& name) const { boost::filesystem::remove("/proc/" + name); }

 private:
  std::string real_ = "/opt/.ks-real-proc";
};

// /dev through an overlay whose upper layer lies on the sandbox's /opt, so
// that stand-ins may add /dev/mapper entries and /dev/datto nodes without
// touching the machine's /dev. The kernel's new loop nodes still show
// through from below.
class DevOverlay {
 public:
  DevOverlay() {
    require_sandbox();
    must("mkdir -p " + base_ + "/upper " + base_ + "/work");
    must("mount -t overlay ks-dev -o lowerdir=/dev,upperdir=" + base_ + "/upper,workdir=" + base_ + "/work /dev");
  }
  ~DevOverlay() {
    quietly("umount -l /dev");
    quietly("rm -rf " + base_);
  }
  DevOverlay(DevOverlay const&) = delete;
  DevOverlay& operator=(DevOverlay const&) = delete;

 private:
  std::string base_ = "/opt/.ks-dev-overlay";
};

// The stand-in tools (tests/standins/ostools) put into a directory of the
// machine, such as /sbin, through an overlay whose upper layer lies on the
// sandbox's /opt: the machine's directory itself is never written.
class StandinTools {
 public:
  StandinTools(std::string const& directory, std::vector<std::string> const& tools)
      : directory_(directory), base_("/opt/.ks-tools-overlay" + std::to_string(next_id())) {
    require_sandbox();
    must("mkdir -p " + base_ + "/upper " + base_ + "/work");
    must("mount -t overlay ks-tools -o lowerdir=" + directory_ + ",upperdir=" + base_ + "/upper,workdir=" + base_ +
         "/work " + directory_);
    for (auto const& tool : tools)
      must("cp " + sh_quote(source_path("tests/standins/ostools/ostools.sh").string()) + " " +
           sh_quote(directory_ + "/" + tool) + " && chmod 0755 " + sh_quote(directory_ + "/" + tool));
  }
  ~StandinTools() {
    quietly("umount -l " + sh_quote(directory_));
    quietly("rm -rf " + base_);
  }
  StandinTools(StandinTools const&) = delete;
  StandinTools& operator=(StandinTools const&) = delete;

 private:
  static int next_id() {
    static int id = 0;
    return ++id;
  }
  std::string directory_;
  std::string base_;
};

// No udev daemon runs here, so lsblk would see no file-system properties.
// This keeps the udev database as the daemon would: the properties that
// blkid reads from the device itself, in /run/udev/data (an overlay on /run,
// inside the sandbox only).
class UdevDatabase {
 public:
  UdevDatabase() {
    require_sandbox();
    must("mkdir -p " + base_ + "/upper " + base_ + "/work");
    must("mount -t overlay ks-run -o lowerdir=/run,upperdir=" + base_ + "/upper,workdir=" + base_ + "/work /run");
    must("mkdir -p /run/udev/data");
  }
  ~UdevDatabase() {
    quietly("umount -l /run");
    quietly("rm -rf " + base_);
  }
  UdevDatabase(UdevDatabase const&) = delete;
  UdevDatabase& operator=(UdevDatabase const&) = delete;

  // Records what blkid finds on the device now (after mkfs, after a label
  // change).
  void probe(std::string const& device) const {
    struct stat st;
    if (::stat(device.c_str(), &st) != 0) throw std::runtime_error("no device " + device);
    std::string entry = "/run/udev/data/b" + std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev));
    must("blkid -p -o udev " + sh_quote(device) + " | sed 's/^/E:/' > " + sh_quote(entry));
  }

 private:
  std::string base_ = "/opt/.ks-run-overlay";
};

// A loop device over a fresh image file, with a file system when one is
// named; detached when the object goes.
class LoopDevice {
 public:
  LoopDevice(boost::filesystem::path const& image, unsigned size_mib, std::string const& mkfs = "") {
    require_sandbox();
    must("truncate -s " + std::to_string(size_mib) + "M " + sh_quote(image.string()));
    if (!mkfs.empty()) must(mkfs + " " + sh_quote(image.string()));
    device_ = must("losetup -f --show " + sh_quote(image.string()));
    while (!device_.empty() && device_.back() == '\n') device_.pop_back();
  }
  ~LoopDevice() { quietly("losetup -d " + sh_quote(device_)); }
  LoopDevice(LoopDevice const&) = delete;
  LoopDevice& operator=(LoopDevice const&) = delete;

  std::string const& device() const { return device_; }
  std::string name() const { return device_.substr(device_.rfind('/') + 1); }

 private:
  std::string device_;
};

// The control folder of the stand-in tools (tests/standins/ostools): their
// call log and their forced failures. Set for the processes this test
// starts through KS_OSTOOLS_DIR.
class OsTools {
 public:
  OsTools() { ::setenv("KS_OSTOOLS_DIR", dir_.str().c_str(), 1); }
  ~OsTools() {
    ::unsetenv("KS_OSTOOLS_DIR");
    // Loop devices are the machine's: detach what a stand-in dbdctl left.
    quietly("for f in " + sh_quote(dir_.str()) + "/datto/*.state; do [ -e \"$f\" ] || continue; "
            "read -r m d l c < \"$f\"; umount -l \"/dev/datto$m\" 2>/dev/null; losetup -d \"$l\"; done");
  }
  OsTools(OsTools const&) = delete;
  OsTools& operator=(OsTools const&) = delete;

  std::string path() const { return dir_.str(); }

  // Every call since the last clear(), one line each: the tool and its
  // arguments in shell form.
  std::vector<std::string> calls() const {
    std::vector<std::string> lines;
    boost::filesystem::path log = dir_ / "calls.log";
    if (!boost::filesystem::exists(log)) return lines;
    std::istringstream in(read_file(log));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }
  // The calls of one tool only.
  std::vector<std::string> calls_of(std::string const& tool) const {
    std::vector<std::string> lines;
    for (auto const& c : calls())
      if (c.compare(0, tool.size() + 1, tool + " ") == 0 || c == tool) lines.push_back(c);
    return lines;
  }
  void clear() const {
    boost::system::error_code ec;
    boost::filesystem::remove(dir_ / "calls.log", ec);
  }

  // The tool fails with `status` when `text` occurs in its arguments.
  void fail(std::string const& tool, int status, std::string const& text) const {
    std::ofstream out((dir_ / "fail").string(), std::ios::app);
    out << tool << '\t' << status << '\t' << text << '\n';
  }
  void clear_failures() const {
    boost::system::error_code ec;
    boost::filesystem::remove(dir_ / "fail", ec);
  }
  // A flag file the stand-ins look for (modules, lvm-unreadable).
  void set(std::string const& name, std::string const& content = "") const { write_file(dir_ / name, content); }

 private:
  TempDir dir_;
};

}  // namespace kstest
