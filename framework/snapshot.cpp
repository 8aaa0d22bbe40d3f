// Not built yet: every maker refuses, so no snapshot is ever attempted.
#include "framework/snapshot.h"

#include "support/log/ks_log.h"

namespace {

bool not_implemented(char const* signature) {
  KsLogStream(KsLogLvl::Error) << signature << ": not implemented" << std::endl;
  return false;
}

}  // namespace

bool SnapshotLVM::check(std::string const&) { return not_implemented(__PRETTY_FUNCTION__); }

bool SnapshotLVM::create(std::string const&, std::string const&, std::string const&, std::string const&, uintmax_t,
                         std::string&) {
  return not_implemented(__PRETTY_FUNCTION__);
}

bool SnapshotLVM::remove(std::string const&) { return not_implemented(__PRETTY_FUNCTION__); }

bool SnapshotDattobd::check(std::string const&) { return not_implemented(__PRETTY_FUNCTION__); }

bool SnapshotDattobd::create(std::string const&, std::string const&, std::string const&, std::string const&,
                             uintmax_t, std::string&) {
  return not_implemented(__PRETTY_FUNCTION__);
}

bool SnapshotDattobd::remove(std::string const&) { return not_implemented(__PRETTY_FUNCTION__); }

bool SnapshotDattobd::is_dattobd_ready() const { return not_implemented(__PRETTY_FUNCTION__); }

bool SnapshotDattobd::is_dattobd_snapshot_exists(std::string const&, bool& exists, std::string&) const {
  exists = false;
  return not_implemented(__PRETTY_FUNCTION__);
}

bool SnapshotDattobd::get_dattobd_free_minor(std::string&) { return not_implemented(__PRETTY_FUNCTION__); }

std::unique_ptr<Snapshot> SnapshotFactory::createSnapshot(std::string const&, std::string const&) {
  not_implemented(__PRETTY_FUNCTION__);
  return nullptr;
}
