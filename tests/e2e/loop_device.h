// Block devices for the end-to-end tests, inside the sandbox's private /dev
// only (tests/sandbox/ks-sandbox --private-dev).
#pragma once

#include <cstdint>
#include <string>

namespace kstest::e2e {

// True when /dev is the sandbox's private tmpfs (its marker file exists).
bool private_dev();

// True when the path itself (links not followed) is a block device node.
bool is_block_device(std::string const& path);

// Size in bytes of the block device at `path` (BLKGETSIZE64); throws when it
// cannot be opened.
std::uint64_t block_device_size(std::string const& path);

// "major:minor" of the block node at `path`, empty when it is none.
std::string device_numbers(std::string const& path);

// True when some loop device of the machine is bound to `backing_file`
// (from /sys/block/loop*/loop/backing_file).
bool loop_bound_to(std::string const& backing_file);

// A loop device bound to a file and a block node for it at a path directly
// below the private /dev (for example /dev/vda), standing for a disk that is
// not the cloud's. The device has the autoclear flag and this object holds
// its only descriptor, so the kernel lets it go when the object is destroyed
// (or the process dies). Throws std::runtime_error outside the private /dev,
// for a path that exists or is not directly below /dev, or when no loop
// device can be had.
class LoopDevice {
 public:
  LoopDevice(std::string node, std::string const& backing_file);
  ~LoopDevice();
  LoopDevice(LoopDevice const&) = delete;
  LoopDevice& operator=(LoopDevice const&) = delete;

  std::string const& node() const { return node_; }
  std::string const& loop_name() const { return loop_name_; }  // loopN

 private:
  std::string node_;
  std::string loop_name_;
  int fd_ = -1;
};

}  // namespace kstest::e2e
