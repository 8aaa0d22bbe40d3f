// The REST transport against a canned HTTP(S) server on 127.0.0.1: login
// bodies and headers, token extraction, lazy login and the 401 retry,
// version discovery, redirects, time-outs, TLS and verbose masking; and the
// JSON helpers the request bodies and reply walks are built from.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <stdexcept>

#include <boost/algorithm/string/replace.hpp>
#include <boost/json.hpp>
#include <gtest/gtest.h>

#include "canned_cloud.h"
#include "common/test_util.h"
#include "log_capture.h"
#include "rustack/curl_api.h"
#include "rustack/curl_api_ops.h"

namespace {

using kstest::CannedCloud;
using kstest::CannedReply;
using kstest::json_reply;
using kstest::token_reply;

conf cloud_settings(std::string const& url) {
  conf c;
  c.url = url;
  c.username = "user";
  c.password = "secret";
  c.admin_name = "admin";
  c.admin_password = "adminpw";
  c.domain = "dom";
  c.project_id = "proj";
  c.timeout = 10;
  c.api_version.nova = "v2";
  c.api_version.cinder = "v3";
  c.api_version.keystone = "v3";
  return c;
}

CannedReply redirect(std::string const& to, int status = 302) {
  CannedReply r;
  r.status = status;
  r.headers = {{"Location", to}};
  return r;
}

std::string const kUserLoginBody =
    R"({ "auth": {"identity": { "methods": ["password"],"password": {"user": { "name": "user","domain": { "id": "dom" },"password": "secret"}}}, "scope": { "project": { "id": "proj"}}}})";
std::string const kAdminLoginBody =
    R"({ "auth": {"identity": { "methods": ["password"],"password": {"user": { "name": "admin","domain": { "id": "dom" },"password": "adminpw"}}},"scope": { "system": { "all": true }}}})";

// Sends everything libcurl and the program write to standard error into a
// file while the object lives.
class StderrCapture {
 public:
  StderrCapture() : path_((dir_ / "stderr").string()) {
    std::fflush(stderr);
    saved_ = dup(2);
    int fd = open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(fd, 2);
    close(fd);
  }
  ~StderrCapture() { restore(); }
  std::string text() {
    restore();
    return kstest::read_file(path_);
  }

 private:
  void restore() {
    if (saved_ < 0)
      return;
    std::fflush(stderr);
    dup2(saved_, 2);
    close(saved_);
    saved_ = -1;
  }
  kstest::TempDir dir_;
  std::string path_;
  int saved_ = -1;
};

// ------------------------------------------------------------------- login

struct ScopeCase {
  bool admin;
  std::string const& body;
  char const* token;
};

TEST(Login, SendsTheDocumentedBodyAndHeadersForEachScope) {
  for (ScopeCase const c : {ScopeCase{false, kUserLoginBody, "project-token"},
                            ScopeCase{true, kAdminLoginBody, "system-token"}}) {
    SCOPED_TRACE(c.admin ? "system scope" : "project scope");
    CannedCloud cloud({token_reply(c.token), json_reply("{}")});
    conf const settings = cloud_settings(cloud.url());
    curlAPI api(settings);
    ASSERT_EQ(api.login(c.admin), 0);
    std::string reply;
    ASSERT_EQ(api.process_curl_api_request(api.compute_base() + "/servers/detail", curlAPI::GET, reply, "",
                                           c.admin, true),
              0);
    auto const r = cloud.requests();
    ASSERT_EQ(r.size(), 2u) << "the stored token must be reused, not a second login";
    EXPECT_EQ(r[0].method, "POST");
    EXPECT_EQ(r[0].path, "/keystone/v3/auth/tokens");
    EXPECT_EQ(r[0].body, c.body);
    EXPECT_EQ(r[0].header("Accept"), "application/json");
    EXPECT_EQ(r[0].header("Content-Type"), "application/json");
    EXPECT_FALSE(r[0].has_header("X-Auth-Token"));
    EXPECT_EQ(r[1].method, "GET");
    EXPECT_EQ(r[1].path, "/nova-api/v2/servers/detail");
    EXPECT_EQ(r[1].header("X-Auth-Token"), c.token);
    EXPECT_EQ(r[1].header("Accept"), "application/json");
    EXPECT_EQ(r[1].header("Content-Type"), "application/json");
  }
}

TEST(Login, CredentialsWithQuotesAndBackslashesStayValidJson) {
  CannedCloud cloud({token_reply("t"), token_reply("t2")});
  conf settings = cloud_settings(cloud.url());
  settings.username = "us\"er";
  settings.password = "pa\\ss\"wo\nrd\x01";
  settings.domain = "dom\\";
  settings.project_id = "pro\"}}, \"x\": {\"";
  settings.admin_name = "ad\"min";
  settings.admin_password = "\\\"";
  curlAPI api(settings);
  ASSERT_EQ(api.login(false), 0);
  ASSERT_EQ(api.login(true), 0);
  auto const r = cloud.requests();
  ASSERT_EQ(r.size(), 2u);
  for (int i = 0; i < 2; ++i) {
    SCOPED_TRACE(r[i].body);
    boost::json::value body;
    ASSERT_NO_THROW(body = boost::json::parse(r[i].body));
    auto const& user = body.at("auth").at("identity").at("password").at("user");
    EXPECT_EQ(user.at("name").as_string(), i == 0 ? settings.username : settings.admin_name);
    EXPECT_EQ(user.at("password").as_string(), i == 0 ? settings.password : settings.admin_password);
    EXPECT_EQ(user.at("domain").at("id").as_string(), settings.domain);
  }
  boost::json::value const body = boost::json::parse(r[0].body);
  EXPECT_EQ(body.at("auth").at("scope").at("project").at("id").as_string(), settings.project_id);
  EXPECT_EQ(body.at("auth").as_object().size(), 2u) << "no member may be smuggled in";
}

struct TokenCase {
  char const* what;
  std::string raw_headers;
  std::string body;
  char const* token;  // nullptr: the login must fail
};

TEST(Login, TakesTheTokenHeaderLineAlone) {
  TokenCase const cases[] = {
      {"Vary header follows", "X-Subject-Token: tokA\r\nVary: X-Auth-Token\r\n", "{}", "tokA"},
      {"name in lower case", "x-subject-token: tokB\r\nvary: X-Auth-Token\r\n", "{}", "tokB"},
      {"blanks around the value", "X-SUBJECT-TOKEN:   tokC  \t \r\n", "{}", "tokC"},
      {"another header follows", "X-Subject-Token: tokD\r\nX-Openstack-Request-Id: req-1\r\n", "{}", "tokD"},
      {"similar header name first", "X-Subject-Token-Id: wrong\r\nX-Subject-Token: tokE\r\n", "{}", "tokE"},
      {"line ends with a bare line feed", "X-Subject-Token: tokF\n", "{}", "tokF"},
      {"no token header", "Vary: X-Auth-Token\r\n", "{}", nullptr},
      {"empty token header", "X-Subject-Token: \r\n", "{}", nullptr},
      {"token only in the body", "", "X-Subject-Token: tokG\r\n", nullptr},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(c.what);
    kstest::LogCapture log;
    CannedReply login;
    login.status = 201;
    login.raw_headers = c.raw_headers;
    login.body = c.body;
    CannedCloud cloud({login, json_reply("{}")});
    conf const settings = cloud_settings(cloud.url());
    curlAPI api(settings);
    if (!c.token) {
      EXPECT_EQ(api.login(false), 2);
      EXPECT_TRUE(log.contains("Error: int curlAPI::login(bool): can't get token from the server response"))
          << log.text();
      continue;
    }
    ASSERT_EQ(api.login(false), 0) << log.text();
    std::string reply;
    ASSERT_EQ(api.process_curl_api_request(api.compute_base() + "/servers", curlAPI::GET, reply, "", false, true),
              0);
    auto const r = cloud.requests();
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[1].header("X-Auth-Token"), c.token);
  }
}

