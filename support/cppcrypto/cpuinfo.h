// Processor features, read once during static initialisation.
#pragma once

#include <bitset>
#include <cstdint>

namespace cppcrypto {

class cpu_info {
 public:
  static bool sse2() { return impl_.edx1_[26]; }
  static bool ssse3() { return impl_.ecx1_[9]; }
  static bool sse41() { return impl_.ecx1_[19]; }
  // AVX2 only when the operating system saves the YMM registers (OSXSAVE set
  // and XCR0 enabling both XMM and YMM state): the CPUID bit alone would let
  // the first AVX instruction fault on a kernel that disabled them.
  static bool avx2() { return impl_.ebx7_[5] && os_saves_ymm(); }
  static bool bmi2() { return impl_.ebx7_[8]; }
  static bool sha() { return impl_.ebx7_[29]; }

 private:
  static bool os_saves_ymm() { return impl_.ecx1_[27] && (impl_.xcr0_ & 0x6) == 0x6; }

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
