// The report of what a clean-up left in the cloud, against the stand-in
// cloud: each snapshot and volume asked for once, the ones still there named
// and kept in their lists, the ones gone forgotten.
#include "rustack/leftovers.h"

#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ops_cloud.h"
#include "rustack/curl_api.h"

namespace {

namespace sc = kstest::standard_cloud;

char const* const kSig = "void f()";

class Leftovers : public kstest::OpsCloudTest {
 protected:
  void SetUp() override {
    KS_REQUIRE_SANDBOX();
    OpsCloudTest::SetUp();
  }

  static std::string snapshot_of_web_data(char const* status) {
    return add("snapshots", std::string(R"({"volume_id": ")") + sc::web_data + R"(", "status": ")" + status + "\"}");
  }
};

TEST_F(Leftovers, NamesWhatIsStillThereAndForgetsWhatIsGone) {
  std::string const volume = add("volumes", R"({"size": 1})");
  std::string const snapshot = snapshot_of_web_data("available");
  std::vector<std::string> snapshots{snapshot, "no-such-snapshot"};
  std::set<std::string> volumes{volume, "no-such-volume"};
  curlAPI api(settings);

  EXPECT_FALSE(rustack_cleanup::report_leftovers(api, sc::project, snapshots, volumes, kSig));
  EXPECT_EQ(snapshots, std::vector<std::string>{snapshot});
  EXPECT_EQ(volumes, std::set<std::string>{volume});
  std::string const where = std::string("' of project '") + sc::project + "' is left behind in the state available";
  EXPECT_TRUE(log.contains(std::string(kSig) + ": snapshot '" + snapshot + where)) << log.text();
  EXPECT_TRUE(log.contains(std::string(kSig) + ": volume '" + volume + where)) << log.text();
  EXPECT_FALSE(log.contains("no-such")) << log.text();

  // Once they are gone, nothing is left to name.
  ASSERT_EQ(api.delete_volume(sc::project, volume), 0);
  ASSERT_EQ(api.delete_snapshot(sc::project, snapshot), 0);
  EXPECT_TRUE(rustack_cleanup::report_leftovers(api, sc::project, snapshots, volumes, kSig));
  EXPECT_TRUE(snapshots.empty());
  EXPECT_TRUE(volumes.empty());
}

// A volume still attached names the server it is attached to; its id is
// one line whatever it holds.
TEST_F(Leftovers, NamesTheServerALeftVolumeIsAttachedTo) {
  curlAPI api(settings);
  std::string const volume = add("volumes", R"({"size": 1})");
  std::string device;
  ASSERT_EQ(api.attach_volume(sc::kestrova_vm, volume, device), 0) << log.text();
  std::string status;
  ASSERT_EQ(api.get_volume_status(sc::project, volume, status), 0);  // attaching, in use from the next read
  std::vector<std::string> snapshots;
  std::set<std::string> volumes{volume};
  EXPECT_FALSE(rustack_cleanup::report_leftovers(api, sc::project, snapshots, volumes, kSig));
  EXPECT_TRUE(log.contains(std::string(kSig) + ": volume '" + volume + "' of project '" + sc::project +
                           "' is left behind in the state in-use, attached to server '" + sc::kestrova_vm + "'"))
      << log.text();

  rustack_cleanup::log_left_behind(sc::project, {"s\xe2\x80\xa8MAIN"}, {"v\nMAIN SNAPSHOT FILENAME:/forged"}, kSig,
                                   " (no login)");
  EXPECT_TRUE(log.contains(std::string(kSig) + ": snapshot 's\\xe2\\x80\\xa8MAIN' of project '")) << log.text();
  EXPECT_TRUE(log.contains(std::string(kSig) + ": volume 'v\\nMAIN SNAPSHOT FILENAME:/forged' of project '"))
      << log.text();
  EXPECT_FALSE(log.contains("\nMAIN")) << log.text();
}

// An id that reads as a path ("../volumes/<id>") is asked for as one path
// segment: it can never make another object answer for it.
TEST_F(Leftovers, AnOddIdIsLookedUpAsOneSegment) {
  std::string const volume = add("volumes", R"({"size": 1})");
  std::vector<std::string> snapshots{"../volumes/" + volume};
  std::set<std::string> volumes;
  curlAPI api(settings);
  cloud().clear_log();

  EXPECT_TRUE(rustack_cleanup::report_leftovers(api, sc::project, snapshots, volumes, kSig)) << log.text();
  auto const r = requests();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].path, cinder("/snapshots/..%2Fvolumes%2F" + volume));
  EXPECT_EQ(r[0].status, 404);
}

// The wait before a clean-up: it lasts while a snapshot is still being
// made, and not at all when nothing is busy.
TEST_F(Leftovers, SettleWaitsWhileASnapshotIsBeingMade) {
  std::string const snapshot = snapshot_of_web_data("available");
  curlAPI api(settings);
  cloud().clear_log();
  rustack_cleanup::settle(api, sc::project, {snapshot}, {}, 5);
  EXPECT_EQ(requests().size(), 1u) << "one look, no wait";

  std::string const busy = snapshot_of_web_data("creating");
  cloud().clear_log();
  rustack_cleanup::settle(api, sc::project, {busy}, {}, 2);
  EXPECT_EQ(requests().size(), 3u) << "a look, then one a second up to the bound";
}

}  // namespace