TEST(Login, TransferFailureIsResultTwo) {
  kstest::LogCapture log;
  conf const settings = cloud_settings("http://127.0.0.1:1");
  curlAPI api(settings);
  EXPECT_EQ(api.login(true), 2);
  EXPECT_TRUE(log.contains("int curlAPI::login(bool): exception:")) << log.text();
}

// ---------------------------------------------------------- token handling

TEST(Request, LogsInLazilyOncePerScopeAndOnlyWhenAsked) {
  CannedCloud cloud({token_reply("ptok"), json_reply("{\"a\":1}"), json_reply("{}"), token_reply("stok"),
                     json_reply("{}"), json_reply("{}")});
  conf const settings = cloud_settings(cloud.url());
  curlAPI api(settings);
  std::string reply;
  std::string const url = api.compute_base() + "/servers";
  ASSERT_EQ(api.process_curl_api_request(url, curlAPI::GET, reply, "", false, true), 0);
  EXPECT_EQ(reply, "{\"a\":1}");
  EXPECT_EQ(api.last_http_code(), 200);
  ASSERT_EQ(api.process_curl_api_request(url, curlAPI::GET, reply, "", false, true), 0);
  ASSERT_EQ(api.process_curl_api_request(url, curlAPI::GET, reply, "", true, true), 0);
  ASSERT_EQ(api.process_curl_api_request(settings.url + "/nova-api/", curlAPI::GET, reply, "", false, false), 0);

  auto const r = cloud.requests();
  ASSERT_EQ(r.size(), 6u);
  EXPECT_EQ(r[0].body, kUserLoginBody);
  EXPECT_EQ(r[1].header("X-Auth-Token"), "ptok");
  EXPECT_EQ(r[2].header("X-Auth-Token"), "ptok");
  EXPECT_EQ(r[3].body, kAdminLoginBody);
  EXPECT_EQ(r[4].header("X-Auth-Token"), "stok");
  EXPECT_EQ(r[5].path, "/nova-api/");
  EXPECT_FALSE(r[5].has_header("X-Auth-Token"));
  EXPECT_FALSE(r[5].has_header("Content-Type"));
  EXPECT_NE(r[5].header("Accept"), "application/json");
}

TEST(Request, FailedLazyLoginStillSendsTheRequestOnce) {
  kstest::LogCapture log;
  CannedCloud cloud({json_reply(R"({"error": {"code": 401}})", 401),
                     json_reply(R"({"error": {"code": 401, "message": "no token"}})", 401)});
  conf const settings = cloud_settings(cloud.url());
  curlAPI api(settings);
  std::string reply;
  ASSERT_EQ(api.process_curl_api_request(api.compute_base() + "/servers", curlAPI::GET, reply, "", true, true), 0);
  EXPECT_EQ(reply, R"({"error": {"code": 401, "message": "no token"}})");
  EXPECT_EQ(api.last_http_code(), 401);
  auto const r = cloud.requests();
  ASSERT_EQ(r.size(), 2u) << "a token that was never good gets no second login";
  EXPECT_EQ(r[0].method, "POST");
  EXPECT_EQ(r[1].method, "GET");
  EXPECT_TRUE(log.contains("can't get token from the server response"));
}

struct RetryCase {
  curlAPI::RequestType type;
  char const* method;
  std::string body;
};

TEST(Request, RejectedTokenGetsOneNewLoginAndOneResend) {
  for (auto const& c : {RetryCase{curlAPI::GET, "GET", ""}, RetryCase{curlAPI::DELETE, "DELETE", ""},
                        RetryCase{curlAPI::POST, "POST", R"({"volume": {"size": 1}})"}}) {
    SCOPED_TRACE(c.method);
    kstest::LogCapture log;
    CannedCloud cloud({token_reply("tok1"), json_reply("{\"first\":1}"),
                       json_reply(R"({"error": {"code": 401}})", 401), token_reply("tok2"),
                       json_reply("{\"second\":2}")});
    conf const settings = cloud_settings(cloud.url());
    curlAPI api(settings);
    std::string reply;
    std::string const url = api.storage_base("proj") + "/volumes/v1";
    ASSERT_EQ(api.process_curl_api_request(url, c.type, reply, c.body, false, true), 0);
    EXPECT_EQ(reply, "{\"first\":1}");
    ASSERT_EQ(api.process_curl_api_request(url, c.type, reply, c.body, false, true), 0);
    EXPECT_EQ(reply, "{\"second\":2}");
    EXPECT_EQ(api.last_http_code(), 200);

    auto const r = cloud.requests();
    ASSERT_EQ(r.size(), 5u);
    EXPECT_EQ(r[0].method, "POST");
    EXPECT_EQ(r[3].method, "POST");
    EXPECT_EQ(r[3].body, kUserLoginBody);
    for (int i : {1, 2, 4}) {
      EXPECT_EQ(r[i].method, c.method);
      EXPECT_EQ(r[i].path, "/cinder/v3/proj/volumes/v1");
      EXPECT_EQ(r[i].body, c.body);
    }
    EXPECT_EQ(r[2].header("X-Auth-Token"), "tok1");
    EXPECT_EQ(r[4].header("X-Auth-Token"), "tok2");
    EXPECT_TRUE(log.contains("Warning: ")) << log.text();
  }
}

