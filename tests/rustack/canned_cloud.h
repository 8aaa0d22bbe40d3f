// Runs tests/rustack/canned_cloud.py on 127.0.0.1 for one test: it answers
// the given replies in order and records every request it received.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include <sys/types.h>

#include "common/test_util.h"

namespace kstest {

struct CannedReply {
  int status = 200;
  std::string body;
  // "Name: value"; "@PORT@" in a value or in raw_headers is the server's port.
  std::vector<std::pair<std::string, std::string>> headers;
  std::string raw_headers;  // written verbatim after `headers`
  double delay = 0;         // seconds before answering
};

// A 200 reply with a JSON body.
CannedReply json_reply(std::string body, int status = 200);
// A login reply as the identity service sends it: 201, the token header
// followed by "Vary: X-Auth-Token".
CannedReply token_reply(std::string const& token);

struct RecordedRequest {
  std::string method;
  std::string path;
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;
  bool has_header(std::string const& name) const;
  // Value of the first header of that name (any case); empty when absent.
  std::string header(std::string const& name) const;
};

class CannedCloud {
 public:
  // With a certificate and key the server speaks HTTPS only.
  explicit CannedCloud(std::vector<CannedReply> const& replies, std::string const& cert = "",
                       std::string const& key = "");
  ~CannedCloud();
  CannedCloud(CannedCloud const&) = delete;
  CannedCloud& operator=(CannedCloud const&) = delete;

  // "http://127.0.0.1:<port>" (or https).
  std::string const& url() const { return url_; }
  std::vector<RecordedRequest> requests() const;

 private:
  TempDir dir_;
  pid_t pid_ = -1;
  std::string url_;
};

// The shared stand-in cloud (tests/standins/cloud/fake_cloud.py) over its
// standard seed: user "kestrova" / "kestrova-pass", administrator
// "cloudadmin" / "admin-pass", domain "default".
class StandinCloud {
 public:
  StandinCloud();
  ~StandinCloud();
  StandinCloud(StandinCloud const&) = delete;
  StandinCloud& operator=(StandinCloud const&) = delete;

  std::string const& url() const { return url_; }
  static constexpr char const* project() { return "4c1e8a2f6b3d4e5fa7b8c9d0e1f2a3b4"; }

 private:
  TempDir dir_;
  pid_t pid_ = -1;
  std::string url_;
};

}  // namespace kstest
