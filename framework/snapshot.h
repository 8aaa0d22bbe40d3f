// Operating-system snapshot makers: an LVM snapshot of a logical volume, or a
// dattobd snapshot of any block device, chosen by SnapshotFactory.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

// A maker of point-in-time snapshots of one block device.
class Snapshot {
 public:
  Snapshot() = default;
  Snapshot(Snapshot const&) = delete;
  Snapshot& operator=(Snapshot const&) = delete;

  // Whether a snapshot of the device can be made now.
  virtual bool check(std::string const& device) = 0;
  // Makes the snapshot (size in bytes); snapshot_path receives the device
  // path of the snapshot.
  virtual bool create(std::string const& device, std::string const& name, std::string const& mountpoint,
                      std::string const& task_id, uintmax_t size, std::string& snapshot_path) = 0;
  // Removes the snapshot made of the device.
  virtual bool remove(std::string const& device) = 0;
  virtual ~Snapshot() = default;
};

class SnapshotLVM : public Snapshot {
 public:
  bool check(std::string const& device) override;
  bool create(std::string const& device, std::string const& name, std::string const& mountpoint,
              std::string const& task_id, uintmax_t size, std::string& snapshot_path) override;
  bool remove(std::string const& device) override;

 private:
  std::string snapshot_path;  // set by create
};

class SnapshotDattobd : public Snapshot {
 public:
  bool check(std::string const& device) override;
  bool create(std::string const& device, std::string const& name, std::string const& mountpoint,
              std::string const& task_id, uintmax_t size, std::string& snapshot_path) override;
  bool remove(std::string const& device) override;

  bool is_dattobd_ready() const;
  bool is_dattobd_snapshot_exists(std::string const& device, bool& exists, std::string& minor) const;
  bool get_dattobd_free_minor(std::string& minor);

 private:
  std::string minor;  // chosen by check, used by create
};

class SnapshotFactory {
 public:
  // Empty when no maker fits the device type and snapshot type.
  std::unique_ptr<Snapshot> createSnapshot(std::string const& block_device_type, std::string const& snapshot_type);
};
