#include "rustack/curl_api.h"

#include <algorithm>
#include <cstdio>
#include <new>
#include <stdexcept>

#include <boost/algorithm/string/case_conv.hpp>
#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/predicate.hpp>
#include <boost/algorithm/string/replace.hpp>
#include <boost/algorithm/string/trim.hpp>
#include <boost/filesystem.hpp>
#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>
#include <boost/system/system_error.hpp>

#include "rustack/url_parts.h"
#include "support/log/ks_log.h"
#include "support/utils/ks_utils_common.h"
#include "support/utils/quoting.h"

namespace {

char const* const kRequestSig =
    "int curlAPI::process_curl_api_request(const string&, curlAPI::RequestType, string&, const string&, bool, "
    "bool)";
char const* const kLoginSig = "int curlAPI::login(bool)";
char const* const kParseSig = "int curlAPI::parse_result_string(const string&, boost::json::value&)";
char const* const kErrorInfoSig = "int curlAPI::get_error_info(const boost::json::value&, string&, string&)";
char const* const kApiVersionSig = "int curlAPI::get_api_version(const string&, string&)";
char const* const kKeystoneVersionSig = "int curlAPI::get_keystone_api_version(string&)";
char const* const kTimeoutSig = "static uint32_t curlAPI::valid_timeout(uint32_t, const string&)";

char const* const kAllowedProtocols = "http,https";
// Redirects within the cloud's origin followed for one request.
long const kMaxRedirects = 5;

struct slist_deleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using slist_ptr = std::unique_ptr<curl_slist, slist_deleter>;

void append_header(slist_ptr& list, std::string const& line) {
  curl_slist* grown = curl_slist_append(list.get(), line.c_str());
  if (!grown)
    throw std::bad_alloc();
  list.release();
  list.reset(grown);
}

// Header names whose values are credentials and never shown.
bool is_secret_header(std::string const& line) {
  auto const colon = line.find(':');
  if (colon == std::string::npos)
    return false;
  std::string name = boost::algorithm::to_lower_copy(boost::algorithm::trim_copy(line.substr(0, colon)));
  return name == "x-auth-token" || name == "x-subject-token";
}

}  // namespace

void curlAPI::handle_deleter::operator()(CURL* handle) const { curl_easy_cleanup(handle); }

curlAPI::curlAPI(conf const& settings) : handle_(curl_easy_init()), settings_(settings) {}

curlAPI::~curlAPI() = default;

void curlAPI::renew_handle() {
  handle_.reset();
  handle_.reset(curl_easy_init());
  if (!handle_)
    throw std::runtime_error("unable to create a libcurl easy handle");
}

void curlAPI::reset_handle() {
  if (handle_)
    curl_easy_reset(handle_.get());
  else
    renew_handle();
}

std::string curlAPI::compute_base() const { return settings_.url + "/nova-api/" + settings_.api_version.nova; }

std::string curlAPI::storage_base(std::string const& project) const {
  return settings_.url + "/cinder/" + settings_.api_version.cinder + "/" + project;
}

std::string curlAPI::identity_base() const {
  return settings_.url + "/keystone/" + settings_.api_version.keystone;
}

// ---------------------------------------------------------------- transport

