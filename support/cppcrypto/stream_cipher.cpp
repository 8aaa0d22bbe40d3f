#include "support/cppcrypto/stream_cipher.h"

namespace cppcrypto {

stream_cipher::~stream_cipher() = default;

}  // namespace cppcrypto