TEST(Request, RetryHappensOnlyOnce) {
  {
    SCOPED_TRACE("the resent request is rejected too");
    CannedCloud cloud({token_reply("tok1"), json_reply("{}"), json_reply("{\"e\":1}", 401), token_reply("tok2"),
                       json_reply("{\"e\":2}", 401), json_reply("{}")});
    conf const settings = cloud_settings(cloud.url());
    curlAPI api(settings);
    std::string reply;
    std::string const url = api.compute_base() + "/servers";
    ASSERT_EQ(api.process_curl_api_request(url, curlAPI::GET, reply, "", false, true), 0);
    ASSERT_EQ(api.process_curl_api_request(url, curlAPI::GET, reply, "", false, true), 0);
    EXPECT_EQ(reply, "{\"e\":2}");
    EXPECT_EQ(api.last_http_code(), 401);
    EXPECT_EQ(cloud.requests().size(), 5u);
  }
  {
    SCOPED_TRACE("the new login fails");
    CannedCloud cloud({token_reply("tok1"), json_reply("{}"), json_reply("{\"e\":1}", 401),
                       json_reply("{}", 500), json_reply("{}")});
    conf const settings = cloud_settings(cloud.url());
    curlAPI api(settings);
    std::string reply;
    std::string const url = api.compute_base() + "/servers";
    ASSERT_EQ(api.process_curl_api_request(url, curlAPI::GET, reply, "", false, true), 0);
    ASSERT_EQ(api.process_curl_api_request(url, curlAPI::GET, reply, "", false, true), 0);
    EXPECT_EQ(reply, "{\"e\":1}");
    EXPECT_EQ(api.last_http_code(), 401) << "the code of the reply handed back, not of the login";
    EXPECT_EQ(cloud.requests().size(), 4u);
  }
}

TEST(Request, NonTokenRequestIsNotRetriedOn401) {
  CannedCloud cloud({json_reply("{}", 401), json_reply("{}")});
  conf const settings = cloud_settings(cloud.url());
  curlAPI api(settings);
  std::string reply;
  ASSERT_EQ(api.process_curl_api_request(settings.url + "/cinder/", curlAPI::GET, reply, "", false, false), 0);
  EXPECT_EQ(cloud.requests().size(), 1u);
}

// ------------------------------------------------------- version discovery

struct VersionCase {
  char const* what;
  std::string body;
  int result;
  char const* version;
  char const* log;  // expected message, or nullptr
};

TEST(VersionDiscovery, ComputeAndStorageVersions) {
  VersionCase const cases[] = {
      {"current among others", R"({"versions": [{"id": "v2.0", "status": "SUPPORTED"}, {"id": "v2.1", "status": "CURRENT"}]})", 0, "v2.1", nullptr},
      {"two current: the later wins", R"({"versions": [{"id": "v3.0", "status": "CURRENT"}, {"id": "v3.7", "status": "CURRENT"}]})", 0, "v3.7", nullptr},
      {"none current", R"({"versions": [{"id": "v2.0", "status": "SUPPORTED"}]})", 2, "", nullptr},
      {"empty object", "{}", 2, "", ": json object value is empty. Expected nova-api versions info"},
      {"member not an array", R"({"versions": {"id": "v2.1"}})", 2, "", ": json is not an array of nova-api versions"},
      {"empty array", R"({"versions": []})", 2, "", ": array of nova-api versions is empty"},
      {"element not an object", R"({"versions": ["v2.1"]})", 2, "", ": json value is not an object: nova-api version"},
      {"empty element", R"({"versions": [{}]})", 2, "", ": json object value is empty. Expected nova-api version"},
      {"second array without current", R"({"a": [{"id": "v2.1", "status": "CURRENT"}], "b": 5})", 2, "", ": json is not an array of nova-api versions"},
      {"top level array", "[1]", 2, "", ": json value is not an object"},
      {"not JSON", "<html>gateway</html>", 2, "", "int curlAPI::get_api_version(const string&, string&): json: "},
      {"empty reply", "", 2, "", "int curlAPI::get_api_version(const string&, string&): json: "},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(c.what);
    kstest::LogCapture log;
    CannedCloud cloud({json_reply(c.body)});
    conf const settings = cloud_settings(cloud.url());
    curlAPI api(settings);
    std::string version = "stale";
    EXPECT_EQ(api.get_api_version("nova-api", version), c.result);
    EXPECT_EQ(version, c.version);
    if (c.log) {
      EXPECT_TRUE(log.contains(c.log)) << log.text();
    }
    auto const r = cloud.requests();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].method, "GET");
    EXPECT_EQ(r[0].path, "/nova-api/");
    EXPECT_FALSE(r[0].has_header("X-Auth-Token"));
  }
}

TEST(VersionDiscovery, StoragePathAndUnreachableCloud) {
  {
    CannedCloud cloud({json_reply(R"({"versions": [{"id": "v3.0", "status": "CURRENT"}]})")});
    conf const settings = cloud_settings(cloud.url());
    curlAPI api(settings);
    std::string version;
    EXPECT_EQ(api.get_api_version("cinder", version), 0);
    EXPECT_EQ(version, "v3.0");
    EXPECT_EQ(cloud.requests().at(0).path, "/cinder/");
  }
  kstest::LogCapture log;
  conf const settings = cloud_settings("http://127.0.0.1:1");
  curlAPI api(settings);
  std::string version;
  EXPECT_EQ(api.get_api_version("cinder", version), 2);
  EXPECT_EQ(api.get_keystone_api_version(version), 2);
  EXPECT_TRUE(log.contains("int curlAPI::get_api_version(const string&, string&): exception:")) << log.text();
  EXPECT_TRUE(log.contains("int curlAPI::get_keystone_api_version(string&): exception:")) << log.text();
}

