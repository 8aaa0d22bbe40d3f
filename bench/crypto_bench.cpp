// Throughput of the cppcrypto primitives over 1 MiB buffers, next to
// OpenSSL's SHA-256 and MD5 on the same buffers in the same run.
//
//   crypto_bench [seconds-per-measurement]
//
// OPENSSL_ia32cap masks OpenSSL's use of processor features, for example
// OPENSSL_ia32cap=":~0x20000000" turns off its SHA extensions code.
#include <openssl/evp.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "support/cppcrypto/cpuinfo.h"
#include "support/cppcrypto/ctr.h"
#include "support/cppcrypto/hmac.h"
#include "support/cppcrypto/kuznyechik.h"
#include "support/cppcrypto/md5.h"
#include "support/cppcrypto/sha256.h"

namespace {

constexpr size_t kBufferSize = 1 << 20;

struct contender {
  std::string name;
  std::function<void()> op;
  double best = 0;  // MB/s, MB = 10^6 bytes
};

// Runs the contenders in turns, several rounds of `seconds`/rounds each, and
// keeps each one's best round: taking turns spreads the drift of the clock
// frequency evenly over them.
void measure(double seconds, std::vector<contender>& group) {
  using clock = std::chrono::steady_clock;
  int const rounds = 7;
  // Warm up (tables, caches, clock frequency): each contender for as long
  // as one of its measured rounds, unmeasured.
  for (auto& c : group) {
    auto const start = clock::now();
    do c.op();
    while (std::chrono::duration<double>(clock::now() - start).count() < seconds / rounds);
  }
  for (int round = 0; round < rounds; ++round)
    for (auto& c : group) {
      size_t runs = 0;
      auto const start = clock::now();
      double elapsed = 0;
      do {
        c.op();
        ++runs;
        elapsed = std::chrono::duration<double>(clock::now() - start).count();
      } while (elapsed < seconds / rounds);
      c.best = std::max(c.best, runs * double(kBufferSize) / elapsed / 1e6);
    }
  for (auto const& c : group) std::printf("  %-36s %9.1f MB/s\n", c.name.c_str(), c.best);
}

std::string hex(const unsigned char* p, size_t n) {
  static const char digits[] = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    s += digits[p[i] >> 4];
    s += digits[p[i] & 15];
  }
  return s;
}

const char* impl_name(cppcrypto::sha256_impl impl) {
  switch (impl) {
    case cppcrypto::sha256_impl::portable:
      return "portable";
    case cppcrypto::sha256_impl::sse2:
      return "SSE2";
    case cppcrypto::sha256_impl::sse41:
      return "SSE4.1";
    case cppcrypto::sha256_impl::avx2:
      return "AVX2+BMI2 (rorx)";
    default:
      return "automatic";
  }
}

bool openssl_digest(const EVP_MD* md, const std::vector<unsigned char>& buf, unsigned char* out) {
  unsigned int len = 0;
  return EVP_Digest(buf.data(), buf.size(), out, &len, md, nullptr) == 1;
}

}  // namespace

int main(int argc, char** argv) {
  double const seconds = argc > 1 ? std::atof(argv[1]) : 2.0;
  std::vector<unsigned char> buf(kBufferSize), out(kBufferSize);
  std::mt19937_64 rng(42);
  for (auto& b : buf) b = static_cast<unsigned char>(rng());

  using cppcrypto::cpu_info;
  std::printf("cpu: sse2=%d ssse3=%d sse4.1=%d avx2(os-enabled)=%d bmi2=%d sha=%d\n", cpu_info::sse2(),
              cpu_info::ssse3(), cpu_info::sse41(), cpu_info::avx2(), cpu_info::bmi2(), cpu_info::sha());
  const char* cap = std::getenv("OPENSSL_ia32cap");
  std::printf("OPENSSL_ia32cap=%s\n", cap ? cap : "(unset)");
  std::printf("sha256 automatic choice: %s\n", impl_name(cppcrypto::sha256::best_impl()));
  std::printf("1 MiB buffers, best of 7 rounds taken in turns, %.1f s per contender\n", seconds);

  unsigned char ref[32], digest[32];
  if (!openssl_digest(EVP_sha256(), buf, ref)) return 1;

  std::printf("SHA-256\n");
  std::vector<std::unique_ptr<cppcrypto::sha256>> hashes;
  std::vector<contender> group;
  for (auto impl : {cppcrypto::sha256_impl::portable, cppcrypto::sha256_impl::sse2, cppcrypto::sha256_impl::sse41,
                    cppcrypto::sha256_impl::avx2}) {
    if (!cppcrypto::sha256::supported(impl)) {
      std::printf("  %-36s (not supported here)\n", impl_name(impl));
      continue;
    }
    hashes.emplace_back(new cppcrypto::sha256(impl));
    cppcrypto::sha256* h = hashes.back().get();
    h->hash_string(buf.data(), buf.size(), digest);
    if (std::memcmp(digest, ref, 32) != 0) {
      std::printf("  %s: WRONG DIGEST %s\n", impl_name(impl), hex(digest, 32).c_str());
      return 1;
    }
    group.push_back({std::string("cppcrypto ") + impl_name(impl), [&, h] { h->hash_string(buf.data(), buf.size(), digest); }});
  }
  group.push_back({"OpenSSL EVP_sha256", [&] { openssl_digest(EVP_sha256(), buf, digest); }});
  measure(seconds, group);
  // The fastest block function against OpenSSL, measured in the same turns.
  if (group.size() >= 2 && hashes.back()->impl() == cppcrypto::sha256::best_impl())
    std::printf("  %s / OpenSSL: %.3f\n", impl_name(hashes.back()->impl()),
                group[group.size() - 2].best / group.back().best);

  std::printf("MD5\n");
  {
    cppcrypto::md5 h;
    h.hash_string(buf.data(), buf.size(), digest);
    openssl_digest(EVP_md5(), buf, ref);
    if (std::memcmp(digest, ref, 16) != 0) {
      std::printf("  md5: WRONG DIGEST\n");
      return 1;
    }
    std::vector<contender> md5s = {{"cppcrypto md5", [&] { h.hash_string(buf.data(), buf.size(), digest); }},
                                   {"OpenSSL EVP_md5", [&] { openssl_digest(EVP_md5(), buf, digest); }}};
    measure(seconds, md5s);
  }

  std::printf("HMAC-SHA-256\n");
  {
    cppcrypto::hmac mac(cppcrypto::sha256(), std::string(93, '7'));
    std::vector<contender> macs = {{"cppcrypto hmac(sha256)", [&] { mac.hash_string(buf.data(), buf.size(), digest); }}};
    measure(seconds, macs);
  }

  std::printf("Kuznyechik-CTR\n");
  {
    unsigned char key[32], iv[2] = {'q', 'T'};
    for (auto& k : key) k = static_cast<unsigned char>(rng());
    cppcrypto::kuznyechik cipher;
    cppcrypto::ctr mode(cipher);
    std::vector<contender> ciphers = {{"cppcrypto ctr(kuznyechik) encrypt", [&] {
                                         mode.init(key, sizeof(key), iv, sizeof(iv));
                                         mode.encrypt(buf.data(), buf.size(), out.data());
                                       }}};
    measure(seconds, ciphers);
  }
  return 0;
}
