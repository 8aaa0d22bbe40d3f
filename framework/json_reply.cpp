#include "framework/json_reply.h"

#include <algorithm>
#include <new>
#include <string>

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>
#include <boost/system/system_error.hpp>

#include "support/log/ks_log.h"
#include "support/utils/ks_utils_common.h"
#include "support/utils/quoting.h"

namespace kestrova::json_reply {

bool parse(std::string const& text, char const* signature, boost::json::value& out) {
  try {
    out = boost::json::parse(text);
    return true;
  } catch (std::bad_alloc const& e) {
    KsLogStream(KsLogLvl::Error) << signature << ": json parsing failed: " << kestrova::as_one_line(e.what())
                                 << std::endl;
  } catch (boost::system::system_error const& e) {
    // A reply that is not JSON (a tool's error text, a truncated file) is a
    // failed read, not a reason to abort the whole operation.
    KsLogStream(KsLogLvl::Error) << signature << ": json parsing failed: " << kestrova::as_one_line(e.what())
                                 << std::endl;
  }
  return false;
}

bool is_filled_object(boost::json::value const& value, char const* signature) {
  if (!value.is_object()) {
    KsLogStream(KsLogLvl::Error) << signature << ": json value is not an object" << std::endl;
    return false;
  }
  if (value.get_object().empty()) {
    KsLogStream(KsLogLvl::Error) << signature << ": json object value is empty" << std::endl;
    return false;
  }
  return true;
}

std::string text_of(boost::json::value const& value) {
  if (value.is_string()) return std::string(value.get_string());
  return boost::json::serialize(value);
}

bool to_uint64(std::string const& text, std::uint64_t& out) {
  if (!ks_utils_common::is_digits(text)) return false;
  // Leading zeros are allowed; what follows them must fit 64 bits.
  std::string const number = text.substr(std::min(text.find_first_not_of('0'), text.size() - 1));
  if (!ks_utils_common::is_uint(number)) return false;
  out = std::stoull(number);
  return true;
}

}  // namespace kestrova::json_reply