TEST(VersionDiscovery, IdentityVersion) {
  VersionCase const cases[] = {
      {"stable", R"({"version": {"id": "v3.14", "status": "stable", "links": []}})", 0, "v3.14", nullptr},
      {"other status", R"({"version": {"id": "v3.14", "status": "current"}})", 2, "", nullptr},
      {"empty id", R"({"version": {"id": "", "status": "stable"}})", 2, "", nullptr},
      {"no id", R"({"version": {"status": "stable"}})", 2, "", nullptr},
      {"empty object", "{}", 2, "", ": json object value is empty. Expected keystone versions info"},
      {"no version member", R"({"versions": {"values": []}})", 2, "",
       ": json object value doesn't contain \"version\" key. Expected keystone versions info"},
      {"version not an object", R"({"version": "v3"})", 2, "",
       ": json object value doesn't contain \"version\" key. Expected keystone versions info"},
      {"not JSON", "oops", 2, "", "int curlAPI::get_keystone_api_version(string&): json: "},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(c.what);
    kstest::LogCapture log;
    CannedCloud cloud({json_reply(c.body)});
    conf const settings = cloud_settings(cloud.url());
    curlAPI api(settings);
    std::string version = "stale";
    EXPECT_EQ(api.get_keystone_api_version(version), c.result);
    EXPECT_EQ(version, c.version);
    if (c.log) {
      EXPECT_TRUE(log.contains(c.log)) << log.text();
    }
    auto const r = cloud.requests();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].path, "/keystone/");
    EXPECT_FALSE(r[0].has_header("X-Auth-Token"));
  }
}

// keystone's root answers 300 with its versions and a Location of the v3
// document under its published address, which may be another host or port
// than the configured one: a request without credentials follows it there.
TEST(VersionDiscovery, IdentityRootRedirectIsFollowedToAnyHttpAddress) {
  std::string const v3 = R"({"version": {"id": "v3.14", "status": "stable"}})";
  auto root = [](std::string const& location) {
    CannedReply r;
    r.status = 300;
    r.body = R"({"versions": {"values": [{"id": "v3.14", "status": "stable"}]}})";
    r.headers = {{"Content-Type", "application/json"}, {"Location", location}};
    return r;
  };
  {
    SCOPED_TRACE("another port");
    CannedCloud internal({json_reply(v3)});
    CannedCloud cloud({root(internal.url() + "/v3/")});
    conf const settings = cloud_settings(cloud.url());
    curlAPI api(settings);
    std::string version;
    EXPECT_EQ(api.get_keystone_api_version(version), 0);
    EXPECT_EQ(version, "v3.14");
    ASSERT_EQ(internal.requests().size(), 1u);
    EXPECT_EQ(internal.requests()[0].path, "/v3/");
    EXPECT_FALSE(internal.requests()[0].has_header("X-Auth-Token"));
  }
  {
    SCOPED_TRACE("another host name, same port");
    CannedCloud cloud({root("http://localhost:@PORT@/keystone/v3/"), json_reply(v3)});
    conf const settings = cloud_settings(cloud.url());
    curlAPI api(settings);
    std::string version;
    EXPECT_EQ(api.get_keystone_api_version(version), 0);
    EXPECT_EQ(version, "v3.14");
    auto const r = cloud.requests();
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[1].path, "/keystone/v3/");
    EXPECT_EQ(r[1].header("Host"), "localhost:" + cloud.url().substr(cloud.url().rfind(':') + 1));
  }
  {
    SCOPED_TRACE("not over http");
    kstest::LogCapture log;
    CannedCloud cloud({root("file:///etc/hostname")});
    conf const settings = cloud_settings(cloud.url());
    curlAPI api(settings);
    std::string version;
    EXPECT_EQ(api.get_keystone_api_version(version), 2);
    EXPECT_TRUE(log.contains("int curlAPI::get_keystone_api_version(string&): exception:refused a redirect from " +
                             cloud.url() + " to 'file:///etc/hostname': only http and https addresses are followed"))
        << log.text();
  }
  {
    SCOPED_TRACE("the compute versions the same way");
    CannedCloud internal({json_reply(R"({"versions": [{"id": "v2.1", "status": "CURRENT"}]})")});
    CannedCloud cloud({root(internal.url() + "/")});
    conf const settings = cloud_settings(cloud.url());
    curlAPI api(settings);
    std::string version;
    EXPECT_EQ(api.get_api_version("nova-api", version), 0);
    EXPECT_EQ(version, "v2.1");
  }
}

TEST(VersionDiscovery, PathSegmentIsTheIdUpToItsFirstPoint) {
  struct {
    char const* id;
    bool ok;
    char const* segment;
  } const cases[] = {
      {"v2.1", true, "v2"}, {"v3.0", true, "v3"},  {"v3.14", true, "v3"}, {"v3", true, "v3"},
      {"v21.3", true, "v21"}, {"v2.10", true, "v2"}, {"", false, ""},    {"v", false, ""},
      {"v.1", false, ""},   {"2.1", false, ""},    {".1", false, ""},    {"vx.1", false, ""},
      {"v2a.1", false, ""}, {"V2.1", false, ""},   {"v2/x.1", false, ""},
  };
  for (auto const& c : cases) {
    std::string segment = "stale";
    EXPECT_EQ(curlAPI::api_path_segment(c.id, segment), c.ok) << c.id;
    EXPECT_EQ(segment, c.segment) << c.id;
  }
}

// --------------------------------------------------------------- transport

TEST(Transport, MethodsAndBodies) {
  CannedCloud cloud({json_reply("{}"), json_reply("{}"), json_reply("")});
  conf const settings = cloud_settings(cloud.url());
  curlAPI api(settings);
  std::string reply = "stale";
  std::string const body = R"({"server": {"name": "a b"}})";
  ASSERT_EQ(api.process_curl_api_request(settings.url + "/x", curlAPI::POST, reply, body, false, false), 0);
  ASSERT_EQ(api.process_curl_api_request(settings.url + "/y", curlAPI::GET, reply, "ignored", false, false), 0);
  ASSERT_EQ(api.process_curl_api_request(settings.url + "/z", curlAPI::DELETE, reply, "ignored", false, false), 0);
  EXPECT_EQ(reply, "");
  auto const r = cloud.requests();
  ASSERT_EQ(r.size(), 3u);
  EXPECT_EQ(r[0].method, "POST");
  EXPECT_EQ(r[0].body, body);
  EXPECT_EQ(r[1].method, "GET");
  EXPECT_EQ(r[1].body, "");
  EXPECT_EQ(r[2].method, "DELETE");
  EXPECT_EQ(r[2].body, "");
}

