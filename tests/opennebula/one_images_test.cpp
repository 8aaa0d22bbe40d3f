// Images: attributes, queries, and unique signatures by disk type and driver,
// checked against md5sum and real files, links and a loop device.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "opennebula/image_signature.h"
#include "opennebula/images.h"
#include "opennebula/one_test_support.h"

using namespace ks_opennebula_common;
using onetest::LogCapture;
using onetest::Standins;
using onetest::replaced;

namespace {

constexpr char kAttrSig[] = "int ks_opennebula_common::get_image_attributes(const string&, oneimage&, bool)";
constexpr char kCalcSig[] = "bool ks_opennebula_common::calculate_unique_signature(oneimage&, TM_MAD_TYPE, bool)";
constexpr char kExistSig[] = "bool ks_opennebula_common::does_image_exist(const oneimage&, bool)";
constexpr char kMd5Sig[] = "int ks_opennebula_common::calc_md5sum(const string&, std::__cxx11::string&)";
constexpr char kBlockSig[] =
    "int ks_opennebula_common::calc_md5sum_for_block_device(const string&, std::__cxx11::string&)";
constexpr char kUuidSig[] = "int ks_opennebula_common::get_image_uuid(const string&, std::__cxx11::string&)";
constexpr char kCephSig[] = "int ks_opennebula_common::get_ceph_image_id(const string&, std::__cxx11::string&)";

const std::vector<std::string> kLvs{"lvs", "--noheadings", "--separator", "|", "-o", "vg_name,lv_name,lv_uuid"};

using Img = onetest::ImageXml;

std::string image_xml(const Img& i) { return i.str(); }

std::string datastore_xml(const std::string& type, const std::string& tm_mad) {
  onetest::DatastoreXml ds;
  ds.type = type;
  ds.tm_mad = tm_mad;
  return ds.str();
}

std::string rbd_xml(const std::string& name, const std::string& id) {
  return replaced(replaced(onetest::fixture("rbd_info.xml"), "@NAME@", name), "@ID@", id);
}

// The digest md5sum prints for a file: the oracle for every MD5 here.
std::string md5sum_of(const std::string& path) {
  kstest::RunResult r = kstest::run("/usr/bin/md5sum < " + kstest::sh_quote(path));
  return r.output.substr(0, 32);
}

std::string pattern(std::size_t size) {
  std::string s(size, '\0');
  for (std::size_t i = 0; i < size; ++i) s[i] = static_cast<char>((i * 131 + 7) % 251);
  return s;
}

// A loop device over a file, detached on destruction.
class LoopDevice {
 public:
  explicit LoopDevice(const std::string& file) {
    kstest::RunResult r = kstest::run("losetup --find --show " + kstest::sh_quote(file));
    if (r.status == 0) device_ = r.output.substr(0, r.output.find('\n'));
  }
  ~LoopDevice() {
    if (!device_.empty()) kstest::run("losetup -d " + kstest::sh_quote(device_));
  }
  LoopDevice(const LoopDevice&) = delete;
  LoopDevice& operator=(const LoopDevice&) = delete;
  const std::string& device() const { return device_; }

