// Internal to ks_utils: the key of the salted hash and of the host identity.
// Lock names and host-bound ciphertexts depend on these exact bytes.
#pragma once

namespace ks_utils_detail {

inline constexpr char kBuiltinSalt[] =
    "472615830947261583094726158309472615830947261583094726158309472615830947261583094726158309472";
static_assert(sizeof kBuiltinSalt - 1 == 93, "the salt has 93 digits");

}  // namespace ks_utils_detail