TEST(Transport, ServiceBases) {
  conf settings = cloud_settings("https://cloud.example:8443");
  curlAPI api(settings);
  EXPECT_EQ(api.compute_base(), "https://cloud.example:8443/nova-api/v2");
  EXPECT_EQ(api.storage_base("p1"), "https://cloud.example:8443/cinder/v3/p1");
  EXPECT_EQ(api.identity_base(), "https://cloud.example:8443/keystone/v3");
}

TEST(Transport, RedirectsStayOnHttpAndAreBounded) {
  {
    SCOPED_TRACE("to file://");
    CannedCloud cloud({redirect("file:///etc/hostname")});
    conf const settings = cloud_settings(cloud.url());
    curlAPI api(settings);
    std::string reply;
    EXPECT_THROW(api.process_curl_api_request(settings.url + "/a", curlAPI::GET, reply, "", false, false),
                 std::runtime_error);
    EXPECT_EQ(reply.find(kstest::read_file("/etc/hostname")), std::string::npos);
  }
  {
    SCOPED_TRACE("over http");
    CannedCloud cloud({redirect("/moved"), json_reply("{\"moved\":true}")});
    conf const settings = cloud_settings(cloud.url());
    curlAPI api(settings);
    std::string reply;
    ASSERT_EQ(api.process_curl_api_request(settings.url + "/a", curlAPI::GET, reply, "", false, false), 0);
    EXPECT_EQ(reply, "{\"moved\":true}");
    ASSERT_EQ(cloud.requests().size(), 2u);
    EXPECT_EQ(cloud.requests()[1].path, "/moved");
  }
  {
    SCOPED_TRACE("in a loop");
    std::vector<CannedReply> loop(20, redirect("/loop"));
    CannedCloud cloud(loop);
    conf const settings = cloud_settings(cloud.url());
    curlAPI api(settings);
    std::string reply;
    EXPECT_THROW(api.process_curl_api_request(settings.url + "/loop", curlAPI::GET, reply, "", false, false),
                 std::runtime_error);
    EXPECT_EQ(cloud.requests().size(), 6u) << "the first request and five redirects";
  }
}

TEST(Redirects, WithinTheOriginKeepTheTokenAndTheMethod) {
  std::string const body = R"({"volume": {"size": 1}})";
  struct {
    int status;
    curlAPI::RequestType type;
    char const* then_method;
    std::string then_body;
  } const cases[] = {
      {307, curlAPI::POST, "POST", body},
      {308, curlAPI::POST, "POST", body},
      {302, curlAPI::POST, "GET", ""},
      {303, curlAPI::POST, "GET", ""},
      {301, curlAPI::DELETE, "DELETE", ""},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(std::to_string(c.status) + " " + c.then_method);
    CannedCloud cloud({token_reply("tok"), redirect("http://127.0.0.1:@PORT@/moved", c.status),
                       json_reply("{\"moved\":true}")});
    conf const settings = cloud_settings(cloud.url());
    curlAPI api(settings);
    std::string reply;
    ASSERT_EQ(api.process_curl_api_request(settings.url + "/a", c.type, reply, c.type == curlAPI::POST ? body : "",
                                           false, true),
              0);
    EXPECT_EQ(reply, "{\"moved\":true}");
    EXPECT_EQ(api.last_http_code(), 200);
    auto const r = cloud.requests();
    ASSERT_EQ(r.size(), 3u);
    EXPECT_EQ(r[2].path, "/moved");
    EXPECT_EQ(r[2].method, c.then_method);
    EXPECT_EQ(r[2].body, c.then_body);
    EXPECT_EQ(r[2].header("X-Auth-Token"), "tok");
  }
  {
    SCOPED_TRACE("a login moved with its body");
    CannedCloud cloud({redirect("/keystone/v3/auth/tokens/", 307), token_reply("tok")});
    conf const settings = cloud_settings(cloud.url());
    curlAPI api(settings);
    EXPECT_EQ(api.login(false), 0);
    auto const r = cloud.requests();
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[1].path, "/keystone/v3/auth/tokens/");
    EXPECT_EQ(r[1].body, kUserLoginBody);
  }
}

// The cloud answers a lazy login, then redirects a GET (302) and a second
// login (307) to `target`: both fail before anything is sent there.
void expect_redirect_refused(CannedCloud const& cloud, conf const& settings, std::string const& target,
                             kstest::LogCapture const& log) {
  curlAPI api(settings);
  std::vector<rustack_vm_info> list;
  EXPECT_EQ(api.get_server_list(list), 2);
  EXPECT_EQ(api.login(false), 2);
  std::string const refused = ": exception:refused a redirect from " + cloud.url() + " to '" + target + "'";
  EXPECT_TRUE(log.contains("get_server_list(std::vector<rustack_vm_info>&)" + refused)) << log.text();
  EXPECT_TRUE(log.contains("int curlAPI::login(bool)" + refused)) << log.text();
  auto const r = cloud.requests();
  ASSERT_EQ(r.size(), 3u) << "the login, the GET and the second login, nothing more";
  EXPECT_EQ(r[1].header("X-Auth-Token"), "tok-1");
}

TEST(Redirects, ToAnotherOriginAreRefusedAndGetNoCredentials) {
  CannedCloud other({json_reply("{}"), json_reply("{}")});
  struct {
    char const* what;
    std::string location;
  } const cases[] = {
      {"another port", other.url() + "/servers"},
      {"another host, same port", "http://localhost:@PORT@/servers"},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(c.what);
    kstest::LogCapture log;
    CannedCloud cloud({token_reply("tok-1"), redirect(c.location), redirect(c.location, 307)});
    std::string const target =
        boost::algorithm::replace_all_copy(c.location, "@PORT@", cloud.url().substr(cloud.url().rfind(':') + 1));
    expect_redirect_refused(cloud, cloud_settings(cloud.url()), target, log);
  }
  EXPECT_TRUE(other.requests().empty());
}

