// OpenNebula's own lock on a VM, held for the life of a VM_lock object, and
// the VM lifecycle commands (hard power-off, terminate).
#pragma once

#include <string>

namespace ks_opennebula_common {

// Holds at most one OpenNebula lock. Whatever lock the object took (even
// one whose verification failed) is released when it is locked again or
// destroyed. Not copyable: two owners would release one lock twice.
class VM_lock {
 public:
  VM_lock() = default;
  // Takes the "--manage" lock and verifies it; ask is_locked().
  explicit VM_lock(const std::string& vm_id);
  ~VM_lock();
  VM_lock(const VM_lock&) = delete;
  VM_lock& operator=(const VM_lock&) = delete;

  // OpenNebula's default lock, not verified. Releases a lock held before;
  // when that fails, that lock stays held and the new one is not taken.
  // Returns is_locked(): true then only when the old lock was confirmed.
  bool lock(const std::string& vm_id);
  // The "--manage" lock, verified in the VM's description; the outcome is
  // is_locked(). Releases a lock held before, as lock() does.
  void lock_manage_actions(const std::string& vm_id);
  // True while a lock this object took is confirmed.
  bool is_locked() const;
  // Releases the lock this object took (confirmed or not); returns
  // is_locked() afterwards: true when a confirmed lock could not be
  // released. An unconfirmed lock that could not be released is tried
  // again by the next lock or the destructor.
  bool unlock();

 private:
  // Unlocks a lock taken before; false (with a Warning under `signature`)
  // when it is still held.
  bool release_held(const char* signature);

  std::string vm_id_;
  bool locked_ = false;
  // The lock command succeeded; OpenNebula may hold the lock even when
  // the verification failed, so this decides whether to unlock.
  bool lock_taken_ = false;
};

// Hard power-off; 0 also when the VM is already powered off, 1 on failure.
int shutdown_hard(const std::string& vm_id);
// Terminates the VM; 0, or 1.
int terminate_vm(const std::string& vm_id);

}  // namespace ks_opennebula_common
