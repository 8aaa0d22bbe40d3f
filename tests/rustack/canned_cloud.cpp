#include "canned_cloud.h"

#include <chrono>
#include <stdexcept>
#include <thread>

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/algorithm/string/predicate.hpp>
#include <boost/algorithm/string/trim.hpp>
#include <boost/json.hpp>

namespace kstest {

namespace {

// Starts python3 with the arguments and waits until it has written its port.
pid_t start_python_server(std::vector<std::string> args, std::string const& port_path, char const* name) {
  args.insert(args.begin(), "python3");
  std::vector<char*> argv;
  for (auto& a : args)
    argv.push_back(&a[0]);
  argv.push_back(nullptr);
  pid_t const pid = fork();
  if (pid < 0)
    throw std::runtime_error("fork failed");
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGTERM);  // never outlive a crashed test
    execv("/usr/bin/python3", argv.data());
    execvp("python3", argv.data());
    _exit(127);
  }
  for (int i = 0; i < 1000; ++i) {  // up to 10 s
    if (boost::filesystem::exists(port_path))
      return pid;
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid)
      throw std::runtime_error(std::string(name) + " ended before it listened");
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
  throw std::runtime_error(std::string(name) + " did not start listening within 10 s");
}

void stop_server(pid_t pid) {
  if (pid > 0) {
    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
  }
}

}  // namespace

CannedReply json_reply(std::string body, int status) {
  CannedReply r;
  r.status = status;
  r.body = std::move(body);
  r.headers = {{"Content-Type", "application/json"}};
  return r;
}

CannedReply token_reply(std::string const& token) {
  CannedReply r;
  r.status = 201;
  r.headers = {{"Content-Type", "application/json"}, {"X-Subject-Token", token}, {"Vary", "X-Auth-Token"}};
  r.body = R"({"token": {"methods": ["password"], "expires_at": "2030-01-01T00:00:00.000000Z"}})";
  return r;
}

bool RecordedRequest::has_header(std::string const& name) const {
  for (auto const& h : headers)
    if (boost::algorithm::iequals(h.first, name))
      return true;
  return false;
}

std::string RecordedRequest::header(std::string const& name) const {
  for (auto const& h : headers)
    if (boost::algorithm::iequals(h.first, name))
      return h.second;
  return std::string();
}

CannedCloud::CannedCloud(std::vector<CannedReply> const& replies, std::string const& cert,
                         std::string const& key) {
  boost::json::array script;
  for (auto const& r : replies) {
    boost::json::array headers;
    for (auto const& h : r.headers)
      headers.push_back(boost::json::array{boost::json::value(h.first), boost::json::value(h.second)});
    script.push_back(boost::json::object{{"status", r.status},
                                         {"body", r.body},
                                         {"headers", headers},
                                         {"raw_headers", r.raw_headers},
                                         {"delay", r.delay}});
  }
  std::string const script_path = (dir_ / "replies.json").string();
  std::string const log_path = (dir_ / "requests.jsonl").string();
  std::string const port_path = (dir_ / "port").string();
  write_file(script_path, boost::json::serialize(script));
  write_file(log_path, "");

  std::string const server = source_path("tests/rustack/canned_cloud.py").string();
  std::vector<std::string> args = {server, "--script", script_path, "--log", log_path, "--port-file", port_path};
  if (!cert.empty())
    args.insert(args.end(), {"--cert", cert, "--key", key});
  pid_ = start_python_server(args, port_path, "canned_cloud.py");
  url_ = std::string(cert.empty() ? "http" : "https") + "://127.0.0.1:" + read_file(port_path);
}

CannedCloud::~CannedCloud() { stop_server(pid_); }

StandinCloud::StandinCloud() {
  std::string const port_path = (dir_ / "port").string();
  boost::filesystem::create_directory(dir_ / "data");
  pid_ = start_python_server({source_path("tests/standins/cloud/fake_cloud.py").string(), "--seed",
                              source_path("tests/standins/cloud/standard_seed.json").string(), "--port-file",
                              port_path, "--data-dir", (dir_ / "data").string()},
                             port_path, "fake_cloud.py");
  url_ = "http://127.0.0.1:" + boost::algorithm::trim_copy(read_file(port_path));
}

StandinCloud::~StandinCloud() { stop_server(pid_); }

std::vector<RecordedRequest> CannedCloud::requests() const {
  std::vector<RecordedRequest> out;
  std::string const text = read_file(dir_ / "requests.jsonl");
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos)
      end = text.size();
    if (end > start) {
      auto const v = boost::json::parse(text.substr(start, end - start)).as_object();
      RecordedRequest r;
      r.method = std::string(v.at("method").as_string());
      r.path = std::string(v.at("path").as_string());
      r.body = std::string(v.at("body").as_string());
      for (auto const& h : v.at("headers").as_array())
        r.headers.emplace_back(std::string(h.as_array().at(0).as_string()),
                               std::string(h.as_array().at(1).as_string()));
      out.push_back(std::move(r));
    }
    start = end + 1;
  }
  return out;
}

}  // namespace kstest