TEST(Transport, TimeOuts) {
  {
    SCOPED_TRACE("a slow reply ends the transfer");
    CannedReply slow = json_reply("{}");
    slow.delay = 3;
    CannedCloud cloud({slow});
    conf settings = cloud_settings(cloud.url());
    settings.timeout = 1;
    curlAPI api(settings);
    std::string reply;
    try {
      api.process_curl_api_request(settings.url + "/slow", curlAPI::GET, reply, "", false, false);
      ADD_FAILURE() << "no time-out";
    } catch (std::runtime_error const& e) {
      EXPECT_NE(std::string(e.what()).find("Timeout"), std::string::npos) << e.what();
    }
  }
  {
    SCOPED_TRACE("a time-out of 0 would mean none at all");
    kstest::LogCapture log;
    CannedCloud cloud({json_reply("{}")});
    conf settings = cloud_settings(cloud.url());
    settings.timeout = 0;
    curlAPI api(settings);
    std::string reply;
    EXPECT_EQ(api.process_curl_api_request(settings.url + "/x", curlAPI::GET, reply, "", false, false), 0);
    EXPECT_TRUE(log.contains("Warning: ")) << log.text();
    EXPECT_TRUE(log.contains("'timeout', using 300")) << log.text();
  }
  EXPECT_EQ(curlAPI::valid_timeout(7, "volume_attachment_timeout"), 7u);
  EXPECT_EQ(curlAPI::valid_timeout(0, "volume_attachment_timeout"), 300u);
}

// --------------------------------------------------------------------- TLS

class Tls : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new kstest::TempDir();
    for (char const* name : {"server", "other"}) {
      std::string const base = (*dir_ / name).string();
      auto const r = kstest::run("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 "
                                 "-subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1,DNS:localhost -keyout " +
                                 kstest::sh_quote(base + ".key") + " -out " + kstest::sh_quote(base + ".pem"));
      ASSERT_EQ(r.status, 0) << r.output;
    }
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }
  static std::string file(char const* name) { return (*dir_ / name).string(); }
  static CannedReply stable() { return json_reply(R"({"version": {"id": "v3.14", "status": "stable"}})"); }
  static kstest::TempDir* dir_;
};
kstest::TempDir* Tls::dir_ = nullptr;

TEST_F(Tls, VerifiesWithTheConfiguredCaFile) {
  kstest::LogCapture log;
  CannedCloud cloud({stable()}, file("server.pem"), file("server.key"));
  conf settings = cloud_settings(cloud.url());
  settings.enable_ssl = true;
  settings.ca_info = file("server.pem");
  curlAPI api(settings);
  std::string version;
  EXPECT_EQ(api.get_keystone_api_version(version), 0) << log.text();
  EXPECT_EQ(version, "v3.14");
  EXPECT_FALSE(log.contains("Warning")) << log.text();
}

TEST_F(Tls, RefusesACertificateOfAnotherAuthority) {
  kstest::LogCapture log;
  CannedCloud cloud({stable(), token_reply("t")}, file("server.pem"), file("server.key"));
  conf settings = cloud_settings(cloud.url());
  settings.enable_ssl = true;
  settings.ca_info = file("other.pem");
  curlAPI api(settings);
  std::string version;
  EXPECT_EQ(api.get_keystone_api_version(version), 2);
  EXPECT_EQ(api.login(false), 2);
  EXPECT_TRUE(log.contains("int curlAPI::get_keystone_api_version(string&): exception:")) << log.text();
  EXPECT_TRUE(log.contains("int curlAPI::login(bool): exception:")) << log.text();
  EXPECT_TRUE(cloud.requests().empty());
}

TEST_F(Tls, WithoutACaFileTheCertificateIsNotVerified) {
  struct {
    bool enable_ssl;
    bool warning;
  } const cases[] = {{false, false}, {true, true}};
  for (auto const& c : cases) {
    SCOPED_TRACE(c.enable_ssl ? "enable_ssl set" : "enable_ssl unset");
    kstest::LogCapture log;
    CannedCloud cloud({stable(), stable()}, file("server.pem"), file("server.key"));
    conf settings = cloud_settings(cloud.url());
    settings.enable_ssl = c.enable_ssl;
    curlAPI api(settings);
    std::string version;
    EXPECT_EQ(api.get_keystone_api_version(version), 0) << log.text();
    EXPECT_EQ(api.get_keystone_api_version(version), 0) << log.text();
    std::string const text = log.text();
    std::string const warning = "Warning: " + std::string(
        "int curlAPI::process_curl_api_request(const string&, curlAPI::RequestType, string&, const string&, bool, "
        "bool): enable_ssl is set but ca_info is empty: the certificate of the cloud is not verified");
    auto const first = text.find(warning);
    EXPECT_EQ(first != std::string::npos, c.warning) << text;
    if (c.warning) {
      EXPECT_EQ(text.find(warning, first + 1), std::string::npos) << "warned once per client";
    }
  }
}

TEST_F(Tls, ARedirectToPlainHttpIsRefused) {
  kstest::LogCapture log;
  CannedCloud plain({json_reply("{}"), json_reply("{}")});
  std::string const target = plain.url() + "/servers";
  CannedCloud cloud({token_reply("tok-1"), redirect(target), redirect(target, 307)}, file("server.pem"),
                    file("server.key"));
  conf settings = cloud_settings(cloud.url());
  settings.enable_ssl = true;
  settings.ca_info = file("server.pem");
  expect_redirect_refused(cloud, settings, target, log);
  EXPECT_TRUE(plain.requests().empty());
}

TEST_F(Tls, MissingCaFileSendsNothing) {
  kstest::LogCapture log;
  CannedCloud cloud({stable(), token_reply("t")}, file("server.pem"), file("server.key"));
  conf settings = cloud_settings(cloud.url());
  settings.enable_ssl = true;
  settings.ca_info = file("absent.pem");
  curlAPI api(settings);
  std::string reply = "stale";
  EXPECT_EQ(api.process_curl_api_request(settings.url + "/keystone/", curlAPI::GET, reply, "", false, false), 2);
  EXPECT_EQ(reply, "");
  EXPECT_EQ(api.login(true), 2);
  EXPECT_TRUE(cloud.requests().empty());
  std::string const tail = ": CA file " + file("absent.pem") + " does not exist on Kestrova VM";
  EXPECT_TRUE(log.contains("int curlAPI::login(bool)" + tail)) << log.text();
  EXPECT_TRUE(log.contains("int curlAPI::process_curl_api_request(const string&, curlAPI::RequestType, string&, "
                           "const string&, bool, bool)" +
                           tail))
      << log.text();
}

// ----------------------------------------------------------------- verbose

