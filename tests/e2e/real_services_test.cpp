// What the real identity, compute and block-storage services do that a
// backup and a restore must get through, one row per behaviour, each a full
// backup and its restore through the real program: a boot volume without an
// image, an image gone since the backup, keystone's discovery redirect to
// another address, paged server lists, null members, and names of any
// characters. Each row ends with the new server ACTIVE on copies holding the
// backed-up bytes, unless the row says otherwise.
#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <functional>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "e2e/backup_client.h"
#include "e2e/cloud_objects.h"

namespace sc = kstest::standard_cloud;
using namespace kstest::e2e;

namespace {

// The value of a header of a logged request; empty when it has none.
std::string header(boost::json::value const& entry, std::string const& name) {
  for (auto const& h : entry.at("headers").as_array()) {
    std::string n(h.as_array()[0].as_string());
    for (char& ch : n) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    if (n == name) return std::string(h.as_array()[1].as_string());
  }
  return "";
}

struct Context {
  Harness& h;
  Vm vm;
  std::string port;                     // of the stand-in cloud
  std::vector<std::string> bytes;       // of the server's volumes when backed up
  std::string restored_id;              // the new server
  std::vector<std::string> restored_volumes;  // its volumes, boot volume first
  int restore_log = 0;                  // the request log's last entry before the restore
  ProcessResult backup_run, restore_run;  // what the module printed

