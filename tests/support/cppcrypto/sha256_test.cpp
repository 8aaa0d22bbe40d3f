#include "support/cppcrypto/sha256.h"

#include <gtest/gtest.h>

#include <cstring>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/cppcrypto/sha256_x86.h"
#include "tests/support/cppcrypto/crypto_test_util.h"

namespace {

using cppcrypto::sha224;
using cppcrypto::sha256;
using cppcrypto::sha256_impl;
using namespace crypto_test;

// Feeds data in a cycle of awkward piece sizes (starting at a different
// point for each start value), so partial buffers meet whole blocks.
void update_in_pieces(cppcrypto::crypto_hash& h, const bytes& data, size_t start = 0) {
  static const size_t pieces[] = {1, 63, 64, 65, 7, 128, 3, 191, 56, 55};
  size_t pos = 0;
  for (size_t i = start; pos < data.size(); ++i) {
    size_t const n = std::min(pieces[i % (sizeof(pieces) / sizeof(pieces[0]))], data.size() - pos);
    h.update(data.data() + pos, n);
    pos += n;
  }
}

std::string digest_of(cppcrypto::crypto_hash& h, const bytes& data, bool pieces, size_t start = 0) {
  h.init();
  if (pieces)
    update_in_pieces(h, data, start);
  else
    h.update(data.data(), data.size());
  bytes out(h.hashsize() / 8);
  h.final(out.data());
  return to_hex(out);
}

const char* name_of(sha256_impl impl) {
  switch (impl) {
    case sha256_impl::portable:
      return "portable";
    case sha256_impl::sse2:
      return "sse2";
    case sha256_impl::sse41:
      return "sse41";
    case sha256_impl::avx2:
      return "avx2";
    default:
      return "automatic";
  }
}

class Sha256Impl : public ::testing::TestWithParam<sha256_impl> {
 protected:
  void SetUp() override {
    if (!sha256::supported(GetParam())) GTEST_SKIP() << name_of(GetParam()) << " not supported by this processor";
  }
};

INSTANTIATE_TEST_SUITE_P(EveryBlockFunction, Sha256Impl,
                         ::testing::Values(sha256_impl::portable, sha256_impl::sse2, sha256_impl::sse41,
                                           sha256_impl::avx2, sha256_impl::automatic),
                         [](const ::testing::TestParamInfo<sha256_impl>& info) { return name_of(info.param); });

// FIPS 180-4 examples (and the long message of its example document).
TEST_P(Sha256Impl, FipsExamples) {
  struct Case {
    std::string message;
    const char* sha256;
    const char* sha224;
  };
  const Case cases[] = {
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad",
       "23097d223405d8228642a477bda255b32aadbce4bda0b3f7e36c9da7"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1",
       "75388b16512776cc5dba5da1fd890150b0c6455cb4f58b1952522525"},
      {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0",
       "20794655980c91d8bbb4c1ea97618a4bf03f42581948b2ee4ee7ad67"},
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855",
       "d14a028c2a3a2bc9476102bb288234c415a2b01f828ea62ac5b3e42f"},
  };
  sha256 h256(GetParam());
  sha224 h224(GetParam());
  for (const Case& c : cases) {
    bytes const m = of_text(c.message);
    for (bool pieces : {false, true}) {
      SCOPED_TRACE(c.message.substr(0, 60) + (pieces ? " (in pieces)" : ""));
      EXPECT_EQ(digest_of(h256, m, pieces), c.sha256);
      EXPECT_EQ(digest_of(h224, m, pieces), c.sha224);
    }
    unsigned char out[32];
    h256.hash_string(c.message, out);
    EXPECT_EQ(to_hex(out, 32), c.sha256);
  }
}

// Every length 0..200 (all padding cases: 55, 56, 63, 64 bytes in the last
// block, several blocks), whole and in uneven pieces, against python3's
// hashlib and against the portable function.
TEST_P(Sha256Impl, EveryLengthTo200MatchesHashlib) {
  kstest::TempDir dir;
  bytes const data = random_bytes(200, 1);
  write_bytes(dir / "data", data);
  auto const lines = run_lines("python3 -c " + kstest::sh_quote(
                                                   "import hashlib,sys\n"
                                                   "d=open(sys.argv[1],'rb').read()\n"
                                                   "for n in range(201):\n"
                                                   "  print(hashlib.sha256(d[:n]).hexdigest(), hashlib.sha224(d[:n]).hexdigest())\n") +
                               " " + kstest::sh_quote((dir / "data").string()));
  ASSERT_EQ(lines.size(), 201u);
  sha256 h256(GetParam()), portable(sha256_impl::portable);
  sha224 h224(GetParam());
  for (size_t n = 0; n <= 200; ++n) {
    SCOPED_TRACE("length " + std::to_string(n));
    bytes const m(data.begin(), data.begin() + n);
    std::string const want256 = lines[n].substr(0, 64), want224 = lines[n].substr(65);
    EXPECT_EQ(digest_of(h256, m, false), want256);
    EXPECT_EQ(digest_of(h256, m, true, n), want256);
    EXPECT_EQ(digest_of(portable, m, true, n + 3), want256);
    EXPECT_EQ(digest_of(h224, m, true, n), want224);
  }
}

