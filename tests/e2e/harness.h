// End-to-end harness: the real ks_module_rustack program against the
// stand-in cloud, the stand-in ksfd, virsh and ssh, inside the test sandbox
// with a private /dev (register tests with ks_add_e2e_gtest, see
// CMakeLists.txt beside this file).
//
//   kstest::e2e::Harness h;                       // cloud with real block devices, config written
//   auto vm = h.make_vm({"db", {{"db-root", 2, true, true}, {"db-data", 1}}});  // name, size, bootable, image
//   auto r = h.run({"-b", vm.id, "-d", h.task_dir(), "-n", "copy1", ...});
//   EXPECT_EQ(r.status, 0);
//   EXPECT_EQ(h.read_volume(...), ...);
//
// What the harness sets up:
// - the stand-in cloud (standard seed unless given) with a data directory, so
//   every volume has a backing file, and the hooks of
//   tests/standins/cloud/block_devices.py, so an attachment to the Kestrova
//   VM makes a real block device at its device path and at
//   /dev/disk/by-id/virtio-<first 20 characters of the volume id>;
// - /dev/vda, the Kestrova VM's own disk, as a block device over a file of
//   random bytes (a disk the module must never read or write);
// - the volumes of the standard server "web" filled with random bytes;
// - /opt/kestrova/etc/ks_module_rustack.conf for the stand-in, with small
//   wait bounds;
// - for every run of the module: the stand-in ksfd's media folder and argv
//   log, the virsh fixture and call log, the ssh fixture and call log, in
//   the module's environment (KSFD_STANDIN_*, VIRSH_STANDIN_*, SSH_STANDIN_*).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <boost/json.hpp>

#include "common/test_util.h"
#include "e2e/child_process.h"
#include "e2e/loop_device.h"
#include "standins/cloud/fake_cloud.h"

namespace kstest::e2e {

// Path of the program under test (the build's ks_module_rustack).
std::string module_program();

// A text of random bytes (not for cryptography).
std::string random_bytes(std::size_t size);

// The module configuration file's keys. text() gives the file, one "key value"
// line each; the three cloud bounds are one-second polls.
struct ModuleConfig {
  std::string url;  // empty: the stand-in cloud's base URL
  std::string username = standard_cloud::user;
  std::string password = standard_cloud::password;
  std::string admin_name = standard_cloud::admin;  // empty: no admin lines (no guest scripts)
  std::string admin_password = standard_cloud::admin_password;
  std::string domain = standard_cloud::domain;
  std::string project_id = standard_cloud::project;
  std::string protocol = "ssh";
  std::string vm_id = standard_cloud::kestrova_vm;
  int timeout = 10;  // seconds per request
  int volume_creation_timeout = 5;
  int snapshot_creation_timeout = 5;
  int volume_attachment_timeout = 5;
  bool curl_verbose = false;
  std::vector<std::string> extra_lines;  // appended as they are

  std::string text(std::string const& cloud_url) const;
};

struct VolumeSpec {
  VolumeSpec(std::string name_ = "", int size_ = 1, bool bootable_ = false, bool image_metadata_ = false)
      : name(std::move(name_)), size(size_), bootable(bootable_), image_metadata(image_metadata_) {}
  std::string name;
  int size = 1;                 // in the cloud's GiB: bytes_per_gib bytes each (1 MiB in the standard seed)
  bool bootable = false;
  bool image_metadata = false;  // volume_image_metadata of the standard seed's image
  bool random_fill = true;      // fill the backing file with random bytes
  std::string id;               // empty: a new UUID
};

struct VmSpec {
  // The default: "db" with a bootable 2 GiB volume (with image metadata) and a 1 GiB one.
  VmSpec(std::string name_ = "db",
         std::vector<VolumeSpec> volumes_ = {VolumeSpec("db-root", 2, true, true), VolumeSpec("db-data", 1)})
      : name(std::move(name_)), volumes(std::move(volumes_)) {}
  std::string name;
  std::vector<VolumeSpec> volumes;
  std::string status = "ACTIVE";
  std::string hypervisor_hostname = "node2.cloud.test";  // QEMU, 192.168.100.12 in the standard seed
  boost::json::object extra;  // further members of the server's seed entry (metadata, key_name, ...)
};

struct Vm {
  std::string id;
  std::string name;
  std::string instance_name;            // the hypervisor's name of the domain
  std::vector<std::string> volume_ids;  // in attachment order; the first is the boot volume
};

// One device the hooks have made and still hold.
struct BlockDevice {
  std::string attachment_id, server_id, volume_id;
  std::string device;  // e.g. /dev/vdb
  std::string by_id;   // /dev/disk/by-id/virtio-...
  std::string loop;    // /dev/loopN, empty when no loop device was made
  std::string backing_file;
  std::string kind;    // what the device path holds: "block", "file" or "none"
};

struct VirshCall {
  std::vector<std::string> argv;  // without the program name
  std::string lang;               // $LANG of the call, empty when unset
  // For a qemu-agent-command call: its JSON argument parsed; null otherwise.
  boost::json::value request() const;
};

struct HarnessOptions {
  std::string seed_json;             // empty: the standard seed
  ModuleConfig config;
  bool write_config = true;          // write /opt/kestrova/etc/ks_module_rustack.conf
  bool kestrova_root_disk = true;    // /dev/vda as a block device of random bytes
  bool fill_standard_vm = true;      // random bytes in the volumes of "web" (when the seed has them)
  std::string log_level;             // non-empty: /opt/kestrova/etc/ks_logger.config with this log_level
                                     // (and the default size and rotation)
  std::vector<std::string> cloud_args;  // more arguments of fake_cloud.py
};

class Harness {
 public:
  explicit Harness(HarnessOptions options = {});
  ~Harness();
  Harness(Harness const&) = delete;
  Harness& operator=(Harness const&) = delete;

