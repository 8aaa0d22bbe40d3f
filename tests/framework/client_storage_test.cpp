// Client-defined storages: the storages file enciphered here with openssl's
// Kuznyechik-CTR and read back, its records, the choice of a storage and what
// it changes for a backup and a restore; archive names and the delete list;
// signature verification with a real openssl key pair.
#include <sys/stat.h>

#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include <boost/filesystem.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "common/test_util.h"
#include "ksfd_module.h"
#include "support/cppcrypto/ctr.h"
#include "support/cppcrypto/kuznyechik.h"

namespace {

namespace fs = boost::filesystem;
using kstest::ScopedEnv;
using ::testing::HasSubstr;
using ::testing::Not;

std::string hex_of(std::string const& bytes) {
  static char const digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

// The storages file as the client writes it: the text enciphered with
// Kuznyechik in counter mode under the secret line padded to 32 bytes, the
// counter starting at "qT" followed by zero bytes. openssl's GOST engine is
// the oracle; without it, the crypto library of this project stands in.
std::string encipher(std::string const& text, std::string const& secret_line) {
  std::string key = secret_line.substr(0, 32);
  key.resize(32, '\0');
  kstest::TempDir dir;
  kstest::write_file(dir / "plain", text);
  auto r = kstest::run("openssl enc -engine gost -kuznyechik-ctr -K " + hex_of(key) +
                       " -iv 7154000000000000 -in " + (dir / "plain").string() + " -out " + (dir / "cipher").string());
  if (r.status == 0) return kstest::read_file(dir / "cipher");
  static bool noted = false;
  if (!noted) std::cerr << "note: openssl's GOST engine is not usable, enciphering with this project's library\n" << r.output;
  noted = true;
  cppcrypto::kuznyechik cipher;
  cppcrypto::ctr mode(cipher);
  mode.init(reinterpret_cast<unsigned char const*>(key.data()), 32, reinterpret_cast<unsigned char const*>("qT"), 2);
  std::string out(text.size(), '\0');
  mode.encrypt(reinterpret_cast<unsigned char const*>(text.data()), text.size(),
               reinterpret_cast<unsigned char*>(&out[0]));
  return out;
}

std::string storages_path(std::string const& task) {
  return "/opt/kestrova/var/tasks/" + task + ".client_defined_storages";
}

void write_storages(std::string const& task, std::string const& secret_file, std::string const& secret_line,
                    std::string const& text) {
  kstest::write_file(kstest::task_secret_path(task), secret_file);
  kstest::write_file(storages_path(task), encipher(text, secret_line));
}

struct Loaded {
  bool ok = false;
  std::vector<KsModuleUniversal::ClientDefinedStorageInfo> storages;
  std::string log;
};

Loaded load(std::string const& task) {
  kstest::KsfdModule module;
  module.options_.task_id = task;
  kstest::FrameworkLog log;
  Loaded l;
  l.ok = module.load_client_defined_storages();
  l.storages = module.client_defined_storages;
  l.log = log.text();
  return l;
}

std::string describe(std::vector<KsModuleUniversal::ClientDefinedStorageInfo> const& storages) {
  std::string out;
  for (auto const& s : storages) out += std::to_string(s.type) + "," + std::to_string(s.id) + "," + s.params + ";";
  return out;
}

TEST(StoragesFile, RecordsReadBackInFileOrder) {
  KS_REQUIRE_SANDBOX();
  std::string text =
      "{\"id\": 7, \"method\": {\"local-directory\": \"/srv/a\"}}\n"
      "\n"
      "{\"id\": 8, \"method\": {}}\n"
      "{\"id\": 9, \"method\": {\"s3\": {\"bucket\": \"b\", \"region\": \"r\"}}}\n"
      "{\"id\": \"10\", \"method\": {}}\n"
      "{\"id\": 11, \"method\": {\"ftp\": \"x\"}}\n"
      "{\"id\": 4294967303, \"method\": {}}\n"
      "{\"id\": -2147483649, \"method\": {}}\n"
      "{\"id\": 12}\n"
      "[1, 2]\n"
      "{\"id\": 13, \"method\": \"x\"}\n"
      "not json\n"
      "{\"id\": -5, \"method\": {\"other\": 1, \"s3\": \"x\", \"local-directory\": \"/d\"}}\n"
      "{\"id\": 2147483647, \"method\": {}}\n";
  // The text ends at its first zero byte.
  text += std::string(1, '\0') + "{\"id\": 99, \"method\": {}}\n";
  write_storages("t1", "s3cret\n", "s3cret", text);
  Loaded l = load("t1");
  ASSERT_TRUE(l.ok) << l.log;
  EXPECT_EQ(describe(l.storages),
            "1,7,/srv/a;3,8,;2,9,{\"bucket\":\"b\",\"region\":\"r\"};2,-5,\"x\";3,2147483647,;");
  for (char const* message :
       {": id is not a number: {\"id\": \"10\"", ": can't parse client defined storage json string: {\"id\": 11",
        ": id is out of range: {\"id\": 4294967303", ": id is out of range: {\"id\": -2147483649",
        ": storage record format is invalid: {\"id\": 12}", ": json value is not an object",
        ": method is not an object", ": boost::json: ", ": not json",
        "CLient defined methods of access to the storage: 5"}) {
    EXPECT_THAT(l.log, HasSubstr(message));
  }
  EXPECT_THAT(l.log, Not(HasSubstr("99")));
}

// The key is the first line of the secret file without its line feed (a
// carriage return stays), padded with zero bytes or cut to 32 bytes.
TEST(StoragesFile, KeyFromTheTaskSecret) {
  KS_REQUIRE_SANDBOX();
  struct {
    std::string file;
    std::string line;
  } const cases[] = {
      {"abc\r\nnot part of it\n", "abc\r"},
      {"0123456789abcdef0123456789abcdefXYZ\n", "0123456789abcdef0123456789abcdef"},
      {"no line end", "no line end"},
  };
  for (auto const& c : cases) {
    write_storages("t2", c.file, c.line, "{\"id\": 3, \"method\": {}}\n");
    Loaded l = load("t2");
    EXPECT_TRUE(l.ok);
    EXPECT_EQ(describe(l.storages), "3,3,;") << l.log;
  }
  // Another key gives another text, which holds no record.
  write_storages("t2", "abc\n", "abd", "{\"id\": 3, \"method\": {}}\n");
  EXPECT_EQ(describe(load("t2").storages), "");
}

TEST(StoragesFile, MissingPieces) {
  KS_REQUIRE_SANDBOX();
  struct {
    char const* name;
    char const* task;
    char const* secret;  // nullptr: no secret file
    bool storages_file;
    bool ok;
    char const* message;
  } const cases[] = {
      {"no_task", "", nullptr, false, true, "client defined storages loading skipped"},
      {"no_secret", "m1", nullptr, true, false, ": task secret file doesn't exist: /opt/kestrova/var/tasks//task_secret_m1"},
      {"empty_secret", "m2", "\nkey\n", true, true, ": task secret is empty"},
      {"no_storages_file", "m3", "key\n", false, true, ""},
  };
  for (auto const& c : cases) {
    if (c.secret) kstest::write_file(kstest::task_secret_path(c.task), c.secret);
    if (c.storages_file) kstest::write_file(storages_path(c.task), encipher("{\"id\": 3, \"method\": {}}\n", "key"));
    Loaded l = load(c.task);
    EXPECT_EQ(l.ok, c.ok) << c.name << l.log;
    EXPECT_TRUE(l.storages.empty()) << c.name;
    EXPECT_THAT(l.log, HasSubstr(c.message)) << c.name;
  }
}

// ---- choosing a storage -----------------------------------------------------------------

class Storages : public testing::Test {
 protected:
  void SetUp() override {
    KS_REQUIRE_SANDBOX();
    kstest::write_file(src_ / "disk0", std::string(40000, 'd'));
    kstest::write_file(src_ / "vm.config", "name=vm\n");
  }
  void storages(std::string const& text) { write_storages("t7", "secret\n", "secret", text); }
  std::string local(int id, std::string const& dir) {
    return "{\"id\": " + std::to_string(id) + ", \"method\": {\"local-directory\": \"" + dir + "\"}}\n";
  }
  kstest::KsfdModule& module(bool autonomous, std::vector<int> supported) {
    KsModuleOptions o = kstest::module_capabilities();
    o.supports_autonomous = autonomous;
    module_.reset(new kstest::KsfdModule(o));
    module_->supported_storages = std::move(supported);
    module_->items = {{(src_ / "disk0").string(), "vdb"}, {(src_ / "vm.config").string(), "vm.config"}};
    module_->list_file = (aux_ / "ksfd.list").string();
    return *module_;
  }
  kstest::TempDir src_, store_, aux_, work_, restore_;
  std::unique_ptr<kstest::KsfdModule> module_;
};

std::vector<std::string> const kBackup = {"-1", "-b", "vm", "-d", "/nonexistent", "-n", "arch", "-m", "media1", "-T", "t7"};

TEST_F(Storages, BackupAndRestoreThroughALocalDirectory) {
  // The first storage is no directory; the next one that is wins.
  kstest::write_file(aux_ / "file", "x");
  storages(local(5, (aux_ / "file").string()) + local(7, store_.str()) + local(8, aux_.str()));
  kstest::ModuleRun b = kstest::run_module(module(true, {1}), kBackup);
  ASSERT_EQ(b.code, 0u) << b.out << b.log;
  EXPECT_THAT(b.log, HasSubstr(aux_.str() + "/file is not a directory"));
  EXPECT_THAT(b.out, HasSubstr("CLIENT DEFINED STORAGE:local-directory@7\nMAIN ARCHIVE FILENAME:" + store_.str() +
                               "/arch.ksfd\n"));
  EXPECT_TRUE(fs::exists(store_ / "arch.ksfd"));
  EXPECT_TRUE(fs::exists(store_ / "arch.snap"));

  // The restore names archive and snapshot by storage; the restore directory
  // is the client's own.
  kstest::ModuleRun r = kstest::run_module(
      module(true, {1}), {"-r", "rec", "-d", restore_.str(), "-m", "media1", "-T", "t7", "--client-archive",
                          "local-directory:7@" + store_.str() + "/arch.ksfd", "-M",
                          "local-directory:7@" + store_.str() + "/arch.snap"});
  ASSERT_EQ(r.code, 0u) << r.out << r.log;
  EXPECT_THAT(r.log, HasSubstr("Rename snapshot to: " + store_.str() + "/arch.snap"));
  EXPECT_THAT(r.log, HasSubstr("Rename restored object to: " + store_.str() + "/arch.ksfd"));
  EXPECT_EQ(kstest::read_file(restore_ / "rec.rest" / "vdb"), std::string(40000, 'd'));
  EXPECT_TRUE(fs::exists(store_ / "arch.snap"));
}

TEST_F(Storages, ModuleDefaultStorageSkipsTheRestoreRun) {
  storages("{\"id\": 3, \"method\": {}}\n");
  kstest::ModuleRun r = kstest::run_module(
      module(true, {3}), {"-r", "rec", "-d", restore_.str(), "-m", "media1", "-T", "t7", "--client-archive", "default:3@x"});
  EXPECT_EQ(r.code, 0u) << r.out << r.log;
  EXPECT_THAT(r.log, HasSubstr(" Using module default storage."));
  EXPECT_THAT(r.log, HasSubstr("Module default storage. Skipping ksfd run."));
  EXPECT_THAT(r.log, Not(HasSubstr(":ksfd command:")));
}

TEST_F(Storages, RefusedStoragesEndInit) {
  struct {
    char const* name;
    std::string text;
    bool autonomous;
    std::vector<int> supported;
    char const* message;
  } const cases[] = {
      // This program's module supports no storage type at all.
      {"unsupported", local(7, store_.str()), false, {}, "The module doesn't support client defined storage type: 1"},
      {"not_autonomous", local(7, store_.str()), false, {1}, "To use client defined storage the module MUST support autonomous mode"},
      {"no_directory", local(7, "/nonexistent/store"), true, {1}, "There is no good client defined storage"},
      {"s3", "{\"id\": 2, \"method\": {\"s3\": {}}}\n", true, {2}, ": unsupported client defined storage type: 2"},
  };
  for (auto const& c : cases) {
    storages(c.text);
    kstest::ModuleRun r = kstest::run_module(module(c.autonomous, c.supported), kBackup);
    EXPECT_FALSE(r.init_ok) << c.name;
    EXPECT_THAT(r.log, HasSubstr(c.message)) << c.name;
    EXPECT_THAT(r.log, HasSubstr(": can't prepare the module to work with client defined storage")) << c.name;
  }
  // A task whose secret file is missing.
  fs::remove(kstest::task_secret_path("t7"));
  kstest::ModuleRun r = kstest::run_module(module(true, {1}), kBackup);
  EXPECT_FALSE(r.init_ok);
  EXPECT_THAT(r.log, HasSubstr(": Can't load cliend defined storages info"));
}

// ---- names and lists ----------------------------------------------------------------------

TEST(ArchiveNames, TakenApart) {
  struct {
    char const* name;
    bool ok;
    int type, id;
    char const* file;
  } const cases[] = {
      {"local-directory:7@/srv/a", true, 1, 7, "/srv/a"},
      {"default#3@x", true, 3, 3, "x"},
      {"s3:12@bucket/key@2", true, 2, 12, "bucket/key@2"},
      {"local-directory: 42 rest@/b", true, 1, 42, "/b"},
      {"local-directory:-4@/b", true, 1, -4, "/b"},
      {"s3:12", false, 0, 0, ""},
      {"s3:12@", false, 0, 0, ""},
      {"local-directory:@/srv/a", false, 0, 0, ""},
      {"local-directory:99999999999@/srv/a", false, 0, 0, ""},
      {"local-directory", false, 0, 0, ""},
      {"ftp:1@/x", false, 0, 0, ""},
      {"", false, 0, 0, ""},
  };
  for (auto const& c : cases) {
    KsModuleUniversal::ClientDefinedArchiveInfo info{};
    EXPECT_EQ(KsModuleUniversal::split_client_defined_archive_name(c.name, info), c.ok) << c.name;
    if (!c.ok) continue;
    EXPECT_EQ(info.type, c.type) << c.name;
    EXPECT_EQ(info.id, c.id) << c.name;
    EXPECT_EQ(info.file, c.file) << c.name;
  }
}

TEST(DeleteList, PairsFromTheJson) {
  KS_REQUIRE_SANDBOX();
  using Pairs = std::vector<std::pair<int, std::string>>;
  struct {
    char const* json;
    bool ok;
    Pairs pairs;
    char const* message;
  } const cases[] = {
      {"{}", true, {{3, ""}}, ""},
      {R"({"a": "local-directory:/srv/a", "b": "s3:bucket", "c": "", "d": "s3:", "e": "s3"})", true,
       {{1, "/srv/a"}, {2, "bucket"}, {2, ""}, {2, ""}}, "Key: a, value: local-directory:/srv/a"},
      {R"({"a": "ftp:/x", "b": "local-directory:/y"})", true, {{1, "/y"}}, ": wrong client defined storage type here: ftp:/x"},
      {"[1]", false, {}, ": json value is not an object"},
      {"{", false, {}, ": exception: "},
  };
  for (auto const& c : cases) {
    kstest::KsfdModule module;
    kstest::FrameworkLog log;
    Pairs pairs;
    EXPECT_EQ(module.parse_json_of_client_defined_storage(c.json, pairs), c.ok) << c.json;
    EXPECT_EQ(pairs, c.pairs) << c.json;
    EXPECT_THAT(log.text(), HasSubstr(c.message)) << c.json;
  }
}

TEST(SignatureFile, BytesFromHexadecimalPairs) {
  KS_REQUIRE_SANDBOX();
  kstest::TempDir dir;
  struct {
    char const* hex;
    std::string bytes;
  } const cases[] = {
      {"0a1bff", std::string("\x0a\x1b\xff", 3)},
      {"0a1", std::string("\x0a", 1)},  // a last single character is ignored
      {"zz0A", std::string("\x0a", 1)},  // a pair that is no number is skipped
      {"00", std::string(1, '\0')},
      {"", ""},
  };
  kstest::KsfdModule module;
  for (auto const& c : cases) {
    std::string const path = (dir / "sig").string();
    ASSERT_TRUE(module.write_esign(c.hex, path)) << c.hex;
    EXPECT_EQ(kstest::read_file(path), c.bytes) << c.hex;
  }
  kstest::FrameworkLog log;
  EXPECT_FALSE(module.write_esign("00", (dir / "no" / "sig").string()));
  EXPECT_THAT(log.text(), HasSubstr(": can't create: " + dir.str() + "/no/sig"));
}

// ---- verification (operation 20) ------------------------------------------------------------

char const kArchive[] = "it's $a.ksfd";
char const kSnapshot[] = "it's $a.snap";

class Verify : public testing::Test {
 protected:
  void SetUp() override {
    KS_REQUIRE_SANDBOX();
    // The tarball is unpacked below TMPDIR, into a directory of its own.
    tmpdir_.reset(new ScopedEnv("TMPDIR", tmp_.str()));
    kstest::write_file(kstest::task_secret_path("t9"), "secret\n");
    for (char const* key : {"good", "other"}) {
      ASSERT_EQ(0, kstest::run("openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out " + p(key) +
                               ".pem && openssl pkey -in " + p(key) + ".pem -pubout -out " + p(key) + ".pub")
                       .status);
    }
    // Names the shell would split or expand.
    kstest::write_file(dir_ / kArchive, std::string(100000, 'a'));
    fs::create_directories(dir_ / "pack");
    kstest::write_file(dir_ / "pack" / "arch.meta", "meta");
    ASSERT_EQ(0, kstest::run("cd " + p("pack") + " && tar czf " + kstest::sh_quote(p(kSnapshot)) + " .").status);
  }
  std::string p(std::string const& name) const { return (dir_ / name).string(); }
  std::string signature(std::string const& key, std::string const& file, std::string const& digest = "sha256") const {
    auto r = kstest::run("openssl dgst -" + digest + " -sign " + p(key) + ".pem -out " + p("sig.bin") + " " +
                         kstest::sh_quote(file));
    EXPECT_EQ(r.status, 0) << r.output;
    return hex_of(kstest::read_file(p("sig.bin")));
  }
  kstest::ModuleRun verify(std::string const& esign, std::string const& key = "good",
                           std::string const& hash = "sha256") {
    kstest::KsfdModule module;
    return kstest::run_module(module, {"--verify_in_client_defined_storage", "-T", "t9", "-k", p(key) + ".pub",
                                       "--sign_hash", hash, "-M", p(kSnapshot), "--esign", esign});
  }
  std::string esign(std::string const& archive_sign, std::string const& snapshot_sign,
                    std::string const& name = std::string()) const {
    return R"({"archive_name": ")" + (name.empty() ? "local-directory:7@" + p(kArchive) : name) +
           R"(", "archive_sign": ")" + archive_sign + R"(", "snapshot_sign": ")" + snapshot_sign + R"("})";
  }
  kstest::TempDir dir_, tmp_;
  std::unique_ptr<ScopedEnv> tmpdir_;
};

