#include "crypto.h"

#include <fcntl.h>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>

#include <cstdio>

#include "support.h"

namespace ksfd {

namespace {

std::string openssl_error() {
  unsigned long e = ERR_get_error();
  if (!e) return "unknown error";
  char buf[256];
  ERR_error_string_n(e, buf, sizeof buf);
  ERR_clear_error();
  return buf;
}

EVP_MD const* md_by_name(std::string const& name) {
  if (name == "sha256") return EVP_sha256();
  if (name == "sha512") return EVP_sha512();
  throw Failure("unsupported digest: " + name);
}

struct MdCtxFree {
  void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};
using MdCtx = std::unique_ptr<EVP_MD_CTX, MdCtxFree>;
struct PkeyFree {
  void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;
struct BioFree {
  void operator()(BIO* b) const { BIO_free(b); }
};
using Bio = std::unique_ptr<BIO, BioFree>;

MdCtx new_md_ctx() {
  MdCtx c(EVP_MD_CTX_new());
  if (!c) throw Failure("out of memory");
  return c;
}

Bio bio_of(std::string const& pem) {
  Bio b(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  if (!b) throw Failure("out of memory");
  return b;
}

template <typename Fn>
void for_each_chunk(std::string const& file, Fn fn) {
  Fd fd = open_or_fail(file, O_RDONLY);
  std::string buf(1 << 16, '\0');
  for (;;) {
    size_t n = read_some(fd.get(), &buf[0], buf.size(), file);
    if (n) fn(buf.data(), n);
    if (n < buf.size()) break;
  }
}

}  // namespace

struct Digest::Ctx {
  MdCtx md = new_md_ctx();
};

Digest::Digest(std::string const& algorithm) : ctx_(new Ctx) {
  if (EVP_DigestInit_ex(ctx_->md.get(), md_by_name(algorithm), nullptr) != 1)
    throw Failure("digest init: " + openssl_error());
}

Digest::~Digest() = default;

void Digest::update(void const* data, size_t n) {
  if (EVP_DigestUpdate(ctx_->md.get(), data, n) != 1) throw Failure("digest: " + openssl_error());
}

std::string Digest::final_raw() {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  if (EVP_DigestFinal_ex(ctx_->md.get(), out, &len) != 1) throw Failure("digest: " + openssl_error());
  return std::string(reinterpret_cast<char*>(out), len);
}

std::string Digest::final_hex() { return to_hex(final_raw()); }

std::string sha256_raw(std::string const& data) {
  Digest d("sha256");
  d.update(data);
  return d.final_raw();
}

std::string to_hex(std::string const& raw) {
  static char const hex[] = "0123456789abcdef";
  std::string out;
  out.reserve(raw.size() * 2);
  for (unsigned char c : raw) {
    out += hex[c >> 4];
    out += hex[c & 15];
  }
  return out;
}

std::string random_bytes(size_t n) {
  std::string out(n, '\0');
  if (RAND_bytes(reinterpret_cast<unsigned char*>(&out[0]), static_cast<int>(n)) != 1)
    throw Failure("no random bytes: " + openssl_error());
  return out;
}

std::string aes256_ctr(std::string const& key32, std::string const& iv16, std::string const& data) {
  struct CipherFree {
    void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
  };
  std::unique_ptr<EVP_CIPHER_CTX, CipherFree> c(EVP_CIPHER_CTX_new());
  if (!c || key32.size() != 32 || iv16.size() != 16) throw Failure("cipher setup failed");
  auto const* key = reinterpret_cast<unsigned char const*>(key32.data());
  auto const* iv = reinterpret_cast<unsigned char const*>(iv16.data());
  if (EVP_EncryptInit_ex(c.get(), EVP_aes_256_ctr(), nullptr, key, iv) != 1) throw Failure("cipher: " + openssl_error());
  std::string out(data.size() + 16, '\0');
  int len = 0, tail = 0;
  auto* o = reinterpret_cast<unsigned char*>(&out[0]);
  if (EVP_EncryptUpdate(c.get(), o, &len, reinterpret_cast<unsigned char const*>(data.data()),
                        static_cast<int>(data.size())) != 1 ||
      EVP_EncryptFinal_ex(c.get(), o + len, &tail) != 1)
    throw Failure("cipher: " + openssl_error());
  out.resize(static_cast<size_t>(len + tail));
  return out;
}

std::string sign_file(std::string const& file, std::string const& private_key_pem, std::string const& pass_file,
                      std::string const& digest) {
  std::string pass = first_line_of(pass_file);
  std::string pem = read_whole_file(private_key_pem);
  Bio bio = bio_of(pem);
  Pkey key(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, const_cast<char*>(pass.c_str())));
  if (!key) throw Failure("cannot read the private key " + private_key_pem + ": " + openssl_error());
  MdCtx ctx = new_md_ctx();
  if (EVP_DigestSignInit(ctx.get(), nullptr, md_by_name(digest), nullptr, key.get()) != 1)
    throw Failure("cannot sign with " + private_key_pem + ": " + openssl_error());
  for_each_chunk(file, [&](char const* p, size_t n) {
    if (EVP_DigestSignUpdate(ctx.get(), p, n) != 1) throw Failure("signing: " + openssl_error());
  });
  size_t len = 0;
  if (EVP_DigestSignFinal(ctx.get(), nullptr, &len) != 1) throw Failure("signing: " + openssl_error());
  std::string sig(len, '\0');
  if (EVP_DigestSignFinal(ctx.get(), reinterpret_cast<unsigned char*>(&sig[0]), &len) != 1)
    throw Failure("signing: " + openssl_error());
  sig.resize(len);
  return sig;
}

bool verify_file(std::string const& file, std::string const& signature, std::string const& public_key_pem,
                 std::string const& digest) {
  std::string pem = read_whole_file(public_key_pem);
  Pkey key;
  {
    Bio bio = bio_of(pem);
    key.reset(PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr));
  }
  if (!key) {
    ERR_clear_error();
    Bio bio = bio_of(pem);
    X509* cert = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr);
    if (cert) {
      key.reset(X509_get_pubkey(cert));
      X509_free(cert);
    }
  }
  if (!key) throw Failure("cannot read the public key " + public_key_pem + ": " + openssl_error());
  MdCtx ctx = new_md_ctx();
  if (EVP_DigestVerifyInit(ctx.get(), nullptr, md_by_name(digest), nullptr, key.get()) != 1)
    throw Failure("cannot verify with " + public_key_pem + ": " + openssl_error());
  for_each_chunk(file, [&](char const* p, size_t n) {
    if (EVP_DigestVerifyUpdate(ctx.get(), p, n) != 1) throw Failure("verifying: " + openssl_error());
  });
  int r = EVP_DigestVerifyFinal(ctx.get(), reinterpret_cast<unsigned char const*>(signature.data()), signature.size());
  ERR_clear_error();
  return r == 1;
}

}  // namespace ksfd
