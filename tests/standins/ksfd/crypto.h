// Digests, the cipher of encrypted archives and detached signatures, over
// OpenSSL's libcrypto.
#pragma once

#include <memory>
#include <string>

namespace ksfd {

// One running digest ("sha256" or "sha512"); not copyable.
class Digest {
 public:
  explicit Digest(std::string const& algorithm);
  ~Digest();
  Digest(Digest const&) = delete;
  Digest& operator=(Digest const&) = delete;

  void update(void const* data, size_t n);
  void update(std::string const& s) { update(s.data(), s.size()); }
  std::string final_raw();  // may be called once
  std::string final_hex();

 private:
  struct Ctx;
  std::unique_ptr<Ctx> ctx_;
};

std::string sha256_raw(std::string const& data);
std::string to_hex(std::string const& raw);
std::string random_bytes(size_t n);

// AES-256 in counter mode; the same call enciphers and deciphers.
std::string aes256_ctr(std::string const& key32, std::string const& iv16, std::string const& data);

// Detached signature of a whole file, as "openssl dgst -<digest> -sign" makes
// it; the private key is PEM, possibly enciphered under the first line of
// the pass file.
std::string sign_file(std::string const& file, std::string const& private_key_pem, std::string const& pass_file,
                      std::string const& digest);
// True when the signature is good; a Failure when a file or the key cannot
// be read. The key is a PEM public key or certificate.
bool verify_file(std::string const& file, std::string const& signature, std::string const& public_key_pem,
                 std::string const& digest);

}  // namespace ksfd