  // The requests of the restore (after `restore_log`) of `method` to a path
  // that `path` matches.
  std::vector<boost::json::value> restore_requests(char const* method, std::string const& path) const {
    std::regex const re(path);
    std::vector<boost::json::value> out;
    for (auto const& e : h.request_log(restore_log))
      if (e.at("method").as_string() == method && std::regex_match(std::string(e.at("path").as_string()), re))
        out.push_back(e);
    return out;
  }
};

struct Row {
  char const* name;
  VmSpec vm;
  std::function<void(Context&)> before_backup;
  int backup_exit;  // the restore runs only after a backup that ended with 0
  std::function<void(Context&)> check;
};

void options(Context& c, boost::json::object const& o) {
  c.h.cloud().control("POST", "options", boost::json::serialize(o));
}

VmSpec const kDb;  // db: db-root (2 units, bootable, image metadata) and db-data (1 unit)
VmSpec const kDbWithoutImage("db", {VolumeSpec("db-root", 2, true, false), VolumeSpec("db-data", 1)});
std::string const kOddName = "d\"b\\x\n\xc3\x84pfel \xc3\xa9t\xc3\xa9";
// A name that would print result lines of its own.
std::string const kForgedName =
    "db\nMAIN SNAPSHOT FILENAME:/etc/shadow\nMAIN ARCHIVE FILENAME:/etc/passwd\rMODULE PID:1\x1b[2K\n"
    "KSFD PID: 1\nMAIN ARCHIVE SIGN FILENAME:/etc/group\nVERIFICATION RESULT:Trusted";
char const* const kResultPrefixes[] = {"MODULE PID:", "KSFD PID: ", "MAIN ARCHIVE FILENAME:", "MAIN SNAPSHOT FILENAME:",
                                       "MAIN ARCHIVE SIGN FILENAME:", "VERIFICATION RESULT:"};

// The lines of a text, split at every line feed and carriage return.
std::vector<std::string> lines_of(std::string const& text) {
  std::vector<std::string> out(1);
  for (char ch : text) {
    if (ch == '\n' || ch == '\r') out.emplace_back();
    else out.back() += ch;
  }
  return out;
}

// The lines of the output that begin with `prefix`.
std::vector<std::string> lines_starting(std::string const& out, std::string const& prefix) {
  std::vector<std::string> found;
  for (auto const& line : lines_of(out))
    if (line.compare(0, prefix.size(), prefix) == 0) found.push_back(line);
  return found;
}
char const* const kGoneImage = "5d1c0e9f-8a7b-4c6d-9e0f-1a2b3c4d5e6f";

std::vector<Row> const& rows() {
  static std::vector<Row> const all = {
      // The case of the real cloud: nova boots only from a volume cinder
      // calls bootable, and one made without an image is not.
      {"boot_volume_without_image_metadata", kDbWithoutImage, [](Context&) {}, 0,
       [](Context& c) {
         auto const marks = c.restore_requests("POST", ".*/volumes/" + c.restored_volumes[0] + "/action");
         ASSERT_EQ(marks.size(), 1u);
         EXPECT_EQ(marks[0].at("body").as_string(), R"({"os-set_bootable": {"bootable": true}})");
         EXPECT_EQ(marks[0].at("status").as_int64(), 200);
         EXPECT_NE(c.h.log_text().find("Volume '" + c.restored_volumes[0] + "' is marked bootable"), std::string::npos);
         EXPECT_TRUE(c.restore_requests("POST", ".*/volumes/" + c.restored_volumes[1] + "/action").empty())
             << "the data volume was not bootable";
       }},
      // The image was deleted after the backup: cinder refuses it, and the
      // volume is made without it and marked bootable.
      {"saved_image_refused", kDb,
       [](Context& c) {
         boost::json::value meta = c.h.object("volumes", c.vm.volume_ids[0]).at("volume_image_metadata");
         meta.as_object()["image_id"] = kGoneImage;
         c.h.cloud().set_object("volumes", c.vm.volume_ids[0], {{"volume_image_metadata", meta}});
       },
       0,
       [](Context& c) {
         auto const creates = c.restore_requests("POST", ".*/volumes");
         std::vector<std::string> seen;
         for (auto const& e : creates) {
           boost::json::value const body = boost::json::parse(e.at("body").as_string());
           auto const* image = body.at("volume").as_object().if_contains("imageRef");
           seen.push_back(std::to_string(e.at("status").as_int64()) + " " +
                          (image ? boost::json::serialize(*image) : std::string("-")));
         }
         EXPECT_EQ(seen, (std::vector<std::string>{"400 \"" + std::string(kGoneImage) + "\"", "202 -", "202 -"}));
         EXPECT_NE(c.h.log_text().find("the cloud refused the image '" + std::string(kGoneImage) + "' of volume '" +
                                       c.vm.volume_ids[0] + "': its copy is made without the image"),
                   std::string::npos)
             << c.h.log_text();
       }},
      // keystone names its v3 document under its published address, here
      // another host name for the same port.
      {"identity_root_redirects_to_another_address", kDb,
       [](Context& c) { options(c, {{"identity_endpoint", "http://localhost:@PORT@/keystone/"}}); }, 0,
       [](Context& c) {
         std::set<std::string> discovery_hosts;
         for (auto const& e : c.h.request_log()) {
           std::string const host = header(e, "host");
           if (e.at("path").as_string() == "/keystone/v3/") discovery_hosts.insert(host);
           else EXPECT_EQ(host, "127.0.0.1:" + c.port) << boost::json::serialize(e);
         }
         EXPECT_EQ(discovery_hosts, std::set<std::string>{"localhost:" + c.port});
       }},
      // A redirect of a request that carries the token, to another address,
      // is refused: the token is never sent there.
      {"token_request_redirected_to_another_address", kDb,
       [](Context& c) {
         c.h.cloud().add_fault({{"method", "GET"},
                                {"path", "/nova-api/v2/servers/detail"},
                                {"times", 0},
                                {"status", 302},
                                {"headers", boost::json::array{boost::json::array{
                                                "Location", "http://localhost:" + c.port + "/nova-api/v2/servers/detail"}}}});
       },
       2,
       [](Context& c) {
         for (auto const& e : c.h.request_log())
           EXPECT_EQ(header(e, "host"), "127.0.0.1:" + c.port) << boost::json::serialize(e);
         EXPECT_NE(c.h.log_text().find("exception:refused a redirect from http://127.0.0.1:" + c.port +
                                       " to 'http://localhost:" + c.port + "/nova-api/v2/servers/detail'"),
                   std::string::npos)
             << c.h.log_text();
       }},
      // Two servers a page: db, which the restored server must not be named
      // after again, is on the second page.
      {"server_list_of_two_pages", kDb, [](Context& c) { options(c, {{"server_page_limit", 2}}); }, 0,
       [](Context& c) {
         std::vector<std::string> queries;
         for (auto const& e : c.h.request_log(c.restore_log))
           if (e.at("path").as_string() == "/nova-api/v2/servers/detail") queries.emplace_back(e.at("query").as_string());
         EXPECT_EQ(queries, (std::vector<std::string>{"", "marker=" + std::string(sc::web), "", "marker=" + std::string(sc::web)}))
             << "the Kestrova VM's check and the name search, two pages each";
         ProcessResult const listing = c.h.run({"-l"});
         EXPECT_EQ(listing.status, 0) << listing.out << listing.err;
         std::vector<std::string> expected;
         boost::json::object const inventory = c.h.inventory();
         for (auto const& s : inventory.at("servers").as_array())
           expected.push_back(text(s, "id") + "|" + text(s, "name") + "|" + text(s, "status"));
         ASSERT_EQ(expected.size(), 4u);
         std::vector<std::string> listed;
         for (auto const& line : listing.out_lines)
           if (line.find('|') != std::string::npos) listed.push_back(line);
         EXPECT_EQ(listed, expected);
       }},
      // What nova and cinder send as null: a server without a host, volumes
      // of no type and no description. The restore sends them back as null.
      {"null_members", kDb,
       [](Context& c) {
         c.h.cloud().set_object("servers", c.vm.id,
                                {{"host", nullptr}, {"hypervisor_hostname", nullptr}, {"instance_name", nullptr}});
         for (auto const& id : c.vm.volume_ids)
           c.h.cloud().set_object("volumes", id, {{"volume_type", nullptr}, {"description", nullptr}});
       },
       0,
       [](Context& c) {
         auto const creates = c.restore_requests("POST", ".*/volumes");
         ASSERT_EQ(creates.size(), 2u);
         for (auto const& e : creates) {
           boost::json::value const body = boost::json::parse(e.at("body").as_string());
           EXPECT_TRUE(body.at("volume").at("volume_type").is_null()) << e.at("body").as_string();
           EXPECT_TRUE(body.at("volume").at("description").is_null()) << e.at("body").as_string();
         }
         for (auto const& id : c.restored_volumes)
           EXPECT_EQ(text(c.h.object("volumes", id), "volume_type"), "__DEFAULT__") << "the cloud's default";
       }},
      // The server list and the saved description hold the same characters:
      // the original, which still exists, is found, so the copy is name_2.
      {"name_with_quote_backslash_newline_and_letters", VmSpec(kOddName, kDb.volumes), [](Context&) {}, 0,
       [](Context& c) {
         auto const made = c.restore_requests("POST", "/nova-api/v2/servers");
         ASSERT_EQ(made.size(), 1u);
         boost::json::value const body = boost::json::parse(made[0].at("body").as_string());
         EXPECT_EQ(body.at("server").at("name").as_string(), kOddName + "_2");
         std::size_t originals = 0;
         boost::json::object const inventory = c.h.inventory();
         for (auto const& s : inventory.at("servers").as_array()) originals += text(s, "name") == kOddName;
         EXPECT_EQ(originals, 1u);
       }},
      // Line breaks and control characters in the name are written escaped:
      // every result line the client reads is the module's own, once.
      {"name_that_forges_result_lines", VmSpec(kForgedName, kDb.volumes), [](Context&) {}, 0,
       [](Context& c) {
         // Each run prints each of its result lines once, as the module
         // writes it (a process id: digits), the other prefixes not at all.
         std::string const snap = c.h.task_dir() + "/db-full.snap";
         std::map<std::string, std::string> const backup_lines = {
             {"MODULE PID:", ""},
             {"KSFD PID: ", ""},
             {"MAIN ARCHIVE FILENAME:", snap},
             {"MAIN SNAPSHOT FILENAME:", snap},
             {"MAIN ARCHIVE SIGN FILENAME:", c.h.task_dir() + "/db-full.signature"},
         };
         std::map<std::string, std::string> const restore_lines = {{"MODULE PID:", ""}, {"KSFD PID: ", ""}};
         for (auto const& [run, expected] : {std::make_pair(&c.backup_run, &backup_lines),
                                             std::make_pair(&c.restore_run, &restore_lines)})
           for (std::string const prefix : kResultPrefixes) {
             std::vector<std::string> const found = lines_starting(run->out, prefix);
             auto const line = expected->find(prefix);
             if (line == expected->end()) {
               EXPECT_TRUE(found.empty()) << prefix << " in\n" << run->out;
               continue;
             }
             ASSERT_EQ(found.size(), 1u) << prefix << " in\n" << run->out;
             std::string const rest = found[0].substr(prefix.size());
             if (line->second.empty())
               EXPECT_TRUE(!rest.empty() && rest.find_first_not_of("0123456789") == std::string::npos) << found[0];
             else
               EXPECT_EQ(rest, line->second);
           }
         // In the log every line is the start of a message or the module's
         // own continuation, never a piece of the name.
         std::string const log = c.h.log_text();
         std::regex const colour("^\x1b\\[[0-9;]*m");
         for (auto const& line : lines_of(log)) {
           std::string const bare = std::regex_replace(line, colour, "");
           for (auto const* prefix : kResultPrefixes)
             EXPECT_NE(bare.compare(0, std::strlen(prefix), prefix), 0) << line;
         }
         std::string const escaped =
             "db\\nMAIN SNAPSHOT FILENAME:/etc/shadow\\nMAIN ARCHIVE FILENAME:/etc/passwd\\rMODULE PID:1\\x1b[2K\\n";
         EXPECT_NE(log.find(escaped), std::string::npos) << "the name is still logged, escaped: " << log;
       }},
  };
  return all;
}

void PrintTo(Row const& row, std::ostream* out) { *out << row.name; }

class RealServices : public ::testing::TestWithParam<Row> {};

TEST_P(RealServices, BackupAndRestore) {
  Row const& row = GetParam();
  Harness h;
  h.cloud().set_polls(quick_polls());
  kstest::TempDir store;
  BackupClient client(h, store.str());
  Context c{h, h.make_vm(row.vm), std::to_string(h.cloud().port()), {}, "", {}, 0, {}, {}};
  for (auto const& id : c.vm.volume_ids) c.bytes.push_back(h.read_volume(id));
  row.before_backup(c);
  CloudObjects const before = cloud_objects(h.inventory());

  ClientRun const backup = client.backup(c.vm.id, "db-full");
  c.backup_run = backup.result;
  ASSERT_EQ(backup.result.status, row.backup_exit) << backup.command_line() << "\n" << backup.result.out << h.log_text();
  if (row.backup_exit != 0) {
    EXPECT_EQ(cloud_objects(h.inventory()), before) << difference(before, cloud_objects(h.inventory()));
    row.check(c);
    return;
  }

  c.restore_log = static_cast<int>(h.request_log().size());
  ClientRun const restore = client.restore("db-full");
  c.restore_run = restore.result;
  ASSERT_EQ(restore.result.status, 0) << restore.command_line() << "\n" << restore.result.out << h.log_text();
  boost::json::object const inventory = h.inventory();
  for (auto const& s : inventory.at("servers").as_array())
    if (!before.servers.count(text(s, "id"))) {
      EXPECT_TRUE(c.restored_id.empty()) << "a second new server";
      c.restored_id = text(s, "id");
      for (auto const& v : s.at("volumes").as_array()) c.restored_volumes.emplace_back(v.as_string());
    }
  ASSERT_FALSE(c.restored_id.empty()) << h.log_text();
  boost::json::value const server = h.object("servers", c.restored_id);
  EXPECT_EQ(text(server, "status"), "ACTIVE");
  EXPECT_EQ(text(server, "name"), row.vm.name + "_2") << "the original still has its name";
  ASSERT_EQ(c.restored_volumes.size(), c.vm.volume_ids.size());
  EXPECT_TRUE(h.object("volumes", c.restored_volumes[0]).at("bootable").as_bool());
  for (std::size_t i = 0; i < c.bytes.size(); ++i)
    EXPECT_TRUE(h.read_volume(c.restored_volumes[i]) == c.bytes[i]) << "volume " << i << " differs from its backup";
  EXPECT_TRUE(h.block_devices().empty());
  EXPECT_TRUE(cloud_objects(h.inventory()).snapshots.empty());
  row.check(c);
}

INSTANTIATE_TEST_SUITE_P(Rows, RealServices, ::testing::ValuesIn(rows()),
                         [](::testing::TestParamInfo<Row> const& info) { return std::string(info.param.name); });

}  // namespace
