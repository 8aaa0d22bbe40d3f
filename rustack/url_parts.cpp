#include "rustack/url_parts.h"

#include <memory>
#include <new>

#include <boost/algorithm/string/case_conv.hpp>
#include <curl/curl.h>

namespace rustack_url {

namespace {

struct url_deleter {
  void operator()(CURLU* url) const { curl_url_cleanup(url); }
};
struct curl_text_deleter {
  void operator()(char* text) const { curl_free(text); }
};

}  // namespace

bool split_url(std::string const& url, url_parts& parts) {
  std::unique_ptr<CURLU, url_deleter> parsed(curl_url());
  if (!parsed) throw std::bad_alloc();
  if (curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK) return false;
  auto const part = [&](CURLUPart which, unsigned flags, std::string& out) {
    char* text = nullptr;
    CURLUcode const rc = curl_url_get(parsed.get(), which, &text, flags);
    std::unique_ptr<char, curl_text_deleter> const owned(text);
    if (rc != CURLUE_OK || !text) return false;
    out = text;
    return true;
  };
  std::string user;
  if (!part(CURLUPART_SCHEME, 0, parts.scheme) || !part(CURLUPART_HOST, 0, parts.host) ||
      !part(CURLUPART_PORT, CURLU_DEFAULT_PORT, parts.port) || !part(CURLUPART_PATH, 0, parts.path))
    return false;
  parts.user = part(CURLUPART_USER, 0, user);
  if (!part(CURLUPART_QUERY, 0, parts.query)) parts.query.clear();
  boost::algorithm::to_lower(parts.scheme);
  boost::algorithm::to_lower(parts.host);
  return parts.scheme == "http" || parts.scheme == "https";
}

std::string origin_of(std::string const& url) {
  url_parts parts;
  if (!split_url(url, parts)) return std::string();
  return parts.scheme + "://" + parts.host + ":" + parts.port;
}

}  // namespace rustack_url
