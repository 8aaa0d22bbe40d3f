// Clean-up requests tried again: a refused detach or delete, or a refused
// login, gets more tries before anything is named as left behind; one that
// the cloud keeps refusing ends after its tries with the object named.
#include "rustack/cleanup_retry.h"

#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ops_cloud.h"
#include "rustack/curl_api.h"

namespace {

namespace sc = kstest::standard_cloud;

char const* const kSig = "void f()";
rustack_cleanup::retry_policy const kQuick{3, std::chrono::milliseconds(0)};

TEST(WithRetries, StopsAtTheFirstSuccessOrAfterTheTries) {
  struct Case {
    int fails_first;  // calls that fail before one succeeds
    int calls;
    bool result;
  } const cases[] = {{0, 1, true}, {2, 3, true}, {3, 3, false}, {10, 3, false}};
  for (auto const& c : cases) {
    int calls = 0;
    bool const ok = rustack_cleanup::with_retries(kQuick, [&] { return ++calls > c.fails_first; });
    EXPECT_EQ(calls, c.calls) << c.fails_first;
    EXPECT_EQ(ok, c.result) << c.fails_first;
  }
  // The pause stands between two tries, not after the last.
  auto const start = std::chrono::steady_clock::now();
  rustack_cleanup::with_retries({2, std::chrono::milliseconds(300)}, [] { return false; });
  auto const took = std::chrono::steady_clock::now() - start;
  EXPECT_GE(took, std::chrono::milliseconds(300));
  EXPECT_LT(took, std::chrono::milliseconds(600));
}

class RemoveObjects : public kstest::OpsCloudTest {
 protected:
  void SetUp() override {
    KS_REQUIRE_SANDBOX();
    OpsCloudTest::SetUp();
    cloud().set_polls({{"volume_attach", 0}, {"volume_detach", 0}});
  }

  // A copy attached to the Kestrova VM and a snapshot, as a backup leaves them.
  void make_backup_objects(curlAPI& api) {
    volume_ = add("volumes", R"({"size": 1})");
    snapshot_ = add("snapshots", std::string(R"({"volume_id": ")") + sc::web_data + "\"}");
    std::string device;
    ASSERT_EQ(api.attach_volume(sc::kestrova_vm, volume_, device), 0);
  }

  int deletes_of(std::string const& id) {
    int n = 0;
    for (auto const& r : requests())
      if (r.method == "DELETE" && r.path.find(id) != std::string::npos && r.path.find("attachments") == std::string::npos)
        ++n;
    return n;
  }

  std::string volume_, snapshot_;
};

struct Refusal {
  char const* what;
  char const* rule;    // with %V for the volume id
  bool volume_left;    // the cloud refuses for good
  int volume_deletes;  // delete requests of the volume
};

void PrintTo(Refusal const& r, std::ostream* out) { *out << r.what; }

class RefusedRequest : public RemoveObjects, public ::testing::WithParamInterface<Refusal> {};

TEST_P(RefusedRequest, IsTriedAgainBeforeTheObjectIsNamed) {
  Refusal const& c = GetParam();
  curlAPI api(settings);
  make_backup_objects(api);
  std::string rule = c.rule;
  rule.replace(rule.find("%V"), 2, volume_);
  fault(rule);
  cloud().clear_log();
  std::vector<std::string> snapshots{snapshot_};
  std::set<std::string> volumes{volume_};
  bool const clean =
      rustack_cleanup::remove_objects(api, sc::project, snapshots, volumes, sc::kestrova_vm, 5, kSig, kQuick);
  EXPECT_EQ(clean, !c.volume_left);
  EXPECT_EQ(volumes.empty(), !c.volume_left);
  EXPECT_TRUE(snapshots.empty());
  EXPECT_EQ(status_of("snapshots", snapshot_), "<gone>");
  EXPECT_EQ(status_of("volumes", volume_) == "<gone>", !c.volume_left);
  EXPECT_EQ(deletes_of(volume_), c.volume_deletes);
  EXPECT_EQ(log.contains("Error: void f(): volume '" + volume_ + "' of project '" + sc::project + "' is left behind"),
            c.volume_left)
      << log.text();
}

INSTANTIATE_TEST_SUITE_P(
    RemoveObjects, RefusedRequest,
    ::testing::Values(
        Refusal{"one_refused_delete", R"({"method": "DELETE", "path": ".*/volumes/%V", "status": 500})", false, 2},
        // The detach refused: the volume stays attached and its delete fails too.
        Refusal{"one_refused_detach", R"({"method": "DELETE", "path": ".*/os-volume_attachments/%V", "status": 500})",
                false, 2},
        Refusal{"one_failed_wait_for_available", R"({"method": "GET", "path": ".*/volumes/%V", "nth": 2, "status": 500})",
                false, 2},
        Refusal{"deletes_refused_for_good",
                R"({"method": "DELETE", "path": ".*/volumes/%V", "times": 0, "status": 500})", true, 3}),
    [](auto const& info) { return std::string(info.param.what); });

}  // namespace
