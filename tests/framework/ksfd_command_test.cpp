// The ksfd command lines: option sets against the exact command text of the
// common backup part, the local backup and the restore; refusals before
// anything runs; quoting of unusual values; the file-mode creation mask.
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include "common/test_util.h"
#include "framework/shielded_word.h"
#include "ksfd_module.h"

namespace {

namespace fs = boost::filesystem;
using Setup = std::function<void(kstest::KsfdModule&, std::string const& dir)>;

std::string const kPrefix = "cd / && /opt/kestrova/bin/ksfd -a sha2 -2  -b 16384 -c @T/list";
std::string const kKeys = " -x /opt/kestrova/keys/master-key,/opt/kestrova/keys/secret-key.pem";
std::string const kRestore = "/opt/kestrova/bin/ksfd -a sha2 -2  -b 16384";

// "@T" is the scratch directory, "@E" the same directory as the restore line
// writes it, with a backslash before each shell character. A scratch
// directory ("/tmp/kstest.XXXXXX") holds no such character but the dot.
std::string with_dir(std::string text, std::string const& dir) {
  std::string escaped;
  for (char c : dir) escaped += c == '.' ? std::string("\\.") : std::string(1, c);
  for (auto const& marker : {std::make_pair("@T", dir), std::make_pair("@E", escaped)}) {
    std::string const& value = marker.second;
    for (auto at = text.find(marker.first); at != std::string::npos; at = text.find(marker.first, at + value.size()))
      text.replace(at, 2, value);
  }
  return text;
}

// The command the runner was given, from its log line.
std::string logged_command(std::string const& log) {
  std::string const marker = ":ksfd command: ";
  auto at = log.find(marker);
  if (at == std::string::npos) return std::string();
  at += marker.size();
  return log.substr(at, log.find('\n', at) - at);
}

struct CommandCase {
  char const* name;
  Setup setup;
  bool ok;
  std::string command;  // "@T" is the scratch directory; empty: nothing runs
  std::string message;  // in the log
};

std::ostream& operator<<(std::ostream& out, CommandCase const& c) { return out << c.name; }
std::string case_name(testing::TestParamInfo<CommandCase> const& info) { return info.param.name; }

// A scratch directory with a list file, a directory, a restriction list and
// a key file; the module backs up the list file into it by default.
class CommandFixture : public testing::TestWithParam<CommandCase> {
 protected:
  void SetUp() override {
    kstest::write_file(dir_ / "list", "KSFD file list:\n");
    kstest::write_file(dir_ / "restr", "vm1\nvm 2\n");
    kstest::write_file(dir_ / "key", "0123456789abcdef0123456789abcdef");
    fs::create_directories(dir_ / "dir");
    module_.options_.tmp_operation_directory = dir_.str();
    module_.options_.resource_list_file = (dir_ / "list").string();
    module_.options_.archive_name = "arch";
    module_.options_.media_server = "media1";
    module_.options_.task_id = "t7";
    module_.options_.record_id = "rec";
  }
  kstest::TempDir dir_;
  kstest::KsfdModule module_;
};

class BackupCommon : public CommandFixture {};

TEST_P(BackupCommon, ExactText) {
  KS_REQUIRE_SANDBOX();
  CommandCase const& c = GetParam();
  if (c.setup) c.setup(module_, dir_.str());
  kstest::FrameworkLog log;
  std::string command = "previous content";
  EXPECT_EQ(module_.make_backup_cmd_common(command), c.ok) << log.text();
  if (c.ok) {
    EXPECT_EQ(command, with_dir(c.command, dir_.str()));
  }
  if (!c.message.empty()) {
    EXPECT_NE(log.text().find(with_dir(c.message, dir_.str())), std::string::npos) << log.text();
  }
}

Setup restrictions(char const* file) {
  return [file](kstest::KsfdModule& m, std::string const& dir) {
    m.options_.local_restrictions = true;
    m.options_.restriction_list_file = dir + "/" + file;
  };
}

INSTANTIATE_TEST_SUITE_P(
    Options, BackupCommon,
    testing::Values(
        CommandCase{"defaults", nullptr, true, kPrefix + kKeys + " -z None", ""},
        CommandCase{"other_hash_and_block",
                    [](kstest::KsfdModule& m, std::string const&) {
                      m.hash_length = 512;
                      m.block_size = 4096;
                    },
                    true, "cd / && /opt/kestrova/bin/ksfd -a sha2 -5  -b 4096 -c @T/list" + kKeys + " -z None", ""},
        CommandCase{"parallelism_0", [](kstest::KsfdModule& m, std::string const&) { m.options_.parallelism = 0; },
                    true, kPrefix + " -p 0" + kKeys + " -z None", ""},
        // Only the known flags, in their fixed order.
        CommandCase{"pass_through_flags",
                    [](kstest::KsfdModule& m, std::string const&) {
                      m.ksfd_flags = {{"enable_flexible_dedup", "yes"}, {"worker_parallelism", "4"}, {"other", "x"}};
                      m.options_.parallelism = 8;
                    },
                    true, kPrefix + " -p 8 -e worker_parallelism:4,enable_flexible_dedup:yes" + kKeys + " -z None", ""},
        CommandCase{"restrictions_missing", restrictions("none"), true, kPrefix + kKeys + "," + " -z None", ""},
        CommandCase{"restrictions_listed", restrictions("restr"), true,
                    kPrefix + " -x '/opt/kestrova/keys/master-key,/opt/kestrova/keys/secret-key.pem,vm1,vm 2' -z None",
                    ""},
        CommandCase{"numeric_owner", [](kstest::KsfdModule& m, std::string const&) { m.numeric_owner = true; }, true,
                    kPrefix + kKeys + " --numeric-owner -z None", ""},
        CommandCase{"incremental",
                    [](kstest::KsfdModule& m, std::string const&) {
                      m.options_.backup_type = 2;
                      m.options_.meta_file_path = "/r/x.meta";
                    },
                    true, kPrefix + kKeys + " -S /r/x.meta -z None", ""},
        CommandCase{"differential",
                    [](kstest::KsfdModule& m, std::string const&) {
                      m.options_.backup_type = 3;
                      m.options_.meta_file_path = "/r/x.meta";
                    },
                    true, kPrefix + kKeys + " -S /r/x.meta -z None", ""},
        CommandCase{"incremental_without_meta",
                    [](kstest::KsfdModule& m, std::string const&) { m.options_.backup_type = 2; }, false, "",
                    ": you must define reference snapshot name (-s option)"},
        CommandCase{"incremental_without_reference",
                    [](kstest::KsfdModule& m, std::string const&) {
                      m.options_.backup_type = 2;
                      m.incremental_without_reference = true;
                    },
                    true, kPrefix + kKeys + " -z None", ""},
        CommandCase{"differential_always_needs_its_reference",
                    [](kstest::KsfdModule& m, std::string const&) {
                      m.options_.backup_type = 3;
                      m.incremental_without_reference = true;
                    },
                    false, "", ": you must define reference snapshot name (-s option)"},
        CommandCase{"unknown_backup_type", [](kstest::KsfdModule& m, std::string const&) { m.options_.backup_type = 7; },
                    false, "", ": wrong backup type: 7"},
        CommandCase{"no_compression", [](kstest::KsfdModule& m, std::string const&) { m.options_.compress = 0; }, true,
                    kPrefix + kKeys, ""},
        CommandCase{"best_compression_and_memory",
                    [](kstest::KsfdModule& m, std::string const&) {
                      m.options_.compress = 4;
                      m.options_.memory_threshold = 512;
                    },
                    true, kPrefix + kKeys + " -z best --memory-threshold 512", ""},
        // A directory is backed up from inside it with " -c . ", never from "/".
        CommandCase{"directory_resource",
                    [](kstest::KsfdModule& m, std::string const& dir) {
                      m.options_.resource_list_file.clear();
                      m.options_.resource = dir + "/dir";
                    },
                    true, "cd @T/dir && /opt/kestrova/bin/ksfd -a sha2 -2  -b 16384 -c . " + kKeys + " -z None", ""},
        CommandCase{"named_resource",
                    [](kstest::KsfdModule& m, std::string const&) {
                      m.options_.resource_list_file.clear();
                      m.options_.resource = "vm-1";
                    },
                    true, "cd / && /opt/kestrova/bin/ksfd -a sha2 -2  -b 16384 -c vm-1" + kKeys + " -z None", ""},
        CommandCase{"missing_list_file",
                    [](kstest::KsfdModule& m, std::string const& dir) { m.options_.resource_list_file = dir + "/no"; },
                    false, "", ": resource list file doesn't exist: @T/no"},
        CommandCase{"list_file_is_a_directory",
                    [](kstest::KsfdModule& m, std::string const& dir) { m.options_.resource_list_file = dir + "/dir"; },
                    false, "", ": resource list file is not a regular file: @T/dir"},
        // Values the shell would split or run stay one word.
        CommandCase{"unusual_values_quoted",
                    [](kstest::KsfdModule& m, std::string const& dir) {
                      kstest::write_file(dir + "/my list", "KSFD file list:\n");
                      m.options_.resource_list_file = dir + "/my list";
                      m.hash_algorithm = "sha2;x";
                      m.ksfd_flags = {{"worker_parallelism", "1$(reboot)"}};
                      m.options_.backup_type = 2;
                      m.options_.meta_file_path = "/r/it's.meta";
                    },
                    true,
                    "cd / && /opt/kestrova/bin/ksfd -a 'sha2;x' -2  -b 16384 -c '@T/my list'"
                    " -e 'worker_parallelism:1$(reboot)'" +
                        kKeys + " -S '/r/it'\\''s.meta' -z None",
                    ""}),
    case_name);

// The tool runs after "cd /": relative paths reach it as the files the module
// checked.
TEST(BackupCommonPaths, RelativePathsBecomeAbsolute) {
  KS_REQUIRE_SANDBOX();
  kstest::TempDir dir;
  fs::path const before = fs::current_path();
  fs::current_path(dir.path());
  kstest::write_file(dir / "list", "KSFD file list:\n");
  kstest::KsfdModule module;
  module.options_.tmp_operation_directory = "work";
  module.options_.resource_list_file = "list";
  module.options_.backup_type = 2;
  module.options_.meta_file_path = "work/ref.snap_dir/ref.meta";
  std::string command;
  bool const ok = module.make_backup_cmd_common(command);
  fs::current_path(before);
  ASSERT_TRUE(ok);
  std::string const d = fs::canonical(dir.path()).string();
  EXPECT_EQ(module.options_.tmp_operation_directory, d + "/work");
  EXPECT_EQ(command, "cd / && /opt/kestrova/bin/ksfd -a sha2 -2  -b 16384 -c " + d + "/list" + kKeys + " -S " + d +
                         "/work/ref.snap_dir/ref.meta -z None");
}

// ---- the local backup --------------------------------------------------------------

class LocalBackup : public CommandFixture {};

TEST_P(LocalBackup, ExactTextAndRefusals) {
  KS_REQUIRE_SANDBOX();
  CommandCase const& c = GetParam();
  if (c.setup) c.setup(module_, dir_.str());
  kstest::FrameworkLog log;
  bool const ok = module_.make_backup_locally();
  std::string const text = log.text();
  std::string const command = logged_command(text);
  EXPECT_EQ(command, with_dir(c.command, dir_.str())) << text;
  if (c.command.empty()) {
    EXPECT_FALSE(ok);
  } else if (!ok) {
    // A failed run names the command and the tool's output.
    EXPECT_NE(text.find(": " + command + "\n"), std::string::npos) << text;
    EXPECT_NE(text.find("ksfd out: "), std::string::npos) << text;
  }
  EXPECT_EQ(module_.backup_succeeded, ok);
  if (!c.message.empty()) {
    EXPECT_NE(text.find(with_dir(c.message, dir_.str())), std::string::npos) << text;
  }
}

std::string const kCommon = kPrefix + kKeys + " -z None";
std::string const kMeta = " -m @T/arch.snap_dir/arch.meta";

Setup autonomous(Setup more = nullptr) {
  return [more](kstest::KsfdModule& m, std::string const& dir) {
    m.options_.autonomous = true;
    m.options_.media_server.clear();
    if (more) more(m, dir);
  };
}

INSTANTIATE_TEST_SUITE_P(
    Options, LocalBackup,
    testing::Values(
        CommandCase{"media_server", nullptr, false,
                    kCommon + " -M media1 -N arch -T t7 -s /opt/kestrova/var/tasks//task_secret_t7" + kMeta + " 2>&1",
                    ""},
        CommandCase{"autonomous", autonomous(), false, kCommon + " -n @T/arch.ksfd" + kMeta + " 2>&1", ""},
        CommandCase{"signed", autonomous([](kstest::KsfdModule& m, std::string const&) { m.options_.dgst = true; }),
                    false,
                    kCommon + " -n @T/arch.ksfd" + kMeta +
                        " -g @T/arch.ksfd.signature --passin /opt/kestrova/keys/master-key"
                        " --sign /opt/kestrova/keys/secret-key.pem 2>&1",
                    ""},
        CommandCase{"restriction_list", autonomous(restrictions("restr")), false,
                    kPrefix + " -x '/opt/kestrova/keys/master-key,/opt/kestrova/keys/secret-key.pem,vm1,vm 2' -z None" +
                        " -n @T/arch.ksfd" + kMeta + " -X @T/restr 2>&1",
                    ""},
        // -j without a list: the trailing "," of -x, and no -X.
        CommandCase{"restriction_list_missing", autonomous(restrictions("none")), false,
                    kPrefix + kKeys + ", -z None -n @T/arch.ksfd" + kMeta + " 2>&1", ""},
        CommandCase{"enciphered", autonomous([](kstest::KsfdModule& m, std::string const& dir) {
                      m.options_.crypto = "aes256";
                      m.options_.key_file = dir + "/key";
                    }),
                    false, kCommon + " -n @T/arch.ksfd" + kMeta + " -C aes256 -k @T/key 2>&1", ""},
        CommandCase{"key_file_missing", autonomous([](kstest::KsfdModule& m, std::string const& dir) {
                      m.options_.crypto = "aes256";
                      m.options_.key_file = dir + "/nokey";
                    }),
                    false, "", "there is no key file: @T/nokey"},
        CommandCase{"key_file_not_given",
                    autonomous([](kstest::KsfdModule& m, std::string const&) { m.options_.crypto = "aes256"; }), false,
                    "", "you must define key file"},
        CommandCase{"common_part_refused",
                    [](kstest::KsfdModule& m, std::string const&) { m.options_.backup_type = 2; }, false, "",
                    "you must define reference snapshot name"},
        CommandCase{"unusual_values_quoted",
                    [](kstest::KsfdModule& m, std::string const&) {
                      m.options_.media_server = "media 1";
                      m.options_.archive_name = "a'b";
                      m.options_.task_id = "t;7";
                    },
                    false,
                    kCommon + " -M 'media 1' -N 'a'\\''b' -T 't;7' -s '/opt/kestrova/var/tasks//task_secret_t;7'"
                              " -m '@T/a'\\''b.snap_dir/a'\\''b.meta' 2>&1",
                    ""}),
    case_name);

// 022 while a local backup runs (see the file modes of the backup tests), 077
// from then on; a backup refused before it runs leaves the mask alone.
TEST(LocalBackupMask, PrivateAfterTheRunOnly) {
  KS_REQUIRE_SANDBOX();
  kstest::TempDir dir;
  kstest::KsfdModule module;
  module.options_.tmp_operation_directory = dir.str();
  module.options_.resource = "vm";
  module.options_.archive_name = "arch";
  module.options_.autonomous = true;
  module.options_.crypto = "aes256";
  module.options_.key_file = dir.str() + "/nokey";
  mode_t const original = ::umask(0);
  EXPECT_FALSE(module.make_backup_locally());
  EXPECT_EQ(::umask(0), 0u);
  module.options_.crypto = "nocrypt";
  module.make_backup_locally();
  EXPECT_EQ(::umask(original), 077u);
}

// ---- the restore ---------------------------------------------------------------------

class Restore : public CommandFixture {
 protected:
  void SetUp() override {
    CommandFixture::SetUp();
    module_.options_.tmp_operation_directory = dir_.str() + "/rec.rest";
    module_.options_.meta_file_path = dir_.str() + "/x.meta";
  }
};

TEST_P(Restore, ExactTextAndRefusals) {
  KS_REQUIRE_SANDBOX();
  CommandCase const& c = GetParam();
  bool replica = false;
  if (c.setup) c.setup(module_, dir_.str());
  if (std::string(c.name).find("replica") != std::string::npos) replica = true;
  kstest::FrameworkLog log;
  bool const ok = module_.make_restore(replica);
  std::string const text = log.text();
  EXPECT_EQ(ok, c.ok) << text;
  EXPECT_EQ(logged_command(text), with_dir(c.command, dir_.str())) << text;
  if (!c.message.empty()) {
    EXPECT_NE(text.find(with_dir(c.message, dir_.str())), std::string::npos) << text;
  }
}

std::string const kRecord =
    kRestore + " -R rec -M media1 -T t7 -s /opt/kestrova/var/tasks//task_secret_t7 -m @E/x\\.meta";

Setup storages(std::string name) {
  return [name](kstest::KsfdModule& m, std::string const& dir) {
    m.options_.autonomous = true;
    m.options_.archive_name = with_dir(name, dir);
    m.client_defined_storages.push_back({1, 7, dir});
  };
}

INSTANTIATE_TEST_SUITE_P(
    Options, Restore,
    testing::Values(
        CommandCase{"media_server", nullptr, false, kRecord + " -d @E/rec\\.rest 2>&1", ""},
        CommandCase{"autonomous",
                    [](kstest::KsfdModule& m, std::string const& dir) {
                      m.options_.autonomous = true;
                      m.options_.archive_name = dir + "/a.ksfd";
                    },
                    false, kRestore + " -r @T/a.ksfd -d @E/rec\\.rest 2>&1", ""},
        CommandCase{"replica", nullptr, false, kRecord + " -d @E/rec\\.rest -E  2>&1", ""},
        CommandCase{"extras",
                    [](kstest::KsfdModule& m, std::string const& dir) {
                      m.options_.parallelism = 3;
                      m.options_.granular_list = dir + "/files";
                      m.options_.set_to_numeric = true;
                      m.ksfd_flags = {{"network_parallelism", "2"}};
                      m.options_.crypto = "aes256";
                      m.options_.key_file = dir + "/key";
                    },
                    false,
                    kRecord + " -d @E/rec\\.rest -C aes256 -k @T/key -p 3 -f @T/files --set-to-numeric"
                              " -e network_parallelism:2 2>&1",
                    ""},
        CommandCase{"key_file_missing",
                    [](kstest::KsfdModule& m, std::string const& dir) {
                      m.options_.crypto = "aes256";
                      m.options_.key_file = dir + "/nokey";
                    },
                    false, "", ": there is no key file: @T/nokey"},
        CommandCase{"key_file_not_given", [](kstest::KsfdModule& m, std::string const&) { m.options_.crypto = "aes"; },
                    false, "", ": you must define key file"},
        // The meta file and the directory keep their backslash form as long
        // as it keeps them one word; other values are single-quoted.
        CommandCase{"unusual_values_quoted",
                    [](kstest::KsfdModule& m, std::string const& dir) {
                      m.options_.meta_file_path = dir + "/my meta.meta";
                      m.options_.tmp_operation_directory = dir + "/r$x.rest";
                      m.options_.record_id = "rec 1";
                    },
                    false,
                    kRestore + " -R 'rec 1' -M media1 -T t7 -s /opt/kestrova/var/tasks//task_secret_t7"
                               " -m @E/my\\ meta\\.meta -d @E/r\\$x\\.rest 2>&1",
                    ""},
        // A tab would split the backslash form (line breaks: ShieldedWord).
        CommandCase{"tab_quoted",
                    [](kstest::KsfdModule& m, std::string const& dir) {
                      m.options_.meta_file_path = dir + "/a\tb.meta";
                      m.options_.tmp_operation_directory = dir + "/r\tx.rest";
                    },
                    // One word each; the log line writes the tab as "\t".
                    false, kRestore + " -R rec -M media1 -T t7 -s /opt/kestrova/var/tasks//task_secret_t7"
                                      " -m '@T/a\\tb.meta' -d '@T/r\\tx.rest' 2>&1", ""},
        // An empty meta file path stays a word, so -d is not taken for it.
        CommandCase{"empty_meta_file_stays_a_word",
                    [](kstest::KsfdModule& m, std::string const&) { m.options_.meta_file_path.clear(); }, false,
                    kRestore + " -R rec -M media1 -T t7 -s /opt/kestrova/var/tasks//task_secret_t7 -m '' -d "
                               "@E/rec\\.rest 2>&1",
                    ""},
        // With client-defined storages the archive name says where the archive is.
        CommandCase{"storage_local_directory", storages("local-directory:7@@T/a.ksfd"), false,
                    kRestore + " -r @T/a.ksfd -d @E/rec\\.rest 2>&1", "Rename restored object to: @T/a.ksfd"},
        CommandCase{"storage_module_default", storages("default:3@x"), true, "",
                    "Module default storage. Skipping ksfd run."},
        CommandCase{"storage_s3", storages("s3:1@bucket/a"), false, "",
                    ": unsupported client defined storage here: s3:1@bucket/a"},
        CommandCase{"storage_name_unknown", storages("@T/a.ksfd"), false, "",
                    ": unsupported client defined storage here: @T/a.ksfd"}),
    case_name);

// ---- the backslash form of the restore and unpack lines ---------------------------------

// Ordinary paths get a backslash before each shell character; whatever the
// value, /bin/sh reads back exactly one word holding it.
TEST(ShieldedWord, OrdinaryPathsKeepTheirFormAndEveryValueStaysOneWord) {
  struct {
    std::string value;
    std::string word;  // empty: only the round trip is checked
  } const cases[] = {
      {"/tmp/w/rec.rest", "/tmp/w/rec\\.rest"},
      {"/a b/x:y@z%.meta", "/a\\ b/x\\:y\\@z\\%\\.meta"},
      {"it's \"$(touch x)\" `id` \\ ~root #c *?[a] {a,b} <>|;&!^", ""},
      {"plain-name_1,2=3+4", "plain-name_1,2=3+4"},
      {"", "''"},
      {"a\nb", "'a\nb'"},
      {"a\tb", "'a\tb'"},
      {"it's\n", "'it'\\''s\n'"},
      {"\x01\x7f", "'\x01\x7f'"},
      {"caf\xc3\xa9.d", "caf\xc3\xa9\\.d"},
  };
  kstest::TempDir dir;
  for (auto const& c : cases) {
    std::string const word = kestrova::shielded_word(c.value);
    if (!c.word.empty()) {
      EXPECT_EQ(word, c.word) << c.value;
    }
    // Each word the shell makes, between brackets, in a file.
    std::string const out = (dir / "words").string();
    auto r = kstest::run("cd " + dir.str() + " && for w in " + word + "; do printf '[%s]' \"$w\"; done > " + out);
    ASSERT_EQ(r.status, 0) << word << r.output;
    EXPECT_EQ(kstest::read_file(out), "[" + c.value + "]") << word;
    EXPECT_FALSE(fs::exists(dir / "x")) << word;
  }
}

}  // namespace