int curlAPI::set_common_options(std::string const& url, char const* signature) {
  CURL* h = handle_.get();
  curl_easy_setopt(h, CURLOPT_URL, url.c_str());
  curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, kAllowedProtocols);
  // libcurl would send the token header and a 307/308 login body to any
  // host a redirect names: perform_following() follows them itself.
  curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &curlAPI::write_data);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, this);
  curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, &curlAPI::header_data);
  curl_easy_setopt(h, CURLOPT_HEADERDATA, this);

  if (!timeout_checked_) {
    timeout_ = valid_timeout(settings_.timeout, "timeout");
    timeout_checked_ = true;
  }
  curl_easy_setopt(h, CURLOPT_TIMEOUT, static_cast<long>(timeout_));
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, static_cast<long>(timeout_));

  curl_easy_setopt(h, CURLOPT_VERBOSE, settings_.curl_verbose ? 1L : 0L);
  if (settings_.curl_verbose) {
    // libcurl's own trace would print the token headers; ours masks them.
    curl_easy_setopt(h, CURLOPT_DEBUGFUNCTION, &curlAPI::debug_data);
    curl_easy_setopt(h, CURLOPT_DEBUGDATA, this);
  }

  if (settings_.enable_ssl && !settings_.ca_info.empty()) {
    try {
      if (!boost::filesystem::exists(settings_.ca_info)) {
        KsLogStream(KsLogLvl::Error) << signature << ": CA file " << settings_.ca_info
                                     << " does not exist on Kestrova VM" << std::endl;
        return 2;
      }
    } catch (boost::filesystem::filesystem_error const& e) {
      KsLogStream(KsLogLvl::Error) << signature << ": fs:" << kestrova::as_one_line(e.what()) << std::endl;
      return 2;
    }
    curl_easy_setopt(h, CURLOPT_CAINFO, settings_.ca_info.c_str());
  } else {
    if (settings_.enable_ssl && !unverified_warned_) {
      unverified_warned_ = true;
      KsLogStream(KsLogLvl::Warning) << signature
                                     << ": enable_ssl is set but ca_info is empty: the certificate of the "
                                        "cloud is not verified"
                                     << std::endl;
    }
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 0L);
  }
  return 0;
}

void curlAPI::perform() {
  reply_buffer_.clear();
  reply_headers_.clear();
  http_code_ = 0;
  CURLcode const rc = curl_easy_perform(handle_.get());
  if (rc != CURLE_OK)
    throw std::runtime_error(curl_easy_strerror(rc));
  curl_easy_getinfo(handle_.get(), CURLINFO_RESPONSE_CODE, &http_code_);
}

void curlAPI::perform_following(std::string const& url, RequestType type, bool credentials) {
  std::string const origin = rustack_url::origin_of(url);
  for (long redirects = 0;; ++redirects) {
    perform();
    if (http_code_ < 300 || http_code_ > 399)
      return;
    char* location = nullptr;
    curl_easy_getinfo(handle_.get(), CURLINFO_REDIRECT_URL, &location);
    if (!location)
      return;  // a 3xx without a Location is the answer itself
    std::string const target = location;
    std::string const target_origin = rustack_url::origin_of(target);
    // A request without credentials may go wherever an http or https
    // redirect leads: keystone's root names its v3 document under its own
    // published address, which need not be the configured one.
    if (credentials ? (origin.empty() || target_origin != origin) : target_origin.empty()) {
      char const* const why = credentials ? "the cloud's credentials are only sent to its own scheme, host and port"
                                          : "only http and https addresses are followed";
      throw std::runtime_error("refused a redirect from " + origin + " to '" + target + "': " + why);
    }
    if (redirects == kMaxRedirects)
      throw std::runtime_error(curl_easy_strerror(CURLE_TOO_MANY_REDIRECTS));
    curl_easy_setopt(handle_.get(), CURLOPT_URL, target.c_str());
    if (type == POST && (http_code_ == 301 || http_code_ == 302 || http_code_ == 303))
      curl_easy_setopt(handle_.get(), CURLOPT_HTTPGET, 1L);
  }
}

