#include "standins/cloud/fake_cloud.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <thread>

#include <curl/curl.h>

namespace kstest {

namespace {

struct CurlDeleter {
  void operator()(CURL* c) const { curl_easy_cleanup(c); }
};
struct SlistDeleter {
  void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};

size_t append_to(char* data, size_t size, size_t count, void* out) {
  static_cast<std::string*>(out)->append(data, size * count);
  return size * count;
}

void close_fd(int& fd) noexcept {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// Reads one line from fd, waiting at most `seconds`; false on end or time-out.
bool read_line(int fd, std::string& line, int seconds) {
  auto const deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  line.clear();
  for (;;) {
    auto const left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd, POLLIN, 0};
    int const r = ::poll(&p, 1, static_cast<int>(left.count()));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    char c;
    ssize_t const n = ::read(fd, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    if (c == '\n') return true;
    line += c;
  }
}

}  // namespace

std::string FakeCloud::script_path() { return std::string(KS_FAKE_CLOUD_DIR) + "/fake_cloud.py"; }

std::string FakeCloud::standard_seed() { return read_file(std::string(KS_FAKE_CLOUD_DIR) + "/standard_seed.json"); }

FakeCloud::FakeCloud(FakeCloudOptions const& options) {
  std::string const seed_path = (dir_ / "seed.json").string();
  write_file(seed_path, options.seed_json.empty() ? standard_seed() : options.seed_json);

  std::vector<std::string> args = {"python3", script_path(), "--seed", seed_path, "--watch-stdin"};
  if (!options.cert_file.empty()) args.insert(args.end(), {"--cert", options.cert_file, "--key", options.key_file});
  if (!options.data_dir.empty()) args.insert(args.end(), {"--data-dir", options.data_dir});
  if (!options.hooks_file.empty()) args.insert(args.end(), {"--hooks", options.hooks_file});
  args.insert(args.end(), options.extra_args.begin(), options.extra_args.end());
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  // Our ends are close-on-exec, so no other child keeps the server alive.
  int in[2], out[2];
  if (::pipe2(in, O_CLOEXEC) != 0) throw std::runtime_error("fake cloud: pipe failed");
  if (::pipe2(out, O_CLOEXEC) != 0) {
    ::close(in[0]);
    ::close(in[1]);
    throw std::runtime_error("fake cloud: pipe failed");
  }
  pid_ = ::fork();
  if (pid_ == 0) {
    ::dup2(in[0], 0);
    ::dup2(out[1], 1);
    ::execvp(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(in[0]);
  ::close(out[1]);
  stdin_fd_ = in[1];
  stdout_fd_ = out[0];
  if (pid_ < 0) {
    close_fd(stdin_fd_);
    close_fd(stdout_fd_);
    throw std::runtime_error("fake cloud: fork failed");
  }

  std::string line;
  bool const got = read_line(stdout_fd_, line, 30);
  if (!got || line.rfind("LISTENING ", 0) != 0) {
    stop();
    throw std::runtime_error("fake cloud did not start (first line: '" + line + "')");
  }
  port_ = std::stoi(line.substr(10));
  base_url_ = std::string(options.cert_file.empty() ? "http" : "https") + "://127.0.0.1:" + std::to_string(port_);
}

FakeCloud::~FakeCloud() { stop(); }

void FakeCloud::stop() noexcept {
  close_fd(stdin_fd_);  // the server ends at the end of its input
  if (pid_ > 0) {
    int status = 0;
    bool reaped = false;
    for (int i = 0; i < 500 && !reaped; ++i) {
      pid_t const r = ::waitpid(pid_, &status, WNOHANG);
      if (r == pid_ || (r < 0 && errno != EINTR)) reaped = true;
      else std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!reaped) {
      ::kill(pid_, SIGKILL);
      while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
      }
    }
    pid_ = -1;
  }
  close_fd(stdout_fd_);
}

FakeCloudReply FakeCloud::request(std::string const& method, std::string const& path, std::string const& body,
                                  std::vector<std::string> const& headers) const {
  std::unique_ptr<CURL, CurlDeleter> h(curl_easy_init());
  if (!h) throw std::runtime_error("curl_easy_init failed");
  curl_slist* raw = nullptr;
  bool typed = false;
  for (auto const& line : headers) {
    raw = curl_slist_append(raw, line.c_str());
    typed = typed || lower(line).rfind("content-type:", 0) == 0;
  }
  if (!body.empty() && !typed) raw = curl_slist_append(raw, "Content-Type: application/json");
  raw = curl_slist_append(raw, "Expect:");
  std::unique_ptr<curl_slist, SlistDeleter> list(raw);

  FakeCloudReply reply;
  std::string const url = base_url_ + path;
  curl_easy_setopt(h.get(), CURLOPT_URL, url.c_str());
  if (method == "GET") {
    curl_easy_setopt(h.get(), CURLOPT_HTTPGET, 1L);
  } else {
    curl_easy_setopt(h.get(), CURLOPT_CUSTOMREQUEST, method.c_str());
    curl_easy_setopt(h.get(), CURLOPT_POSTFIELDS, body.c_str());
    curl_easy_setopt(h.get(), CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
  }
  curl_easy_setopt(h.get(), CURLOPT_HTTPHEADER, list.get());
  curl_easy_setopt(h.get(), CURLOPT_WRITEFUNCTION, append_to);
  curl_easy_setopt(h.get(), CURLOPT_WRITEDATA, &reply.body);
  curl_easy_setopt(h.get(), CURLOPT_HEADERFUNCTION, append_to);
  curl_easy_setopt(h.get(), CURLOPT_HEADERDATA, &reply.headers);
  curl_easy_setopt(h.get(), CURLOPT_SSL_VERIFYPEER, 0L);
  curl_easy_setopt(h.get(), CURLOPT_SSL_VERIFYHOST, 0L);
  curl_easy_setopt(h.get(), CURLOPT_TIMEOUT, 60L);
  CURLcode const rc = curl_easy_perform(h.get());
  if (rc != CURLE_OK) throw std::runtime_error(method + " " + url + ": " + curl_easy_strerror(rc));
  curl_easy_getinfo(h.get(), CURLINFO_RESPONSE_CODE, &reply.status);
  return reply;
}

std::string FakeCloud::login(std::string const& user, std::string const& password, bool system,
                             std::string const& project) const {
  boost::json::object user_ref{{"name", user}, {"domain", {{"id", standard_cloud::domain}}}, {"password", password}};
  boost::json::object auth{{"identity", {{"methods", {"password"}}, {"password", {{"user", user_ref}}}}}};
  if (system) auth["scope"] = {{"system", {{"all", true}}}};
  else auth["scope"] = {{"project", {{"id", project}}}};
  std::string const body = boost::json::serialize(boost::json::object{{"auth", auth}});

  // The identity segment follows the version the cloud announces (its root
  // lists the versions, as keystone does).
  boost::json::value const doc = boost::json::parse(request("GET", "/keystone/").body);
  std::string id(doc.at("versions").at("values").at(0).at("id").as_string());
  std::string const segment = id.substr(0, id.find('.'));
  FakeCloudReply const r = request("POST", "/keystone/" + segment + "/auth/tokens", body);
  if (r.status != 201) return "";
  std::string const low = lower(r.headers);
  std::string const key = "\r\nx-subject-token: ";
  size_t const at = low.find(key);
  if (at == std::string::npos) return "";
  size_t const start = at + key.size();
  return r.headers.substr(start, r.headers.find("\r\n", start) - start);
}

boost::json::value FakeCloud::control(std::string const& method, std::string const& path,
                                      std::string const& body) const {
  FakeCloudReply const r = request(method, "/_control/" + path, body);
  if (r.status != 200)
    throw std::runtime_error("fake cloud control " + method + " " + path + ": " + std::to_string(r.status) + " " +
                             r.body);
  return boost::json::parse(r.body);
}

boost::json::object FakeCloud::inventory() const { return control("GET", "inventory").as_object(); }

boost::json::array FakeCloud::request_log(int since) const {
  return control("GET", "log?since=" + std::to_string(since)).at("requests").as_array();
}

void FakeCloud::clear_log() const { control("DELETE", "log"); }

int FakeCloud::add_fault(boost::json::object const& rule) const {
  return static_cast<int>(control("POST", "faults", boost::json::serialize(rule)).at("id").to_number<int>());
}

void FakeCloud::clear_faults() const { control("DELETE", "faults"); }

int FakeCloud::expire_tokens(std::string const& scope) const {
  boost::json::object const body{{"scope", scope}};
  return control("POST", "tokens/expire", boost::json::serialize(body)).at("expired").to_number<int>();
}

void FakeCloud::set_polls(boost::json::object const& polls) const {
  control("POST", "polls", boost::json::serialize(polls));
}

boost::json::object FakeCloud::set_object(std::string const& kind, std::string const& id,
                                          boost::json::object const& fields) const {
  return control("POST", "objects/" + kind + "/" + id, boost::json::serialize(fields)).as_object();
}

void FakeCloud::reset(std::string const& seed_json) const {
  control("POST", "reset", seed_json.empty() ? "{}" : "{\"seed\": " + seed_json + "}");
}

TestCertificate make_test_certificate(std::string const& dir) {
  TestCertificate c{dir + "/cloud.crt", dir + "/cloud.key"};
  RunResult const r = run("openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=127.0.0.1"
                          " -addext subjectAltName=IP:127.0.0.1 -keyout " +
                          sh_quote(c.key_file) + " -out " + sh_quote(c.cert_file));
  if (r.status != 0) throw std::runtime_error("openssl failed: " + r.output);
  return c;
}

}  // namespace kstest
