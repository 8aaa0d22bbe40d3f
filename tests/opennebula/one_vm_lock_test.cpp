// The VM lock object's commands, and the lifecycle commands.
#include <type_traits>

#include <gtest/gtest.h>

#include "opennebula/one_test_support.h"
#include "opennebula/vm_lock.h"

using namespace ks_opennebula_common;
using onetest::LogCapture;
using onetest::Standins;
using onetest::VmXml;

namespace {

using Calls = std::vector<std::vector<std::string>>;

constexpr char kManageSig[] = "void ks_opennebula_common::VM_lock::lock_manage_actions(const string&)";

static_assert(!std::is_copy_constructible<VM_lock>::value, "one lock, one owner");
static_assert(!std::is_copy_assignable<VM_lock>::value, "one lock, one owner");

const std::vector<std::string> kLock12{"onevm", "lock", "12", "--manage"};
const std::vector<std::string> kShow12{"onevm", "show", "12", "-x"};
const std::vector<std::string> kUnlock12{"onevm", "unlock", "12"};

std::string locked_vm() {
  VmXml vm;
  vm.lock = "<LOCK><LOCKED>4</LOCKED><OWNER>0</OWNER><TIME>1700000500</TIME><REQ_ID>-1</REQ_ID></LOCK>";
  return vm.str();
}

TEST(OneVmLock, CommandsOfTheLockObject) {
  struct Case {
    const char* what;
    int lock_rc;
    int show_rc;
    std::string show;
    int unlock_rc;
    bool locked;
    Calls calls;  // while the object lives and after it is destroyed
    std::vector<std::string> warnings;
  } cases[] = {
      {"confirmed", 0, 0, locked_vm(), 0, true, {kLock12, kShow12, kUnlock12}, {}},
      {"lock refused", 255, 0, locked_vm(), 0, false, {kLock12},
       {std::string("Warning: ") + kManageSig + ": unable to lock VM: 12",
        "Warning: The following command failed: /usr/bin/onevm lock '12' --manage",
        "Warning: Command output: [one.vm.lock] Error"}},
      {"verification failed: the lock taken is still released", 0, 255, "", 0, false, {kLock12, kShow12, kUnlock12},
       {std::string("Warning: ") + kManageSig + ": unable to make sure that VM '12' is locked",
        "Warning: The following command failed: /usr/bin/onevm show '12' -x", "Warning: Command output: [one.vm.show] Error"}},
      {"no LOCKED in the description", 0, 0, VmXml().str(), 0, false, {kLock12, kShow12, kUnlock12},
       {std::string("Warning: ") + kManageSig + ": unable to lock VM: 12"}},
      {"not XML", 0, 0, "garbage", 0, false, {kLock12, kShow12, kUnlock12},
       {std::string("Warning: ") + kManageSig +
        ": XML document not parsed successfully, unable to make sure that VM '12' is locked"}},
      {"another root", 0, 0, "<IMAGE/>", 0, false, {kLock12, kShow12, kUnlock12},
       {std::string("Warning: ") + kManageSig +
        ": document of the wrong type, root node != VM, unable to make sure that VM '12' is locked"}},
      {"unlock fails at the end", 0, 0, locked_vm(), 255, true, {kLock12, kShow12, kUnlock12},
       {"Warning: bool ks_opennebula_common::VM_lock::unlock(): can't unlock VM: 12"}},
  };
  for (const Case& c : cases) {
    Standins tools;
    tools.answer(kLock12, c.lock_rc ? "[one.vm.lock] Error\n" : "", c.lock_rc);
    tools.answer(kShow12, c.show_rc ? "[one.vm.show] Error\n" : c.show, c.show_rc);
    tools.answer(kUnlock12, "", c.unlock_rc);
    LogCapture log;
    {
      VM_lock lock("12");
      EXPECT_EQ(lock.is_locked(), c.locked) << c.what;
      if (c.locked) {
        EXPECT_TRUE(log.has("Info: VM '12' has been locked")) << log.dump();
      }
    }
    EXPECT_EQ(tools.calls(), c.calls) << c.what;
    EXPECT_EQ(log.of("Warning"), c.warnings) << c.what << "\n" << log.dump();
    if (c.calls.back() == kUnlock12 && c.unlock_rc == 0) {
      EXPECT_TRUE(log.has("Info: VM '12' has been unlocked")) << c.what;
    }
  }
}

TEST(OneVmLock, UnlockAndLockAgain) {
  Standins tools;
  tools.answer({"onevm", "lock", "12"}, "");
  tools.answer({"onevm", "lock", "13"}, "");
  tools.answer({"onevm", "unlock", "13"}, "");
  tools.answer(kUnlock12, "[one.vm.unlock] Error\n", 255);
  LogCapture log;
  {
    VM_lock lock;
    EXPECT_FALSE(lock.is_locked());
    EXPECT_FALSE(lock.unlock()) << "nothing held, nothing run";
    EXPECT_TRUE(tools.calls().empty());

    EXPECT_TRUE(lock.lock("12"));
    EXPECT_TRUE(log.has("Info: VM 12 has been locked"));
    EXPECT_TRUE(lock.unlock()) << "the VM is still locked";
    EXPECT_TRUE(lock.is_locked());
    // Locking another VM while 12 cannot be released keeps 12 and takes
    // nothing; the result is the locked flag, which still holds for 12.
    EXPECT_TRUE(lock.lock("13"));
    EXPECT_TRUE(lock.is_locked());
    EXPECT_EQ(tools.calls(), (Calls{{"onevm", "lock", "12"}, kUnlock12, kUnlock12}));
  }
  EXPECT_EQ(tools.calls().back(), kUnlock12) << "destruction tries the held lock again";

  Standins fresh;
  fresh.answer({"onevm", "lock", "12"}, "");
  fresh.answer(kUnlock12, "");
  fresh.answer({"onevm", "lock", "13"}, "");
  fresh.answer({"onevm", "unlock", "13"}, "");
  {
    VM_lock lock;
    EXPECT_TRUE(lock.lock("12"));
    EXPECT_TRUE(lock.lock("13"));
  }
  EXPECT_EQ(fresh.calls(), (Calls{{"onevm", "lock", "12"}, kUnlock12, {"onevm", "lock", "13"}, {"onevm", "unlock", "13"}}));

  Standins none;
  {
    VM_lock lock("12; touch /tmp/ks-one-pwned");
    EXPECT_FALSE(lock.is_locked());
    EXPECT_FALSE(lock.lock("$(id)"));
  }
  EXPECT_TRUE(none.calls().empty());
}

// A lock whose verification failed is held by OpenNebula but not confirmed:
// unlock() and is_locked() both say "not locked", yet the lock is released
// before the object locks anything else.
TEST(OneVmLock, UnconfirmedLockAndManageLockAgain) {
  const std::vector<std::string> lock13{"onevm", "lock", "13", "--manage"};
  const std::vector<std::string> show13{"onevm", "show", "13", "-x"};
  const std::vector<std::string> unlock13{"onevm", "unlock", "13"};
  Standins tools;
  tools.answer(kLock12, "");
  tools.answer(kShow12, "[one.vm.show] Error\n", 255);
  tools.answer(kUnlock12, "[one.vm.unlock] Error\n", 255);
  tools.answer(lock13, "");
  VmXml vm13;
  vm13.id = "13";
  vm13.lock = "<LOCK><LOCKED>4</LOCKED><OWNER>0</OWNER><TIME>1700000500</TIME><REQ_ID>-1</REQ_ID></LOCK>";
  tools.answer(show13, vm13.str());
  tools.answer(unlock13, "");
  LogCapture log;
  {
    VM_lock lock("12");
    EXPECT_FALSE(lock.is_locked());
    EXPECT_FALSE(lock.unlock()) << "a lock never confirmed is not reported as held";
    EXPECT_FALSE(lock.is_locked());
    EXPECT_TRUE(log.has("Warning: bool ks_opennebula_common::VM_lock::unlock(): can't unlock VM: 12")) << log.dump();

    lock.lock_manage_actions("13");
    EXPECT_FALSE(lock.is_locked()) << "12 could not be released, so 13 is not locked";
    EXPECT_TRUE(log.has(std::string("Warning: ") + kManageSig +
                        ": the lock on VM 12 could not be released, no other lock is taken"))
        << log.dump();
    EXPECT_EQ(tools.calls(), (Calls{kLock12, kShow12, kUnlock12, kUnlock12}));
    // The same for the default lock: the old lock was never confirmed, so
    // the result is false, as is_locked() says.
    EXPECT_FALSE(lock.lock("13"));
    EXPECT_FALSE(lock.is_locked());

    tools.answer(kUnlock12, "");
    tools.clear_calls();
    lock.lock_manage_actions("13");
    EXPECT_TRUE(lock.is_locked());
    EXPECT_EQ(tools.calls(), (Calls{kUnlock12, lock13, show13}));

    // Locking the same VM again releases it first.
    tools.clear_calls();
    lock.lock_manage_actions("13");
    EXPECT_TRUE(lock.is_locked());
    EXPECT_EQ(tools.calls(), (Calls{unlock13, lock13, show13}));
  }
  EXPECT_EQ(tools.calls().back(), unlock13);
}

TEST(OneVmLock, PowerOffAndTerminate) {
  Standins tools;
  tools.answer({"onevm", "poweroff", "12", "--hard"}, "");
  tools.answer({"onevm", "poweroff", "13", "--hard"},
               "[one.vm.action] Error performing action \"poweroff-hard\": This action is not available for state "
               "POWEROFF\n",
               255);
  tools.answer({"onevm", "poweroff", "14", "--hard"}, "[one.vm.action] Error getting virtual machine [14].\n", 255);
  tools.answer({"onevm", "terminate", "12"}, "");
  tools.answer({"onevm", "terminate", "14"}, "[one.vm.action] Error getting virtual machine [14].\n", 255);
  LogCapture log;

  EXPECT_EQ(shutdown_hard("12"), 0);
  EXPECT_EQ(terminate_vm("12"), 0);
  EXPECT_TRUE(log.lines().empty());

  EXPECT_EQ(shutdown_hard("13"), 0);
  EXPECT_EQ(log.lines(), (std::vector<std::string>{"Warning: Trying to send poweroff command to shutdown VM: \"13\""}));
  log.clear();
  EXPECT_EQ(shutdown_hard("14"), 1);
  EXPECT_EQ(terminate_vm("14"), 1);
  EXPECT_EQ(log.lines(),
            (std::vector<std::string>{
                "Error: int ks_opennebula_common::shutdown_hard(const string&): command was: /usr/bin/onevm poweroff "
                "'14' --hard",
                "Error: Command output: [one.vm.action] Error getting virtual machine [14].",
                "Error: int ks_opennebula_common::terminate_vm(const string&): unable to terminate the VM: 14",
                "Error: Command was: /usr/bin/onevm terminate '14'",
                "Error: Command output: [one.vm.action] Error getting virtual machine [14]."}));
}

}  // namespace