int curlAPI::send_request(std::string const& url, RequestType type, std::string& reply, std::string const& body,
                          bool admin, bool token) {
  CURL* h = handle_.get();
  slist_ptr headers;
  if (token) {
    append_header(headers, "X-Auth-Token: " + token_of(admin));
    append_header(headers, "Accept: application/json");
    append_header(headers, "Content-Type: application/json");
  }
  curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());

  switch (type) {
    case GET:
      curl_easy_setopt(h, CURLOPT_HTTPGET, 1L);
      break;
    case POST:
      curl_easy_setopt(h, CURLOPT_POST, 1L);
      curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
      curl_easy_setopt(h, CURLOPT_POSTFIELDS, body.c_str());
      break;
    case DELETE:
      curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, "DELETE");
      curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE, 0L);
      curl_easy_setopt(h, CURLOPT_POSTFIELDS, "");
      break;
  }

  if (settings_.curl_verbose) {
    KsLogStream(KsLogLvl::Info) << ": URL: " << url << std::endl;
    if (type == POST)
      KsLogStream(KsLogLvl::Info) << ": POST BODY: '" << kestrova::as_one_line(body) << "'" << std::endl;
  }

  if (set_common_options(url, kRequestSig) != 0)
    return 2;
  perform_following(url, type, token);
  reply = reply_buffer_;

  if (settings_.curl_verbose)
    KsLogStream(KsLogLvl::Info) << ": HTTP Code: " << http_code_ << ", Server response: '"
                                << kestrova::as_one_line(reply) << "'" << std::endl;
  return 0;
}

int curlAPI::process_curl_api_request(std::string const& url, RequestType type, std::string& reply,
                                      std::string const& body, bool admin, bool token) {
  reply.clear();
  renew_handle();
  bool fresh_token = false;
  if (token && token_of(admin).empty()) {
    // The result is not examined: with a failed login the request goes out
    // with an empty token and the cloud's error reply tells the caller.
    login(admin);
    fresh_token = true;
    // A new handle, so the request gets a connection of its own: libcurl
    // silently resends a request whose reused connection died, and a resent
    // POST could create a second volume or snapshot.
    renew_handle();
  }
  int rc = send_request(url, type, reply, body, admin, token);
  if (rc != 0 || !token || fresh_token || http_code_ != 401)
    return rc;

  // A token that was good earlier in this hook has expired or been revoked:
  // log in once more and send the request once more.
  KsLogStream(KsLogLvl::Warning) << kRequestSig << ": the cloud rejected the "
                                 << (admin ? "system" : "project") << " token (HTTP 401), logging in again"
                                 << std::endl;
  token_of(admin).clear();
  reset_handle();
  long const rejected_code = http_code_;
  if (login(admin) != 0) {
    http_code_ = rejected_code;  // the 401 reply stays the answer
    return rc;
  }
  renew_handle();
  return send_request(url, type, reply, body, admin, token);
}

// -------------------------------------------------------------------- login

