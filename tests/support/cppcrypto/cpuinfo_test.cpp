#include "support/cppcrypto/cpuinfo.h"

#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "support/cppcrypto/sha256.h"

namespace {

// The kernel's own view: it lists avx2 only when it saves the YMM state.
std::set<std::string> kernel_cpu_flags() {
  std::ifstream in("/proc/cpuinfo");
  std::set<std::string> flags;
  for (std::string line; std::getline(in, line);) {
    if (line.compare(0, 5, "flags") != 0) continue;
    std::istringstream words(line.substr(line.find(':') + 1));
    for (std::string w; words >> w;) flags.insert(w);
    break;
  }
  return flags;
}

TEST(CpuInfo, AgreesWithTheKernelFlags) {
  auto const flags = kernel_cpu_flags();
  ASSERT_FALSE(flags.empty()) << "no flags line in /proc/cpuinfo";
  auto has = [&](const char* f) { return flags.count(f) == 1; };
  EXPECT_EQ(cppcrypto::cpu_info::sse2(), has("sse2"));
  EXPECT_EQ(cppcrypto::cpu_info::ssse3(), has("ssse3"));
  EXPECT_EQ(cppcrypto::cpu_info::sse41(), has("sse4_1"));
  EXPECT_EQ(cppcrypto::cpu_info::avx2(), has("avx2"));
  EXPECT_EQ(cppcrypto::cpu_info::bmi2(), has("bmi2"));
  EXPECT_EQ(cppcrypto::cpu_info::sha(), has("sha_ni"));
}

// A processor with AVX2 under a kernel that does not save the YMM state must
// fall back: the first AVX instruction would fault.
TEST(CpuInfo, Avx2OnlyWhenTheSystemSavesTheWideRegisters) {
  struct Case {
    bool cpuid_avx2, osxsave;
    uint64_t xcr0;
    bool usable;
  } const cases[] = {
      {true, true, 0x7, true},     // x87, SSE and AVX state saved
      {true, true, 0xe7, true},    // AVX-512 state too
      {true, true, 0x3, false},    // SSE only: YMM state not saved
      {true, true, 0x5, false},    // YMM without XMM
      {true, false, 0x7, false},   // XGETBV not enabled: XCR0 cannot be trusted
      {false, true, 0x7, false},   // no AVX2 in the processor
      {true, true, 0x0, false},
  };
  for (auto const& c : cases)
    EXPECT_EQ(cppcrypto::avx2_usable(c.cpuid_avx2, c.osxsave, c.xcr0), c.usable)
        << "avx2=" << c.cpuid_avx2 << " osxsave=" << c.osxsave << " xcr0=0x" << std::hex << c.xcr0;
}

TEST(CpuInfo, Sha256PicksTheBestBlockFunctionInTheFixedOrder) {
  auto const flags = kernel_cpu_flags();
  auto has = [&](const char* f) { return flags.count(f) == 1; };
  cppcrypto::sha256_impl expected = cppcrypto::sha256_impl::portable;
  if (has("avx2") && has("bmi2") && has("sse4_1"))
    expected = cppcrypto::sha256_impl::avx2;
  else if (has("sse4_1"))
    expected = cppcrypto::sha256_impl::sse41;
  else if (has("sse2"))
    expected = cppcrypto::sha256_impl::sse2;
  EXPECT_EQ(cppcrypto::sha256().impl(), expected);
  EXPECT_EQ(cppcrypto::sha224().impl(), expected);
}

}  // namespace
