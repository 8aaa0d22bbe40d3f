// Finding what a create request made when its reply gave no id, against the
// stand-in cloud: the request's reply stripped of the id, late, or the
// request itself carried out late; objects that existed before the request
// (the original volume a restore copies, another run's snapshot) never
// taken; two new matches, a refused request and a list that cannot be read;
// lists read page by page, and a next link that leads elsewhere or round in
// a circle not followed; another process's object of the same values kept
// out by the create lock, and a match found without that lock never taken.
#include "rustack/create_lookup.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "ops_cloud.h"
#include "rustack/curl_api.h"

namespace {

namespace sc = kstest::standard_cloud;

char const* const kSig = "void f()";
std::chrono::milliseconds const kPause{1000};

class CreateLookup : public kstest::OpsCloudTest {
 protected:
  void SetUp() override {
    KS_REQUIRE_SANDBOX();
    OpsCloudTest::SetUp();
    cloud().set_polls({{"snapshot_create", 0}, {"volume_create", 0}});
    // As the module holds it: from before the listing to the end of the lookup.
    ASSERT_TRUE(lock.acquire(std::chrono::seconds(5), kSig, "the test's objects"));
  }

  volume record_of(std::string const& id) {
    curlAPI api(settings);
    volume v;
    EXPECT_EQ(api.get_volume_info(sc::project, id, v), 0);
    return v;
  }

  // The ids of the objects of a kind that are not among `before`.
  static std::vector<std::string> new_ids(char const* kind, std::vector<std::string> const& before) {
    std::vector<std::string> out;
    boost::json::object const inventory = cloud().inventory();
    for (auto const& o : inventory.at(kind).as_array()) {
      std::string const id(o.at("id").as_string());
      if (std::find(before.begin(), before.end(), id) == before.end()) out.push_back(id);
    }
    return out;
  }
  static std::vector<std::string> ids(char const* kind) { return new_ids(kind, {}); }

  static void options(std::string const& json) { cloud().control("POST", "options", json); }

  // A create of a snapshot of `source` for "copy1" whose reply lost its id:
  // `made` gets the one snapshot it made.
  void create_snapshot_without_id(curlAPI& api, volume const& source, std::vector<std::string>& made) {
    std::vector<std::string> const before = ids("snapshots");
    fault(R"({"method": "POST", "path": ".*/snapshots", "patch": {"snapshot": {"id": null}}})");
    std::string id;
    ASSERT_NE(api.create_snapshot(sc::project, "copy1", source, id), 0);
    made = new_ids("snapshots", before);
    ASSERT_EQ(made.size(), 1u);
  }

  // The list requests of a kind of object the services received, with their queries.
  static std::vector<std::string> list_queries(char const* kind) {
    std::vector<std::string> out;
    for (auto const& e : cloud().request_log())
      if (e.at("method").as_string() == "GET" && e.at("path").as_string() == cinder(std::string("/") + kind + "/detail"))
        out.emplace_back(e.at("query").as_string());
    return out;
  }

