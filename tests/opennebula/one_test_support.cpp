#include "opennebula/one_test_support.h"

#include <cstdlib>
#include <memory>
#include <mutex>
#include <sstream>

#include <boost/json.hpp>

#include "support/log/ks_log.h"

namespace onetest {

namespace {

std::mutex& capture_mutex() {
  static std::mutex m;
  return m;
}
std::vector<std::string>& captured() {
  static std::vector<std::string> lines;
  return lines;
}

// Removes "[time] ", the colour codes and the blank before a reset.
std::string plain(std::string const& line) {
  std::string text = line;
  if (!text.empty() && text[0] == '[') {
    std::size_t end = text.find("] ");
    if (end != std::string::npos) text.erase(0, end + 2);
  }
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\x1b') {
      std::size_t m = text.find('m', i);
      if (m == std::string::npos) break;
      if (!out.empty() && out.back() == ' ' && text.compare(i, 4, "\x1b[0m") == 0) out.pop_back();
      i = m;
      continue;
    }
    out += text[i];
  }
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

class CaptureLogger : public KsDestination::KsLogger {
 protected:
  int write_log_impl(std::string const& line) override {
    std::lock_guard<std::mutex> lock(capture_mutex());
    captured().push_back(plain(line));
    return 0;
  }
};

}  // namespace

Standins::Standins() {
  setenv("KS_ONE_FIXTURES", dir_.str().c_str(), 1);
  write_answers();
}

Standins::~Standins() { unsetenv("KS_ONE_FIXTURES"); }

void Standins::answer(std::vector<std::string> const& argv, std::string const& out, int rc) {
  for (auto& a : answers_)
    if (a.first == argv) {
      a.second = {out, rc};
      write_answers();
      return;
    }
  answers_.push_back({argv, {out, rc}});
  write_answers();
}

void Standins::object(std::string const& tool, std::string const& id, std::string const& xml) {
  answer({tool, "show", id, "-x"}, xml);
  answer({tool, "show", id}, "ID : " + id + "\n");
}

void Standins::write_answers() const {
  boost::json::array all;
  for (auto const& a : answers_) {
    boost::json::array argv;
    for (auto const& arg : a.first) argv.emplace_back(arg);
    boost::json::object entry;
    entry["argv"] = std::move(argv);
    entry["out"] = a.second.first;
    entry["rc"] = a.second.second;
    all.push_back(std::move(entry));
  }
  kstest::write_file(dir_ / "answers.json", boost::json::serialize(all));
}

std::vector<std::vector<std::string>> Standins::calls() const {
  std::vector<std::vector<std::string>> result;
  boost::filesystem::path log = dir_ / "calls.log";
  if (!boost::filesystem::exists(log)) return result;
  std::istringstream lines(kstest::read_file(log));
  for (std::string line; std::getline(lines, line);) {
    std::vector<std::string> argv;
    boost::json::value parsed = boost::json::parse(line);
    for (auto const& v : parsed.as_array()) argv.emplace_back(v.as_string().data(), v.as_string().size());
    result.push_back(argv);
  }
  return result;
}

void Standins::clear_calls() {
  boost::system::error_code ec;
  boost::filesystem::remove(dir_ / "calls.log", ec);
}

LogCapture::LogCapture() {
  clear();
  KsLogStream::set_global_log_level(KsLogLvl::Info);
  KsLogStream::set_default_loggers(std::unique_ptr<KsDestination::KsLogger>(new CaptureLogger));
}

LogCapture::~LogCapture() { KsLogStream::set_default_loggers(KsDestination::Stderr()); }

std::vector<std::string> LogCapture::lines() const {
  std::lock_guard<std::mutex> lock(capture_mutex());
  return captured();
}

bool LogCapture::has(std::string const& line) const {
  for (auto const& l : lines())
    if (l == line) return true;
  return false;
}

bool LogCapture::contains(std::string const& text) const {
  for (auto const& l : lines())
    if (l.find(text) != std::string::npos) return true;
  return false;
}

