// The parts of a URL that say where a request goes, for the checks that keep
// the cloud's token and requests on the configured address (redirects, the
// "next" links of paged lists).
#pragma once

#include <string>

namespace rustack_url {

// Scheme and host in lower case, the port (the scheme's default filled in),
// the path (dot segments resolved), whether the URL has user information,
// and its query ("" for none).
struct url_parts {
  std::string scheme, host, port, path, query;
  bool user = false;
};

// False for anything but an absolute http or https URL.
bool split_url(std::string const& url, url_parts& parts);

// "scheme://host:port" of an absolute http or https URL; "" for anything
// else.
std::string origin_of(std::string const& url);

}  // namespace rustack_url