TEST(Verbose, LogsRequestsButNeverThePasswordOrTokens) {
  std::string const password = "pw\"Secret-42";
  std::string const token = "tok-Secret-99";
  kstest::LogCapture log;
  CannedCloud cloud({token_reply(token), json_reply("{\"servers\": []}"), json_reply("{}", 202)});
  conf settings = cloud_settings(cloud.url());
  settings.curl_verbose = true;
  settings.password = password;
  std::string const post_body = R"({"volume": {"name": "v \"1\""}})";
  std::string trace;
  {
    StderrCapture err;
    curlAPI api(settings);
    std::string reply;
    ASSERT_EQ(api.process_curl_api_request(api.compute_base() + "/servers/detail", curlAPI::GET, reply, "", false,
                                           true),
              0);
    ASSERT_EQ(api.process_curl_api_request(api.storage_base("proj") + "/volumes", curlAPI::POST, reply, post_body,
                                           false, true),
              0);
    trace = err.text();
  }
  std::string const text = log.text();
  EXPECT_TRUE(log.contains("int curlAPI::login(bool): URL: " + settings.url + "/keystone/v3/auth/tokens")) << text;
  EXPECT_TRUE(log.contains("int curlAPI::login(bool): POST BODY: '")) << text;
  EXPECT_TRUE(log.contains("\"password\": \"XXX\"}}}")) << text;
  EXPECT_TRUE(log.contains("int curlAPI::login(bool): HTTP Code: 201, Server response: '")) << text;
  EXPECT_TRUE(log.contains("X-Subject-Token: XXX")) << text;
  EXPECT_TRUE(log.contains(": URL: " + settings.url + "/nova-api/v2/servers/detail")) << text;
  EXPECT_TRUE(log.contains(": HTTP Code: 200, Server response: '{\"servers\": []}'")) << text;
  EXPECT_TRUE(log.contains(": URL: " + settings.url + "/cinder/v3/proj/volumes\n")) << text;
  EXPECT_TRUE(log.contains("Info: : POST BODY: '" + post_body + "'\n")) << "the body as sent, without a prefix\n"
                                                                          << text;
  EXPECT_TRUE(log.contains(": HTTP Code: 202, Server response: '{}'")) << text;
  EXPECT_EQ(text.find("Secret"), std::string::npos) << text;

  EXPECT_NE(trace.find("X-Auth-Token: XXX"), std::string::npos) << trace;
  EXPECT_NE(trace.find("X-Subject-Token: XXX"), std::string::npos) << trace;
  EXPECT_EQ(trace.find("Secret"), std::string::npos) << trace;
}

// ------------------------------------------------- the shared stand-in cloud

TEST(StandinCloud, DiscoversLogsInInBothScopesAndOutlivesAnExpiredToken) {
  kstest::LogCapture log;
  kstest::StandinCloud cloud;
  conf settings;
  settings.url = cloud.url();
  settings.username = "kestrova";
  settings.password = "kestrova-pass";
  settings.admin_name = "cloudadmin";
  settings.admin_password = "admin-pass";
  settings.domain = "default";
  settings.project_id = kstest::StandinCloud::project();
  settings.timeout = 30;
  curlAPI api(settings);

  std::string nova, cinder, keystone;
  ASSERT_EQ(api.get_api_version("nova-api", nova), 0) << log.text();
  ASSERT_EQ(api.get_api_version("cinder", cinder), 0) << log.text();
  ASSERT_EQ(api.get_keystone_api_version(keystone), 0) << log.text();
  ASSERT_TRUE(curlAPI::api_path_segment(nova, settings.api_version.nova)) << nova;
  ASSERT_TRUE(curlAPI::api_path_segment(cinder, settings.api_version.cinder)) << cinder;
  ASSERT_TRUE(curlAPI::api_path_segment(keystone, settings.api_version.keystone)) << keystone;

  ASSERT_EQ(api.login(false), 0) << log.text();
  ASSERT_EQ(api.login(true), 0) << log.text();
  std::string reply;
  boost::json::value value;
  ASSERT_EQ(api.process_curl_api_request(api.compute_base() + "/servers/detail", curlAPI::GET, reply, "", false,
                                         true),
            0);
  EXPECT_EQ(api.last_http_code(), 200) << reply;
  ASSERT_EQ(api.parse_result_string(reply, value), 0);
  EXPECT_TRUE(value.as_object().contains("servers")) << reply;
  ASSERT_EQ(api.process_curl_api_request(api.compute_base() + "/os-hypervisors/detail", curlAPI::GET, reply, "",
                                         true, true),
            0);
  EXPECT_EQ(api.last_http_code(), 200) << reply;

  // The cloud revokes every token: the next request logs in again once.
  ASSERT_EQ(api.process_curl_api_request(cloud.url() + "/_control/tokens/expire", curlAPI::POST, reply,
                                         R"({"scope": "all"})", false, false),
            0);
  ASSERT_EQ(api.last_http_code(), 200) << reply;
  ASSERT_EQ(api.process_curl_api_request(api.storage_base(kstest::StandinCloud::project()) +
                                             "/volumes/3a7f1c9e-5d2b-4e8a-b6c4-0f9e8d7c6b02",
                                         curlAPI::GET, reply, "", false, true),
            0);
  EXPECT_EQ(api.last_http_code(), 200) << reply;
  EXPECT_TRUE(log.contains("the cloud rejected the project token (HTTP 401), logging in again")) << log.text();
}

// ---------------------------------------------------------- JSON helpers

TEST(JsonPieces, EscapedValuesGiveTheSameTextBack) {
  struct {
    std::string text;
    std::string quoted;  // add_string_in_quotes
  } const cases[] = {
      {"", "null"},
      {"null", "null"},
      {"NULL", "\"NULL\""},
      {"plain value-1.2", "\"plain value-1.2\""},
      {"say \"hi\"", "\"say \\\"hi\\\"\""},
      {"C:\\dir\\", "\"C:\\\\dir\\\\\""},
      {"two\nlines\r\n\ttab", "\"two\\nlines\\r\\n\\ttab\""},
      {std::string("\x01\x1f\b\f", 4), "\"\\u0001\\u001f\\b\\f\""},
      {"\xd0\x92\xd0\x9c \xe2\x82\xac", "\"\xd0\x92\xd0\x9c \xe2\x82\xac\""},
      {"\"}, \"admin\": true, \"x\": {\"", "\"\\\"}, \\\"admin\\\": true, \\\"x\\\": {\\\"\""},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(curlAPI::add_string_in_quotes(c.text), c.quoted);
    // The JSON parser is the oracle: whatever the text, it reads it back.
    auto const back = boost::json::parse(curlAPI::json_quoted(c.text));
    EXPECT_EQ(back.as_string(), c.text);
    EXPECT_EQ(curlAPI::json_quoted(c.text), "\"" + curlAPI::json_escaped(c.text) + "\"");
  }
}