  rustack_lookup::create_lock lock;
};

struct FailedCreate {
  char const* what;
  char const* kind;   // "snapshots" or "volumes": what the request makes
  char const* fault;  // the rule on the create request
  int timeout = 10;   // the client's request time-out
  bool made = true;   // the cloud made the object
  int late = 0;       // seconds until a late request is carried out for sure
};

void PrintTo(FailedCreate const& c, std::ostream* out) { *out << c.what; }

class FindsWhatAFailedCreateMade : public CreateLookup, public ::testing::WithParamInterface<FailedCreate> {};

TEST_P(FindsWhatAFailedCreateMade, AndNothingElse) {
  FailedCreate const& c = GetParam();
  bool const snapshot = std::string(c.kind) == "snapshots";
  // A copy of the data volume from a snapshot of it, as a backup makes one.
  volume source = record_of(sc::web_data);
  std::string snapshot_id;
  if (!snapshot) {
    curlAPI api(settings);
    ASSERT_EQ(api.create_snapshot(sc::project, "copy1", source, snapshot_id), 0);
    std::string status;
    ASSERT_EQ(api.get_snapshot_status(sc::project, snapshot_id, status), 0);
  }
  std::vector<std::string> const before = ids(c.kind);
  fault(std::string(R"({"method": "POST", "path": ".*/)") + c.kind + "\", " + c.fault + "}");
  settings.timeout = c.timeout;

  curlAPI api(settings);
  rustack_lookup::made_object_search const search =
      snapshot ? rustack_lookup::snapshot_search(api, lock, sc::project, source, "copy1")
               : rustack_lookup::volume_search(api, lock, source, snapshot_id);
  std::string id;
  int const rc = snapshot ? api.create_snapshot(sc::project, "copy1", source, id)
                          : api.create_volume(source, id, snapshot_id);
  ASSERT_NE(rc, 0);
  std::vector<std::string> const found = search.find_made(api, kSig, 3, kPause);
  std::this_thread::sleep_for(std::chrono::seconds(c.late));
  std::vector<std::string> const made = new_ids(c.kind, before);
  EXPECT_EQ(made.size(), c.made ? 1u : 0u);
  EXPECT_EQ(found, made) << log.text();
  EXPECT_FALSE(log.contains("Error: void f()")) << log.text();
}

INSTANTIATE_TEST_SUITE_P(
    CreateLookup, FindsWhatAFailedCreateMade,
    ::testing::Values(FailedCreate{"snapshot_reply_without_id", "snapshots", R"("patch": {"snapshot": {"id": null}})"},
                      FailedCreate{"snapshot_reply_too_late", "snapshots", R"("delay_reply": 3)", 1, true, 2},
                      // Still carried out after the client gave up: found at a later look.
                      FailedCreate{"snapshot_request_carried_out_late", "snapshots", R"("delay": 2.5)", 1, true, 1},
                      FailedCreate{"snapshot_refused_by_a_server_error", "snapshots", R"("status": 500)", 10, false},
                      FailedCreate{"copy_reply_without_id", "volumes", R"("patch": {"volume": {"id": null}})"},
                      FailedCreate{"copy_connection_dropped", "volumes", R"("drop": true)", 10, false}),
    [](auto const& info) { return std::string(info.param.what); });

// A restore's volume has the name, description and size of the original:
// the original is never taken, even when it is in a state a create gives.
TEST_F(CreateLookup, TheOriginalOfARestoredVolumeIsNeverTaken) {
  cloud().set_object("volumes", sc::web_data, {{"status", "available"}});
  volume const original = record_of(sc::web_data);
  std::vector<std::string> const before = ids("volumes");
  fault(R"({"method": "POST", "path": ".*/volumes", "patch": {"volume": {"id": null}}})");
  curlAPI api(settings);
  auto const search = rustack_lookup::volume_search(api, lock, original, "");
  std::string id;
  ASSERT_NE(api.create_volume(original, id, ""), 0);
  std::vector<std::string> const made = new_ids("volumes", before);
  ASSERT_EQ(made.size(), 1u);
  EXPECT_EQ(search.find_made(api, kSig, 3, kPause), made);
  EXPECT_TRUE(log.contains("Found the volume named 'web-data' that the failed request made: '" + made[0] + "'"))
      << log.text();
}

// Another run made a snapshot of the same volume for a copy of the same
// name while the request was out: the two cannot be told apart, neither is
// taken, both are named.
TEST_F(CreateLookup, TwoNewMatchesAreNamedAndNeitherIsTaken) {
  volume const source = record_of(sc::web_data);
  curlAPI api(settings);
  auto const search = rustack_lookup::snapshot_search(api, lock, sc::project, source, "copy1");
  std::vector<std::string> const before = ids("snapshots");
  std::string first, second;
  ASSERT_EQ(api.create_snapshot(sc::project, "copy1", source, first), 0);
  ASSERT_EQ(api.create_snapshot(sc::project, "copy1", source, second), 0);
  EXPECT_TRUE(search.find_made(api, kSig, 3, kPause).empty());
  EXPECT_TRUE(log.contains("Error: void f(): 2 new objects match the snapshot named 'snapshot-web-data' of volume '" +
                           std::string(sc::web_data) + "' of the failed request ("))
      << log.text();
  EXPECT_TRUE(log.contains("'" + first + "'")) << log.text();
  EXPECT_TRUE(log.contains("'" + second + "'")) << log.text();
}

// One made before the search was armed is no candidate; one of another
// copy name, or of another volume, does not match.
TEST_F(CreateLookup, OnlyANewObjectWithEverySentValueMatches) {
  volume const source = record_of(sc::web_data);
  curlAPI api(settings);
  std::string earlier, other_copy, other_volume, made;
  ASSERT_EQ(api.create_snapshot(sc::project, "copy1", source, earlier), 0);
  auto const search = rustack_lookup::snapshot_search(api, lock, sc::project, source, "copy1");
  ASSERT_EQ(api.create_snapshot(sc::project, "copy2", source, other_copy), 0);
  volume renamed = record_of(sc::web_root);
  renamed.name = source.name;  // same snapshot name, another volume
  cloud().set_object("volumes", sc::web_root, {{"name", "web-data"}});
  ASSERT_EQ(api.create_snapshot(sc::project, "copy1", renamed, other_volume), 0);
  ASSERT_EQ(api.create_snapshot(sc::project, "copy1", source, made), 0);
  EXPECT_EQ(search.find_made(api, kSig, 1, kPause), std::vector<std::string>{made});
}

// The cloud refused the request: nothing was made, nothing is asked for.
TEST_F(CreateLookup, ARefusedRequestIsNotLookedInto) {
  volume const source = record_of(sc::web_data);
  fault(R"({"method": "POST", "path": ".*/snapshots", "status": 400})");
  curlAPI api(settings);
  auto const search = rustack_lookup::snapshot_search(api, lock, sc::project, source, "copy1");
  std::string id;
  ASSERT_NE(api.create_snapshot(sc::project, "copy1", source, id), 0);
  cloud().clear_log();
  EXPECT_TRUE(search.find_made(api, kSig, 3, kPause).empty());
  EXPECT_TRUE(requests().empty());
}

// Without the list of what existed before, a new object cannot be told from
// an old one: nothing is taken and the log says what may be left.
TEST_F(CreateLookup, WithoutTheListBeforeNothingIsTakenAndThatIsSaid) {
  volume const source = record_of(sc::web_data);
  fault(R"({"method": "GET", "path": ".*/snapshots/detail", "status": 500})");
  fault(R"({"method": "POST", "path": ".*/snapshots", "patch": {"snapshot": {"id": null}}})");
  curlAPI api(settings);
  auto const search = rustack_lookup::snapshot_search(api, lock, sc::project, source, "copy1");
  std::string id;
  ASSERT_NE(api.create_snapshot(sc::project, "copy1", source, id), 0);
  EXPECT_TRUE(search.find_made(api, kSig, 3, kPause).empty());
  EXPECT_TRUE(log.contains("Error: void f(): a snapshot named 'snapshot-web-data' of volume '" +
                           std::string(sc::web_data) + "' that the failed request may have made cannot be looked for"))
      << log.text();
}

// The values go into the query percent-encoded and the service compares
// them whole.
TEST_F(CreateLookup, NamesWithReservedCharactersAreSentEncoded) {
  cloud().set_object("volumes", sc::web_data, {{"name", "data & logs/1?x=y"}});
  volume const source = record_of(sc::web_data);
  curlAPI api(settings);
  cloud().clear_log();
  auto const search = rustack_lookup::snapshot_search(api, lock, sc::project, source, "copy1");
  boost::json::array log_entries;
  for (auto const& e : cloud().request_log())
    if (e.at("service").as_string() == "volume") log_entries.push_back(e);
  ASSERT_EQ(log_entries.size(), 1u);
  EXPECT_EQ(log_entries[0].at("path").as_string(), cinder("/snapshots/detail"));
  EXPECT_EQ(log_entries[0].at("query").as_string(),
            "name=snapshot-data%20%26%20logs%2F1%3Fx%3Dy&volume_id=" + std::string(sc::web_data));
  EXPECT_EQ(log_entries[0].at("status").as_int64(), 200);
  std::string made;
  ASSERT_EQ(api.create_snapshot(sc::project, "copy1", source, made), 0);
  EXPECT_EQ(search.find_made(api, kSig, 1, kPause), std::vector<std::string>{made});
}

// A server of the chosen name that the list it was chosen from did not hold.
TEST_F(CreateLookup, AServerOfTheChosenNameIsTheOneMade) {
  curlAPI api(settings);
  std::vector<rustack_vm_info> servers;
  ASSERT_EQ(api.get_server_list(servers), 0);
  auto const search = rustack_lookup::server_search(lock, "web_2", servers);
  add("servers", R"({"name": "web_2", "status": "BUILD"})");
  add("servers", R"({"name": "web_3"})");
  auto const found = search.find_made(api, kSig, 1, kPause);
  ASSERT_EQ(found.size(), 1u);
  std::vector<rustack_vm_info> now;
  ASSERT_EQ(api.get_server_list(now), 0);
  std::string name;
  for (auto const& s : now)
    if (s.id == found[0]) name = s.name;
  EXPECT_EQ(name, "web_2");
}

// The objects of a kind the tests add: one that matches what the request
// sends, and one that differs from it only in its description or size.
std::string matching_entry(bool snapshot) {
  return snapshot ? R"({"volume_id": ")" + std::string(sc::web_data) +
                        R"(", "name": "snapshot-web-data", "description": "copy1"})"
                  : R"({"name": "web-data", "size": 2})";
}
std::string other_entry(bool snapshot) {
  return snapshot ? R"({"volume_id": ")" + std::string(sc::web_data) +
                        R"(", "name": "snapshot-web-data", "description": "copy2"})"
                  : R"({"name": "web-data", "size": 3})";
}

