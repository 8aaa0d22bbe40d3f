// VM and host queries, and the queries on saved VM template files.
#include <gtest/gtest.h>

#include "opennebula/one_test_support.h"
#include "opennebula/vm_queries.h"
#include "support/utils/ks_utils_common.h"

using namespace ks_opennebula_common;
using onetest::LogCapture;
using onetest::Standins;
using onetest::VmXml;
using onetest::disk;

namespace {

constexpr char kStateSig[] = "int ks_opennebula_common::get_VM_state(const string&, opennebula_vm_state&)";
constexpr char kSourceSig[] =
    "int ks_opennebula_common::get_disk_id_and_source(const string&, const string&, int&, std::__cxx11::string&)";

TEST(OneVmQueries, State) {
  struct Case {
    const char* what;
    std::string states;
    int rc;
    int state, lcm_state;
    const char* line;
  } cases[] = {
      {"both", "<STATE>3</STATE><LCM_STATE>3</LCM_STATE>", 0, 3, 3, nullptr},
      {"the last of each wins", "<STATE>3</STATE><LCM_STATE>3</LCM_STATE><STATE>8</STATE><LCM_STATE>0</LCM_STATE>", 0,
       8, 0, nullptr},
      {"no LCM_STATE", "<STATE>8</STATE>", 0, 8, -1, ": VM lcm_state wasn't found in XML"},
      {"no STATE (MONITORING/STATE does not count)", "<LCM_STATE>3</LCM_STATE>", 1, -1, 3,
       ": VM state wasn't found in XML"},
      {"a STATE that is no number", "<STATE>ACTIVE</STATE>", 1, -1, -1, ": stoi"},
  };
  for (const Case& c : cases) {
    Standins tools;
    VmXml vm;
    vm.states = c.states;
    tools.object("onevm", "12", vm.str());
    LogCapture log;
    opennebula_vm_state state;
    EXPECT_EQ(get_VM_state("12", state), c.rc) << c.what;
    EXPECT_EQ(state.state, c.state) << c.what;
    EXPECT_EQ(state.lcm_state, c.lcm_state) << c.what;
    if (c.line) {
      EXPECT_TRUE(log.has(std::string("Error: ") + kStateSig + c.line)) << c.what << "\n" << log.dump();
    } else {
      EXPECT_TRUE(log.lines().empty()) << log.dump();
    }
  }
}

TEST(OneVmQueries, HostsAndWorkplace) {
  Standins tools;
  VmXml vm;
  vm.deploy_id = "one-12";
  tools.object("onevm", "12", vm.str());
  vm.id = "1";
  vm.deploy_id = "";
  tools.object("onevm", "1", vm.str());
  tools.answer({"onehost", "list", "-x"}, onetest::host_pool("kvm-b", ks_utils_common::get_nodename()));
  LogCapture log;

  std::string host, deploy_id;
  EXPECT_EQ(get_VM_workplace("12", host, deploy_id), 0) << log.dump();
  EXPECT_EQ(host, "kvm-b");
  EXPECT_EQ(deploy_id, "one-12");
  EXPECT_EQ(get_VM_host("11", host), 0);
  EXPECT_EQ(host, "kvm-a");
  host = "old";
  EXPECT_EQ(get_VM_host("1", host), 1) << "VM 1 is neither 11 nor 120";
  EXPECT_EQ(host, "old");
  EXPECT_TRUE(log.lines().empty()) << log.dump();
  EXPECT_EQ(get_VM_workplace("1", host, deploy_id), 1);
  EXPECT_EQ(deploy_id, "");
  EXPECT_TRUE(log.has("Error: int ks_opennebula_common::get_VM_workplace(const string&, std::__cxx11::string&, "
                      "std::__cxx11::string&): can't get VM hostname"));

  std::string node_id = "old";
  EXPECT_EQ(get_node_id_for_current_host(node_id), 0);
  EXPECT_EQ(node_id, "3");
  EXPECT_TRUE(log.has("Info: int ks_opennebula_common::get_node_id_for_current_host(std::__cxx11::string&): current "
                      "host name: " +
                      ks_utils_common::get_nodename()));

  Standins other;
  other.answer({"onehost", "list", "-x"}, onetest::host_pool("kvm-b", "elsewhere"));
  EXPECT_EQ(get_node_id_for_current_host(node_id), 1);
  EXPECT_EQ(node_id, "");

  Standins failing;
  failing.answer({"onehost", "list", "-x"}, "Connection refused\n", 255);
  log.clear();
  EXPECT_EQ(get_VM_host("12", host), 1);
  EXPECT_EQ(log.lines(), (std::vector<std::string>{
                             "Error: int ks_opennebula_common::get_VM_host(const string&, std::__cxx11::string&): "
                             "can't get pool of hosts, command was/usr/bin/onehost list -x",
                             "Error: Command output: Connection refused"}));
}

TEST(OneVmQueries, NamesAndIds) {
  Standins tools;
  const std::string odd = "db \"primary\" & <old> 'x' Ω";
  VmXml vm;
  vm.name = odd;
  tools.answer({"onevm", "show", odd, "-x"}, vm.str());
  VmXml web;
  web.id = "13";
  web.name = "Web";
  tools.answer({"onevm", "list", "-x"}, onetest::pool("VM_POOL", {vm.str(), web.str()}));
  tools.answer({"onevm", "show", "12"}, "VIRTUAL MACHINE 12 INFORMATION\n");
  LogCapture log;

  std::string id;
  EXPECT_EQ(get_vm_id_by_name(odd, id), 0) << log.dump();
  EXPECT_EQ(id, "12");
  std::vector<std::string> names{"first"};
  EXPECT_EQ(get_vm_name_list(names), 0);
  EXPECT_EQ(names, (std::vector<std::string>{"first", odd, "Web"}));
  EXPECT_TRUE(does_VM_name_exist("Web"));
  EXPECT_FALSE(does_VM_name_exist("web"));
  EXPECT_TRUE(does_VM_id_exist("12"));
  EXPECT_FALSE(does_VM_id_exist("13"));
  EXPECT_FALSE(does_VM_id_exist("12 -x"));
  EXPECT_EQ(get_vm_id_by_name("nobody", id), 1);
  EXPECT_TRUE(log.has("Error: int ks_opennebula_common::get_vm_id_by_name(const string&, std::__cxx11::string&): the "
                      "following command failed: /usr/bin/onevm show 'nobody' -x"))
      << log.dump();
  EXPECT_EQ(tools.calls().front(), (std::vector<std::string>{"onevm", "show", odd, "-x"}));
}

TEST(OneVmQueries, DisksByTarget) {
  Standins tools;
  VmXml vm;
  vm.disks = disk({{"DISK_ID", "0"}, {"SOURCE", "/var/lib/one//datastores/1/aa"}, {"TARGET", "vda"}}) +
             disk({{"DISK_ID", "1"}, {"SOURCE", ""}, {"TARGET", "vdb"}}) +
             disk({{"DISK_ID", ""}, {"SOURCE", "/x"}, {"TARGET", "vdc"}}) +
             disk({{"DISK_ID", "4"}, {"SOURCE", "/var/lib/one//datastores/1/bb"}, {"TARGET", "vd"}});
  tools.object("onevm", "12", vm.str());
  LogCapture log;
  struct Case {
    const char* target;
    int id_rc;
    int source_rc;
    int disk_id;
    const char* source;
    const char* line;
  } cases[] = {
      {"vda", 0, 0, 0, "/var/lib/one//datastores/1/aa", nullptr},
      {"vd", 0, 0, 4, "/var/lib/one//datastores/1/bb", nullptr},
      {"vdb", 0, 1, 1, "", ": got empty disk source"},
      {"vdc", 1, 1, -7, "unchanged", ": got empty disk ID"},
      {"sda", 1, 1, -7, "unchanged", nullptr},
  };
  for (const Case& c : cases) {
    log.clear();
    int disk_id = -7;
    EXPECT_EQ(get_VM_diskID("12", c.target, disk_id), c.id_rc) << c.target;
    disk_id = -7;
    std::string source = "unchanged";
    EXPECT_EQ(get_disk_id_and_source("12", c.target, disk_id, source), c.source_rc) << c.target;
    EXPECT_EQ(disk_id, c.disk_id) << c.target;
    EXPECT_EQ(source, c.source) << c.target;
    if (c.line) {
      EXPECT_TRUE(log.has(std::string("Error: ") + kSourceSig + c.line)) << log.dump();
    } else {
      EXPECT_TRUE(log.of("Error").empty()) << c.target << "\n" << log.dump();
    }
  }
  std::string mac;
  EXPECT_EQ(get_eth0_mac_addr("12", mac), 0);
  EXPECT_EQ(mac, "02:00:c0:a8:96:0a");
}

TEST(OneVmQueries, SavedTemplateFiles) {
  kstest::TempDir dir;
  const std::string path = (dir / "vm.xml").string();
  kstest::write_file(path, "<TEMPLATE>" +
                               disk({{"IMAGE_ID", "5"}, {"SIZE", "10"}, {"TYPE", "FILE"}}) +
                               disk({{"SIZE", "20"}, {"TYPE", "fs"}}) +
                               disk({{"IMAGE_ID", "7"}, {"SIZE", "30"}, {"TYPE", "CDROM"}}) +
                               "<DISK><SIZE>40</SIZE><TYPE>fs</TYPE></DISK>" +  // TYPE after SIZE: still skipped
                               "<DISK><IMAGE_ID>8</IMAGE_ID><SIZE>0x10</SIZE></DISK>" +  // stoi reads 0
                               "<TM_MAD_SYSTEM><![CDATA[ceph]]></TM_MAD_SYSTEM></TEMPLATE>");
  LogCapture log;
  std::vector<std::string> ids{"stale"};
  EXPECT_EQ(get_VM_image_ID_list_from_xml(path, ids), 0);
  EXPECT_EQ(ids, (std::vector<std::string>{"5", "7", "8"}));
  unsigned total = 99;
  EXPECT_EQ(get_total_vm_disks_size_mb(path, total), 0);
  EXPECT_EQ(total, 10u);
  EXPECT_EQ(get_vm_tm_mad_type(path), TM_MAD_CEPH);

  const std::string empty_driver = (dir / "empty.xml").string();
  kstest::write_file(empty_driver, "<TEMPLATE><TM_MAD_SYSTEM></TM_MAD_SYSTEM><TM_MAD_SYSTEM>ssh</TM_MAD_SYSTEM>"
                                   "<DISK><SIZE>4294967295</SIZE></DISK><DISK><SIZE>1</SIZE></DISK></TEMPLATE>");
  EXPECT_EQ(get_vm_tm_mad_type(empty_driver), TM_MAD_NONE) << "the empty driver is found first";
  EXPECT_EQ(get_total_vm_disks_size_mb(empty_driver, total), 1) << "a SIZE past int fails instead of throwing";

  const std::string big = (dir / "big.xml").string();
  kstest::write_file(big, "<TEMPLATE><DISK><SIZE>2147483647</SIZE></DISK><DISK><SIZE>2147483647</SIZE></DISK>"
                          "<DISK><SIZE>2</SIZE></DISK></TEMPLATE>");
  total = 99;
  EXPECT_EQ(get_total_vm_disks_size_mb(big, total), 1) << "a sum past unsigned int fails instead of wrapping";
  EXPECT_EQ(total, 99u);

  const std::string wrong = (dir / "wrong.xml").string();
  kstest::write_file(wrong, "<VM/>");
  log.clear();
  EXPECT_EQ(get_VM_image_ID_list_from_xml(wrong, ids), 1);
  EXPECT_EQ(get_vm_tm_mad_type(wrong), TM_MAD_NONE);
  EXPECT_EQ(get_total_vm_disks_size_mb((dir / "missing.xml").string(), total), 1);
  EXPECT_EQ(log.lines(),
            (std::vector<std::string>{
                "Error: int ks_opennebula_common::get_VM_image_ID_list_from_xml(const string&, "
                "std::vector<std::__cxx11::basic_string<char> >&): document of the wrong type, root node != TEMPLATE: " +
                    wrong,
                "Error: TM_MAD_TYPE ks_opennebula_common::get_vm_tm_mad_type(const string&): document of the wrong "
                "type, root node != TEMPLATE",
                "Error: int ks_opennebula_common::get_total_vm_disks_size_mb(const string&, unsigned int&): document "
                "not parsed successfully: " +
                    (dir / "missing.xml").string()}));
}

TEST(OneVmQueries, ImagesOfASavedTemplate) {
  kstest::TempDir dir;
  const std::string image_file = (dir / "img").string();
  kstest::write_file(image_file, "abc");
  Standins tools;
  tools.object("oneimage", "5",
               "<IMAGE><ID>5</ID><NAME>boot</NAME><TYPE>0</TYPE><DISK_TYPE>0</DISK_TYPE><SOURCE><![CDATA[" +
                   image_file + "]]></SOURCE><SIZE>1</SIZE><DATASTORE_ID>1</DATASTORE_ID></IMAGE>");
  tools.object("onedatastore", "1", "<DATASTORE><ID>1</ID><TM_MAD>qcow2</TM_MAD><TYPE>0</TYPE></DATASTORE>");
  const std::string path = (dir / "vm.xml").string();
  kstest::write_file(path, "<TEMPLATE>" + disk({{"IMAGE_ID", "5"}}) + disk({{"IMAGE_ID", "6"}}) + "</TEMPLATE>");
  LogCapture log;
  std::vector<oneimage> images(2);
  EXPECT_EQ(get_VM_image_list_from_xml(path, images), 1) << "image 6 is unknown";
  ASSERT_EQ(images.size(), 1u);
  EXPECT_EQ(images[0].name, "boot");
  EXPECT_EQ(images[0].unique_signature, "900150983cd24fb0d6963f7d28e17f72");
}

}  // namespace