TEST(JsonPieces, ThreeWaysOfReadingAMember) {
  struct {
    char const* json;
    bool is_string;
    char const* string_value;
    char const* json_text;
    char const* plain_text;
  } const cases[] = {
      {R"("abc")", true, "abc", R"("abc")", "abc"},
      {R"("a\"b\\c")", true, "a\"b\\c", R"("a\"b\\c")", "a\\b\\\\c"},
      {"10", false, "", "10", "10"},
      {"true", false, "", "true", "true"},
      {"null", false, "", "null", "null"},
      {R"({"k": "v", "n": 1})", false, "", R"({"k":"v","n":1})", "{k:v,n:1}"},
      {R"(["x", 2])", false, "", R"(["x",2])", "[x,2]"},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(c.json);
    auto const v = boost::json::parse(c.json);
    if (c.is_string)
      EXPECT_EQ(curlAPI::string_value(v), c.string_value);
    else
      EXPECT_ANY_THROW(curlAPI::string_value(v));
    EXPECT_EQ(curlAPI::json_text(v), c.json_text);
    EXPECT_EQ(curlAPI::plain_text(v), c.plain_text);
  }
  auto const object = boost::json::parse(R"({"id": "v2.1"})").as_object();
  EXPECT_EQ(curlAPI::member_plain_text(object, "id"), "v2.1");
  EXPECT_EQ(curlAPI::member_plain_text(object, "status"), "");
}

TEST(JsonPieces, ParseResultStringWantsAnObject) {
  kstest::LogCapture log;
  conf const settings = cloud_settings("http://127.0.0.1:1");
  curlAPI api(settings);
  boost::json::value v;
  EXPECT_EQ(api.parse_result_string(R"({"a": 1})", v), 0);
  EXPECT_EQ(v.at("a").as_int64(), 1);
  for (char const* not_object : {"[]", "5", "\"text\"", "null"}) {
    EXPECT_EQ(api.parse_result_string(not_object, v), 1) << not_object;
  }
  EXPECT_TRUE(log.contains("int curlAPI::parse_result_string(const string&, boost::json::value&): json value is "
                           "not an object"))
      << log.text();
  for (char const* not_json : {"", "{", "{\"a\": 1,}", "// c\n{}"}) {
    EXPECT_THROW(api.parse_result_string(not_json, v), boost::system::system_error) << not_json;
  }
}

TEST(JsonPieces, ErrorInfo) {
  struct {
    char const* json;
    int result;
    char const* code;
    char const* message;
    char const* log;
  } const cases[] = {
      {R"({"code": 404, "message": "Volume not found"})", 0, "404", "\"Volume not found\"", nullptr},
      {R"({"message": "only a message"})", 0, "", "\"only a message\"", nullptr},
      {R"({"code": "409"})", 0, "\"409\"", "", nullptr},
      {R"("text")", 6, "", "", ": json value is not an object. Expected error info"},
      {"{}", 6, "", "", ": json object is empty. Expected error message"},
      {R"({"details": "x"})", 0, "", "", nullptr},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(c.json);
    kstest::LogCapture log;
    conf const settings = cloud_settings("http://127.0.0.1:1");
    curlAPI api(settings);
    std::string code = "stale", message = "stale";
    EXPECT_EQ(api.get_error_info(boost::json::parse(c.json), code, message), c.result);
    EXPECT_EQ(code, c.code);
    EXPECT_EQ(message, c.message);
    if (c.log) {
      EXPECT_TRUE(log.contains(std::string("int curlAPI::get_error_info(const boost::json::value&, string&, "
                                           "string&)") +
                               c.log))
          << log.text();
    }
  }
}

// Ids of the cloud are tokens; anything else in a reply fails it, and the
// Error line that says so shows the id on one line.
TEST(JsonPieces, PlainIdsAreTokens) {
  struct {
    std::string id;
    bool plain;
  } const cases[] = {
      {"0b7d1a52-5c3e-4f0a-9d61-2f4e8c9a7b10", true},
      {"4c1e8a2f6b3d4e5fa7b8c9d0e1f2a3b4", true},
      {"vol_1.backup-A", true},
      {"7", true},
      {"", false},
      {"a b", false},
      {"id\nMAIN SNAPSHOT FILENAME:/forged", false},
      {"id\r", false},
      {"tab\t", false},
      {"../x", false},
      {"a/b", false},
      {"a%2F", false},
      {"q\"", false},
      {"\xc2\x85", false},
      {"\xe2\x80\xa8", false},
      {"\xd0\xb2", false},
      {std::string("nul\0x", 5), false},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(kestrova::as_one_line(c.id));
    EXPECT_EQ(curl_api_ops::is_plain_id(c.id), c.plain);
    kstest::LogCapture log;
    // Empty is no refusal: each operation has its own line for a missing id.
    EXPECT_EQ(curl_api_ops::refused_id("int f()", "volume id", c.id), !c.plain && !c.id.empty());
    if (!c.plain && !c.id.empty()) {
      std::string const text = log.text();
      EXPECT_NE(text.find("Error: int f(): the volume id in the reply is not a plain id: \""), std::string::npos)
          << text;
      // One line: the id's line end is escaped.
      EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
    } else {
      EXPECT_EQ(log.text(), "");
    }
  }
}

TEST(ServerList, LookupsByNameAndId) {
  std::vector<rustack_vm_info> const none;
  std::vector<rustack_vm_info> const list = {{"id-1", "alpha", "ACTIVE"}, {"id-2", "beta", "SHUTOFF"}};
  EXPECT_FALSE(curlAPI::server_name_exists(none, ""));
  EXPECT_FALSE(curlAPI::server_id_exists(none, ""));
  EXPECT_TRUE(curlAPI::server_name_exists(list, "beta"));
  EXPECT_FALSE(curlAPI::server_name_exists(list, "id-2"));
  EXPECT_FALSE(curlAPI::server_name_exists(list, "Beta"));
  EXPECT_TRUE(curlAPI::server_id_exists(list, "id-1"));
  EXPECT_FALSE(curlAPI::server_id_exists(list, "alpha"));
}

}  // namespace
