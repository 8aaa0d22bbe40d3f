// Block devices and operating-system snapshots: not built yet, every function
// fails with an Error.
#include "framework/ks_module_universal.h"
#include "support/log/ks_log.h"

namespace {

bool not_implemented(char const* signature) {
  KsLogStream(KsLogLvl::Error) << signature << ": not implemented" << std::endl;
  return false;
}

}  // namespace

bool KsModuleUniversal::run_script(std::string const&, std::string const&) {
  return not_implemented(__PRETTY_FUNCTION__);
}

std::string KsModuleUniversal::get_mountpoint(std::string const&) const {
  not_implemented(__PRETTY_FUNCTION__);
  return {};
}

std::string KsModuleUniversal::get_block_device(std::string const&, bool) const {
  not_implemented(__PRETTY_FUNCTION__);
  return {};
}

bool KsModuleUniversal::get_block_device_info(std::string const&, block_device_info&) const {
  return not_implemented(__PRETTY_FUNCTION__);
}

unsigned long KsModuleUniversal::calculate_OS_snapshot_size(unsigned long) const {
  not_implemented(__PRETTY_FUNCTION__);
  return 0;
}

bool KsModuleUniversal::create_OS_snapshot(std::string&, bool, std::string&, std::string&) {
  return not_implemented(__PRETTY_FUNCTION__);
}

bool KsModuleUniversal::mount_OS_snapshot(std::string const&, std::string&, std::string const&) const {
  return not_implemented(__PRETTY_FUNCTION__);
}

bool KsModuleUniversal::umount_OS_snapshot() const { return not_implemented(__PRETTY_FUNCTION__); }

bool KsModuleUniversal::remove_OS_snapshot() { return not_implemented(__PRETTY_FUNCTION__); }

bool KsModuleUniversal::create_OS_snapshot_multiple(std::string const&, std::string&, bool, std::string&,
                                                    std::string&) {
  return not_implemented(__PRETTY_FUNCTION__);
}

bool KsModuleUniversal::mount_OS_snapshot_multiple(std::string const&, std::string&, std::string const&) const {
  return not_implemented(__PRETTY_FUNCTION__);
}

bool KsModuleUniversal::umount_OS_snapshot_multiple(std::string const&) const {
  return not_implemented(__PRETTY_FUNCTION__);
}

bool KsModuleUniversal::remove_all_OS_snapshots() { return not_implemented(__PRETTY_FUNCTION__); }
