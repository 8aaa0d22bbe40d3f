// Test support for the OpenNebula library: the stand-in tools' answers and
// call log, a capture of the log messages, and fixture texts.
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "common/test_util.h"

namespace onetest {

// One fixture directory for the stand-in tools (KS_ONE_FIXTURES points at
// it while the object lives). Answers are matched on the exact argv.
class Standins {
 public:
  Standins();
  ~Standins();
  Standins(Standins const&) = delete;
  Standins& operator=(Standins const&) = delete;

  // A later answer for the same argv replaces the earlier one.
  void answer(std::vector<std::string> const& argv, std::string const& out, int rc = 0);
  // "<tool> show <id> -x" answers `xml`; "<tool> show <id>" answers a line.
  void object(std::string const& tool, std::string const& id, std::string const& xml);
  // Every call since the start (or clear_calls), in order.
  std::vector<std::vector<std::string>> calls() const;
  void clear_calls();

  kstest::TempDir const& dir() const { return dir_; }

 private:
  void write_answers() const;

  kstest::TempDir dir_;
  std::vector<std::pair<std::vector<std::string>, std::pair<std::string, int>>> answers_;
};

// The log messages written while the object lives, as "<Level>: <text>"
// with time stamps and colours removed.
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  LogCapture(LogCapture const&) = delete;
  LogCapture& operator=(LogCapture const&) = delete;

  std::vector<std::string> lines() const;
  // True when one message equals `line` exactly.
  bool has(std::string const& line) const;
  // True when one message contains `text`.
  bool contains(std::string const& text) const;
  // Messages of one level ("Error", "Warning", "Info").
  std::vector<std::string> of(std::string const& level) const;
  std::string dump() const;
  void clear();
};

// Makes `dir` the working directory while the object lives.
class CurrentDirectory {
 public:
  explicit CurrentDirectory(boost::filesystem::path const& dir);
  ~CurrentDirectory();
  CurrentDirectory(CurrentDirectory const&) = delete;
  CurrentDirectory& operator=(CurrentDirectory const&) = delete;

 private:
  boost::filesystem::path previous_;
};

// A file of tests/opennebula/fixtures.
std::string fixture(std::string const& name);
std::string replaced(std::string text, std::string const& from, std::string const& to);

// One XML element per pair, each text in CDATA as the tools print it.
std::string elements(std::vector<std::pair<std::string, std::string>> const& items);
// A DISK element with its children sorted by name, as the tools print them.
std::string disk(std::map<std::string, std::string> const& items);

// The description "onevm show <id> -x" prints (fixtures/vm.xml).
struct VmXml {
  std::string id = "12";
  std::string name = "web";
  std::string lock;  // a whole LOCK element, or nothing
  std::string states = "<STATE>3</STATE><LCM_STATE>3</LCM_STATE>";
  std::string deploy_id = "one-12";
  std::string disks;  // DISK elements
  std::string tm_mad_system = "qcow2";
  std::string host = "kvm-b";
  std::string str() const;
};

// The description "oneimage show <id> -x" prints, and each entry of
// "oneimage list -x" (fixtures/image.xml).
struct ImageXml {
  std::string id = "5";
  std::string name = "debian12";
  std::string type = "0";
  std::string disk_type = "0";  // empty: no DISK_TYPE element
  std::string source;
  std::string size = "10";
  std::string datastore_id = "1";
  std::string persistent = "1";
  std::string state = "1";
  std::string str() const;
};

// The description "onetemplate show <id> -x" prints (fixtures/vmtemplate.xml).
struct TemplateXml {
  std::string id = "3";
  std::string name = "tmpl";
  std::string uname = "oneadmin";
  std::string disks;  // DISK elements
  std::string str() const;
};

// The description "onedatastore show <id> -x" prints, and each entry of
// "onedatastore list -x" (fixtures/datastore.xml).
struct DatastoreXml {
  std::string id = "1";
  std::string name = "default";
  std::string base_path = "/var/lib/one//datastores/1";
  std::string type = "0";  // 0 image, 1 system, 2 file datastore
  std::string tm_mad = "qcow2";
  std::string free_mb = "1000";
  std::string str() const;
};

// A "<tool> list -x" answer: the entries (descriptions as "show" prints
// them) inside the pool element `root`.
std::string pool(std::string const& root, std::vector<std::string> const& entries);

// "onehost list -x" (fixtures/host_pool.xml): host 0 "kvm-a" runs VMs 11
// and 120, host 3 `name` (HOSTNAME `hostname`) runs VM 12.
std::string host_pool(std::string const& name, std::string const& hostname);

}  // namespace onetest