// Long random messages against openssl dgst, whole (many blocks in one
// call, odd counts included) and in pieces.
TEST_P(Sha256Impl, LongRandomMessagesMatchOpensslDgst) {
  kstest::TempDir dir;
  for (size_t size : {size_t(64 * 3), size_t(4097), size_t(100001), size_t((1 << 20) + 37)}) {
    SCOPED_TRACE("size " + std::to_string(size));
    bytes const data = random_bytes(size, size);
    write_bytes(dir / "data", data);
    auto const lines = run_lines("openssl dgst -sha256 -r " + kstest::sh_quote((dir / "data").string()) +
                                 " && openssl dgst -sha224 -r " + kstest::sh_quote((dir / "data").string()));
    ASSERT_EQ(lines.size(), 2u);
    sha256 h256(GetParam());
    sha224 h224(GetParam());
    EXPECT_EQ(digest_of(h256, data, false), lines[0].substr(0, 64));
    EXPECT_EQ(digest_of(h256, data, true), lines[0].substr(0, 64));
    EXPECT_EQ(digest_of(h224, data, false), lines[1].substr(0, 56));
  }
}

TEST_P(Sha256Impl, CloneKeepsAlgorithmAndBlockFunctionButNotTheRunningState) {
  for (bool is224 : {false, true}) {
    std::unique_ptr<sha256> h(is224 ? new sha224(GetParam()) : new sha256(GetParam()));
    bytes const abc = of_text("abc");
    h->init();
    update_in_pieces(*h, random_bytes(150, 7));  // mid-message, bytes pending
    std::unique_ptr<cppcrypto::crypto_hash> c(h->clone());
    EXPECT_EQ(c->hashsize(), is224 ? 224u : 256u);
    EXPECT_EQ(static_cast<sha256*>(c.get())->impl(), h->impl());
    // The clone starts from the beginning once initialised...
    EXPECT_EQ(digest_of(*c, abc, false), is224 ? "23097d223405d8228642a477bda255b32aadbce4bda0b3f7e36c9da7"
                                               : "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    // ...and the original's message is undisturbed.
    bytes rest = random_bytes(150, 7);
    std::unique_ptr<sha256> ref(is224 ? new sha224(sha256_impl::portable) : new sha256(sha256_impl::portable));
    h->update(abc.data(), abc.size());
    bytes got(h->hashsize() / 8);
    h->final(got.data());
    rest.insert(rest.end(), abc.begin(), abc.end());
    EXPECT_EQ(to_hex(got), digest_of(*ref, rest, false));
  }
}

TEST_P(Sha256Impl, InitRestartsAfterFinalAndAfterClear) {
  sha256 h(GetParam());
  bytes const m = random_bytes(300, 9);
  std::string const first = digest_of(h, m, true);
  EXPECT_EQ(digest_of(h, m, false), first);  // final() then init() again
  h.init();
  h.update(m.data(), 100);
  h.clear();  // abandon the message
  EXPECT_EQ(digest_of(h, m, true), first);
  // A partial message left behind by an earlier one does not leak into the
  // next after init().
  h.init();
  h.update(m.data(), 17);
  EXPECT_EQ(digest_of(h, m, false), first);
}

// Update before the first init() is a caller error, but it must stay inside
// the object: the pending-byte count starts at zero, never indeterminate.
TEST(Sha256, UpdateBeforeInitStaysInsideTheObject) {
  for (int round = 0; round < 50; ++round) {
    std::unique_ptr<sha256> h(new sha256());
    bytes const m = random_bytes(63, round);
    h->update(m.data(), m.size());
    h->update(m.data(), 1);
    EXPECT_EQ(digest_of(*h, of_text("abc"), false),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  }
}

// Exposes the state words to compare the block functions directly.
struct state_probe : sha256 {
  explicit state_probe(sha256_impl impl) : sha256(impl) {}
  uint32_t* state() { return H.get(); }
};

// Each processor-specific block function, called directly from a random
// state on 0..9 blocks at every alignment, against the portable transform.
TEST(Sha256BlockFunctions, MatchThePortableTransform) {
  using fn = void (*)(const unsigned char*, uint32_t*, size_t);
  struct Fn {
    const char* name;
    sha256_impl needs;
    fn call;
  };
  const Fn fns[] = {
      {"X86_SHA256_HashBlocks", sha256_impl::sse2,
       [](const unsigned char* d, uint32_t* s, size_t n) {
         // Takes a byte length; the words need no alignment.
         cppcrypto::X86_SHA256_HashBlocks(s, reinterpret_cast<const uint32_t*>(d), n * 64);
       }},
      {"sha256_sse4", sha256_impl::sse41, [](const unsigned char* d, uint32_t* s, size_t n) { cppcrypto::sha256_sse4(d, s, n); }},
      {"sha256_rorx", sha256_impl::avx2, [](const unsigned char* d, uint32_t* s, size_t n) { cppcrypto::sha256_rorx(d, s, n); }},
  };
  bytes const data = random_bytes(9 * 64 + 16, 3);
  bytes const start = random_bytes(32, 4);
  for (const Fn& f : fns) {
    if (!sha256::supported(f.needs)) {
      std::cout << f.name << ": not supported by this processor, not checked\n";
      continue;
    }
    for (size_t blocks = 0; blocks <= 9; ++blocks)
      for (size_t offset : {0, 1, 3, 8, 15}) {
        SCOPED_TRACE(std::string(f.name) + " blocks " + std::to_string(blocks) + " offset " + std::to_string(offset));
        state_probe ref(sha256_impl::portable);
        std::memcpy(ref.state(), start.data(), 32);
        ref.transform(data.data() + offset, blocks);
        uint32_t got[8];
        std::memcpy(got, start.data(), 32);
        f.call(data.data() + offset, got, blocks);
        EXPECT_EQ(0, std::memcmp(got, ref.state(), 32));
      }
  }
}

// Nothing reads past the caller's data: the block functions on 1..5 blocks
// (odd counts leave the AVX2 function a lone last block) and whole hashes
// whose input ends at an inaccessible page.
TEST(Sha256BlockFunctions, ReadNothingPastTheData) {
  bytes const data = random_bytes(5 * 64, 12);
  for (sha256_impl impl : {sha256_impl::portable, sha256_impl::sse2, sha256_impl::sse41, sha256_impl::avx2}) {
    if (!sha256::supported(impl)) continue;
    SCOPED_TRACE(name_of(impl));
    for (size_t blocks = 1; blocks <= 5; ++blocks) {
      bytes const m(data.begin(), data.begin() + 64 * blocks);
      guarded_bytes g(m);
      uint32_t state[8] = {};
      switch (impl) {
        case sha256_impl::sse2:
          cppcrypto::X86_SHA256_HashBlocks(state, reinterpret_cast<const uint32_t*>(g.data()), 64 * blocks);
          break;
        case sha256_impl::sse41:
          cppcrypto::sha256_sse4(g.data(), state, blocks);
          break;
        case sha256_impl::avx2:
          cppcrypto::sha256_rorx(g.data(), state, blocks);
          break;
        default:
          break;
      }
      for (size_t extra : {0, 1, 63}) {
        bytes mm(data.begin(), data.begin() + 64 * blocks - extra);
        guarded_bytes gm(mm);
        sha256 h(impl), ref(sha256_impl::portable);
        unsigned char got[32];
        h.hash_string(gm.data(), mm.size(), got);
        EXPECT_EQ(to_hex(got, 32), digest_of(ref, mm, false));
      }
    }
  }
}

TEST(Sha256, ForcingABlockFunctionTheProcessorLacksIsRefused) {
  for (sha256_impl impl : {sha256_impl::sse2, sha256_impl::sse41, sha256_impl::avx2})
    if (!sha256::supported(impl)) {
      EXPECT_THROW(sha256{impl}, std::invalid_argument);
    }
  EXPECT_NO_THROW(sha256{sha256_impl::portable});
}

TEST(CryptoHash, SizesInBits) {
  EXPECT_EQ(sha256().hashsize(), 256u);
  EXPECT_EQ(sha256().blocksize(), 512u);
  EXPECT_EQ(sha224().hashsize(), 224u);
  EXPECT_EQ(sha224().blocksize(), 512u);
}

TEST(CryptoHash, ValidateHashSize) {
  sha256 h;
  auto message = [&](auto call) {
    try {
      call();
    } catch (const std::runtime_error& e) {
      return std::string(e.what());
    }
    return std::string("(no exception)");
  };
  EXPECT_EQ(message([&] { h.validate_hash_size(0, 512); }), "hash size can't be zero");
  EXPECT_EQ(message([&] { h.validate_hash_size(12, 512); }), "cppcrypto does not support non-byte hash sizes");
  EXPECT_EQ(message([&] { h.validate_hash_size(520, 512); }), "invalid hash size");
  EXPECT_EQ(message([&] { h.validate_hash_size(512, 512); }), "(no exception)");
  EXPECT_EQ(message([&] { h.validate_hash_size(0, {224, 256}); }), "hash size can't be zero");
  EXPECT_EQ(message([&] { h.validate_hash_size(255, {224, 256}); }), "invalid hash size");
  EXPECT_EQ(message([&] { h.validate_hash_size(224, {224, 256}); }), "(no exception)");
}

}  // namespace
