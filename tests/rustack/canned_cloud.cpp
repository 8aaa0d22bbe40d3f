#include "canned_cloud.h"

#include <chrono>
#include <stdexcept>
#include <thread>

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/algorithm/string/predicate.hpp>
#include <boost/json.hpp>

namespace kstest {

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
  std::vector<std::string> args = {"python3", server, "--script", script_path, "--log", log_path,
                                   "--port-file", port_path};
  if (!cert.empty())
    args.insert(args.end(), {"--cert", cert, "--key", key});
  std::vector<char*> argv;
  for (auto& a : args)
    argv.push_back(&a[0]);
  argv.push_back(nullptr);

  pid_ = fork();
  if (pid_ < 0)
    throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    prctl(PR_SET_PDEATHSIG, SIGTERM);  // never outlive a crashed test
    execv("/usr/bin/python3", argv.data());
    execvp("python3", argv.data());
    _exit(127);
  }
  for (int i = 0; i < 1000; ++i) {  // up to 10 s
    if (boost::filesystem::exists(port_path)) {
      url_ = std::string(cert.empty() ? "http" : "https") + "://127.0.0.1:" + read_file(port_path);
      return;
    }
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      throw std::runtime_error("canned_cloud.py ended before it listened");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  throw std::runtime_error("canned_cloud.py did not start listening within 10 s");
}

CannedCloud::~CannedCloud() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
  }
}

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
