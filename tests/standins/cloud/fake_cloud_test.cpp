// The C++ side of the stand-in cloud: process lifetime, requests and the
// control calls that C++ tests use.
#include "standins/cloud/fake_cloud.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include <curl/curl.h>
#include <gtest/gtest.h>

namespace sc = kstest::standard_cloud;
using kstest::FakeCloud;
using kstest::FakeCloudOptions;

namespace {

std::string volume_path(std::string const& id) { return std::string("/cinder/v3/") + sc::project + "/volumes/" + id; }

std::vector<std::string> auth(std::string const& token) {
  return {"X-Auth-Token: " + token, "Accept: application/json", "Content-Type: application/json"};
}

}  // namespace

TEST(FakeCloudHelper, StartsOnAFreePortAndStopsOnDestruction) {
  pid_t pid;
  int port;
  {
    FakeCloud a;
    FakeCloud b;  // two at once get different ports
    EXPECT_NE(a.port(), b.port());
    EXPECT_EQ(a.base_url(), "http://127.0.0.1:" + std::to_string(a.port()));
    EXPECT_EQ(a.request("GET", "/keystone/v3/").status, 200);
    pid = a.pid();
    port = a.port();
    ASSERT_EQ(::kill(pid, 0), 0);
  }
  EXPECT_EQ(::kill(pid, 0), -1);
  EXPECT_EQ(errno, ESRCH);
  // Nothing listens on its port any more.
  int const fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  EXPECT_NE(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ::close(fd);
}

TEST(FakeCloudHelper, LoginsAndScopedReads) {
  FakeCloud cloud;
  std::string const user = cloud.login(sc::user, sc::password);
  std::string const admin = cloud.login(sc::admin, sc::admin_password, true);
  ASSERT_FALSE(user.empty());
  ASSERT_FALSE(admin.empty());
  EXPECT_EQ(cloud.login(sc::user, "wrong"), "");
  EXPECT_EQ(cloud.login(sc::user, sc::password, true), "");  // no system role

  EXPECT_EQ(cloud.request("GET", "/nova-api/v2/os-hypervisors/detail", "", auth(user)).status, 403);
  EXPECT_EQ(cloud.request("GET", "/nova-api/v2/os-hypervisors/detail", "", auth(admin)).status, 200);
  auto const v = boost::json::parse(cloud.request("GET", volume_path(sc::web_data), "", auth(user)).body);
  EXPECT_EQ(v.at("volume").at("name").as_string(), "web-data");
}

TEST(FakeCloudHelper, ControlCalls) {
  FakeCloud cloud;
  std::string const token = cloud.login(sc::user, sc::password);

  auto inv = cloud.inventory();
  ASSERT_EQ(inv.at("volumes").as_array().size(), 3u);
  EXPECT_EQ(inv.at("kestrova_vm_id").as_string(), sc::kestrova_vm);

  auto log = cloud.request_log();
  ASSERT_EQ(log.size(), 2u);  // version document and login
  EXPECT_EQ(log[1].at("path").as_string(), "/keystone/v3/auth/tokens");
  EXPECT_EQ(log[1].at("status").to_number<int>(), 201);
  cloud.clear_log();
  EXPECT_TRUE(cloud.request_log().empty());

  int const id = cloud.add_fault({{"method", "GET"}, {"path", ".*/volumes/.*"}, {"nth", 2}, {"status", 503}});
  EXPECT_EQ(id, 1);
  EXPECT_EQ(cloud.request("GET", volume_path(sc::web_data), "", auth(token)).status, 200);
  EXPECT_EQ(cloud.request("GET", volume_path(sc::web_data), "", auth(token)).status, 503);
  cloud.clear_faults();
  EXPECT_EQ(cloud.request("GET", volume_path(sc::web_data), "", auth(token)).status, 200);
  EXPECT_THROW(cloud.add_fault({{"nonsense", 1}}), std::runtime_error);

  cloud.set_object("volumes", sc::web_data, {{"status", "error"}});
  auto const v = boost::json::parse(cloud.request("GET", volume_path(sc::web_data), "", auth(token)).body);
  EXPECT_EQ(v.at("volume").at("status").as_string(), "error");

  EXPECT_EQ(cloud.expire_tokens("project"), 1);
  EXPECT_EQ(cloud.request("GET", volume_path(sc::web_data), "", auth(token)).status, 401);

  cloud.reset();
  EXPECT_TRUE(cloud.request_log().empty());
  EXPECT_EQ(cloud.inventory().at("tokens").at("issued").to_number<int>(), 0);
  cloud.reset(R"({"projects": [{"id": "p"}], "servers": [{"id": "s", "name": "alone"}]})");
  EXPECT_EQ(cloud.inventory().at("servers").as_array().size(), 1u);
  EXPECT_THROW(cloud.control("GET", "no-such-thing"), std::runtime_error);
}

TEST(FakeCloudHelper, ABadSeedIsAStartFailure) {
  FakeCloudOptions o;
  o.seed_json = "{\"projects\": [";
  EXPECT_THROW(FakeCloud{o}, std::runtime_error);
}

TEST(FakeCloudHelper, HttpsWithATestCertificate) {
  kstest::TempDir dir;
  auto const cert = kstest::make_test_certificate(dir.str());
  FakeCloudOptions o;
  o.cert_file = cert.cert_file;
  o.key_file = cert.key_file;
  FakeCloud cloud(o);
  EXPECT_EQ(cloud.base_url(), "https://127.0.0.1:" + std::to_string(cloud.port()));
  EXPECT_FALSE(cloud.login(sc::user, sc::password).empty());

  // A client that verifies the peer with the certificate as its CA.
  for (bool with_ca : {true, false}) {
    std::unique_ptr<CURL, void (*)(CURL*)> h(curl_easy_init(), curl_easy_cleanup);
    std::string const url = cloud.base_url() + "/cinder/";
    curl_easy_setopt(h.get(), CURLOPT_URL, url.c_str());
    curl_easy_setopt(h.get(), CURLOPT_WRITEFUNCTION, +[](char*, size_t s, size_t n, void*) { return s * n; });
    curl_easy_setopt(h.get(), CURLOPT_CAINFO, with_ca ? cert.cert_file.c_str() : "/dev/null");
    CURLcode const rc = curl_easy_perform(h.get());
    if (with_ca) EXPECT_EQ(rc, CURLE_OK) << curl_easy_strerror(rc);
    else EXPECT_NE(rc, CURLE_OK);
  }
}
