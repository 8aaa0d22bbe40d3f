// Small pieces shared by the compute (curl_api_compute.cpp) and block-storage
// (curl_api_volumes.cpp, curl_api_volume_actions.cpp) operations of curlAPI:
// log lines with the operation's signature, ids as URL path segments, and
// the reading of error replies. Internal to those files and to the clean-up
// code beside them (leftovers.cpp, create_lookup.cpp, restore_undo.cpp).
#pragma once

#include <exception>
#include <string>

#include <boost/json/object.hpp>
#include <boost/json/value.hpp>
#include <boost/system/system_error.hpp>

#include "rustack/curl_api.h"
#include "support/log/ks_log.h"
#include "support/utils/quoting.h"

namespace curl_api_ops {

inline void log_error(char const* signature, std::string const& message) {
  KsLogStream(KsLogLvl::Error) << signature << message << std::endl;
}

inline void log_info(std::string const& message) { KsLogStream(KsLogLvl::Info) << message << std::endl; }

// Runs an operation body and answers `failure` for whatever it throws: the
// JSON library's errors as ": json: ", anything else as ": exception:".
template <class Body>
int guarded(char const* signature, int failure, Body&& body) {
  try {
    return body();
  } catch (boost::system::system_error const& e) {
    log_error(signature, std::string(": json: ") + kestrova::as_one_line(e.what()));
  } catch (std::exception const& e) {
    log_error(signature, std::string(": exception:") + kestrova::as_one_line(e.what()));
  }
  return failure;
}

// The text with every byte percent-encoded ("%2F") except the unreserved
// characters of a URL (letters, digits, "-._~") and those in `keep`.
inline std::string percent_encoded(std::string const& text, std::string const& keep = std::string()) {
  static char const hex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (char ch : text) {
    auto const c = static_cast<unsigned char>(ch);
    bool const unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                            c == '-' || c == '.' || c == '_' || c == '~';
    if (unreserved || (c != 0 && keep.find(ch) != std::string::npos)) {
      out += ch;
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 0xf];
    }
  }
  return out;
}

// A cloud id as one URL path segment: percent-encoded, and so are the
// segments "." and "..", so that an id read from a reply or a saved
// description can never lead a request to another path.
inline std::string path_segment(std::string const& id) {
  if (!id.empty() && id.find_first_not_of('.') == std::string::npos) {
    std::string dots;
    for (std::size_t i = 0; i < id.size(); ++i) dots += "%2E";
    return dots;
  }
  return percent_encoded(id);
}

// True when `id` is a plain token: not empty, only letters, digits, "-", "_"
// and ".". The cloud's ids are such tokens; one that is not (a line end
// would start a line of its own in the log and on standard output) makes
// the reply that holds it a failed one.
inline bool is_plain_id(std::string const& id) {
  if (id.empty())
    return false;
  for (char ch : id) {
    auto const c = static_cast<unsigned char>(ch);
    bool const ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
                    c == '_' || c == '.';
    if (!ok)
      return false;
  }
  return true;
}

// True (after an Error line that shows it escaped) when a reply gave a
// non-empty `what` (e.g. "volume id") that is not a plain token; an empty
// one is left to the caller.
inline bool refused_id(char const* signature, char const* what, std::string const& id) {
  if (id.empty() || is_plain_id(id))
    return false;
  KsLogStream(KsLogLvl::Error) << signature << ": the " << what
                               << " in the reply is not a plain id: " << kestrova::as_one_line_quoted(id) << std::endl;
  return true;
}

// An empty id would address the collection instead of one object (a DELETE
// of ".../volumes/"): refused before any request, with an Error line.
inline bool has_id(char const* signature, char const* what, std::string const& id) {
  if (!id.empty())
    return true;
  log_error(signature, std::string(": empty ") + what);
  return false;
}

// A member taken as an error reply: logs its code and message, or
// `not_error` when it is no error object. Returns `result`.
inline int report_error_member(curlAPI& api, char const* signature, boost::json::value const& member,
                               char const* not_error, int result) {
  std::string code;
  std::string message;
  if (api.get_error_info(member, code, message) != 0)
    log_error(signature, not_error);
  else
    log_error(signature,
              ": returned code: " + kestrova::as_one_line(code) + ", error message: " + kestrova::as_one_line(message));
  return result;
}

// The lines of reply_object, in the order of its checks.
struct reply_object_messages {
  char const* empty_reply;   // the reply is an empty object
  char const* not_error;     // no such member, and the first one is no error object
  char const* not_object;    // the member is no object
  char const* empty_object;  // the member is an empty object
};

// The object of member `name` of a reply that describes one object (other
// members are skipped; without the member, the first one is taken as an
// error reply), or nullptr after logging why not. `value` receives the parsed
// reply and must outlive the result. Throws the JSON library's error when the
// reply is not JSON.
inline boost::json::object const* reply_object(curlAPI& api, char const* signature, std::string const& reply,
                                               boost::json::value& value, char const* name,
                                               reply_object_messages const& messages) {
  if (api.parse_result_string(reply, value) != 0)
    return nullptr;
  auto const& top = value.get_object();
  if (top.empty()) {
    log_error(signature, messages.empty_reply);
    return nullptr;
  }
  auto const* found = top.if_contains(name);
  if (!found) {
    report_error_member(api, signature, top.begin()->value(), messages.not_error, 0);
    return nullptr;
  }
  if (!found->is_object()) {
    log_error(signature, messages.not_object);
    return nullptr;
  }
  if (found->get_object().empty()) {
    log_error(signature, messages.empty_object);
    return nullptr;
  }
  return &found->get_object();
}

// The non-empty reply to a request whose success is an empty reply: an
// object whose first member is an error object. 0 with the error's code
// (logged with its message), 6 when the reply is no such object (logged).
// Throws the JSON library's error when the reply is not JSON.
inline int read_error_reply(curlAPI& api, char const* signature, std::string const& reply, std::string& code) {
  code.clear();
  boost::json::value value;
  if (api.parse_result_string(reply, value) != 0)
    return 6;
  auto const& top = value.get_object();
  if (top.empty()) {
    log_error(signature, ": error message object is empty");
    return 6;
  }
  std::string message;
  if (api.get_error_info(top.begin()->value(), code, message) != 0) {
    log_error(signature, ": got non empty reply from server");
    return 6;
  }
  log_error(signature,
            ": returned code: " + kestrova::as_one_line(code) + ", error message: " + kestrova::as_one_line(message));
  return 0;
}

// An empty reply is success only with a 2xx status; logs the other codes.
inline bool empty_reply_is_success(curlAPI const& api, char const* signature) {
  if (curlAPI::is_success_code(api.last_http_code()))
    return true;
  log_error(signature, ": got an empty reply with HTTP code " + std::to_string(api.last_http_code()));
  return false;
}

// The result of a request the service answers with an empty 2xx reply: 0
// then, else 6 after logging the status or the service's error reply.
inline int empty_reply_result(curlAPI& api, char const* signature, std::string const& reply) {
  if (reply.empty())
    return empty_reply_is_success(api, signature) ? 0 : 6;
  std::string code;
  read_error_reply(api, signature, reply, code);
  return 6;
}

}  // namespace curl_api_ops
