#include "opennebula/vm_lock.h"

#include <iomanip>

#include "opennebula/command.h"
#include "opennebula/xml_util.h"
#include "support/log/ks_log.h"
#include "support/utils/quoting.h"

namespace ks_opennebula_common {

namespace {

constexpr char kLockSig[] = "bool ks_opennebula_common::VM_lock::lock(const string&)";
constexpr char kManageSig[] = "void ks_opennebula_common::VM_lock::lock_manage_actions(const string&)";
constexpr char kUnlockSig[] = "bool ks_opennebula_common::VM_lock::unlock()";
constexpr char kShutdownSig[] = "int ks_opennebula_common::shutdown_hard(const string&)";
constexpr char kTerminateSig[] = "int ks_opennebula_common::terminate_vm(const string&)";

void warning(const std::string& text) { KsLogStream(KsLogLvl::Warning) << text << std::endl; }
void error(const std::string& text) { KsLogStream(KsLogLvl::Error) << text << std::endl; }

}  // namespace

VM_lock::VM_lock(const std::string& vm_id) : vm_id_(vm_id) { lock_manage_actions(vm_id); }

VM_lock::~VM_lock() {
  try {
    unlock();
  } catch (...) {
    // A destructor never throws; the failure was logged by unlock.
  }
}

bool VM_lock::release_held(const char* signature) {
  if (!lock_taken_) return true;
  unlock();
  if (!lock_taken_) return true;
  warning(std::string(signature) + ": the lock on VM " + vm_id_ + " could not be released, no other lock is taken");
  return false;
}

bool VM_lock::lock(const std::string& vm_id) {
  if (!release_held(kLockSig)) return locked_;
  vm_id_ = vm_id;
  locked_ = lock_taken_ = false;
  if (!check_numeric_id(kLockSig, vm_id)) return false;
  std::string output;
  if (run_tool(kLockSig, "/usr/bin/onevm lock " + shell_arg(vm_id), failure_form::none, output)) {
    KsLogStream(KsLogLvl::Info) << "VM " << vm_id << " has been locked" << std::endl;
    locked_ = lock_taken_ = true;
  }
  return locked_;
}

void VM_lock::lock_manage_actions(const std::string& vm_id) {
  if (!release_held(kManageSig)) return;
  vm_id_ = vm_id;
  locked_ = lock_taken_ = false;
  if (!check_numeric_id(kManageSig, vm_id)) return;
  const std::string sig = kManageSig;

  std::string command = "/usr/bin/onevm lock " + shell_arg(vm_id) + " --manage";
  std::string output;
  if (!run_tool(kManageSig, command, failure_form::none, output)) {
    warning(sig + ": unable to lock VM: " + kestrova::as_one_line(vm_id));
    warning("The following command failed: " + kestrova::as_one_line(command));
    warning("Command output: " + kestrova::as_one_line(output));
    return;
  }
  lock_taken_ = true;

  const std::string not_sure = "unable to make sure that VM '" + vm_id + "' is locked";
  command = "/usr/bin/onevm show " + shell_arg(vm_id) + " -x";
  if (!run_tool(kManageSig, command, failure_form::none, output)) {
    warning(sig + ": " + kestrova::as_one_line(not_sure));
    warning("The following command failed: " + kestrova::as_one_line(command));
    warning("Command output: " + kestrova::as_one_line(output));
    return;
  }
  xml_document doc = xml_read_memory(output);
  if (!doc) {
    warning(sig + ": XML document not parsed successfully, " + kestrova::as_one_line(not_sure));
    return;
  }
  xmlNode* root = xmlDocGetRootElement(doc.get());
  if (!root) {
    warning(sig + ": empty XML document, " + kestrova::as_one_line(not_sure));
    return;
  }
  if (!is_element(root, "VM")) {
    warning(sig + ": document of the wrong type, root node != VM,  " + kestrova::as_one_line(not_sure));
    return;
  }
  if (xmlNode* lock = first_child(root, "LOCK"))
    if (first_child(lock, "LOCKED")) locked_ = true;
  doc.reset();

  if (locked_)
    KsLogStream(KsLogLvl::Info) << "VM '" << vm_id << "' has been locked" << std::endl;
  else
    warning(sig + ": unable to lock VM: " + kestrova::as_one_line(vm_id));
}

bool VM_lock::is_locked() const { return locked_; }

bool VM_lock::unlock() {
  if (!lock_taken_) return false;
  std::string output;
  if (run_tool(kUnlockSig, "/usr/bin/onevm unlock " + shell_arg(vm_id_), failure_form::none, output)) {
    KsLogStream(KsLogLvl::Info) << "VM '" << vm_id_ << "' has been unlocked" << std::endl;
    locked_ = lock_taken_ = false;
  } else {
    warning(std::string(kUnlockSig) + ": can't unlock VM: " + kestrova::as_one_line(vm_id_));
  }
  return locked_;
}

int shutdown_hard(const std::string& vm_id) {
  return guarded(kShutdownSig, 1, [&]() -> int {
    if (!check_numeric_id(kShutdownSig, vm_id)) return 1;
    const std::string command = "/usr/bin/onevm poweroff " + shell_arg(vm_id) + " --hard";
    std::string output;
    if (run_tool(kShutdownSig, command, failure_form::none, output)) return 0;
    if (output.find("This action is not available for state POWEROFF") != std::string::npos) {
      KsLogStream(KsLogLvl::Warning) << "Trying to send poweroff command to shutdown VM: " << std::quoted(vm_id)
                                     << std::endl;
      return 0;
    }
    error(std::string(kShutdownSig) + ": command was: " + kestrova::as_one_line(command));
    error("Command output: " + kestrova::as_one_line(output));
    return 1;
  });
}

int terminate_vm(const std::string& vm_id) {
  return guarded(kTerminateSig, 1, [&]() -> int {
    if (!check_numeric_id(kTerminateSig, vm_id)) return 1;
    const std::string command = "/usr/bin/onevm terminate " + shell_arg(vm_id);
    std::string output;
    if (run_tool(kTerminateSig, command, failure_form::none, output)) return 0;
    error(std::string(kTerminateSig) + ": unable to terminate the VM: " + kestrova::as_one_line(vm_id));
    error("Command was: " + kestrova::as_one_line(command));
    error("Command output: " + kestrova::as_one_line(output));
    return 1;
  });
}

}  // namespace ks_opennebula_common
