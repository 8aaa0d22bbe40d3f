// Runs the stand-in cloud (fake_cloud.py, see README.md beside it) as a child
// process for one test, and reaches its control interface over HTTP.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include <boost/json.hpp>

#include "common/test_util.h"

namespace kstest {

// Ids and accounts of standard_seed.json.
namespace standard_cloud {
inline constexpr char const* project = "4c1e8a2f6b3d4e5fa7b8c9d0e1f2a3b4";
inline constexpr char const* domain = "default";
inline constexpr char const* kestrova_vm = "0b7d1a52-5c3e-4f0a-9d61-2f4e8c9a7b10";
inline constexpr char const* web = "7c4e2a91-6b3f-4d8e-9a1c-2e5f8b7d4c30";
inline constexpr char const* web_root = "3a7f1c9e-5d2b-4e8a-b6c4-0f9e8d7c6b02";
inline constexpr char const* web_data = "c5d2e8f1-7a3b-4c9d-8e6f-1b2a3c4d5e03";
inline constexpr char const* network = "6f2a9c1e-0d4b-4e7f-9a3c-5b8d2e1f4a60";
inline constexpr char const* image = "a1f0c7e2-93d4-4b8e-8f2a-6c5d4e3b2a19";
inline constexpr char const* user = "kestrova";
inline constexpr char const* password = "kestrova-pass";
inline constexpr char const* admin = "cloudadmin";
inline constexpr char const* admin_password = "admin-pass";
}  // namespace standard_cloud

struct FakeCloudOptions {
  std::string seed_json;   // the initial cloud; empty: standard_seed.json
  std::string cert_file;   // with key_file: serve HTTPS with this PEM certificate
  std::string key_file;
  std::string data_dir;    // give volumes and snapshots backing files here
  std::string hooks_file;  // Python file with on_attach / on_detach
  std::vector<std::string> extra_args;
};

// One HTTP exchange with the stand-in.
struct FakeCloudReply {
  long status = 0;
  std::string headers;  // the header block as received
  std::string body;
};

// The server process. The constructor returns once it listens on a free port
// of 127.0.0.1 and throws std::runtime_error when it does not start. The
// destructor stops it (end of its standard input, then SIGKILL after five
// seconds) and reaps it; the child also ends by itself when this process dies.
class FakeCloud {
 public:
  explicit FakeCloud(FakeCloudOptions const& options = {});
  ~FakeCloud();
  FakeCloud(FakeCloud const&) = delete;
  FakeCloud& operator=(FakeCloud const&) = delete;

  std::string const& base_url() const { return base_url_; }  // http(s)://127.0.0.1:<port>
  int port() const { return port_; }
  pid_t pid() const { return pid_; }

  // A request to the services or the control interface. `headers` are whole
  // header lines; TLS peers are not verified. Throws when the transfer fails.
  FakeCloudReply request(std::string const& method, std::string const& path, std::string const& body = "",
                         std::vector<std::string> const& headers = {}) const;

  // The token of a password login (project scope, or system scope with
  // `system`), empty when the login is refused.
  std::string login(std::string const& user, std::string const& password, bool system = false,
                    std::string const& project = standard_cloud::project) const;

  // Control calls (README.md); each throws std::runtime_error unless the
  // stand-in answers 200.
  boost::json::value control(std::string const& method, std::string const& path, std::string const& body = "") const;
  boost::json::object inventory() const;
  boost::json::array request_log(int since = 0) const;
  void clear_log() const;
  int add_fault(boost::json::object const& rule) const;  // returns the rule id
  void clear_faults() const;
  int expire_tokens(std::string const& scope = "all") const;  // all, project, system
  void set_polls(boost::json::object const& polls) const;
  boost::json::object set_object(std::string const& kind, std::string const& id,
                                 boost::json::object const& fields) const;
  void reset(std::string const& seed_json = "") const;

  static std::string script_path();    // fake_cloud.py
  static std::string standard_seed();  // the text of standard_seed.json

 private:
  void stop() noexcept;

  TempDir dir_;
  pid_t pid_ = -1;
  int stdin_fd_ = -1;
  int stdout_fd_ = -1;
  int port_ = 0;
  std::string base_url_;
};

struct TestCertificate {
  std::string cert_file;
  std::string key_file;
};
// A self-signed certificate for 127.0.0.1 made with openssl in `dir`; throws
// when openssl fails.
TestCertificate make_test_certificate(std::string const& dir);

}  // namespace kstest
