// The command line: which argument vectors are accepted, the operation and
// fields they set, and the messages of refusals; the module-parameter string;
// the small helpers of the options record.
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/test_util.h"
#include "framework/ks_module_options.h"
#include "framework_log.h"
#include "scripted_module.h"

namespace {

namespace fs = boost::filesystem;

char const program[] = "/usr/lib/kestrova/ks_test_module";

struct Parsed {
  bool accepted = false;
  KsModuleOptions options;
  std::string output;  // standard output and the log
  std::vector<std::string> calls;
  std::function<void(kstest::ScriptedModule&)> inspect;
};

// Parses program + args on a fresh module; `inspect` sees the module after.
Parsed parse(std::vector<std::string> args, std::function<void(kstest::ScriptedModule&)> const& inspect = nullptr) {
  kstest::FrameworkLog log(KsLogLvl::Info);
  kstest::ScriptedModule module;
  args.insert(args.begin(), program);
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  testing::internal::CaptureStdout();
  Parsed result;
  result.accepted = module.parse_module_options(static_cast<int>(args.size()), argv.data(), module.options_);
  result.output = testing::internal::GetCapturedStdout();
  result.output += log.text();
  result.options = module.options_;
  result.calls = module.calls;
  if (inspect) inspect(module);
  return result;
}

using Check = std::function<void(KsModuleOptions const&)>;

struct Case {
  char const* name;
  std::vector<std::string> args;  // "@LIST" stands for a resource-list file
  bool accepted;
  unsigned operation;  // checked when accepted
  std::string message;  // must appear when not empty
  Check check;
};

std::ostream& operator<<(std::ostream& out, Case const& c) { return out << c.name; }

template <typename Param>
std::string case_name(testing::TestParamInfo<Param> const& info) {
  return info.param.name;
}

class CommandLine : public testing::TestWithParam<Case> {
 protected:
  static void SetUpTestSuite() {
    dir_ = new kstest::TempDir;
    kstest::write_file(*dir_ / "list.json", R"([{"path": "/srv/a"}, {"name": "b", "path": "/srv/b"}])");
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }
  static std::string list_path() { return (*dir_ / "list.json").string(); }
  static kstest::TempDir* dir_;
};
kstest::TempDir* CommandLine::dir_ = nullptr;

TEST_P(CommandLine, ParsesAsTable) {
  Case const& c = GetParam();
  std::vector<std::string> args = c.args;
  for (auto& a : args)
    if (a == "@LIST") a = list_path();
  Parsed p = parse(args);
  EXPECT_EQ(p.accepted, c.accepted) << p.output;
  if (c.accepted && p.accepted) {
    EXPECT_EQ(static_cast<unsigned>(p.options.operation), c.operation);
    EXPECT_EQ(p.options.program_path, program);
    if (c.check) c.check(p.options);
  }
  if (!c.message.empty()) {
    EXPECT_NE(p.output.find(c.message), std::string::npos) << p.output;
  }
}

Check type(std::uint32_t t) {
  return [t](KsModuleOptions const& o) { EXPECT_EQ(o.backup_type, t); };
}

// Every operation option alone, and with its value.
INSTANTIATE_TEST_SUITE_P(
    OperationsAlone, CommandLine,
    testing::Values(
        Case{"version", {"-V"}, true, 14, "", nullptr},
        Case{"update_config", {"-u", "o:n:u"}, true, 2, "",
             [](KsModuleOptions const& o) { EXPECT_EQ(o.configs_list, "o:n:u"); }},
        Case{"list_headers", {"-c"}, true, 5, "", nullptr},
        Case{"list_with_headers", {"-L"}, true, 4, "", nullptr},
        Case{"delete_from_storage", {"--delete_from_client_defined_storage", "{\"a\":\"s3:b\"}"}, true, 19, "",
             [](KsModuleOptions const& o) { EXPECT_EQ(o.client_defined_storage_json, "{\"a\":\"s3:b\"}"); }},
        Case{"verify_in_storage", {"--verify_in_client_defined_storage"}, true, 20, "", nullptr},
        Case{"show_backup_options", {"--show-backup-options"}, true, 15, "", nullptr},
        Case{"show_module_properties", {"--show-module-properties"}, true, 17, "", nullptr},
        Case{"check_client", {"-t"}, true, 1, "", nullptr},
        Case{"list_all", {"-l"}, true, 3, "", nullptr},
        Case{"full_supported", {"-1"}, true, 6, "", type(1)},
        Case{"incr_supported", {"-2"}, true, 6, "", type(2)},
        Case{"diff_supported", {"-3"}, true, 6, "", type(3)},
        Case{"dedup_supported", {"-D"}, true, 7, "", nullptr},
        Case{"archiving_supported", {"-a"}, true, 8, "", nullptr},
        Case{"autonomous_supported", {"--autonomous"}, true, 16, "", nullptr},
        Case{"restore_parameters", {"-o"}, true, 18, "", nullptr},
        Case{"backup", {"-b", "vm1"}, true, 9, "",
             [](KsModuleOptions const& o) {
               EXPECT_EQ(o.resource, "vm1");
               EXPECT_EQ(o.backup_type, 1u);
               EXPECT_FALSE(o.archiving_mode);
             }},
        Case{"backup_list", {"-B", "@LIST"}, true, 10, "",
             [](KsModuleOptions const& o) {
               EXPECT_EQ(o.resource_list.resources, (std::list<std::string>{"/srv/a", "/srv/b"}));
             }},
        Case{"restore", {"-r", "rec-1"}, true, 11, "",
             [](KsModuleOptions const& o) { EXPECT_EQ(o.record_id, "rec-1"); }},
        Case{"apply_replica", {"-R", "rec-2"}, true, 13, "",
             [](KsModuleOptions const& o) { EXPECT_EQ(o.record_id, "rec-2"); }},
        Case{"create_replica", {"-A", "vm2"}, true, 12, "",
             [](KsModuleOptions const& o) { EXPECT_EQ(o.resource, "vm2"); }},
        Case{"help", {"-h"}, true, 0, "Options description", nullptr},
        Case{"no_arguments", {}, false, 0, "Usage: /usr/lib/kestrova/ks_test_module", nullptr},
        Case{"empty_backup", {"-b", ""}, false, 0, "Resource is empty", nullptr},
        Case{"empty_replica", {"-A", ""}, false, 0, "Resource is empty", nullptr},
        Case{"empty_restore", {"-r", ""}, false, 0,
             "You must define restore object, record ID in server mode or archive file for authonomous mode",
             nullptr},
        Case{"empty_apply", {"-R", ""}, false, 0, "Record ID is empty", nullptr},
        Case{"empty_backup_list", {"-B", ""}, false, 0,
             "bool KsModuleUniversal::parse_module_options(int, char**, KsModuleOptions&): resource is empty",
             nullptr},
        Case{"missing_backup_list", {"-B", "/nonexistent/list.json"}, false, 0,
             "can't parse json file: /nonexistent/list.json", nullptr}),
    case_name<Case>);

// Two operations never combine; a backup-type option may precede -b, -B, -A.
INSTANTIATE_TEST_SUITE_P(
    OperationPairs, CommandLine,
    testing::Values(Case{"full_and_incr", {"-1", "-2"}, false, 0, "", nullptr},
                    Case{"backup_and_replica", {"-b", "x", "-A", "y"}, false, 0, "", nullptr},
                    Case{"version_and_check", {"-V", "-t"}, false, 0, "", nullptr},
                    Case{"list_and_list_headers", {"-l", "-L"}, false, 0, "", nullptr},
                    Case{"restore_and_apply", {"-r", "a", "-R", "b"}, false, 0, "", nullptr},
                    Case{"backup_and_restore", {"-b", "x", "-r", "y"}, false, 0, "", nullptr},
                    Case{"dedup_and_backup", {"-D", "-b", "x"}, false, 0, "", nullptr},
                    Case{"full_backup", {"-1", "-b", "x"}, true, 9, "", type(1)},
                    Case{"full_backup_list", {"-1", "-B", "@LIST"}, true, 10, "", type(1)},
                    Case{"full_replica", {"-1", "-A", "x"}, true, 12, "", type(1)},
                    Case{"incremental_backup", {"-2", "-b", "x", "-s", "/t/ref.snap"}, true, 9, "",
                         [](KsModuleOptions const& o) {
                           EXPECT_EQ(o.backup_type, 2u);
                           EXPECT_EQ(o.reference_snapshot, "/t/ref.snap");
                         }},
                    Case{"differential_backup_list", {"-3", "-B", "@LIST", "-s", "/t/ref.snap"}, true, 10, "",
                         type(3)}), case_name<Case>);

// Each modifier with an operation that allows it and one that does not.
INSTANTIATE_TEST_SUITE_P(
    Modifiers, CommandLine,
    testing::Values(
        Case{"autonomous_backup", {"-b", "x", "--autonomous"}, true, 9, "",
             [](KsModuleOptions const& o) { EXPECT_TRUE(o.autonomous); }},
        Case{"autonomous_with_media_server", {"-b", "x", "-m", "ms", "--autonomous"}, false, 0,
             "Can't use media server with autonomous mode", nullptr},
        Case{"autonomous_check_client", {"-t", "--autonomous"}, false, 0, "", nullptr},
        Case{"directory_backup", {"-b", "x", "-d", "/t"}, true, 9, "",
             [](KsModuleOptions const& o) {
               EXPECT_EQ(o.tmp_operation_directory, "/t");
               EXPECT_EQ(o.destination_resource, "");
             }},
        Case{"directory_apply_replica", {"-R", "r", "-d", "/dst"}, true, 13, "",
             [](KsModuleOptions const& o) { EXPECT_EQ(o.destination_resource, "/dst"); }},
        Case{"directory_alone", {"-d", "/t"}, false, 0, "", nullptr},
        Case{"params_restore", {"-r", "x", "-e", "k:v"}, true, 11, "", nullptr},
        Case{"params_verify", {"--verify_in_client_defined_storage", "-e", "k:v"}, true, 20, "", nullptr},
        Case{"params_check_client", {"-t", "-e", "k:v"}, false, 0, "", nullptr},
        Case{"compress_kept", {"-b", "x", "-z", "3"}, true, 9, "",
             [](KsModuleOptions const& o) { EXPECT_EQ(o.compress, 3); }},
        Case{"compress_zero", {"-b", "x", "-z", "0"}, true, 9, "",
             [](KsModuleOptions const& o) { EXPECT_EQ(o.compress, 1); }},
        Case{"compress_nine", {"-r", "x", "-z", "9"}, true, 11, "",
             [](KsModuleOptions const& o) { EXPECT_EQ(o.compress, 1); }},
        Case{"compress_not_a_number", {"-b", "x", "-z", "fast"}, false, 0, "compress", nullptr},
        Case{"compress_version", {"-V", "-z", "2"}, false, 0, "", nullptr},
        Case{"restrictions_replica", {"-A", "x", "-j"}, true, 12, "",
             [](KsModuleOptions const& o) { EXPECT_TRUE(o.local_restrictions); }},
        Case{"restrictions_restore", {"-r", "x", "-j"}, false, 0, "", nullptr},
        Case{"archive_name_backup", {"-b", "x", "-n", "arch"}, true, 9, "",
             [](KsModuleOptions const& o) { EXPECT_EQ(o.archive_name, "arch"); }},
        Case{"archive_name_restore", {"-r", "x", "-n", "arch"}, false, 0, "", nullptr},
        // A copy name becomes file names below -d: one plain name or nothing.
        Case{"archive_name_parent", {"-b", "x", "-n", "../victim/precious"}, false, 0,
             "The archive name must be one file name, without '/' or control characters: \"../victim/precious\"",
             nullptr},
        Case{"archive_name_two_parts", {"-B", "@LIST", "-n", "a/b"}, false, 0, "\"a/b\"", nullptr},
        Case{"archive_name_dot", {"-A", "x", "-n", "."}, false, 0, "The archive name must be one file name", nullptr},
        Case{"archive_name_dot_dot", {"-b", "x", "-n", ".."}, false, 0, "The archive name must be one file name",
             nullptr},
        Case{"archive_name_line_break", {"-b", "x", "-n", "a\nMAIN SNAPSHOT FILENAME:/etc/shadow"}, false, 0,
             "The archive name must be one file name", nullptr},
        Case{"archive_name_absolute_by_client_archive", {"-b", "x", "-n", "a", "--client-archive", "/tmp/c"}, false,
             0, "The archive name must be one file name", nullptr},
        Case{"archive_name_dots_inside", {"-b", "x", "-n", "vm..full.1"}, true, 9, "", nullptr},
        // A restore's client archive may be a path: it names no file to make.
        Case{"client_archive_path_restore", {"-r", "x", "--client-archive", "/srv/a/vm_full_1.ksfd"}, true, 11, "",
             nullptr},
        Case{"client_archive_restore", {"-r", "x", "--client-archive", "c"}, true, 11, "",
             [](KsModuleOptions const& o) { EXPECT_EQ(o.archive_name, "c"); }},
        Case{"client_archive_wins", {"-b", "x", "-n", "a", "--client-archive", "c"}, true, 9, "",
             [](KsModuleOptions const& o) { EXPECT_EQ(o.archive_name, "c"); }},
        Case{"archiving_backup", {"-b", "x", "-a"}, true, 9,
             "Archiving mode: the module '/usr/lib/kestrova/ks_test_module' will delete the resource after the "
             "task is completed",
             [](KsModuleOptions const& o) { EXPECT_TRUE(o.archiving_mode); }},
        Case{"archiving_full_query", {"-1", "-a"}, false, 0, "", nullptr},
        Case{"archiving_incremental", {"-2", "-b", "x", "-s", "r.snap", "-a"}, false, 0, "", nullptr},
        Case{"archiving_restore", {"-r", "x", "-a"}, false, 0, "", nullptr},
        Case{"reference_full", {"-b", "x", "-s", "r.snap"}, false, 0,
             "Reference snapshot cannot be defined for full backup.", nullptr},
        Case{"reference_replica", {"-2", "-A", "x", "-s", "r.snap"}, false, 0, "", nullptr},
        Case{"media_server_restore", {"-r", "x", "-m", "ms"}, true, 11, "",
             [](KsModuleOptions const& o) { EXPECT_EQ(o.media_server, "ms"); }},
        Case{"media_server_check_client", {"-t", "-m", "ms"}, false, 0, "", nullptr},
        Case{"task_with_media_server", {"-b", "x", "-m", "ms", "-T", "t1"}, true, 9, "",
             [](KsModuleOptions const& o) { EXPECT_EQ(o.task_id, "t1"); }},
        Case{"task_autonomous", {"-b", "x", "--autonomous", "-T", "t1"}, true, 9, "", nullptr},
        Case{"task_parent", {"-r", "x", "-m", "ms", "-T", "../../../tmp/t"}, false, 0,
             "The task ID must be one file name, without '/' or control characters: \"../../../tmp/t\"", nullptr},
        Case{"task_line_break", {"--verify_in_client_defined_storage", "-T", "t\n1"}, false, 0,
             "The task ID must be one file name", nullptr},
        Case{"task_without_media_server", {"-b", "x", "-T", "t1"}, false, 0,
             "You must define media-server before task ID", nullptr},
        Case{"task_delete_from_storage", {"--delete_from_client_defined_storage", "{}", "-T", "t1"}, true, 19, "",
             nullptr},
        Case{"task_check_client", {"-t", "-T", "t1"}, false, 0, "Operation 1 incompatible with task ID", nullptr},
        Case{"granular_restore", {"-r", "x", "-f", "/list"}, true, 11, "",
             [](KsModuleOptions const& o) { EXPECT_EQ(o.granular_list, "/list"); }},
        Case{"granular_backup", {"-b", "x", "-f", "/list"}, false, 0,
             "The '-r' option must also be specified for granular restore", nullptr},
        Case{"dgst_replica", {"-A", "x", "--dgst"}, true, 12, "",
             [](KsModuleOptions const& o) { EXPECT_TRUE(o.dgst); }},
        Case{"dgst_restore_ignored", {"-r", "x", "--dgst"}, true, 11, "",
             [](KsModuleOptions const& o) { EXPECT_FALSE(o.dgst); }},
        Case{"restore_parameters_after_operation", {"-t", "-o"}, false, 0, "", nullptr},
        Case{"need_esign", {"--verify_in_client_defined_storage", "--need_esign"}, true, 20, "",
             [](KsModuleOptions const& o) { EXPECT_TRUE(o.need_esign); }},
        Case{"parallelism_and_memory", {"-b", "x", "-p", "4", "-G", "2048"}, true, 9, "",
             [](KsModuleOptions const& o) {
               EXPECT_EQ(o.parallelism, 4u);
               EXPECT_EQ(o.memory_threshold, 2048u);
             }}), case_name<Case>);

// The rules run in a fixed order, whatever the order on the command line.
INSTANTIATE_TEST_SUITE_P(
    RuleOrder, CommandLine,
    testing::Values(Case{"archiving_before_backup", {"-a", "-b", "x"}, true, 9, "",
                         [](KsModuleOptions const& o) { EXPECT_TRUE(o.archiving_mode); }},
                    Case{"type_after_backup", {"-b", "x", "-2", "-s", "r.snap"}, true, 9, "", type(2)},
                    Case{"reference_before_full", {"-b", "x", "-s", "r.snap", "-1"}, false, 0,
                         "Reference snapshot cannot be defined for full backup.", nullptr},
                    Case{"media_server_after_autonomous", {"--autonomous", "-b", "x", "-m", "ms"}, false, 0,
                         "Can't use media server with autonomous mode", nullptr},
                    Case{"task_before_media_server", {"-T", "t", "-m", "ms", "-b", "x"}, true, 9, "", nullptr},
                    Case{"directory_before_operation", {"-d", "/dst", "-R", "r"}, true, 13, "",
                         [](KsModuleOptions const& o) { EXPECT_EQ(o.destination_resource, "/dst"); }}), case_name<Case>);

// What Boost's parser does with the text: prefixes, repeats, positionals.
INSTANTIATE_TEST_SUITE_P(
    Syntax, CommandLine,
    testing::Values(Case{"prefix_of_version", {"--vers"}, true, 14, "", nullptr},
                    Case{"prefix_of_restore_parameters", {"--restore-p"}, true, 18, "", nullptr},
                    Case{"prefix_of_backup", {"--backup", "x"}, true, 9, "", nullptr},
                    Case{"ambiguous_prefix", {"--list-all"}, false, 0, "ambiguous", nullptr},
                    Case{"mixed_names", {"--backup_list", "@LIST"}, true, 10, "", nullptr},
                    Case{"double_hyphen_name", {"--list-all-resource--with-headers"}, true, 4, "", nullptr},
                    Case{"long_with_equals", {"--backup=vm7"}, true, 9, "",
                         [](KsModuleOptions const& o) { EXPECT_EQ(o.resource, "vm7"); }},
                    Case{"repeated_value", {"-b", "x", "-b", "y"}, false, 0, "more than once", nullptr},
                    Case{"repeated_flag", {"-t", "-t"}, false, 0, "more than once", nullptr},
                    Case{"positional", {"-b", "x", "extra"}, false, 0, "", nullptr},
                    Case{"unknown_option", {"--no-such-option"}, false, 0,
                         "bool KsModuleUniversal::parse_module_options(int, char**, KsModuleOptions&): ", nullptr},
                    Case{"missing_value", {"-b"}, false, 0, "", nullptr}), case_name<Case>);

// Combinations that can never succeed are refused before any work starts.
INSTANTIATE_TEST_SUITE_P(
    NeverSucceeding, CommandLine,
    testing::Values(Case{"incremental_without_reference", {"-2", "-b", "x", "-d", "/t", "-n", "a"}, false, 0,
                         "(-s option)", nullptr},
                    Case{"differential_list_without_reference", {"-3", "-B", "@LIST"}, false, 0, "(-s option)",
                         nullptr},
                    Case{"incremental_replica", {"-2", "-A", "x"}, false, 0, "cannot be used with -A", nullptr},
                    Case{"differential_replica", {"-3", "-A", "x"}, false, 0, "cannot be used with -A", nullptr},
                    Case{"incremental_query_alone", {"-2"}, true, 6, "", type(2)}), case_name<Case>);

TEST(CommandLineHelp, PrintsTheHelpTextAndTheOptionListing) {
  Parsed p = parse({"-h"});
  ASSERT_TRUE(p.accepted);
  for (char const* part : {"This utility is a part of Kestrova project\n", "Version: 2.1.0.test\n",
                           "Usage: /usr/lib/kestrova/ks_test_module\n", "       -V (show version)\n",
                           "compress_type: 1 - no compress, 2 - fast, 3 - optimal, 4 - best\n",
                           "       Remote replication: \n", "--list-all-resource--with-headers",
                           "--delete_from_client_defined_storage arg", "Delete the backup"})
    EXPECT_NE(p.output.find(part), std::string::npos) << part;
  // The module's own lines come at the end of the help text.
  EXPECT_EQ(p.calls.back(), "usage_custom");
  // The module parameters are not parsed for -h.
  EXPECT_EQ(std::count(p.calls.begin(), p.calls.end(), "load_custom_module_parameters"), 0);
}

// ---- module parameters (-e) -------------------------------------------------

struct ParamCase {
  char const* name;
  std::string params;
  std::function<void(kstest::ScriptedModule&)> check;
  std::vector<std::string> messages;
};

std::ostream& operator<<(std::ostream& out, ParamCase const& c) { return out << c.name; }

class ModuleParameters : public testing::TestWithParam<ParamCase> {};

TEST_P(ModuleParameters, AppliesTheItems) {
  ParamCase const& c = GetParam();
  Parsed p = parse({"-r", "rec", "-e", c.params}, c.check);
  EXPECT_TRUE(p.accepted) << p.output;
  EXPECT_EQ(std::count(p.calls.begin(), p.calls.end(), "load_custom_module_parameters"), 1);
  for (auto const& m : c.messages) EXPECT_NE(p.output.find(m), std::string::npos) << m << "\n" << p.output;
}

using M = kstest::ScriptedModule;
using Params = std::map<std::string, std::string>;

INSTANTIATE_TEST_SUITE_P(
    Table, ModuleParameters,
    testing::Values(
        ParamCase{"dedup_parameters",
                  "ksd_hash_algorithm:gost,ksd_hash_length:512,ksd_block_size:4096",
                  [](M& m) {
                    EXPECT_EQ(m.hash_algorithm, "gost");
                    EXPECT_EQ(m.hash_length, 512);
                    EXPECT_EQ(m.block_size, 4096);
                    EXPECT_TRUE(m.special_params.empty());
                  },
                  {}},
        ParamCase{"ksfd_flag_last_wins",
                  "worker_parallelism:2,enable_flexible_dedup:yes,worker_parallelism:4",
                  [](M& m) {
                    EXPECT_EQ(m.ksfd_flags, (Params{{"enable_flexible_dedup", "yes"}, {"worker_parallelism", "4"}}));
                    EXPECT_TRUE(m.special_params.empty());
                  },
                  {}},
        ParamCase{"special_first_wins", "network_uuid:first,network_uuid:second",
                  [](M& m) { EXPECT_EQ(m.special_params, (Params{{"network_uuid", "first"}})); }, {}},
        ParamCase{"bad_items_skipped",
                  "a:1,,b,c:,d:x:y,:z",
                  [](M& m) { EXPECT_EQ(m.special_params, (Params{{"a", "1"}, {"d", "x:y"}, {"", "z"}})); },
                  {"Separator ':' is not found in string: b", "Separator ':' is not found in string: c:"}},
        ParamCase{"true_words", "file_list:t,numeric_owner:true,last:true",
                  [](M& m) {
                    EXPECT_TRUE(m.file_list);
                    EXPECT_TRUE(m.numeric_owner);
                    EXPECT_TRUE(m.last);
                  },
                  {}},
        ParamCase{"other_words_are_false", "file_list:yes,numeric_owner:1,last:t",
                  [](M& m) {
                    EXPECT_FALSE(m.file_list);
                    EXPECT_FALSE(m.numeric_owner);
                    EXPECT_FALSE(m.last);
                  },
                  {}},
        ParamCase{"switches_only_turn_one_way",
                  "without_deployment_restore:no,use_snapshot:f,ignore_errors_snapshot:no,tmp_catalog:/c",
                  [](M& m) {
                    EXPECT_FALSE(m.without_deployment_restore);
                    EXPECT_FALSE(m.use_snapshot);
                    EXPECT_TRUE(m.ignore_errors_snapshot);
                    EXPECT_EQ(m.tmp_catalog, "/c");
                  },
                  {}},
        ParamCase{"switches_turned", "without_deployment_restore:yes,use_snapshot:true,ignore_errors_snapshot:f",
                  [](M& m) {
                    EXPECT_TRUE(m.without_deployment_restore);
                    EXPECT_TRUE(m.use_snapshot);
                    EXPECT_FALSE(m.ignore_errors_snapshot);
                  },
                  {}},
        ParamCase{"snapshot_type_case_sensitive", "snapshot_type:LVM",
                  [](M& m) { EXPECT_EQ(m.snapshot_type, ""); }, {"Wrong value of snapshot_type, ignore..."}},
        ParamCase{"snapshot_type_dattobd", "snapshot_type:dattobd",
                  [](M& m) { EXPECT_EQ(m.snapshot_type, "dattobd"); }, {}},
        ParamCase{"snapshot_size_zero", "snapshot_size:0", [](M& m) { EXPECT_EQ(m.snapshot_size, 10); },
                  {"Wrong OS snaphot size: 0, set to default value: 10%"}},
        ParamCase{"snapshot_size_not_a_number", "snapshot_size:abc,k:v",
                  [](M& m) {
                    EXPECT_EQ(m.snapshot_size, 10);
                    EXPECT_EQ(m.special_params, (Params{{"k", "v"}}));
                  },
                  {"can't convert abc to int"}},
        ParamCase{"lvm_snapshot_size", "lvm_snapshot_size:20",
                  [](M& m) {
                    EXPECT_EQ(m.snapshot_size, 20);
                    EXPECT_TRUE(m.use_snapshot);
                    EXPECT_EQ(m.snapshot_type, "lvm");
                  },
                  {}},
        ParamCase{"lvm_snapshot_size_not_a_number", "lvm_snapshot_size:x",
                  [](M& m) {
                    EXPECT_FALSE(m.use_snapshot);
                    EXPECT_EQ(m.snapshot_type, "");
                  },
                  {"can't convert x to int"}},
        ParamCase{"scripts", "script_before_snapshot:/bin/sh,script_after_snapshot:/nonexistent/x.sh",
                  [](M& m) {
                    EXPECT_EQ(m.before_snapshot_script, "/bin/sh");
                    EXPECT_EQ(m.after_snapshot_script, "");
                    EXPECT_EQ(m.special_params, (Params{{"script_after_snapshot", "/nonexistent/x.sh"},
                                                        {"script_before_snapshot", "/bin/sh"}}));
                  },
                  {}}),
    case_name<ParamCase>);

// A relative -d is made absolute once, against the working directory of the
// start, for every operation that takes it; an absolute one stays as given.
TEST(TemporaryDirectory, RelativeBecomesAbsoluteAgainstTheWorkingDirectory) {
  kstest::TempDir work;
  fs::path const before = fs::current_path();
  fs::current_path(work.path());
  std::string const cwd = fs::current_path().string();  // as getcwd gives it
  struct Row {
    std::vector<std::string> args;  // the operation, then -d and its value
    std::string directory;
  };
  std::vector<Row> const rows = {
      {{"-b", "x", "-d", "task"}, cwd + "/task"},
      {{"-b", "x", "-d", "."}, cwd},
      {{"-b", "x", "-d", "./"}, cwd},
      {{"-r", "rec", "-d", "./a//b/."}, cwd + "/a/b"},
      {{"-A", "x", "-d", "../up"}, cwd + "/../up"},
      {{"-R", "rec", "-d", "dst"}, cwd + "/dst"},
      {{"-b", "x", "-d", "/abs/./x/"}, "/abs/./x/"},
      {{"-b", "x", "-d", ""}, ""},
  };
  std::vector<Parsed> parsed;
  for (auto const& row : rows) parsed.push_back(parse(row.args));
  fs::current_path(before);
  for (std::size_t i = 0; i < rows.size(); ++i) {
    SCOPED_TRACE(rows[i].args.back());
    ASSERT_TRUE(parsed[i].accepted) << parsed[i].output;
    EXPECT_EQ(parsed[i].options.tmp_operation_directory, rows[i].directory);
    if (rows[i].args[0] == "-R") {
      EXPECT_EQ(parsed[i].options.destination_resource, rows[i].directory);
    }
  }
}

// Without a working directory a relative -d names nothing: refused.
TEST(TemporaryDirectory, RelativeWithoutAWorkingDirectoryIsRefused) {
  fs::path const before = fs::current_path();
  Parsed p;
  {
    kstest::TempDir gone;
    fs::current_path(gone.path());
  }
  p = parse({"-b", "x", "-d", "task"});
  fs::current_path(before);
  EXPECT_FALSE(p.accepted);
  EXPECT_NE(p.output.find("Error: The temporary operation directory (-d) \"task\" is relative, and the working "
                          "directory cannot be read: "),
            std::string::npos)
      << p.output;
  // An absolute one needs none.
  fs::current_path("/");
  EXPECT_TRUE(parse({"-b", "x", "-d", "/t"}).accepted);
  fs::current_path(before);
}

TEST(ModuleParametersParse, RunsWithoutOptionE) {
  Parsed p = parse({"-b", "x"});
  ASSERT_TRUE(p.accepted);
  EXPECT_EQ(std::count(p.calls.begin(), p.calls.end(), "load_custom_module_parameters"), 1);
}

TEST(ModuleParametersParse, UnconvertibleDedupNumberRefusesTheCommandLine) {
  for (char const* params : {"ksd_block_size:big", "ksd_hash_length:x1"}) {
    Parsed p = parse({"-r", "rec", "-e", params});
    EXPECT_FALSE(p.accepted) << params;
    EXPECT_NE(p.output.find("parse_module_options(int, char**, KsModuleOptions&): stoi"), std::string::npos)
        << p.output;
  }
  // An empty value is skipped with a warning before any conversion.
  Parsed p = parse({"-r", "rec", "-e", "ksd_hash_length:"}, [](M& m) { EXPECT_EQ(m.hash_length, 256); });
  EXPECT_TRUE(p.accepted);
}

TEST(SpecialParams, FindAndPresence) {
  parse({"-r", "rec", "-e", "a:1,b:"}, [](M& m) {
    m.special_params["empty"] = "";
    std::string value = "kept";
    EXPECT_TRUE(m.find_special_param("a", value));
    EXPECT_EQ(value, "1");
    value = "kept";
    EXPECT_FALSE(m.find_special_param("missing", value));
    EXPECT_EQ(value, "kept");
    EXPECT_FALSE(m.find_special_param("empty", value));
    EXPECT_EQ(value, "");
    EXPECT_TRUE(m.has_special_param_passed_from_client("empty"));
    EXPECT_FALSE(m.has_special_param_passed_from_client("b"));
  });
}

// ---- helpers ------------------------------------------------------------------

TEST(ShieldString, GivesBackTheTextThroughARealShell) {
  std::vector<std::string> const texts = {
      "plain", "a b", "it's", "x\ny", "tab\there", "back\\slash", "", "$(echo pwned)", "`id`",
      "*?[]{}<>|;&!~#:@.%^\"", "'", "-n"};
  for (auto const& text : texts) {
    std::string shielded = text;
    shield_string_for_command(shielded);
    kstest::RunResult r = kstest::run("printf '%s' " + shielded);
    EXPECT_EQ(r.status, 0) << shielded;
    EXPECT_EQ(r.output, text) << shielded;
  }
}

TEST(OptionsHelpers, CompressModeNames) {
  kstest::ScriptedModule m;
  std::vector<std::pair<unsigned, std::string>> const table = {
      {1, "None"}, {2, "fast"}, {3, "optimal"}, {4, "best"}, {0, "Wrong or deprecated compression type: 0"},
      {17, "Wrong or deprecated compression type: 17"}};
  for (auto const& [code, name] : table) EXPECT_EQ(m.compress_mode_str(code), name);
}

TEST(OptionsHelpers, TaskSecretPath) {
  kstest::FrameworkLog log;
  kstest::ScriptedModule m;
  EXPECT_EQ(m.get_task_secret(), "/opt/kestrova/var/tasks//task_secret_");
  EXPECT_TRUE(log.contains("Error: Task ID is empty"));
  m.options_.task_id = "42";
  EXPECT_EQ(m.get_task_secret(), "/opt/kestrova/var/tasks//task_secret_42");
}

TEST(OptionsHelpers, SplitFullVersion) {
  struct Row {
    std::string full, major_minor, third, fourth;
  };
  for (auto const& row : std::vector<Row>{{"2.1.0.948a6fb", "2.1", "0", "948a6fb"},
                                          {"2.1.0.948a6fb.9", "2.1", "0", "948a6fb"},
                                          {"3.4", "3.4", "", ""},
                                          {"7", "7.", "", ""}}) {
    std::string a = "x", b = "x", c = "x";
    EXPECT_EQ(split_full_version(row.full, a, b, c), 0);
    EXPECT_EQ(a, row.major_minor) << row.full;
    EXPECT_EQ(b, row.third) << row.full;
    EXPECT_EQ(c, row.fourth) << row.full;
  }
}

// ---- resource list files (-B) -----------------------------------------------------

TEST(ResourceListFile, ReadsPathMembersInOrder) {
  kstest::FrameworkLog log;
  kstest::TempDir dir;
  struct Row {
    char const* json;
    bool ok;
    std::list<std::string> paths;
    char const* message;
  };
  std::vector<Row> const rows = {
      {R"([{"path": "/a"}, {"other": 1, "path": "/b"}])", true, {"/a", "/b"}, nullptr},
      {R"({"first": {"path": "/x"}, "second": {"path": "/y", "size": 3}})", true, {"/x", "/y"}, nullptr},
      {R"([{"name": "a"}])", true, {}, "there is no any resource in json file: "},
      {R"([{"path": "/a"}, )", false, {}, "json parser error: "},
  };
  for (auto const& row : rows) {
    log.clear();
    kstest::write_file(dir / "r.json", row.json);
    ResourceList list;
    list.resources = {"stale"};
    EXPECT_EQ(list.parse_json_file((dir / "r.json").string()), row.ok) << row.json;
    if (row.ok) {
      EXPECT_EQ(list.resources, row.paths) << row.json;
    }
    if (row.message) {
      EXPECT_TRUE(log.contains(row.message)) << log.text();
    }
    EXPECT_EQ(list.is_empty(), list.resources.empty());
  }
  ResourceList list;
  EXPECT_FALSE(list.parse_json_file((dir / "missing.json").string()));
  EXPECT_TRUE(log.contains("bool ResourceList::parse_json_file("));
  EXPECT_TRUE(log.contains("): resource list file does not exist: "));
}

TEST(ResourceListFile, CommandLineAcceptsAListWithoutPaths) {
  kstest::TempDir dir;
  kstest::write_file(dir / "r.json", "[]");
  Parsed p = parse({"-B", (dir / "r.json").string()});
  EXPECT_TRUE(p.accepted);
  EXPECT_TRUE(p.options.resource_list.is_empty());
}

TEST(ResourceListFile, RestrictionsMatchExactly) {
  kstest::FrameworkLog log;
  ResourceList list;
  list.resources = {"/srv/a", "/srv/b"};
  EXPECT_TRUE(list.check_local_restrictions({"/srv", "/srv/a/", " /srv/b", ""}));
  EXPECT_FALSE(list.check_local_restrictions({"/other", "/srv/b"}));
  EXPECT_TRUE(log.contains("Unable to backup this resource from ResourceList: /srv/b. Local restriction"));
}

}  // namespace