TEST_F(Verify, Verdicts) {
  std::string const archive_ok = signature("good", p(kArchive));
  std::string const snapshot_ok = signature("good", p(kSnapshot));
  std::string const wrong = signature("good", p("pack/arch.meta"));
  // An archive of the tool whose blocks were hashed with SHA-512 (-5) is
  // signed with SHA-512; the module's verify command names no digest.
  kstest::write_file(p("disk"), std::string(70000, 'd'));
  kstest::write_file(p("list"), "KSFD file list:\n   " + p("disk") + " : disk\n");
  auto made = kstest::run("cd / && /opt/kestrova/bin/ksfd -a sha2 -5 -b 4096 -c " + p("list") + " -x " + p("none") +
                          " -z None -n " + p("sha512.ksfd") + " -m " + p("sha512.meta"));
  ASSERT_EQ(made.status, 0) << made.output;
  std::string const sha512_archive = "local-directory:7@" + p("sha512.ksfd");
  struct {
    char const* name;
    std::string esign;
    std::string key;
    char const* only;  // the stand-in's faults apply to this mode
    char const* verdict;
    std::string hash = "sha256";
  } const cases[] = {
      {"trusted", esign(archive_ok, snapshot_ok), "good", "", "Trusted"},
      // Without a digest name openssl takes its default one; names ignore case.
      {"default_digest", esign(archive_ok, snapshot_ok), "good", "", "Trusted", ""},
      {"upper_case_digest", esign(archive_ok, snapshot_ok), "good", "", "Trusted", "SHA256"},
      {"other_digest", esign(archive_ok, snapshot_ok), "good", "", "Wrong status", "sha512"},
      {"sha512_archive", esign(signature("good", p("sha512.ksfd"), "sha512"), signature("good", p(kSnapshot), "sha512"),
                               sha512_archive),
       "good", "", "Trusted", "sha512"},
      {"sha512_archive_signed_sha256", esign(signature("good", p("sha512.ksfd")), snapshot_ok, sha512_archive), "good",
       "", "Wrong status"},
      {"archive_signature_wrong", esign(wrong, snapshot_ok), "good", "", "Wrong status"},
      {"snapshot_signature_wrong", esign(archive_ok, wrong), "good", "", "Wrong status"},
      {"other_key", esign(archive_ok, snapshot_ok), "other", "", "Wrong status"},
      // A verifier that did not finish confirmed nothing.
      {"verifier_killed", esign(archive_ok, snapshot_ok), "good", "verify", "Wrong status"},
  };
  for (auto const& c : cases) {
    std::unique_ptr<ScopedEnv> only, raise;
    if (*c.only) {
      only.reset(new ScopedEnv("KSFD_STANDIN_ONLY", c.only));
      raise.reset(new ScopedEnv("KSFD_STANDIN_RAISE", "9"));
    }
    kstest::ModuleRun r = verify(c.esign, c.key, c.hash);
    EXPECT_EQ(r.code, 0u) << c.name << r.log;
    EXPECT_TRUE(fs::is_empty(tmp_.path())) << c.name << ": the unpacked tarball was left behind";
    EXPECT_EQ(kstest::lines_with(r.out, "VERIFICATION RESULT:"),
              std::vector<std::string>{std::string("VERIFICATION RESULT:") + c.verdict})
        << c.name << r.out << r.log;
    // The signature files live for one verification; the client's tarball
    // was read, not used up.
    EXPECT_FALSE(fs::exists("/opt/kestrova/var/tasks/task_t9.archive.sign")) << c.name;
    EXPECT_FALSE(fs::exists("/opt/kestrova/var/tasks/task_t9.snapshot.sign")) << c.name;
    EXPECT_TRUE(fs::exists(p(kSnapshot))) << c.name;
    if (std::string(c.verdict) == "Trusted") {
      std::string const archive = c.esign.find("sha512.ksfd") == std::string::npos ? p(kArchive) : p("sha512.ksfd");
      EXPECT_THAT(r.log, HasSubstr("Verification of: '" + archive + "': [ ok ]"));
      EXPECT_THAT(r.log, HasSubstr("Verification of: '" + p(kSnapshot) + "': [ ok ]"));
    } else {
      EXPECT_THAT(r.log, HasSubstr("': [ failed ]")) << c.name;
    }
  }
}