  // ---- the cloud -----------------------------------------------------------------
  FakeCloud& cloud() { return *cloud_; }
  std::string const& data_dir() const { return data_dir_; }
  boost::json::object inventory() const { return cloud_->inventory(); }
  boost::json::array request_log(int since = 0) const { return cloud_->request_log(since); }
  // One object of the inventory ("servers", "volumes", "snapshots"); null when absent.
  boost::json::value object(std::string const& kind, std::string const& id) const;

  // A new server with new volumes (through the control interface), attached
  // in the order given.
  Vm make_vm(VmSpec const& spec = {});
  // The standard seed's server "web".
  Vm standard_vm() const;

  std::string volume_file(std::string const& volume_id) const;  // its backing file
  std::string read_volume(std::string const& volume_id) const;
  void write_volume(std::string const& volume_id, std::string const& bytes, std::uint64_t offset = 0) const;
  std::string read_snapshot(std::string const& snapshot_id) const;
  // The devices that the hooks hold now (block_devices.json of the data dir).
  std::vector<BlockDevice> block_devices() const;
  // How the next attachments to the Kestrova VM appear (block_devices.py
  // tells the format), for example {{"device", "file"}, {"by_id", false}}:
  // a regular file at the device path and no by-id link. Cleared: the loop
  // device and its link, as udev makes them.
  void set_device_faults(boost::json::object const& faults) const;
  // The same as a list of such rules, of which the first that names the
  // volume (or names none) applies, for example
  // {{{"volumes", {id}}, {"by_id", "scsi"}}, {{"by_id", false}}}.
  void set_device_fault_rules(boost::json::array const& rules) const;
  void clear_device_faults() const;

  // The Kestrova VM's own disk (/dev/vda) and its bytes; empty without one.
  std::string const& kestrova_root_file() const { return root_file_; }

  // ---- the module ----------------------------------------------------------------
  void write_config(ModuleConfig const& config) const;
  // A fresh directory for the module's temporary operation directory (-d).
  std::string task_dir() const { return (work_ / "task").string(); }
  std::string const& media_dir() const { return media_dir_; }  // KSFD_STANDIN_MEDIA_DIR

  // Variables of the module's environment for the next runs (for example
  // KSFD_STANDIN_EXIT); unset_env drops one again.
  void set_env(std::string const& name, std::string const& value) { env_[name] = value; }
  void unset_env(std::string const& name) { env_.erase(name); }
  std::map<std::string, std::string> environment() const;

  // Under ctest the program runs with its clock of the day and its sleeps
  // $KS_E2E_CLOCK_RATE times as fast (libfaketime; CLOCK_MONOTONIC and the
  // programs it starts stay real), unless the test sets FAKETIME itself.
  // cap_clock_rate(n) keeps that rate at n or below, for a test whose cloud
  // acts a fixed real time after something the program waits for.
  void cap_clock_rate(int most) { clock_rate_cap_ = most; }

  // Runs the program with these arguments (argv[1:]) and waits for its end.
  ProcessResult run(std::vector<std::string> const& args,
                    std::chrono::seconds limit = std::chrono::seconds(600)) const;
  // Starts it and returns at once: wait for a line, send a signal, then wait().
  std::unique_ptr<ChildProcess> start(std::vector<std::string> const& args) const;

  // The module's log file, colour codes removed; empty when there is none.
  std::string log_text() const;

  // ---- the other stand-ins -------------------------------------------------------
  // The guest as virsh sees it (tests/standins/virsh/virsh tells the format).
  // The default: /usr/bin/test -f /opt/kestrova/scripts/rustack.sh answers 1
  // (no default script in the guest), nothing else runs.
  void set_virsh_fixture(boost::json::object const& fixture) const;
  std::vector<VirshCall> virsh_calls() const;
  // The ssh answers per host (tests/standins/ssh/ssh). The default: every
  // host answers with exit status 0.
  void set_ssh_fixture(boost::json::object const& fixture) const;
  std::vector<boost::json::object> ssh_calls() const;
  // The command lines of the ksfd runs, one per run, as a shell would read them.
  std::vector<std::string> ksfd_calls() const;
  // Forgets the calls logged so far by virsh, ssh and ksfd.
  void clear_calls() const;

 private:
  std::string path(char const* name) const { return (work_ / name).string(); }

  TempDir work_;
  std::string data_dir_;
  std::string media_dir_;
  std::unique_ptr<FakeCloud> cloud_;
  std::string root_file_;
  std::unique_ptr<LoopDevice> root_disk_;
  std::map<std::string, std::string> env_;
  int clock_rate_cap_ = 0;  // 0: none
};

}  // namespace kstest::e2e
