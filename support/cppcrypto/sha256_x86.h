// SHA-256 block functions for x86-64 vector extensions. Each compresses whole
// 64-byte blocks into the eight state words exactly as sha256::transform;
// callers must check the processor (cpu_info) first. `data` needs no
// alignment.
#pragma once

#include <cstddef>
#include <cstdint>

namespace cppcrypto {

// SSE4.1 (with SSSE3 byte shuffles).
void sha256_sse4(const void* data, uint32_t* state, uint64_t blocks);
// AVX2 message schedule for two blocks at once, rounds with BMI2 rotates.
void sha256_rorx(const void* data, uint32_t* state, uint64_t blocks);
// SSE2 only; `length` is in bytes, a multiple of 64.
void X86_SHA256_HashBlocks(uint32_t* state, const uint32_t* data, size_t length);

}  // namespace cppcrypto