// Lists are read whole, two objects to a page (newest first): the object
// that existed before stands on the second page, the new one on the second
// too once newer objects came after it. Read a page only, the search would
// take the old one as new, or miss the new one.
class ReadsEveryPage : public CreateLookup, public ::testing::WithParamInterface<char const*> {};

TEST_P(ReadsEveryPage, ToTellTheNewObjectFromTheOld) {
  char const* const kind = GetParam();
  bool const snapshot = std::string(kind) == "snapshots";
  volume const source = record_of(sc::web_data);
  add(kind, matching_entry(snapshot));
  add(kind, other_entry(snapshot));
  add(kind, other_entry(snapshot));
  options(R"({"volume_page_limit": 2})");
  curlAPI api(settings);
  auto const search = snapshot ? rustack_lookup::snapshot_search(api, lock, sc::project, source, "copy1")
                               : rustack_lookup::volume_search(api, lock, source, "");
  std::vector<std::string> const before = ids(kind);
  fault(std::string(R"({"method": "POST", "path": ".*/)") + kind + R"(", "patch": {")" +
        (snapshot ? "snapshot" : "volume") + R"(": {"id": null}}})");
  std::string id;
  ASSERT_NE(snapshot ? api.create_snapshot(sc::project, "copy1", source, id) : api.create_volume(source, id, ""), 0);
  std::vector<std::string> const made = new_ids(kind, before);
  ASSERT_EQ(made.size(), 1u);
  add(kind, other_entry(snapshot));
  add(kind, other_entry(snapshot));
  EXPECT_EQ(search.find_made(api, kSig, 1, kPause), made) << log.text();
  std::vector<std::string> const queries = list_queries(kind);
  EXPECT_TRUE(std::any_of(queries.begin(), queries.end(),
                          [](std::string const& q) { return q.find("marker=") != std::string::npos; }))
      << "no second page was asked for";
}

