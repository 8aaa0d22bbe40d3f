#include "support/utils/ks_utils_common.h"

#include <sys/utsname.h>

#include <fstream>
#include <sstream>
#include <vector>

#include "support/cppcrypto/ctr.h"
#include "support/cppcrypto/kuznyechik.h"
#include "support/log/ks_log.h"
#include "support/utils/hash.h"
#include "support/utils/quoting.h"

namespace ks_utils_common {

namespace {

// Only the first two bytes take effect (the counter block is these two
// bytes and fourteen zeros); stored ciphertexts depend on that.
char const kIv[] = "qTr8mv3#$!5zpkw";
std::size_t const kIvLength = 2;

std::string hex(unsigned char const* bytes, std::size_t count) { return digest_as_string(bytes, static_cast<unsigned>(count)); }

std::string sysname() {
  utsname u;
  if (uname(&u) != 0) return std::string();
  return u.sysname;
}

std::string first_line_of(char const* path) {
  std::ifstream in(path);
  std::string line;
  if (in) std::getline(in, line);
  return line;
}

// Kuznyechik in CTR mode under the host key; both directions are the same
// keystream XOR.
std::string apply_host_cipher(std::string const& in, bool encrypt) {
  cppcrypto::kuznyechik cipher;
  std::string const key = server::hardware_id().substr(0, cipher.keysize() / 8);
  cppcrypto::ctr mode(cipher);
  mode.init(reinterpret_cast<unsigned char const*>(key.data()), key.size(),
            reinterpret_cast<unsigned char const*>(kIv), kIvLength);
  std::vector<unsigned char> out(in.size());
  auto const* src = reinterpret_cast<unsigned char const*>(in.data());
  if (encrypt)
    mode.encrypt(src, in.size(), out.data());
  else
    mode.decrypt(src, in.size(), out.data());
  return std::string(out.begin(), out.end());
}

}  // namespace

std::string get_nodename() {
  utsname u;
  if (uname(&u) != 0) return std::string();
  return u.nodename;
}

bool get_hw_platform(std::string& output) {
  std::string const command = "dmidecode -t system|grep 'Manufacturer\\|Product'";
  if (execute_command(command, output) == 0) return true;
  KsLogStream(KsLogLvl::Error) << "bool ks_utils_common::get_hw_platform(std::__cxx11::string&)"
                               << ": the following command produced an error: " << command << "\n";
  KsLogStream(KsLogLvl::Error) << "command output: " << kestrova::as_one_line(output);
  return false;
}

namespace server {

std::string hardware_id() {
  // The same salted HMAC-SHA-256 as the lock names, rendered in digest order.
  auto const digest = kestrova::hash::sha::make_hash(get_nodename() + first_line_of("/etc/machine-id") + sysname());
  return hex(digest.data(), digest.size());
}

void encrypt_string(std::string& text) {
  // Always 1..16 NUL bytes of padding: decryption cuts at the first NUL.
  std::string padded = text;
  padded.resize(text.size() / 16 * 16 + 16, '\0');
  std::string const cipher = apply_host_cipher(padded, true);
  text = hex(reinterpret_cast<unsigned char const*>(cipher.data()), cipher.size());
}

void decrypt_string(std::string& text) {
  std::string bytes;
  bytes.reserve(text.size() / 2);
  for (std::size_t i = 0; i < text.size(); i += 2) {
    std::istringstream pair(text.substr(i, 2));
    unsigned value = 0;
    pair >> std::hex >> value;
    bytes += static_cast<char>(value & 0xff);
  }
  std::string plain = apply_host_cipher(bytes, false);
  auto nul = plain.find('\0');
  if (nul != std::string::npos) plain.resize(nul);
  text = plain;
}

}  // namespace server

}  // namespace ks_utils_common