int curlAPI::login(bool admin) {
  try {
    std::string const& name = admin ? settings_.admin_name : settings_.username;
    std::string const& password = admin ? settings_.admin_password : settings_.password;

    reset_handle();
    CURL* h = handle_.get();
    slist_ptr headers;
    append_header(headers, "Accept: application/json");
    append_header(headers, "Content-Type: application/json");
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());

    std::string const escaped_password = json_escaped(password);
    std::string body = "{ \"auth\": {\"identity\": { \"methods\": [\"password\"],\"password\": {\"user\": { ";
    body += "\"name\": \"" + json_escaped(name);
    body += "\",\"domain\": { \"id\": \"" + json_escaped(settings_.domain);
    body += "\" },\"password\": \"" + escaped_password;
    body += "\"}}}";
    if (admin)
      body += ",\"scope\": { \"system\": { \"all\": true }}";
    else
      body += ", \"scope\": { \"project\": { \"id\": \"" + json_escaped(settings_.project_id) + "\"}}";
    body += "}}";

    curl_easy_setopt(h, CURLOPT_POST, 1L);
    curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
    curl_easy_setopt(h, CURLOPT_POSTFIELDS, body.c_str());

    std::string const url = settings_.url + "/keystone/" + settings_.api_version.keystone + "/auth/tokens";
    if (settings_.curl_verbose) {
      std::string shown = body;
      if (!escaped_password.empty())
        boost::algorithm::replace_all(shown, escaped_password, "XXX");
      KsLogStream(KsLogLvl::Info) << kLoginSig << ": URL: " << url << std::endl;
      KsLogStream(KsLogLvl::Info) << kLoginSig << ": POST BODY: '" << kestrova::as_one_line(shown) << "'" << std::endl;
    }

    if (set_common_options(url, kLoginSig) != 0)
      return 2;
    curl_easy_setopt(h, CURLOPT_HEADER, 1L);
    try {
      perform_following(url, POST, true);
    } catch (std::runtime_error const& e) {
      curl_easy_setopt(h, CURLOPT_HEADER, 0L);
      KsLogStream(KsLogLvl::Error) << kLoginSig << ": exception:" << kestrova::as_one_line(e.what()) << std::endl;
      return 2;
    }
    curl_easy_setopt(h, CURLOPT_HEADER, 0L);
    std::string const reply = reply_buffer_;

    // The token is the value of the X-Subject-Token line of the final
    // response's headers, whatever its case and whatever follows it.
    std::string token;
    for (auto const& line : reply_headers_) {
      auto const colon = line.find(':');
      if (colon == std::string::npos)
        continue;
      if (!boost::algorithm::iequals(boost::algorithm::trim_copy(line.substr(0, colon)), "X-Subject-Token"))
        continue;
      token = boost::algorithm::trim_copy_if(line.substr(colon + 1), boost::algorithm::is_any_of(" \t\r\n"));
      break;
    }

    if (settings_.curl_verbose) {
      std::string shown = reply;
      if (!token.empty())
        boost::algorithm::replace_all(shown, token, "XXX");
      KsLogStream(KsLogLvl::Info) << kLoginSig << ": HTTP Code: " << http_code_ << ", Server response: '"
                                  << kestrova::as_one_line(shown) << "'" << std::endl;
    }

    if (token.empty()) {
      KsLogStream(KsLogLvl::Error) << kLoginSig << ": can't get token from the server response" << std::endl;
      return 2;
    }
    token_of(admin) = token;
    return 0;
  } catch (boost::filesystem::filesystem_error const& e) {
    KsLogStream(KsLogLvl::Error) << kLoginSig << ": fs:" << kestrova::as_one_line(e.what()) << std::endl;
  } catch (std::exception const& e) {
    KsLogStream(KsLogLvl::Error) << kLoginSig << ": exception:" << kestrova::as_one_line(e.what()) << std::endl;
  }
  return 2;
}

// ------------------------------------------------------------------ replies

int curlAPI::parse_result_string(std::string const& reply, boost::json::value& value) {
  try {
    value = boost::json::parse(reply);
  } catch (std::bad_alloc const& e) {
    KsLogStream(KsLogLvl::Error) << kParseSig << ": json parsing failed: " << kestrova::as_one_line(e.what())
                                 << std::endl;
    return 1;
  }
  if (!value.is_object()) {
    KsLogStream(KsLogLvl::Error) << kParseSig << ": json value is not an object" << std::endl;
    return 1;
  }
  return 0;
}

int curlAPI::get_error_info(boost::json::value const& value, std::string& code, std::string& message) {
  code.clear();
  message.clear();
  try {
    if (!value.is_object()) {
      KsLogStream(KsLogLvl::Error) << kErrorInfoSig << ": json value is not an object. Expected error info"
                                   << std::endl;
      return 6;
    }
    auto const& object = value.get_object();
    if (object.empty()) {
      KsLogStream(KsLogLvl::Error) << kErrorInfoSig << ": json object is empty. Expected error message"
                                   << std::endl;
      return 6;
    }
    // Without either member the texts stay empty; the callers fail anyway.
    if (auto const* c = object.if_contains("code"))
      code = json_text(*c);
    if (auto const* m = object.if_contains("message"))
      message = json_text(*m);
    return 0;
  } catch (boost::system::system_error const& e) {
    KsLogStream(KsLogLvl::Error) << kErrorInfoSig << ": json: " << kestrova::as_one_line(e.what()) << std::endl;
  } catch (std::exception const& e) {
    KsLogStream(KsLogLvl::Error) << kErrorInfoSig << ": exception:" << kestrova::as_one_line(e.what()) << std::endl;
  }
  code.clear();
  message.clear();
  return 6;
}

// -------------------------------------------------------- version discovery