 private:
  std::string device_;
};

TEST(OneImageSignature, Md5OfFilesAgainstMd5sum) {
  kstest::TempDir dir;
  LogCapture log;
  for (std::size_t size : {std::size_t{3}, std::size_t{4095}, std::size_t{4096}, std::size_t{4097}, std::size_t{3 * 4096 + 100}}) {
    const std::string path = (dir / ("f" + std::to_string(size))).string();
    kstest::write_file(path, size == 3 ? std::string("abc") : pattern(size));
    std::string md5 = "old";
    ASSERT_EQ(calc_md5sum(path, md5), 0) << size;
    EXPECT_EQ(md5, md5sum_of(path)) << size;
  }
  std::string md5;
  ASSERT_EQ(calc_md5sum((dir / "f3").string(), md5), 0);
  EXPECT_EQ(md5, "900150983cd24fb0d6963f7d28e17f72");

  struct Bad {
    std::string path;
    std::string line;
  } bad[] = {
      {(dir / "missing").string(), ": can't open file: " + (dir / "missing").string()},
      {(dir / "empty").string(), ": got empty md5sum for the file: " + (dir / "empty").string()},
  };
  kstest::write_file(dir / "empty", "");
  for (const Bad& b : bad) {
    md5 = "old";
    EXPECT_EQ(calc_md5sum(b.path, md5), 1);
    EXPECT_EQ(md5, "old");
    EXPECT_TRUE(log.has(std::string("Error: ") + kMd5Sig + b.line)) << log.dump();
  }
}

TEST(OneImageSignature, Md5OfDevicesRunsNoNamesAsCommands) {
  kstest::TempDir dir;
  LogCapture log;
  // md5sum reads any file; names that a shell would act on must reach it intact.
  for (const char* name : {"plain.img", "it's $(touch pwned) `touch pwned2`.img", "back\\slash.img"}) {
    const std::string path = (dir / name).string();
    kstest::write_file(path, pattern(5000));
    std::string md5;
    EXPECT_EQ(calc_md5sum_for_block_device(path, md5), 0) << name << "\n" << log.dump();
    EXPECT_EQ(md5, md5sum_of(path)) << name;
  }
  EXPECT_FALSE(boost::filesystem::exists("pwned"));
  EXPECT_FALSE(boost::filesystem::exists("pwned2"));

  std::string md5 = "old";
  const std::string missing = (dir / "no-such-device").string();
  EXPECT_EQ(calc_md5sum_for_block_device(missing, md5), 1);
  EXPECT_EQ(md5, "old");
  EXPECT_TRUE(log.has(std::string("Error: ") + kBlockSig + ": got empty md5sum for: " + missing)) << log.dump();

  // Names that begin with "-" are files, not options, and "-" is not the
  // standard input (relative names, in a directory of their own).
  onetest::CurrentDirectory here(dir.path());
  for (const char* name : {"-", "-b", "--help"}) {
    kstest::write_file(dir / name, pattern(300) + name);
    md5.clear();
    EXPECT_EQ(calc_md5sum_for_block_device(name, md5), 0) << name << "\n" << log.dump();
    EXPECT_EQ(md5, md5sum_of((dir / name).string())) << name;
  }
}

TEST(OneImageSignature, Md5OfALoopDevice) {
  if (!boost::filesystem::exists("/dev/loop-control")) GTEST_SKIP() << "no loop devices on this machine";
  kstest::TempDir dir;
  const std::string file = (dir / "backing.raw").string();
  kstest::write_file(file, pattern(1 << 20));
  LoopDevice loop(file);
  ASSERT_FALSE(loop.device().empty()) << "losetup failed";
  LogCapture log;

  std::string md5;
  ASSERT_EQ(calc_md5sum_for_block_device(loop.device(), md5), 0) << log.dump();
  EXPECT_EQ(md5, md5sum_of(file));
  // A device has no size for stat: the file digest refuses it.
  EXPECT_EQ(calc_md5sum(loop.device(), md5), 1);

  // The signature of a BLOCK image follows a link to the device.
  const std::string link = (dir / "lv-link").string();
  boost::filesystem::create_symlink(loop.device(), link);
  oneimage image;
  image.disk_type = DISK_TYPE_BLOCK;
  image.type = IMAGE_TYPE_DATABLOCK;
  image.source = link;
  Standins tools;
  ASSERT_TRUE(calculate_unique_signature(image, TM_MAD_LVM_LVM, true)) << log.dump();
  EXPECT_EQ(image.unique_signature, md5sum_of(file));
  EXPECT_EQ(image.source, loop.device());
  EXPECT_TRUE(tools.calls().empty()) << "force_md5 asks lvs nothing";
}

TEST(OneImageSignature, LogicalVolumeUuidOfExactlyTheNamedVolume) {
  Standins tools;
  tools.answer(kLvs,
               "  vg-one-1|lv-one-50|UUID-fifty\n"
               "  vg-one-1|lv-one-5|UUID-five\n"
               "  vg-one-2|xlv-one-5|UUID-prefixed\n"
               "  vg-one-2|dup|UUID-dup-2\n"
               "  vg-one-3|dup|UUID-dup-3\n");
  LogCapture log;
  struct Case {
    const char* source;
    int rc;
    const char* uuid;
    const char* line;
  } cases[] = {
      {"/dev/vg-one-1/lv-one-5", 0, "UUID-five", nullptr},
      {"vg-one-1/lv-one-50", 0, "UUID-fifty", nullptr},
      {"/dev/vg-one-3/dup", 0, "UUID-dup-3", nullptr},
      {"/dev/vg-other/dup", 1, "old", ": got empty uuid for: /dev/vg-other/dup"},
      // The only volume of that name is in another group.
      {"/dev/vg-one-2/lv-one-5", 1, "old", ": got empty uuid for: /dev/vg-one-2/lv-one-5"},
      {"/lv-one-5", 1, "old", ": got empty uuid for: /lv-one-5"},
      {"/dev/vg-one-1/lv-one", 1, "old", ": got empty uuid for: /dev/vg-one-1/lv-one"},
      {"lv-one-5", 1, "old", ": got wrong source: lv-one-5"},
  };
  for (const Case& c : cases) {
    std::string uuid = "old";
    EXPECT_EQ(get_image_uuid(c.source, uuid), c.rc) << c.source;
    EXPECT_EQ(uuid, c.uuid) << c.source;
    if (c.line) {
      EXPECT_TRUE(log.has(std::string("Error: ") + kUuidSig + c.line)) << log.dump();
    }
  }
}

TEST(OneImageSignature, CephImageId) {
  Standins tools;
  tools.answer({"rbd", "info", "one/one-5", "--id", "libvirt", "--format", "xml"}, rbd_xml("one-5", "10ab2f9e3c1d"));
  tools.answer({"rbd", "info", "one/one-6", "--id", "libvirt", "--format", "xml"}, "<image><name>one-6</name></image>");
  tools.answer({"rbd", "info", "one/one-7", "--id", "libvirt", "--format", "xml"}, "<images/>");
  tools.answer({"rbd", "info", "one/it's", "--id", "libvirt", "--format", "xml"}, rbd_xml("it's", "q1"));
  LogCapture log;
  std::string id;
  EXPECT_EQ(get_ceph_image_id("one/one-5", id), 0);
  EXPECT_EQ(id, "10ab2f9e3c1d");
  EXPECT_EQ(get_ceph_image_id("one-5", id), 0) << "no pool in the source";
  EXPECT_EQ(get_ceph_image_id("pool/it's", id), 0);
  EXPECT_EQ(id, "q1");
  id = "old";
  EXPECT_EQ(get_ceph_image_id("one/one-6", id), 1);
  EXPECT_TRUE(log.has(std::string("Error: ") + kCephSig +
                      ": unable to get id of CEPH image \"one-6\" in 'rbd info' command output: "
                      "<image><name>one-6</name></image>"))
      << log.dump();
  EXPECT_EQ(get_ceph_image_id("one/one-7", id), 1);
  EXPECT_TRUE(log.has(std::string("Error: ") + kCephSig + ": document of the wrong type, root node != image:"));
  EXPECT_EQ(get_ceph_image_id("one/one-8", id), 1);
  EXPECT_EQ(id, "old");
  EXPECT_TRUE(log.has(std::string("Error: ") + kCephSig +
                      ": the following command produced an error: rbd info one/one-8 --id libvirt --format xml"))
      << log.dump();
}

// get_image_attributes end to end, by disk type and datastore driver.
TEST(OneImageSignature, SignatureByDiskTypeAndDriver) {
  kstest::TempDir dir;
  const std::string file = (dir / "disk image.qcow2").string();
  kstest::write_file(file, pattern(9000));
  const std::string link = (dir / "link-to-disk").string();
  boost::filesystem::create_symlink(file, link);
  const std::string file_md5 = md5sum_of(file);
  const std::string missing_device = (dir / "no-device").string();

  struct Case {
    const char* what;
    Img image;
    std::string ds_type, ds_tm_mad;
    bool force_md5;
    bool ok;
    std::string signature;
    std::string source_after;
    std::string line;  // an Error line (after the signature) that must be logged
  };
  Img file_img;
  file_img.source = file;
  Img linked = file_img;
  linked.source = link;
  Img no_type_file = file_img;
  no_type_file.disk_type = "";
  Img ceph;
  ceph.disk_type = "";
  ceph.source = "one/one-5";
  Img rbd = ceph;
  rbd.disk_type = "3";
  Img lvm;
  lvm.disk_type = "2";
  lvm.source = "/dev/vg-one-1/lv-one-5";
  Img lvm_no_type = lvm;
  lvm_no_type.disk_type = "";
  Img block_md5 = lvm;
  block_md5.source = file;
  Img kernel = lvm;
  kernel.type = "3";
  Img gluster = file_img;
  gluster.disk_type = "5";
  Img bad_type = file_img;
  bad_type.type = "OS";

  const std::vector<Case> cases = {
      {"FILE on qcow2", file_img, "0", "qcow2", false, true, file_md5, file, ""},
      {"FILE through a link", linked, "0", "shared", false, true, file_md5, file, ""},
      {"no DISK_TYPE on a file datastore", no_type_file, "2", "ceph", false, true, file_md5, file, ""},
      {"no DISK_TYPE on a ceph image datastore", ceph, "0", "ceph", false, true, "10ab2f9e3c1d", "one/one-5", ""},
      {"RBD", rbd, "0", "ceph", true, true, "10ab2f9e3c1d", "one/one-5", ""},
      {"BLOCK on lvm_lvm", lvm, "0", "lvm_lvm", false, true, "UUID-five", "/dev/vg-one-1/lv-one-5", ""},
      {"BLOCK derived from lvm_lvm", lvm_no_type, "0", "lvm_lvm", false, true, "UUID-five", "/dev/vg-one-1/lv-one-5",
       ""},
      {"BLOCK on lvm_lvm, md5 forced", block_md5, "0", "lvm_lvm", true, true, file_md5, file, ""},
      {"BLOCK on another driver", block_md5, "0", "qcow2", false, true, file_md5, file, ""},
      {"BLOCK KERNEL", kernel, "0", "lvm_lvm", false, false, "", "/dev/vg-one-1/lv-one-5",
       std::string(kCalcSig) + ": can't determine unique signature for the image source: /dev/vg-one-1/lv-one-5"},
      {"GLUSTER", gluster, "0", "qcow2", false, false, "", file, std::string(kCalcSig) + ": unsupported disk type: GLUSTER"},
      {"no DISK_TYPE on a system datastore", no_type_file, "1", "qcow2", false, false, "", file,
       std::string(kAttrSig) + ": unsupported datastore type: \"1\""},
      {"no DISK_TYPE, image datastore on fs_lvm", no_type_file, "0", "fs_lvm", false, false, "", file,
       std::string(kAttrSig) + ": unsupported TM_MAD type: fs_lvm"},
      {"a driver outside the table", file_img, "0", "vcenter", false, false, "", file,
       std::string(kAttrSig) + ": wrong datastore TM_MAD"},
      {"a TYPE that is no number", bad_type, "0", "qcow2", false, false, "", "", std::string(kAttrSig) + ": stoi"},
  };
  for (const Case& c : cases) {
    Standins tools;
    tools.object("oneimage", c.image.id, image_xml(c.image));
    tools.object("onedatastore", "1", datastore_xml(c.ds_type, c.ds_tm_mad));
    tools.answer({"rbd", "info", "one/one-5", "--id", "libvirt", "--format", "xml"}, rbd_xml("one-5", "10ab2f9e3c1d"));
    tools.answer(kLvs, "  vg-one-1|lv-one-50|UUID-fifty\n  vg-one-1|lv-one-5|UUID-five\n");
    LogCapture log;
    oneimage image;
    image.new_name = "kept";
    const int rc = get_image_attributes(c.image.id, image, c.force_md5);
    EXPECT_EQ(rc == 0, c.ok) << c.what << "\n" << log.dump();
    EXPECT_EQ(image.unique_signature, c.signature) << c.what;
    if (!c.source_after.empty()) {
      EXPECT_EQ(image.source, c.source_after) << c.what;
    }
    if (!c.line.empty()) {
      EXPECT_TRUE(log.has("Error: " + c.line)) << c.what << "\n" << log.dump();
    }
    if (c.ok) {
      EXPECT_EQ(image.id, "5");
      EXPECT_EQ(image.name, "debian12");
      EXPECT_EQ(image.datastore_id, "1");
      EXPECT_EQ(image.dev_prefix, "vd");
      EXPECT_EQ(image.driver, "qcow2");
      EXPECT_EQ(image.persistent, "1");
      EXPECT_EQ(image.size, 10u << 20);
      EXPECT_EQ(image.new_name, "kept");
    }
  }
}

TEST(OneImageSignature, FindAndVerifyImages) {
  kstest::TempDir dir;
  const std::string a = (dir / "a").string(), b = (dir / "b").string();
  kstest::write_file(a, "first image");
  kstest::write_file(b, "second image");
  Standins tools;
  Img one;
  one.id = "1";
  one.source = a;
  Img two;
  two.id = "2";
  two.name = "second & <co>";
  two.source = b;
  tools.answer({"oneimage", "list", "-x"}, onetest::pool("IMAGE_POOL", {image_xml(one), image_xml(two)}));
  tools.object("oneimage", "1", image_xml(one));
  tools.object("oneimage", "2", image_xml(two));
  tools.object("onedatastore", "1", datastore_xml("0", "qcow2"));
  LogCapture log;

  oneimage found;
  ASSERT_EQ(find_image_by_unique_signature(md5sum_of(b), found), 0) << log.dump();
  EXPECT_EQ(found.id, "2");
  EXPECT_EQ(found.name, "second & <co>");
  EXPECT_EQ(found.source, b);
  EXPECT_EQ(log.of("Info").size() >= 2, true);
  EXPECT_TRUE(log.has("Info:  skip")) << log.dump();
  EXPECT_TRUE(log.has("Info:  correct image was found"));

  oneimage untouched;
  untouched.name = "mine";
  EXPECT_EQ(find_image_by_unique_signature("0123456789abcdef0123456789abcdef", untouched), 1);
  EXPECT_EQ(untouched.name, "mine");

  // does_image_exist: the stored signature against the image as it is now.
  oneimage stored = found;
  EXPECT_TRUE(does_image_exist(stored, true));
  kstest::write_file(b, "second image, changed");
  log.clear();
  EXPECT_FALSE(does_image_exist(stored, true));
  EXPECT_TRUE(log.has(std::string("Error: ") + kExistSig + ": unique signature is wrong, Image ID: 2")) << log.dump();
  oneimage gone = stored;
  gone.id = "3";
  EXPECT_FALSE(does_image_exist(gone, true));
}

TEST(OneImageSignature, ExistenceOfBlockAndCephImages) {
  Standins tools;
  Img lvm;
  lvm.id = "7";
  lvm.disk_type = "2";
  lvm.source = "/dev/vg-one-1/lv-one-7";
  Img ceph;
  ceph.id = "8";
  ceph.disk_type = "3";
  ceph.source = "one/one-8";
  tools.object("oneimage", "7", image_xml(lvm));
  tools.object("oneimage", "8", image_xml(ceph));
  tools.object("onedatastore", "1", datastore_xml("0", "lvm_lvm"));
  tools.answer(kLvs, "  vg-one-1|lv-one-7|UUID-seven\n");
  tools.answer({"rbd", "info", "one/one-8", "--id", "libvirt", "--format", "xml"}, rbd_xml("one-8", "cafe"));
  LogCapture log;

  oneimage stored;
  stored.id = "7";
  stored.datastore_id = "1";
  stored.unique_signature = "UUID-seven";
  EXPECT_TRUE(does_image_exist(stored, true)) << log.dump();
  EXPECT_FALSE(does_image_exist(stored, false)) << "without uuids the missing device has no md5sum";

  stored.id = "8";
  stored.unique_signature = "cafe";
  EXPECT_TRUE(does_image_exist(stored, false));
  stored.unique_signature = "beef";
  EXPECT_FALSE(does_image_exist(stored, false));
  stored.unique_signature.clear();
  tools.clear_calls();
  EXPECT_TRUE(does_image_exist(stored, false)) << "no stored Ceph id: existence alone decides";
  auto calls = tools.calls();
  EXPECT_NE(std::find(calls.begin(), calls.end(), std::vector<std::string>{"oneimage", "show", "8"}), calls.end());
}

TEST(OneImages, SimpleQueries) {
  Standins tools;
  Img img;
  img.id = "4";
  img.name = "web & db <\"prod\"> Ω";
  img.state = "";
  tools.object("oneimage", "4", image_xml(img));
  img.id = "9";
  img.state = "3";
  tools.object("oneimage", "9", image_xml(img));
  tools.answer({"oneimage", "show", img.name, "-x"}, image_xml(img));
  Img listed_a = img, listed_b = img;
  listed_a.name = "a";
  listed_b.id = "4";
  listed_b.name = "b&c";
  tools.answer({"oneimage", "list", "-x"}, onetest::pool("IMAGE_POOL", {image_xml(listed_a), image_xml(listed_b)}));
  LogCapture log;

  std::string text;
  EXPECT_EQ(get_image_name("9", text), 0);
  EXPECT_EQ(text, img.name);
  EXPECT_EQ(get_image_id(img.name, text), 0);
  EXPECT_EQ(text, "9");
  int state = -5;
  EXPECT_EQ(get_image_state("9", state), 0);
  EXPECT_EQ(state, 3);
  EXPECT_EQ(get_image_state("4", state), 1);
  EXPECT_TRUE(log.has("Error: int ks_opennebula_common::get_image_state(const string&, int&): Got empty STATE for "
                      "image 4"));
  EXPECT_EQ(get_image_source("9", text), 0);
  EXPECT_EQ(text, "");
  std::vector<std::string> ids{"keep"};
  EXPECT_EQ(get_image_list(ids), 0);
  EXPECT_EQ(ids, (std::vector<std::string>{"keep", "9", "4"}));
  std::vector<std::string> names;
  EXPECT_EQ(get_available_image_names(names), 0);
  EXPECT_EQ(names, (std::vector<std::string>{"a", "b&c"}));
  EXPECT_TRUE(does_image_name_exist("b&c"));
  EXPECT_FALSE(does_image_name_exist("B&C"));
  EXPECT_TRUE(does_image_exist_by_id("9"));
  EXPECT_FALSE(does_image_exist_by_id("10"));

  auto calls = tools.calls();
  EXPECT_EQ(calls[0], (std::vector<std::string>{"oneimage", "show", "9", "-x"}));
  EXPECT_EQ(calls[1], (std::vector<std::string>{"oneimage", "show", img.name, "-x"}));
}

TEST(OneImages, FailuresAndEmptyAnswers) {
  Standins tools;
  tools.answer({"oneimage", "list", "-x"}, "<IMAGE_POOL></IMAGE_POOL>");
  tools.answer({"oneimage", "delete", "6"}, "[one.image.delete] Cannot delete image in use.\n", 255);
  tools.answer({"oneimage", "show", "nameless", "-x"}, "<IMAGE><NAME>nameless</NAME></IMAGE>");
  LogCapture log;

  std::vector<std::string> names;
  EXPECT_EQ(get_available_image_names(names), 0);
  EXPECT_TRUE(log.has("Warning: int ks_opennebula_common::get_available_image_names(std::vector<std::__cxx11::"
                      "basic_string<char> >&): got empty list of image names"))
      << log.dump();

  delete_image("6");
  EXPECT_EQ(log.of("Error"), (std::vector<std::string>{
                                 "Error: void ks_opennebula_common::delete_image(const string&): unable to delete image: 6",
                                 "Error: Command was: /usr/bin/oneimage delete '6'",
                                 "Error: Command output: [one.image.delete] Cannot delete image in use."}));
  log.clear();
  std::string id = "old";
  EXPECT_EQ(get_image_id("nameless", id), 1);
  EXPECT_EQ(id, "");
  EXPECT_TRUE(log.has("Error: int ks_opennebula_common::get_image_id(const string&, std::__cxx11::string&): got empty "
                      "ID for image nameless"));
  EXPECT_EQ(get_image_name("12", id), 1);
  EXPECT_TRUE(log.has("Error: int ks_opennebula_common::get_image_name(const string&, std::__cxx11::string&): command "
                      "/usr/bin/oneimage show 12 -x"))
      << log.dump();

  // Names and ids that are not plain reach the tool as one argument or not at all.
  tools.clear_calls();
  EXPECT_EQ(get_image_name("1;reboot", id), 1);
  delete_image("$(reboot)");
  EXPECT_FALSE(does_image_exist_by_id("1 || true"));
  EXPECT_TRUE(tools.calls().empty());
  EXPECT_EQ(get_image_id("a'b; touch /tmp/ks-one-pwned", id), 1);
  EXPECT_EQ(tools.calls(), (std::vector<std::vector<std::string>>{
                               {"oneimage", "show", "a'b; touch /tmp/ks-one-pwned", "-x"}}));
  EXPECT_FALSE(boost::filesystem::exists("/tmp/ks-one-pwned"));
}

}  // namespace