// The digest name becomes an openssl option: anything but a digest name is
// refused before a signature file is written or anything runs.
TEST_F(Verify, DigestNamesThatAreNoDigestAreRefused) {
  std::string const archive_ok = signature("good", p(kArchive));
  std::string const snapshot_ok = signature("good", p(kSnapshot));
  std::string const written = p("written");
  for (std::string const& hash :
       {"out=" + written, std::string("out"), std::string("sign"), std::string("hex"), std::string("-sha256"),
        "sha256 -out " + written, "sha256=" + written, std::string("sha256;touch ") + written,
        std::string("sha256\n")}) {
    kstest::ModuleRun r = verify(esign(archive_ok, snapshot_ok), "good", hash);
    EXPECT_EQ(r.code, 12u) << hash << r.log;
    EXPECT_THAT(r.log, HasSubstr(": not a digest name (--sign_hash): ")) << hash;
    EXPECT_THAT(r.out, Not(HasSubstr("VERIFICATION RESULT:"))) << hash;
    EXPECT_THAT(r.log, Not(HasSubstr("Verification of: "))) << hash;
    EXPECT_FALSE(fs::exists(written)) << hash;
    EXPECT_FALSE(fs::exists("/opt/kestrova/var/tasks/task_t9.snapshot.sign")) << hash;
    EXPECT_TRUE(fs::is_empty(tmp_.path())) << hash;
  }
  // The check itself refuses as well, whoever calls it.
  kstest::KsfdModule module;
  kstest::FrameworkLog log;
  EXPECT_FALSE(module.check_filename_by_esing(p("good") + ".pub", "out", p("sig.bin"), p(kSnapshot), true));
  EXPECT_THAT(log.text(), HasSubstr(": not a digest name (--sign_hash): \"out\""));
}