int curlAPI::get_api_version(std::string const& service, std::string& version) {
  version.clear();
  int result = 2;
  try {
    std::string reply;
    if (process_curl_api_request(settings_.url + "/" + service + "/", GET, reply, "", false, false) != 0)
      return 2;
    boost::json::value value;
    if (parse_result_string(reply, value) != 0)
      return 2;
    auto const& top = value.get_object();
    if (top.empty()) {
      KsLogStream(KsLogLvl::Error) << kApiVersionSig << ": json object value is empty. Expected " << service
                                   << " versions info" << std::endl;
      return 2;
    }
    result = [&]() {
      for (auto const& member : top) {
        if (!member.value().is_array()) {
          KsLogStream(KsLogLvl::Error) << kApiVersionSig << ": json is not an array of " << service
                                       << " versions" << std::endl;
          return 2;
        }
        auto const& entries = member.value().get_array();
        if (entries.empty()) {
          KsLogStream(KsLogLvl::Error) << kApiVersionSig << ": array of " << service << " versions is empty"
                                       << std::endl;
          return 2;
        }
        std::vector<std::pair<std::string, std::string>> found;  // (id, status)
        for (auto const& entry : entries) {
          if (!entry.is_object()) {
            KsLogStream(KsLogLvl::Error) << kApiVersionSig << ": json value is not an object: " << service
                                         << " version" << std::endl;
            return 2;
          }
          if (entry.get_object().empty()) {
            KsLogStream(KsLogLvl::Error) << kApiVersionSig << ": json object value is empty. Expected "
                                         << service << " version" << std::endl;
            return 2;
          }
          found.emplace_back(member_plain_text(entry.get_object(), "id"),
                             member_plain_text(entry.get_object(), "status"));
        }
        for (auto const& f : found)
          if (f.second == "CURRENT")
            version = f.first;
        if (version.empty())
          return 2;
      }
      return 0;
    }();
  } catch (boost::system::system_error const& e) {
    KsLogStream(KsLogLvl::Error) << kApiVersionSig << ": json: " << kestrova::as_one_line(e.what()) << std::endl;
    result = 2;
  } catch (std::exception const& e) {
    KsLogStream(KsLogLvl::Error) << kApiVersionSig << ": exception:" << kestrova::as_one_line(e.what()) << std::endl;
    result = 2;
  }
  if (result != 0)
    version.clear();
  return result;
}

int curlAPI::get_keystone_api_version(std::string& version) {
  version.clear();
  try {
    std::string reply;
    if (process_curl_api_request(settings_.url + "/keystone" + "/", GET, reply, "", false, false) != 0)
      return 2;
    boost::json::value value;
    if (parse_result_string(reply, value) != 0)
      return 2;
    auto const& top = value.get_object();
    if (top.empty()) {
      KsLogStream(KsLogLvl::Error) << kKeystoneVersionSig
                                   << ": json object value is empty. Expected keystone versions info" << std::endl;
      return 2;
    }
    auto const* entry = top.if_contains("version");
    if (!entry || !entry->is_object()) {
      KsLogStream(KsLogLvl::Error) << kKeystoneVersionSig
                                   << ": json object value doesn't contain \"version\" key. Expected keystone "
                                      "versions info"
                                   << std::endl;
      return 2;
    }
    std::string const id = member_plain_text(entry->get_object(), "id");
    std::string const status = member_plain_text(entry->get_object(), "status");
    if (status != "stable" || id.empty())
      return 2;
    version = id;
    return 0;
  } catch (boost::system::system_error const& e) {
    KsLogStream(KsLogLvl::Error) << kKeystoneVersionSig << ": json: " << kestrova::as_one_line(e.what()) << std::endl;
  } catch (std::exception const& e) {
    KsLogStream(KsLogLvl::Error) << kKeystoneVersionSig << ": exception:" << kestrova::as_one_line(e.what())
                                 << std::endl;
  }
  return 2;
}

bool curlAPI::api_path_segment(std::string const& version_id, std::string& segment) {
  segment = version_id.substr(0, version_id.find('.'));
  bool const ok = segment.size() >= 2 && segment[0] == 'v' && ks_utils_common::is_digits(segment.substr(1));
  if (!ok)
    segment.clear();
  return ok;
}

