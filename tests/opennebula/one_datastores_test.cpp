// Datastores: type, driver, free space and the choice of a datastore.
#include <gtest/gtest.h>

#include "opennebula/datastores.h"
#include "opennebula/image_signature.h"
#include "opennebula/images.h"
#include "opennebula/one_test_support.h"

using namespace ks_opennebula_common;
using onetest::LogCapture;
using onetest::Standins;
using onetest::replaced;

namespace {

constexpr char kAnySig[] =
    "int ks_opennebula_common::get_any_datastore_by_type(int, TM_MAD_TYPE, const unsigned int&, "
    "std::__cxx11::string&)";

struct Ds {
  const char* id;  // nullptr: no ID element
  const char* type;  // nullptr: no TYPE element
  const char* free_mb;
  const char* tm_mad;
};

// One DATASTORE of a pool listing, children in the tool's order.
std::string pool_entry(const Ds& ds) {
  std::string x = "<DATASTORE>";
  if (ds.id) x += "<ID>" + std::string(ds.id) + "</ID>";
  x += "<UID>0</UID><GID>0</GID><UNAME><![CDATA[oneadmin]]></UNAME><NAME><![CDATA[ds]]></NAME>";
  x += "<DS_MAD><![CDATA[fs]]></DS_MAD><TM_MAD><![CDATA[" + std::string(ds.tm_mad) + "]]></TM_MAD>";
  x += "<BASE_PATH><![CDATA[/var/lib/one//datastores/x]]></BASE_PATH>";
  if (ds.type) x += "<TYPE>" + std::string(ds.type) + "</TYPE>";
  x += "<DISK_TYPE>0</DISK_TYPE><STATE>0</STATE><TOTAL_MB>999999</TOTAL_MB>";
  x += "<FREE_MB>" + std::string(ds.free_mb) + "</FREE_MB><USED_MB>1</USED_MB>";
  x += "<TEMPLATE><TM_MAD><![CDATA[decoy]]></TM_MAD></TEMPLATE></DATASTORE>";
  return x;
}

std::string pool(std::vector<Ds> const& entries) {
  std::string x = "<DATASTORE_POOL>";
  for (const Ds& ds : entries) x += pool_entry(ds);
  return x + "</DATASTORE_POOL>";
}

std::string show_xml(const char* type, const char* free_mb, const char* tm_mad) {
  onetest::DatastoreXml ds;
  ds.type = type;
  ds.free_mb = free_mb;
  ds.tm_mad = tm_mad;
  return ds.str();
}

TEST(OneDatastores, ChoiceAtTheFreeSpaceBoundary) {
  struct Case {
    const char* what;
    std::vector<Ds> pool;
    int type;
    TM_MAD_TYPE tm_mad;
    unsigned need;
    int rc;
    const char* id;  // expected id on success
  } cases[] = {
      {"equal free space is not enough", {{"1", "0", "100", "qcow2"}}, 0, TM_MAD_NONE, 100, 1, nullptr},
      {"one megabyte more is", {{"1", "0", "100", "qcow2"}, {"2", "0", "101", "qcow2"}}, 0, TM_MAD_NONE, 100, 0, "2"},
      {"need 0 takes the first image datastore with space, any driver",
       {{"0", "1", "900", "ssh"}, {"1", "0", "0", "ceph"}, {"2", "0", "1", "iscsi"}, {"3", "0", "900", "qcow2"}},
       0, TM_MAD_NONE, 0, 0, "2"},
      {"a system datastore needs the driver",
       {{"0", "1", "900", "ceph"}, {"1", "0", "900", "qcow2"}, {"2", "1", "900", "qcow2"}}, 1, TM_MAD_QCOW2, 10, 0, "2"},
      {"the TEMPLATE's TM_MAD is not the datastore's", {{"0", "1", "900", "ssh"}}, 1, TM_MAD_QCOW2, 10, 1, nullptr},
      {"a system datastore without a driver asked for never matches",
       {{"0", "1", "900", ""}, {"1", "1", "900", "qcow2"}}, 1, TM_MAD_NONE, 10, 1, nullptr},
      {"no TYPE is never chosen", {{"4", nullptr, "900", "qcow2"}}, 0, TM_MAD_NONE, 10, 1, nullptr},
      {"free space above 32 bits", {{"5", "0", "4294967296", "qcow2"}}, 0, TM_MAD_NONE, 4294967295u, 0, "5"},
      {"free space past 2^31 is not negative", {{"6", "0", "3000000000", "qcow2"}}, 0, TM_MAD_NONE, 2500000000u, 0,
       "6"},
      {"negative free space is no space", {{"7", "0", "-5", "qcow2"}}, 0, TM_MAD_NONE, 0, 1, nullptr},
      {"an empty pool", {}, 0, TM_MAD_NONE, 0, 1, nullptr},
  };
  for (const Case& c : cases) {
    Standins tools;
    tools.answer({"onedatastore", "list", "-x"}, pool(c.pool));
    LogCapture log;
    std::string id = "unchanged";
    EXPECT_EQ(get_any_datastore_by_type(c.type, c.tm_mad, c.need, id), c.rc) << c.what << "\n" << log.dump();
    EXPECT_EQ(id, c.id ? c.id : "unchanged") << c.what;
    if (c.rc != 0) {
      EXPECT_TRUE(log.has(std::string("Error: ") + kAnySig + ": can't find no suitable datastore for the datastore type: \"" +
                          std::to_string(c.type) + "\""))
          << c.what << "\n"
          << log.dump();
    }
    EXPECT_EQ(tools.calls(), (std::vector<std::vector<std::string>>{{"onedatastore", "list", "-x"}}));
  }
}

TEST(OneDatastores, WrappersAndFailuresOfTheChoice) {
  Standins tools;
  tools.answer({"onedatastore", "list", "-x"},
               pool({{"0", "1", "50", "shared"}, {"1", "0", "60", "qcow2"}, {"2", "1", "70", "ceph"}}));
  std::string id;
  EXPECT_EQ(get_any_image_datastore(59, id), 0);
  EXPECT_EQ(id, "1");
  EXPECT_EQ(get_any_system_datastore_by_tm_mad(TM_MAD_CEPH, 69, id), 0);
  EXPECT_EQ(id, "2");
  EXPECT_EQ(get_any_system_datastore_by_tm_mad(TM_MAD_CEPH, 70, id), 1);

  struct Bad {
    const char* what;
    std::string listing;
    int rc;
    TM_MAD_TYPE tm_mad;
    std::string line;
  } bad[] = {
      {"an entry without ID does not take the ID before it",
       pool({{"3", "0", "0", "qcow2"}, {nullptr, "0", "500", "qcow2"}}), 0, TM_MAD_NONE, ": got empty datastore ID"},
      {"a FREE_MB that is no number", pool({{"3", "0", "lots", "qcow2"}}), 0, TM_MAD_NONE, ": stoll"},
      {"a driver outside the table", pool({{"3", "1", "9", "qcow2"}}), 1, static_cast<TM_MAD_TYPE>(9), ": map::at"},
      {"not XML", "oops", 0, TM_MAD_NONE, ": document not parsed successfully"},
      {"another root", "<IMAGE_POOL/>", 0, TM_MAD_NONE, ": document of the wrong type, root node != DATASTORE_POOL"},
  };
  for (const Bad& b : bad) {
    Standins t;
    t.answer({"onedatastore", "list", "-x"}, b.listing);
    LogCapture log;
    id = "unchanged";
    EXPECT_EQ(get_any_datastore_by_type(b.rc, b.tm_mad, 0, id), 1) << b.what;
    EXPECT_EQ(id, "unchanged") << b.what;
    EXPECT_TRUE(log.has(std::string("Error: ") + kAnySig + b.line)) << b.what << "\n" << log.dump();
  }

  Standins failing;
  failing.answer({"onedatastore", "list", "-x"}, "connection refused\n", 255);
  LogCapture log;
  EXPECT_EQ(get_any_image_datastore(0, id), 1);
  EXPECT_EQ(log.lines(), (std::vector<std::string>{
                             std::string("Error: ") + kAnySig + ": command was: /usr/bin/onedatastore list -x",
                             "Error: Command output: connection refused"}));
}

TEST(OneDatastores, TypeDriverAndCapacity) {
  Standins tools;
  tools.object("onedatastore", "1", show_xml("0", "1234", "ceph"));
  tools.object("onedatastore", "2", show_xml("2", "", "no_such_driver"));
  tools.object("onedatastore", "3", replaced(replaced(show_xml("1", "5", ""), "<TYPE>1</TYPE>", ""),
                                             "<FREE_MB>5</FREE_MB>", ""));
  tools.object("onedatastore", "4", show_xml("zero", "many", "qcow2"));
  LogCapture log;

  int type = 7;
  EXPECT_EQ(get_datastore_type("1", type), 0);
  EXPECT_EQ(type, 0);
  EXPECT_EQ(get_datastore_type("2", type), 0);
  EXPECT_EQ(type, 2);
  EXPECT_EQ(get_datastore_type("3", type), 1);
  EXPECT_EQ(type, -1);
  EXPECT_TRUE(log.has("Error: int ks_opennebula_common::get_datastore_type(const string&, int&): can't get type of "
                      "datastore ID: \"3\""));
  EXPECT_EQ(get_datastore_type("4", type), 1) << "a TYPE that is no number fails instead of throwing";

  EXPECT_EQ(get_datastore_tm_mad("1"), TM_MAD_CEPH);
  log.clear();
  EXPECT_EQ(get_datastore_tm_mad("2"), TM_MAD_NONE);
  EXPECT_EQ(get_datastore_tm_mad("3"), TM_MAD_NONE) << "an empty TM_MAD";
  EXPECT_TRUE(log.lines().empty()) << log.dump();
  EXPECT_EQ(get_datastore_tm_mad("4"), TM_MAD_QCOW2);

  int free_mb = 42;
  EXPECT_EQ(get_datastore_capacity_mb("1", free_mb), 0);
  EXPECT_EQ(free_mb, 1234);
  free_mb = 42;
  EXPECT_EQ(get_datastore_capacity_mb("2", free_mb), 1);
  EXPECT_TRUE(log.has("Error: int ks_opennebula_common::get_datastore_capacity_mb(const string&, int&): got empty "
                      "FREE_MB value for datastore with ID 2"));
  EXPECT_EQ(get_datastore_capacity_mb("3", free_mb), 1) << "no FREE_MB is a failure, not an unchanged success";
  EXPECT_EQ(get_datastore_capacity_mb("4", free_mb), 1);
  EXPECT_EQ(free_mb, 42);

  EXPECT_TRUE(does_datastore_exist("1"));
  EXPECT_FALSE(does_datastore_exist("9"));

  std::string dirs;
  EXPECT_EQ(get_safe_dirs_from_datastore("1", dirs), 0);
  EXPECT_EQ(dirs, "/var/tmp /srv/images & more");

  // The commands, as the tools received them.
  auto calls = tools.calls();
  ASSERT_GE(calls.size(), 1u);
  EXPECT_EQ(calls.front(), (std::vector<std::string>{"onedatastore", "show", "1", "-x"}));
  EXPECT_EQ(calls.back(), (std::vector<std::string>{"onedatastore", "show", "1", "-x"}));
  std::vector<std::string> existence{"onedatastore", "show", "9"};
  EXPECT_NE(std::find(calls.begin(), calls.end(), existence), calls.end());
}

TEST(OneDatastores, IdsThatAreNoNumbersRunNothing) {
  Standins tools;
  LogCapture log;
  const std::string evil = "1' -x; touch /tmp/ks-one-pwned; echo '";
  int value = 0;
  EXPECT_EQ(get_datastore_type(evil, value), 1);
  EXPECT_EQ(get_datastore_capacity_mb(evil, value), 1);
  EXPECT_EQ(get_datastore_tm_mad(evil), TM_MAD_NONE);
  EXPECT_FALSE(does_datastore_exist(evil));
  std::string dirs;
  EXPECT_EQ(get_safe_dirs_from_datastore(evil, dirs), 1);
  EXPECT_TRUE(tools.calls().empty());
  EXPECT_FALSE(boost::filesystem::exists("/tmp/ks-one-pwned"));
  EXPECT_TRUE(log.contains("wrong ID (a number is expected)"));
}

TEST(OneDatastores, DiskTypeOfAnImageWithoutDiskType) {
  struct Case {
    const char* type;
    TM_MAD_TYPE tm_mad;
    int rc;
    opennebula_disk_type disk_type;
    const char* line;
  } cases[] = {
      {"2", TM_MAD_CEPH, 0, DISK_TYPE_FILE, nullptr},
      {"0", TM_MAD_QCOW2, 0, DISK_TYPE_FILE, nullptr},
      {"0", TM_MAD_SHARED, 0, DISK_TYPE_FILE, nullptr},
      {"0", TM_MAD_CEPH, 0, DISK_TYPE_RBD, nullptr},
      {"0", TM_MAD_LVM_LVM, 0, DISK_TYPE_BLOCK, nullptr},
      {"0", TM_MAD_FS_LVM, 1, DISK_TYPE_NOT_READ, "SIG: unsupported TM_MAD type: fs_lvm"},
      {"1", TM_MAD_QCOW2, 1, DISK_TYPE_NOT_READ, "SIG: unsupported datastore type: \"1\""},
  };
  for (const Case& c : cases) {
    Standins tools;
    tools.object("onedatastore", "1", show_xml(c.type, "1", "qcow2"));
    LogCapture log;
    opennebula_disk_type disk_type = DISK_TYPE_NOT_READ;
    EXPECT_EQ(disk_type_from_datastore("SIG", "1", c.tm_mad, disk_type), c.rc) << c.type << " " << c.tm_mad;
    EXPECT_EQ(disk_type, c.disk_type);
    if (c.line) {
      EXPECT_TRUE(log.has(std::string("Error: ") + c.line)) << log.dump();
    }
  }
  Standins none;
  LogCapture log;
  opennebula_disk_type disk_type = DISK_TYPE_NOT_READ;
  EXPECT_EQ(disk_type_from_datastore("SIG", "1", TM_MAD_QCOW2, disk_type), 1);
  EXPECT_TRUE(log.has("Error: SIG: unable to determine type of datastore with ID: \"1\"")) << log.dump();
}

}  // namespace