INSTANTIATE_TEST_SUITE_P(CreateLookup, ReadsEveryPage, ::testing::Values("snapshots", "volumes"),
                         [](auto const& info) { return std::string(info.param); });

// A "next" link is followed only when it names the same list at the address
// the module was configured with: the token goes nowhere else. Refused, the
// list counts as unread, and so nothing is taken.
struct NextLink {
  char const* what;
  char const* prefix;  // the block-storage address of the links; "" the stand-in's own
  bool followed;
};

void PrintTo(NextLink const& c, std::ostream* out) { *out << c.what; }

class NextLinks : public CreateLookup, public ::testing::WithParamInterface<NextLink> {};

TEST_P(NextLinks, AreFollowedOnlyOnTheConfiguredAddress) {
  NextLink const& c = GetParam();
  volume const source = record_of(sc::web_data);
  add("snapshots", matching_entry(true));
  options(R"({"volume_page_limit": 1, "volume_link_prefix": ")" + std::string(c.prefix) + "\"}");
  curlAPI api(settings);
  auto const search = rustack_lookup::snapshot_search(api, lock, sc::project, source, "copy1");
  std::vector<std::string> made;
  ASSERT_NO_FATAL_FAILURE(create_snapshot_without_id(api, source, made));
  std::vector<std::string> const found = search.find_made(api, kSig, 1, kPause);
  if (c.followed) {
    EXPECT_EQ(found, made) << log.text();
    EXPECT_FALSE(log.contains("Warning: ")) << log.text();
    return;
  }
  EXPECT_TRUE(found.empty());
  EXPECT_TRUE(log.contains("Warning: The cloud's list of snapshots links its next page at '")) << log.text();
  EXPECT_TRUE(log.contains("Error: void f(): a snapshot named 'snapshot-web-data' of volume '" +
                           std::string(sc::web_data) + "' that the failed request may have made cannot be looked for"))
      << log.text();
  // Only the first page was asked for, at the configured address.
  EXPECT_EQ(list_queries("snapshots").size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    CreateLookup, NextLinks,
    ::testing::Values(NextLink{"the_configured_address", "", true},
                      NextLink{"the_configured_address_written_otherwise", "HTTP://127.0.0.1:@PORT@/cinder/", true},
                      NextLink{"another_host", "http://cinder.internal.invalid:8776", false},
                      NextLink{"another_port", "http://127.0.0.1:1/cinder", false},
                      NextLink{"another_scheme", "https://127.0.0.1:@PORT@/cinder", false},
                      NextLink{"user_information", "http://user@127.0.0.1:@PORT@/cinder", false},
                      NextLink{"another_path", "http://127.0.0.1:@PORT@/cinder/elsewhere", false}),
    [](auto const& info) { return std::string(info.param.what); });

