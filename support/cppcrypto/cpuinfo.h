// Processor features, read once during static initialisation.
#pragma once

#include <bitset>
#include <cstdint>

namespace cppcrypto {

// AVX2 is usable only when the operating system saves the YMM registers
// (OSXSAVE set and XCR0 enabling both XMM and YMM state): the CPUID bit alone
// would let the first AVX instruction fault on a kernel that disabled them.
constexpr bool avx2_usable(bool cpuid_avx2, bool osxsave, uint64_t xcr0) {
  return cpuid_avx2 && osxsave && (xcr0 & 0x6) == 0x6;
}

class cpu_info {
 public:
  static bool sse2() { return impl_.edx1_[26]; }
  static bool ssse3() { return impl_.ecx1_[9]; }
  static bool sse41() { return impl_.ecx1_[19]; }
  static bool avx2() { return avx2_usable(impl_.ebx7_[5], impl_.ecx1_[27], impl_.xcr0_); }
  static bool bmi2() { return impl_.ebx7_[8]; }
  static bool sha() { return impl_.ebx7_[29]; }

 private:
  struct cpu_info_impl {
    cpu_info_impl();
    std::bitset<32> ecx1_;   // CPUID 1 ECX
    std::bitset<32> edx1_;   // CPUID 1 EDX
    std::bitset<32> ebx7_;   // CPUID 7.0 EBX
    std::bitset<32> ecx7_;   // CPUID 7.0 ECX
    std::bitset<32> ecx81_;  // CPUID 0x80000001 ECX
    std::bitset<32> edx81_;  // CPUID 0x80000001 EDX
    uint64_t xcr0_;          // XGETBV(0), 0 unless OSXSAVE
  };
  static const cpu_info_impl impl_;
};

}  // namespace cppcrypto