std::vector<std::string> LogCapture::of(std::string const& level) const {
  std::vector<std::string> result;
  for (auto const& l : lines())
    if (l.compare(0, level.size() + 2, level + ": ") == 0) result.push_back(l);
  return result;
}

std::string LogCapture::dump() const {
  std::string out;
  for (auto const& l : lines()) out += "  " + l + "\n";
  return out;
}

void LogCapture::clear() {
  std::lock_guard<std::mutex> lock(capture_mutex());
  captured().clear();
}

CurrentDirectory::CurrentDirectory(boost::filesystem::path const& dir) : previous_(boost::filesystem::current_path()) {
  boost::filesystem::current_path(dir);
}

CurrentDirectory::~CurrentDirectory() {
  boost::system::error_code ec;
  boost::filesystem::current_path(previous_, ec);
}

std::string fixture(std::string const& name) {
  return kstest::read_file(kstest::source_path("tests/opennebula/fixtures/" + name));
}

std::string replaced(std::string text, std::string const& from, std::string const& to) {
  for (std::size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size())
    text.replace(at, from.size(), to);
  return text;
}

std::string elements(std::vector<std::pair<std::string, std::string>> const& items) {
  std::string out;
  for (auto const& item : items)
    out += "<" + item.first + "><![CDATA[" + item.second + "]]></" + item.first + ">";
  return out;
}

std::string disk(std::map<std::string, std::string> const& items) {
  return "<DISK>" + elements({items.begin(), items.end()}) + "</DISK>";
}

std::string VmXml::str() const {
  std::string x = fixture("vm.xml");
  x = replaced(x, "@LOCK@", lock);
  x = replaced(x, "@STATES@", states);
  x = replaced(x, "@DEPLOY_ID@", deploy_id);
  x = replaced(x, "@DISKS@", disks);
  x = replaced(x, "@TM_MAD_SYSTEM@", tm_mad_system);
  x = replaced(x, "@HOST@", host);
  x = replaced(x, "@NAME@", name);
  return replaced(x, "@ID@", id);
}

std::string ImageXml::str() const {
  std::string x = fixture("image.xml");
  x = replaced(x, "@TYPE@", type);
  x = replaced(x, "@DISK_TYPE@", disk_type.empty() ? "" : "<DISK_TYPE>" + disk_type + "</DISK_TYPE>");
  x = replaced(x, "@SOURCE@", source);
  x = replaced(x, "@SIZE@", size);
  x = replaced(x, "@DATASTORE_ID@", datastore_id);
  x = replaced(x, "@PERSISTENT@", persistent);
  x = replaced(x, "@STATE@", state);
  x = replaced(x, "@NAME@", name);
  return replaced(x, "@ID@", id);
}

std::string TemplateXml::str() const {
  std::string x = fixture("vmtemplate.xml");
  x = replaced(x, "@DISKS@", disks);
  x = replaced(x, "@UNAME@", uname);
  x = replaced(x, "@NAME@", name);
  return replaced(x, "@ID@", id);
}

std::string DatastoreXml::str() const {
  static const std::map<std::string, std::string> type_names{{"0", "IMAGE_DS"}, {"1", "SYSTEM_DS"}, {"2", "FILE_DS"}};
  auto type_name = type_names.find(type);
  std::string x = fixture("datastore.xml");
  x = replaced(x, "@TYPE_NAME@", type_name == type_names.end() ? "" : type_name->second);
  x = replaced(x, "@TYPE@", type);
  x = replaced(x, "@TM_MAD@", tm_mad);
  x = replaced(x, "@FREE_MB@", free_mb);
  x = replaced(x, "@BASE_PATH@", base_path);
  x = replaced(x, "@NAME@", name);
  return replaced(x, "@ID@", id);
}

std::string pool(std::string const& root, std::vector<std::string> const& entries) {
  std::string x = "<" + root + ">\n";
  for (auto const& entry : entries) x += entry;
  return x + "</" + root + ">\n";
}

std::string host_pool(std::string const& name, std::string const& hostname) {
  return replaced(replaced(fixture("host_pool.xml"), "@HOST_NAME@", name), "@HOSTNAME@", hostname);
}

}  // namespace onetest