// A list that links a page it has given, or goes on for ever, is not read
// whole: nothing is taken, and the log says why.
TEST_F(CreateLookup, ALinkBackToAPageGivenIsNotFollowed) {
  volume const source = record_of(sc::web_data);
  std::string const first_page = cloud().base_url() + cinder("/snapshots/detail") +
                                 "?name=snapshot-web-data&volume_id=" + sc::web_data;
  fault(R"({"method": "GET", "path": ".*/snapshots/detail", "times": 0, "patch": {"snapshots_links": [{"rel": "next", "href": ")" +
        first_page + R"("}]}})");
  curlAPI api(settings);
  auto const search = rustack_lookup::snapshot_search(api, lock, sc::project, source, "copy1");
  EXPECT_TRUE(log.contains("Warning: The cloud's list of snapshots links a page it has given before: 'name=snapshot-web-data&volume_id=" +
                           std::string(sc::web_data) + "'"))
      << log.text();
  EXPECT_EQ(list_queries("snapshots").size(), 1u);
}

TEST_F(CreateLookup, AListOfMorePagesThanAreReadIsNotTaken) {
  volume const source = record_of(sc::web_data);
  for (int i = 0; i <= rustack_lookup::kMaxListPages; ++i) add("snapshots", matching_entry(true));
  options(R"({"volume_page_limit": 1})");
  curlAPI api(settings);
  auto const search = rustack_lookup::snapshot_search(api, lock, sc::project, source, "copy1");
  EXPECT_TRUE(log.contains("Warning: The cloud's list of snapshots goes on after " +
                           std::to_string(rustack_lookup::kMaxListPages) + " pages"))
      << log.text();
  EXPECT_EQ(list_queries("snapshots").size(), static_cast<std::size_t>(rustack_lookup::kMaxListPages));
  fault(R"({"method": "POST", "path": ".*/snapshots", "patch": {"snapshot": {"id": null}}})");
  std::string id;
  ASSERT_NE(api.create_snapshot(sc::project, "copy1", source, id), 0);
  EXPECT_TRUE(search.find_made(api, kSig, 1, kPause).empty());
}