// A file whose name begins with "-" is read as a file, not as an option.
TEST_F(Verify, FileNamedLikeAnOption) {
  kstest::write_file(dir_ / "-out=x", "data");
  std::string const sig = signature("good", p("-out=x"));
  kstest::KsfdModule module;
  ASSERT_TRUE(module.write_esign(sig, p("sig")));
  fs::path const before = fs::current_path();
  fs::current_path(dir_.path());
  kstest::FrameworkLog log;
  bool const ok = module.check_filename_by_esing(p("good") + ".pub", "sha256", p("sig"), "-out=x", true);
  fs::current_path(before);
  EXPECT_TRUE(ok) << log.text();
  EXPECT_FALSE(fs::exists(dir_ / "x"));
}

TEST_F(Verify, Refusals) {
  struct {
    char const* name;
    std::string esign;
    char const* message;
  } const cases[] = {
      {"not_json", "{", ": can't parse json: {"},
      {"empty_object", "{}", ": json object value is empty"},
      {"not_an_object", "[]", ": json value is not an object"},
      {"s3_archive", esign("00", "00", "s3:1@bucket/arch"), ": unsupported client defined storage here: s3:1@bucket/arch"},
      {"no_archive_name", R"({"archive_sign": "00"})", ": unsupported client defined storage here: "},
  };
  for (auto const& c : cases) {
    kstest::ModuleRun r = verify(c.esign);
    EXPECT_EQ(r.code, 12u) << c.name << r.log;
    EXPECT_THAT(r.log, HasSubstr(c.message)) << c.name;
    EXPECT_THAT(r.out, Not(HasSubstr("VERIFICATION RESULT:"))) << c.name;
  }
}

}  // namespace
