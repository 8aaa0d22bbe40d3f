// The restore's decisions that need no cloud: the network table, the free
// server name, image names, the dd command run for real by the shell, the
// boot volume and the order of the other volumes.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/test_util.h"
#include "log_capture.h"
#include "rustack/restore_path.h"
#include "support/utils/ks_utils_common.h"

namespace {

namespace fs = boost::filesystem;

char const* const kNetA = "1b4e28ba-2fa1-41d2-883f-0016d3cca427";
char const* const kNetB = "6fa459ea-ee8a-4ca4-894e-db77e160355e";
char const* const kOther = "9c5b94b1-35ad-49bb-b118-8e8fc24abf80";

std::vector<network> networks(int count) {
  std::vector<network> list;
  if (count > 0) list.push_back({kNetA, "private"});
  if (count > 1) list.push_back({kNetB, "public"});
  return list;
}

struct NetworkCase {
  char const* what;
  int networks;
  std::string given;
  bool allowed;
  std::string reason;
};

class NetworkChoice : public ::testing::TestWithParam<NetworkCase> {};

TEST_P(NetworkChoice, FollowsTheTable) {
  NetworkCase const& c = GetParam();
  std::string reason;
  EXPECT_EQ(rustack_restore::check_network_choice(networks(c.networks), c.given, reason), c.allowed);
  EXPECT_EQ(reason, c.reason);
}

std::string const kBoth = std::string("private(") + kNetA + "), public(" + kNetB + ")";

INSTANTIATE_TEST_SUITE_P(
    Restore, NetworkChoice,
    ::testing::Values(
        NetworkCase{"none_given_no_network", 0, "", true, ""},
        NetworkCase{"none_given_one_network", 1, "", true, ""},
        NetworkCase{"none_given_two_networks", 2, "", false,
                    ": a network wasn't specified in restore parameters but there are 2 networks aiavalable: " +
                        kBoth},
        NetworkCase{"given_no_network", 0, kNetA, false, ": no networks are available on current RUSTACK cloud"},
        NetworkCase{"given_one_of_them", 2, kNetB, true, ""},
        NetworkCase{"given_unknown", 2, kOther, false,
                    std::string(": unable to find the specified network ") + kOther +
                        " among available networks: " + kBoth},
        NetworkCase{"given_not_a_uuid", 1, "abc", false,
                    ": invalid value of network_uuid parameter provided: 'abc'"},
        NetworkCase{"given_with_a_quote", 1, "a'b", false,
                    ": invalid value of network_uuid parameter provided: 'a\\'b'"}),
    [](auto const& info) { return std::string(info.param.what); });

struct NameCase {
  char const* what;
  std::vector<std::string> taken;
  std::string name;
  std::int32_t counter;
  std::string chosen;
  std::int32_t counter_after;
};

class FreeServerName : public ::testing::TestWithParam<NameCase> {};

TEST_P(FreeServerName, SkipsTakenNames) {
  NameCase const& c = GetParam();
  std::vector<rustack_vm_info> servers;
  for (auto const& n : c.taken) servers.push_back({"id-" + n, n, "ACTIVE"});
  std::int32_t counter = c.counter;
  EXPECT_EQ(rustack_restore::free_server_name(servers, c.name, counter), c.chosen);
  EXPECT_EQ(counter, c.counter_after);
}

INSTANTIATE_TEST_SUITE_P(Restore, FreeServerName,
                         ::testing::Values(NameCase{"free", {"db"}, "web", 2, "web", 2},
                                           NameCase{"no_servers", {}, "web", 2, "web", 2},
                                           NameCase{"taken_once", {"web"}, "web", 2, "web_2", 3},
                                           NameCase{"taken_twice", {"db", "db_2"}, "db", 2, "db_3", 4},
                                           NameCase{"suffix_taken_only", {"web_2"}, "web", 2, "web", 2},
                                           NameCase{"gap", {"db", "db_3"}, "db", 2, "db_2", 3},
                                           // The counter lives for the process: a second search goes on from it.
                                           NameCase{"later_search", {"web", "web_5"}, "web", 5, "web_6", 7}),
                         [](auto const& info) { return std::string(info.param.what); });

TEST(FreeServerName, LogsEachStep) {
  kstest::LogCapture log;
  std::int32_t counter = 2;
  rustack_restore::free_server_name({{"1", "db", ""}, {"2", "db_2", ""}}, "db", counter);
  std::string const text = log.text();
  auto const first = text.find("Server with the name: db exists in Rustack ");
  auto const second = text.find("Check new server name: 'db_2'");
  auto const third = text.find("Server with the name: db_2 exists in Rustack ");
  auto const fourth = text.find("Check new server name: 'db_3'");
  ASSERT_NE(fourth, std::string::npos) << text;
  EXPECT_TRUE(first < second && second < third && third < fourth) << text;
}

TEST(ImageName, OnlyPlainFileNames) {
  for (char const* good : {"vdb", "loop3", "virtio-0123456789abcd", "vd b", "v'd", "a.b"})
    EXPECT_TRUE(rustack_restore::is_plain_file_name(good)) << good;
  for (std::string const& bad :
       {std::string(), std::string("."), std::string(".."), std::string("../vdb"), std::string("a/b"),
        std::string("/dev/vda"), std::string("vdb/"), std::string("a..b"), std::string("vd\0b", 4)})
    EXPECT_FALSE(rustack_restore::is_plain_file_name(bad)) << bad;
}

// The command as built, run by the shell through the product's runner: the
// bytes arrive whatever the paths hold, and nothing in them is executed.
TEST(DdCommand, CopiesThroughAwkwardPathsAndExecutesNothing) {
  kstest::TempDir dir;
  std::string const restore_dir = (dir / "re store $(touch pwned) 'x'").string();
  fs::create_directories(restore_dir);
  std::string const image = restore_dir + "/vd`touch pwned`b;x";
  std::string const device = (dir / "dev ice\"$HOME'").string();
  std::string bytes;
  for (int i = 0; i < (3 << 20) + 4099; ++i) bytes += static_cast<char>((i * 131 + i / 7) & 0xff);
  kstest::write_file(image, bytes);

  std::string const command = rustack_restore::dd_command(image, device, 1);
  EXPECT_NE(command.find(" bs=1M conv=fsync"), std::string::npos) << command;
  std::string output;
  int const status = ks_utils_common::execute_command("cd " + kstest::sh_quote(dir.str()) + " && " + command, output);
  EXPECT_EQ(status, 0) << output;
  EXPECT_EQ(kstest::read_file(device), bytes);
  EXPECT_FALSE(fs::exists(dir / "pwned"));
  EXPECT_FALSE(fs::exists(fs::path(restore_dir) / "pwned"));
}

TEST(DdCommand, FailsWhenTheImageIsMissing) {
  kstest::TempDir dir;
  std::string output;
  EXPECT_NE(ks_utils_common::execute_command(
                rustack_restore::dd_command((dir / "none").string(), (dir / "out").string(), 5), output),
            0);
}

volume record(std::string const& id, bool bootable, std::vector<std::string> const& devices) {
  volume v;
  v.id = id;
  v.bootable = bootable ? "true" : "false";
  for (auto const& d : devices) v.attachments.push_back({"att-" + id, "", d});
  return v;
}

struct BootCase {
  char const* what;
  std::vector<volume> records;
  std::size_t boot;                // records.size() for none
  std::vector<std::size_t> order;  // of the others
};

class BootVolume : public ::testing::TestWithParam<BootCase> {};

TEST_P(BootVolume, IsTheOriginalBootDisk) {
  BootCase const& c = GetParam();
  std::size_t const boot = rustack_restore::boot_volume_index(c.records);
  EXPECT_EQ(boot, c.boot);
  EXPECT_EQ(rustack_restore::attachment_order(c.records, boot), c.order);
}

INSTANTIATE_TEST_SUITE_P(
    Restore, BootVolume,
    ::testing::Values(
        BootCase{"only_one_bootable", {record("a", false, {"/dev/vdb"}), record("b", true, {"/dev/vda"})}, 1, {0}},
        // A bootable data disk listed after the root must not become the boot volume.
        BootCase{"root_before_bootable_data",
                 {record("root", true, {"/dev/vda"}), record("data", true, {"/dev/vdb"})}, 0, {1}},
        BootCase{"bootable_data_listed_first",
                 {record("data", true, {"/dev/vdc"}), record("root", true, {"/dev/vda"})}, 1, {0}},
        BootCase{"saved_attachment_wins_over_none",
                 {record("x", true, {}), record("y", true, {"/dev/vdc"})}, 1, {0}},
        BootCase{"none_saved_first_bootable", {record("x", false, {}), record("y", true, {}), record("z", true, {})},
                 1, {0, 2}},
        BootCase{"none_bootable", {record("x", false, {"/dev/vdb"}), record("y", false, {"/dev/vda"})}, 2, {1, 0}},
        BootCase{"disk_naming_order",
                 {record("aa", true, {"/dev/vdaa"}), record("z", true, {"/dev/vdz"})}, 1, {0}},
        BootCase{"lowest_of_several_attachments",
                 {record("m", true, {"/dev/vdd", "/dev/vdb"}), record("n", true, {"/dev/vdc"})}, 0, {1}},
        BootCase{"others_in_device_order",
                 {record("r", true, {"/dev/vda"}), record("c", false, {"/dev/vdc"}), record("n", false, {}),
                  record("b", false, {"/dev/vdb"}), record("ab", false, {"/dev/vdab"})},
                 0, {3, 1, 4, 2}}),
    [](auto const& info) { return std::string(info.param.what); });

}  // namespace