// Another module process that makes an object of the same values (a second
// restore of the same server) waits for the create lock, so it lists and
// creates only after this process's lookup has ended: the lookup finds this
// request's object alone. Without the lock both would be new matches.
TEST_F(CreateLookup, AnotherProcessMakesItsObjectOnlyAfterTheLookup) {
  volume const source = record_of(sc::web_data);
  int go[2];
  ASSERT_EQ(pipe(go), 0);
  pid_t const other = fork();
  if (other == 0) {
    close(go[1]);
    char c = 0;
    if (read(go[0], &c, 1) != 1) _exit(2);
    rustack_lookup::create_lock its_lock;
    if (!its_lock.acquire(std::chrono::seconds(60), "other", "a snapshot")) _exit(3);
    curlAPI its_api(settings);
    std::string id;
    _exit(its_api.create_snapshot(sc::project, "copy1", source, id) == 0 ? 0 : 4);
  }
  close(go[0]);
  struct reaped {
    pid_t pid;
    int status = -1;
    int wait() {
      if (pid > 0) waitpid(pid, &status, 0);
      pid = -1;
      return status;
    }
    ~reaped() {
      if (pid > 0) kill(pid, SIGKILL);
      wait();
    }
  } child{other};

  curlAPI api(settings);
  auto const search = rustack_lookup::snapshot_search(api, lock, sc::project, source, "copy1");
  std::vector<std::string> const before = ids("snapshots");
  fault(R"({"method": "POST", "path": ".*/snapshots", "patch": {"snapshot": {"id": null}}})");
  ASSERT_EQ(write(go[1], "g", 1), 1);
  close(go[1]);
  std::string id;
  ASSERT_NE(api.create_snapshot(sc::project, "copy1", source, id), 0);
  std::vector<std::string> const made = new_ids("snapshots", before);
  ASSERT_EQ(made.size(), 1u);
  // Time enough for the other process's request, as a slow reply would give.
  std::this_thread::sleep_for(std::chrono::seconds(1));
  EXPECT_EQ(search.find_made(api, kSig, 3, kPause), made) << log.text();
  // The other process is still waiting.
  EXPECT_EQ(new_ids("snapshots", before), made);
  lock.release();
  int const status = child.wait();
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(new_ids("snapshots", before).size(), 2u);
  EXPECT_TRUE(log.contains("Info: Waiting while another module process creates an object in the cloud ..."))
      << log.text();
}

// An object found without the lock held from the listing on may be another
// module process's: it is named at Error and never taken.
TEST_F(CreateLookup, WithoutTheLockANewMatchIsNamedAndLeft) {
  lock.release();
  volume const source = record_of(sc::web_data);
  curlAPI api(settings);
  auto const search = rustack_lookup::snapshot_search(api, lock, sc::project, source, "copy1");
  std::vector<std::string> made;
  ASSERT_NO_FATAL_FAILURE(create_snapshot_without_id(api, source, made));
  EXPECT_TRUE(search.find_made(api, kSig, 3, kPause).empty());
  EXPECT_TRUE(log.contains("Error: void f(): 1 new object(s) match the snapshot named 'snapshot-web-data' of volume '" +
                           std::string(sc::web_data) + "' of the failed request ('" + made[0] +
                           "'), but another module process may have made them"))
      << log.text();
}

// A match whose id could forge a log line or leave its delete request is
// never taken, and the log gives it escaped, on one line.
TEST_F(CreateLookup, AMatchWhoseIdIsNoPlainTokenIsNotTaken) {
  volume const source = record_of(sc::web_data);
  curlAPI api(settings);
  auto const search = rustack_lookup::volume_search(api, lock, source, "");
  fault(R"({"method": "POST", "path": ".*/volumes", "status": 500})");
  std::string id;
  ASSERT_NE(api.create_volume(source, id, ""), 0);
  add("volumes", R"({"id": "v1\nMAIN SNAPSHOT FILENAME:/forged", "name": "web-data", "size": 2})");
  EXPECT_TRUE(search.find_made(api, kSig, 1, kPause).empty());
  EXPECT_TRUE(log.contains("holds a match whose id is not a plain id: \"v1\\nMAIN SNAPSHOT FILENAME:/forged\""))
      << log.text();
  EXPECT_FALSE(log.contains("\nMAIN SNAPSHOT")) << log.text();
}

TEST(QueryValue, EncodesAllButTheUnreservedBytes) {
  EXPECT_EQ(rustack_lookup::query_value("aZ09-._~"), "aZ09-._~");
  EXPECT_EQ(rustack_lookup::query_value("a b+c&d=e/f?g#h%"), "a%20b%2Bc%26d%3De%2Ff%3Fg%23h%25");
  EXPECT_EQ(rustack_lookup::query_value("\xd0\xb8"), "%D0%B8");
}

}  // namespace
