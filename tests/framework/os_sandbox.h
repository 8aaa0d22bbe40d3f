// Pieces of a machine that the operating-system snapshot and remote-backup
// tests need, set up inside the test sandbox's private mount namespace only
// and torn down by their destructors: a /proc that can hold a driver's state
// file, a /dev that takes new nodes, the udev properties lsblk reads, loop
// devices with real file systems, mounts, stand-in tools at fixed paths, and
// the stand-in tools' control folder.
#pragma once

#include <fcntl.h>
#include <linux/loop.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
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

// The same for a program run without a shell (a process start is slow on
// some machines, and the fixtures below are made for every test).
inline std::string must(std::vector<std::string> const& argv) {
  RunResult r = run_argv(argv);
  if (r.status != 0) {
    std::string line;
    for (auto const& a : argv) line += (line.empty() ? "" : " ") + sh_quote(a);
    throw std::runtime_error("set-up command failed (" + std::to_string(r.status) + "): " + line + "\n" + r.output);
  }
  return r.output;
}

// mount(2) for the set-ups; a failure ends the test's set-up.
inline void must_mount(std::string const& source, std::string const& target, char const* type, unsigned long flags,
                       std::string const& data = "") {
  if (::mount(source.c_str(), target.c_str(), type, flags, data.empty() ? nullptr : data.c_str()) != 0)
    throw std::runtime_error("set-up mount of " + target + " failed: " + std::strerror(errno));
}

// A lazy unmount (umount -l), best effort: a test's failure cannot leave it busy.
inline void unmount_lazily(std::string const& target) { (void)::umount2(target.c_str(), MNT_DETACH); }

inline void remove_quietly(std::string const& path) {
  boost::system::error_code ec;
  boost::filesystem::remove_all(path, ec);
}

// An overlay on `directory` whose upper layer and work folder lie in `base`
// (on the sandbox's /opt).
inline void must_overlay(std::string const& name, std::string const& directory, std::string const& base) {
  boost::filesystem::create_directories(base + "/upper");
  boost::filesystem::create_directories(base + "/work");
  must_mount(name, directory, "overlay", 0,
             "lowerdir=" + directory + ",upperdir=" + base + "/upper,workdir=" + base + "/work");
}

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
    // mount(8) itself: it finds the file system type and reads the options.
    std::vector<std::string> argv{"mount"};
    std::istringstream words(options);
    for (std::string w; words >> w;) argv.push_back(w);
    argv.push_back(source);
    argv.push_back(target);
    must(argv);
  }
  ~ScopedMount() { unmount_lazily(target_); }
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
    boost::filesystem::create_directories(real_);
    must_mount("/proc", real_, nullptr, MS_BIND | MS_REC);
    must_mount("ks-fake-proc", "/proc", "tmpfs", 0, "mode=0555");
    for (auto const& entry : boost::filesystem::directory_iterator(real_)) {
      std::string const name = entry.path().filename().string();
      if (::symlink((real_ + "/" + name).c_str(), ("/proc/" + name).c_str()) != 0)
        throw std::runtime_error("set-up link /proc/" + name + " failed: " + std::strerror(errno));
    }
  }
  ~FakeProc() {
    unmount_lazily("/proc");
    // A lazy unmount takes the whole bound tree.
    unmount_lazily(real_);
    (void)::rmdir(real_.c_str());
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
    must_overlay("ks-dev", "/dev", base_);
  }
  ~DevOverlay() {
    unmount_lazily("/dev");
    remove_quietly(base_);
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
    must_overlay("ks-tools", directory_, base_);
    for (auto const& tool : tools) {
      boost::filesystem::path const target = directory_ + "/" + tool;
      boost::filesystem::copy_file(source_path("tests/standins/ostools/ostools.sh"), target,
                                   boost::filesystem::copy_options::overwrite_existing);
      boost::filesystem::permissions(target, boost::filesystem::perms(0755));
    }
  }
  ~StandinTools() {
    unmount_lazily(directory_);
    remove_quietly(base_);
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
    must_overlay("ks-run", "/run", base_);
    boost::filesystem::create_directories("/run/udev/data");
  }
  ~UdevDatabase() {
    unmount_lazily("/run");
    remove_quietly(base_);
  }
  UdevDatabase(UdevDatabase const&) = delete;
  UdevDatabase& operator=(UdevDatabase const&) = delete;

  // Records what blkid finds on the device now (after mkfs, after a label
  // change).
  void probe(std::string const& device) const {
    struct stat st;
    if (::stat(device.c_str(), &st) != 0) throw std::runtime_error("no device " + device);
    std::string entry = "/run/udev/data/b" + std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev));
    // Nothing found (status 2, an unformatted device) leaves the entry empty.
    RunResult const found = run_argv({"blkid", "-p", "-o", "udev", device});
    std::istringstream lines(found.status == 0 ? found.output : "");
    std::string properties;
    for (std::string line; std::getline(lines, line);) properties += "E:" + line + "\n";
    write_file(entry, properties);
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
    {
      std::ofstream create(image.string(), std::ios::binary | std::ios::trunc);
    }
    boost::filesystem::resize_file(image, static_cast<std::uintmax_t>(size_mib) << 20);
    if (!mkfs.empty()) must(mkfs + " " + sh_quote(image.string()));
    device_ = must(std::vector<std::string>{"losetup", "-f", "--show", image.string()});
    while (!device_.empty() && device_.back() == '\n') device_.pop_back();
  }
  ~LoopDevice() {
    // losetup -d, without the process.
    int const fd = ::open(device_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
      (void)::ioctl(fd, LOOP_CLR_FD, 0);
      ::close(fd);
    }
  }
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
    // Loop devices are the machine's: detach what a stand-in dbdctl left
    // (its state files hold: minor, device, loop device, cow file).
    boost::system::error_code ec;
    for (boost::filesystem::directory_iterator it(dir_ / "datto", ec), end; !ec && it != end; it.increment(ec)) {
      if (it->path().extension() != ".state") continue;
      std::ifstream in(it->path().string());
      std::string minor, device, loop;
      if (!(in >> minor >> device >> loop)) continue;
      unmount_lazily("/dev/datto" + minor);
      int const fd = ::open(loop.c_str(), O_RDONLY | O_CLOEXEC);
      if (fd < 0) continue;
      (void)::ioctl(fd, LOOP_CLR_FD, 0);
      ::close(fd);
    }
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
