// The demo of scripts/demo: inside the test sandbox, a stand-in cloud with
// one server of two volumes is backed up in full and incrementally and then
// restored by the real program, the way the backup client drives it; every
// command line and the program's standard output are shown, and the end
// says whether the restored volumes equal the originals (exit 0 only then).
#include <unistd.h>

#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include <boost/filesystem.hpp>

#include "common/test_util.h"
#include "e2e/backup_client.h"
#include "e2e/cloud_objects.h"

namespace fs = boost::filesystem;
namespace sc = kstest::standard_cloud;
using namespace kstest::e2e;

namespace {

std::string sha256_of(std::string const& file) {
  kstest::RunResult const r = kstest::run("sha256sum " + kstest::sh_quote(file));
  return r.status == 0 ? r.output.substr(0, 64) : "(sha256sum failed)";
}

void heading(std::string const& title) {
  std::cout << "\n=== " << title << " " << std::string(title.size() < 70 ? 70 - title.size() : 0, '=') << "\n";
}

// Shows one run as the client sees it and tells whether it succeeded.
bool show(ClientRun const& run) {
  std::cout << "$ " << run.command_line() << "\n";
  for (auto const& line : run.result.out_lines) std::cout << "  | " << line << "\n";
  std::cout << "exit status " << run.result.status << "\n";
  return run.result.status == 0;
}

int demo(std::vector<std::string>& backing_files) {
  Harness h;
  VmSpec spec("demo-vm", {VolumeSpec("demo-root", 8, true, true), VolumeSpec("demo-data", 4)});
  Vm const vm = h.make_vm(spec);
  // The guest has the default script, which the backup runs before the
  // snapshots and after the copies are attached.
  h.set_virsh_fixture(
      {{"scripts",
        {{{"path", "/usr/bin/test"}, {"args", {"-f", "/opt/kestrova/scripts/rustack.sh"}}, {"exitcode", 0}},
         {{"path", "/opt/kestrova/scripts/rustack.sh"}, {"exitcode", 0}, {"polls", 1}}}}});
  kstest::TempDir store;
  BackupClient client(h, store.str());
  for (auto const& id : vm.volume_ids) backing_files.push_back(h.volume_file(id));
  CloudObjects const before = cloud_objects(h.inventory());

  heading("The demo cloud");
  std::cout << "Stand-in cloud: " << h.cloud().base_url() << " (identity, compute and block storage)\n"
            << "Kestrova VM:    " << sc::kestrova_vm << " (the module attaches volume copies to it;"
            << " they appear as block devices of this sandbox)\n"
            << "Server:         demo-vm " << vm.id << " on a QEMU hypervisor, guest agent answering\n"
            << "  volume demo-root " << vm.volume_ids[0] << ": 8 MiB of random bytes, bootable, image debian-12\n"
            << "  volume demo-data " << vm.volume_ids[1] << ": 4 MiB of random bytes\n"
            << "ksfd:           the stand-in at /opt/kestrova/bin/ksfd, its media server a folder\n"
            << "Module config:  /opt/kestrova/etc/ks_module_rustack.conf (inside the sandbox)\n";

  bool ok = true;
  heading("1. Full backup");
  ok &= show(client.backup(vm.id, "demo-full"));

  std::cout << "\nThe guest writes to both volumes (three 4 KiB blocks each).\n";
  for (auto const& id : vm.volume_ids)
    for (std::uint64_t offset : {std::uint64_t(0), std::uint64_t(1 << 20), std::uint64_t(3 << 20) + 512})
      h.write_volume(id, random_bytes(4096), offset);
  std::vector<std::string> originals;
  for (auto const& id : vm.volume_ids) originals.push_back(h.read_volume(id));

  heading("2. Incremental backup on top of the full one");
  ok &= ok && show(client.backup(vm.id, "demo-incr", "demo-full"));

  heading("3. Restore: the full archive (a run that is not the last)");
  ok &= ok && show(client.restore("demo-full", RestoreRequest(false)));

  heading("4. Restore: the incremental archive (the last run: the new server)");
  ok &= ok && show(client.restore("demo-incr", RestoreRequest(true, "demo-full")));

  heading("Result");
  if (!ok) {
    std::cout << "A run failed; the module's log:\n" << h.log_text();
    std::cout << "RESULT: FAILED (a run did not succeed)\n";
    return 1;
  }
  boost::json::object const inventory = h.inventory();
  boost::json::value restored;
  for (auto const& s : inventory.at("servers").as_array())
    if (text(s, "name") == "demo-vm_2") restored = s;
  if (restored.is_null()) {
    std::cout << "RESULT: FAILED (no restored server demo-vm_2 in the cloud)\n";
    return 1;
  }
  std::vector<std::string> new_ids;
  for (auto const& id : restored.at("volumes").as_array()) new_ids.emplace_back(id.as_string());
  for (auto const& id : new_ids) backing_files.push_back(h.volume_file(id));
  std::cout << "Restored server demo-vm_2 " << text(restored, "id") << ": " << text(restored, "status")
            << ", boots from volume " << (new_ids.empty() ? "(none)" : new_ids[0]) << "\n";
  bool equal = new_ids.size() == vm.volume_ids.size();
  char const* const names[] = {"demo-root", "demo-data"};
  for (std::size_t i = 0; i < vm.volume_ids.size() && i < new_ids.size(); ++i) {
    bool const same = h.read_volume(new_ids[i]) == originals[i];
    equal &= same;
    std::cout << "  " << names[i] << ": backed up " << sha256_of(h.volume_file(vm.volume_ids[i])) << "\n"
              << "  " << std::string(std::char_traits<char>::length(names[i]), ' ') << "  restored  "
              << sha256_of(h.volume_file(new_ids[i])) << (same ? "  equal" : "  DIFFERENT") << "\n";
  }
  CloudObjects const after = cloud_objects(inventory);
  // The original server keeps its volumes, attached and unchanged.
  bool untouched = text(h.object("servers", vm.id), "status") == "ACTIVE";
  for (std::size_t i = 0; i < vm.volume_ids.size(); ++i)
    untouched &= h.read_volume(vm.volume_ids[i]) == originals[i] &&
                 after.attachments.count(vm.volume_ids[i]) && after.attachments.at(vm.volume_ids[i]).rfind(vm.id, 0) == 0;
  bool const clean = after.snapshots.empty() && h.block_devices().empty() && untouched;
  std::cout << "Original server demo-vm: " << (untouched ? "ACTIVE, its volumes attached and unchanged" : "CHANGED")
            << "\n"
            << "Left on the Kestrova VM: " << h.block_devices().size() << " devices; snapshots in the cloud: "
            << after.snapshots.size() << "\n"
            << "New in the cloud:\n";
  std::istringstream added(difference(before, after));
  for (std::string line; std::getline(added, line);) std::cout << "  " << line << "\n";
  if (equal && clean) {
    std::cout << "RESULT: the restored volumes equal the originals.\n";
    return 0;
  }
  std::cout << "RESULT: FAILED (" << (equal ? "objects left behind" : "the restored volumes differ") << ")\n";
  return 1;
}

}  // namespace

int main() {
  if (!private_dev()) {
    std::cerr << "ks_e2e_demo: run it through scripts/demo (it needs the test sandbox)\n";
    return 2;
  }
  std::vector<std::string> backing_files;
  int status = 1;
  try {
    status = demo(backing_files);
  } catch (std::exception const& e) {
    std::cout << "RESULT: FAILED (" << e.what() << ")\n";
  }
  // The cloud is gone: no loop device may still hold one of its volumes.
  for (auto const& f : backing_files)
    if (loop_bound_to(f)) {
      std::cout << "A loop device still holds " << f << "\n";
      status = 1;
    }
  return status;
}
