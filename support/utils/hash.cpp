#include "support/utils/hash.h"

#include "support/cppcrypto/hmac.h"
#include "support/cppcrypto/sha256.h"
#include "support/utils/builtin_salt.h"

namespace kestrova {
namespace hash {
namespace sha {

digest256 Hasher<digest256>::operator()(std::string text) const {
  cppcrypto::hmac mac(cppcrypto::sha256(), std::string(ks_utils_detail::kBuiltinSalt));
  digest256 out{};
  mac.hash_string(text, out.data());
  return out;
}

}  // namespace sha
}  // namespace hash
}  // namespace kestrova