bool curlAPI::server_name_exists(std::vector<rustack_vm_info> const& list, std::string const& name) {
  for (auto const& vm : list)
    if (vm.name == name)
      return true;
  return false;
}

bool curlAPI::server_id_exists(std::vector<rustack_vm_info> const& list, std::string const& id) {
  for (auto const& vm : list)
    if (vm.id == id)
      return true;
  return false;
}

// ------------------------------------------------------------- JSON pieces

std::string curlAPI::json_escaped(std::string const& text) {
  static char const hex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size());
  for (char ch : text) {
    auto const c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20) {
          out += "\\u00";
          out += hex[c >> 4];
          out += hex[c & 0xf];
        } else {
          out += ch;
        }
    }
  }
  return out;
}

std::string curlAPI::json_quoted(std::string const& text) { return "\"" + json_escaped(text) + "\""; }

std::string curlAPI::add_string_in_quotes(std::string const& text) {
  if (text.empty() || text == "null")
    return "null";
  return json_quoted(text);
}

std::string curlAPI::string_value(boost::json::value const& value) { return std::string(value.as_string()); }

void curlAPI::string_or_absent(boost::json::value const& value, std::string& field) {
  if (!value.is_null())
    field = string_value(value);
}

std::string curlAPI::json_text(boost::json::value const& value) { return boost::json::serialize(value); }

std::string curlAPI::plain_text(boost::json::value const& value) {
  std::string text = json_text(value);
  text.erase(std::remove(text.begin(), text.end(), '"'), text.end());
  return text;
}

std::string curlAPI::member_plain_text(boost::json::object const& object, boost::json::string_view key) {
  auto const* v = object.if_contains(key);
  return v ? plain_text(*v) : std::string();
}

std::uint32_t curlAPI::valid_timeout(std::uint32_t value, std::string const& name) {
  if (value >= 1)
    return value;
  KsLogStream(KsLogLvl::Warning) << kTimeoutSig << ": invalid value " << value << " of the time-out setting '"
                                 << name << "', using 300" << std::endl;
  return 300;
}

// ---------------------------------------------------------------- callbacks

std::size_t curlAPI::write_data(void* data, std::size_t size, std::size_t count, void* userdata) {
  return static_cast<curlAPI*>(userdata)->write_function(data, size, count);
}

std::size_t curlAPI::write_function(void* data, std::size_t size, std::size_t count) {
  reply_buffer_.append(static_cast<char const*>(data), size * count);
  return size * count;
}

std::size_t curlAPI::header_data(char* data, std::size_t size, std::size_t count, void* userdata) {
  auto* self = static_cast<curlAPI*>(userdata);
  std::string line(data, size * count);
  // Each response (a redirect, a 100 Continue, the final one) starts anew.
  if (line.compare(0, 5, "HTTP/") == 0)
    self->reply_headers_.clear();
  self->reply_headers_.push_back(std::move(line));
  return size * count;
}

int curlAPI::debug_data(CURL*, curl_infotype type, char* data, std::size_t size, void*) {
  char const* prefix = nullptr;
  switch (type) {
    case CURLINFO_TEXT: prefix = "* "; break;
    case CURLINFO_HEADER_IN: prefix = "< "; break;
    case CURLINFO_HEADER_OUT: prefix = "> "; break;
    default: return 0;  // bodies and TLS records are not traced
  }
  std::string const text(data, size);
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    end = end == std::string::npos ? text.size() : end + 1;
    std::string line = text.substr(start, end - start);
    start = end;
    if (type != CURLINFO_TEXT && is_secret_header(line))
      line = line.substr(0, line.find(':')) + ": XXX\r\n";
    std::fputs(prefix, stderr);
    std::fwrite(line.data(), 1, line.size(), stderr);
    if (line.empty() || line.back() != '\n')
      std::fputc('\n', stderr);
  }
  return 0;
}
