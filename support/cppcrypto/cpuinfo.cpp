#include "support/cppcrypto/cpuinfo.h"

#include <cpuid.h>

namespace cppcrypto {

namespace {

uint64_t read_xcr0() {
  uint32_t eax = 0, edx = 0;
  // xgetbv, spelled as bytes so no target option is needed for it.
  __asm__ volatile(".byte 0x0f, 0x01, 0xd0" : "=a"(eax), "=d"(edx) : "c"(0));
  return (static_cast<uint64_t>(edx) << 32) | eax;
}

}  // namespace

cpu_info::cpu_info_impl::cpu_info_impl() : xcr0_(0) {
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  unsigned const max_leaf = __get_cpuid_max(0, nullptr);
  if (max_leaf > 0) {
    __cpuid(1, eax, ebx, ecx, edx);
    ecx1_ = ecx;
    edx1_ = edx;
  }
  if (max_leaf > 6) {
    __cpuid_count(7, 0, eax, ebx, ecx, edx);
    ebx7_ = ebx;
    ecx7_ = ecx;
  }
  unsigned const max_ext = __get_cpuid_max(0x80000000u, nullptr);
  if (max_ext > 0x80000000u) {
    __cpuid(0x80000001u, eax, ebx, ecx, edx);
    ecx81_ = ecx;
    edx81_ = edx;
  }
  // XGETBV exists only when the operating system has set OSXSAVE.
  if (ecx1_[27]) xcr0_ = read_xcr0();
}

// Early, so hash objects built by other static initialisers already see the
// processor's features.
const cpu_info::cpu_info_impl cpu_info::impl_ __attribute__((init_priority(101)));

}  // namespace cppcrypto
