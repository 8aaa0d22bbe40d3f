// Records, name tables, the XML helpers and the shared command pattern.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "opennebula/command.h"
#include "opennebula/one_test_support.h"
#include "opennebula/records.h"
#include "opennebula/xml_util.h"

using namespace ks_opennebula_common;
using onetest::LogCapture;
using onetest::Standins;

namespace {

constexpr char kSig[] = "int ks_opennebula_common::some_query(const string&)";

TEST(OneRecords, DefaultsAreThoseOpenNebulaCallersExpect) {
  oneimage image;
  EXPECT_EQ(image.disk_type, 255);
  EXPECT_EQ(image.type, 0);
  EXPECT_TRUE(image.unique_signature.empty());
  EXPECT_EQ(image.size, 0u);

  opennebula_device_info device;
  EXPECT_EQ(device.tm_mad, -1);
  EXPECT_EQ(device.size, 0u);
  EXPECT_FALSE(device.persistent);
  EXPECT_EQ(device.storage_kind, 1);
  EXPECT_EQ(device.device_kind, 2);
  EXPECT_EQ(device.reserved, 1);

  opennebula_vm_state state;
  EXPECT_EQ(state.state, -1);
  EXPECT_EQ(state.lcm_state, -1);
}

TEST(OneRecords, CopiesOwnTheirData) {
  opennebula_device_info a;
  a.files = {"/x"};
  a.disk_id = "3";
  opennebula_device_info b = a;
  a.files.push_back("/y");
  a.disk_id = "4";
  EXPECT_EQ(b.files, std::vector<std::string>{"/x"});
  EXPECT_EQ(b.disk_id, "3");
}

TEST(OneNameTables, DriverNamesBothWays) {
  struct Case {
    TM_MAD_TYPE value;
    const char* name;
  } cases[] = {{TM_MAD_NONE, ""},         {TM_MAD_QCOW2, "qcow2"},    {TM_MAD_CEPH, "ceph"},
               {TM_MAD_FS_LVM, "fs_lvm"}, {TM_MAD_LVM_LVM, "lvm_lvm"}, {TM_MAD_LVM_THIN, "lvm_thin"},
               {TM_MAD_SHARED, "shared"}, {TM_MAD_SSH, "ssh"},         {TM_MAD_DEV, "dev"},
               {TM_MAD_ISCSI, "iscsi"}};
  ASSERT_EQ(TM_MAD_TYPE_STR.size(), 10u);
  EXPECT_EQ(TM_MAD_TYPE_STR.begin()->first, TM_MAD_NONE);
  for (const Case& c : cases) {
    EXPECT_EQ(TM_MAD_TYPE_STR.at(c.value), c.name);
    EXPECT_EQ(tm_mad_name(c.value), c.name);
    EXPECT_EQ(tm_mad_from_name(c.name), c.value) << c.name;
    EXPECT_TRUE(is_tm_mad_name(c.name));
  }
  EXPECT_EQ(tm_mad_from_name("QCOW2"), TM_MAD_NONE);
  EXPECT_FALSE(is_tm_mad_name("QCOW2"));
  EXPECT_THROW(TM_MAD_TYPE_STR.at(static_cast<TM_MAD_TYPE>(9)), std::out_of_range);
  EXPECT_EQ(tm_mad_name(static_cast<TM_MAD_TYPE>(9)), "");
}

TEST(OneNameTables, DiskAndImageTypeNames) {
  const char* disk_names[] = {"FILE", "CDROM", "BLOCK", "RBD", "RBD_CDROM", "GLUSTER", "GLUSTER_CDROM",
                              "SHEEPDOG", "SHEEPDOG_CDROM", "ISCSI"};
  for (int v = 0; v < 10; ++v) {
    opennebula_disk_type t = static_cast<opennebula_disk_type>(v);
    EXPECT_EQ(disk_type_to_str(t), disk_names[v]);
  }
  for (int v : {10, 255, -1}) {
    opennebula_disk_type t = static_cast<opennebula_disk_type>(v);
    EXPECT_EQ(disk_type_to_str(t), "") << v;
  }
  const char* image_names[] = {"OS", "CDROM", "DATABLOCK", "KERNEL", "RAMDISK", "CONTEXT"};
  for (int v = 0; v < 6; ++v) {
    opennebula_image_type t = static_cast<opennebula_image_type>(v);
    EXPECT_EQ(type_to_str(t), image_names[v]);
  }
  opennebula_image_type six = static_cast<opennebula_image_type>(6);
  EXPECT_EQ(type_to_str(six), "");
}

TEST(OneXml, ElementTextsAsTheToolsPrintThem) {
  xml_document doc = xml_read_memory(
      "<IMAGE><NAME><![CDATA[a & b <c>]]></NAME><EMPTY></EMPTY><SELF/><ENT>x &amp; y</ENT>"
      "<MIX>1<![CDATA[2]]>3</MIX><NAME>second</NAME></IMAGE>");
  ASSERT_TRUE(doc);
  xmlNode* root = xmlDocGetRootElement(doc.get());
  EXPECT_EQ(node_text(doc.get(), first_child(root, "NAME")), "a & b <c>");
  EXPECT_EQ(node_text(doc.get(), first_child(root, "EMPTY")), "");
  EXPECT_EQ(node_text(doc.get(), first_child(root, "SELF")), "");
  EXPECT_EQ(node_text(doc.get(), first_child(root, "ENT")), "x & y");
  EXPECT_EQ(node_text(doc.get(), first_child(root, "MIX")), "123");
  EXPECT_EQ(child_elements(root, "NAME").size(), 2u);
  EXPECT_EQ(first_child(root, "name"), nullptr) << "names are case-sensitive";
}

TEST(OneXml, SizesInMegabytes) {
  struct Case {
    const char* text;
    std::uint64_t bytes;
  } ok[] = {{"10", 10485760u}, {"0x10", 16777216u}, {"010", 8u << 20}, {" 7 MB", 7u << 20}, {"0", 0}};
  for (const Case& c : ok) EXPECT_EQ(megabytes_to_bytes(c.text), c.bytes) << c.text;
  EXPECT_THROW(megabytes_to_bytes(""), std::invalid_argument);
  EXPECT_THROW(megabytes_to_bytes("abc"), std::invalid_argument);
  EXPECT_THROW(megabytes_to_bytes("-1"), std::out_of_range);
  EXPECT_THROW(megabytes_to_bytes("17592186044416"), std::out_of_range);  // 2^44 MiB = 2^64 bytes
  EXPECT_EQ(megabytes_to_bytes("17592186044415"), 17592186044415ull << 20);
}

TEST(OneXml, SavingReplacesTheFileWhole) {
  kstest::TempDir dir;
  const std::string path = (dir / "t.xml").string();
  kstest::write_file(path, "<old/>");
  ASSERT_EQ(chmod(path.c_str(), 0640), 0);
  xml_document doc = xml_read_memory("<TEMPLATE><NAME>n</NAME></TEMPLATE>");
  ASSERT_TRUE(doc);
  xmlNode* root = xmlDocGetRootElement(doc.get());
  set_node_text(first_child(root, "NAME"), "a & <b> \"q\" 'r' é");
  ASSERT_TRUE(save_xml_file(doc.get(), path));

  struct stat st {};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  xml_document back = xml_read_file(path);
  ASSERT_TRUE(back);
  EXPECT_EQ(node_text(back.get(), first_child(xmlDocGetRootElement(back.get()), "NAME")), "a & <b> \"q\" 'r' é");
  EXPECT_EQ(std::distance(boost::filesystem::directory_iterator(dir.path()), {}), 1) << "no temporary file is left";

  // A target that cannot be replaced: the save fails and leaves nothing behind.
  boost::filesystem::create_directory(dir / "busy");
  kstest::write_file(dir / "busy" / "keep", "x");
  EXPECT_FALSE(save_xml_file(doc.get(), (dir / "busy").string()));
  EXPECT_EQ(kstest::read_file(dir / "busy" / "keep"), "x");
  EXPECT_EQ(std::distance(boost::filesystem::directory_iterator(dir.path()), {}), 2);
  EXPECT_FALSE(save_xml_file(doc.get(), (dir / "missing" / "t.xml").string()));
}

// A saved file reached through a symbolic link is written where the link
// points; the link stays, and so do the file's mode, owner and group.
TEST(OneXml, SavingThroughALinkWritesItsTarget) {
  namespace fs = boost::filesystem;
  struct Link {
    std::string at, to;  // relative to the test directory, `to` as stored
  };
  struct Case {
    const char* what;
    std::vector<Link> links;
    std::string path, file;  // saved through `path`, written into `file`
    bool file_exists;
  } cases[] = {
      {"absolute", {{"abs.xml", "@/real/t.xml"}}, "abs.xml", "real/t.xml", true},
      {"relative from another directory", {{"links/rel.xml", "../real/t.xml"}}, "links/rel.xml", "real/t.xml", true},
      {"two links", {{"links/rel.xml", "../real/t.xml"}, {"top.xml", "links/rel.xml"}}, "top.xml", "real/t.xml", true},
      {"dangling: the target is made", {{"new.xml", "real/new.xml"}}, "new.xml", "real/new.xml", false},
  };
  xml_document doc = xml_read_memory("<TEMPLATE><NAME>new &amp; name</NAME></TEMPLATE>");
  ASSERT_TRUE(doc);
  for (const Case& c : cases) {
    kstest::TempDir dir;
    fs::create_directories(dir / "real");
    fs::create_directories(dir / "links");
    const std::string file = (dir / c.file).string();
    if (c.file_exists) {
      kstest::write_file(file, "<TEMPLATE><NAME>old</NAME></TEMPLATE>");
      ASSERT_EQ(chmod(file.c_str(), 0640), 0);
      ASSERT_EQ(chown(file.c_str(), 4321, 4322), 0);
    }
    for (const Link& l : c.links) {
      std::string to = l.to[0] == '@' ? dir.str() + l.to.substr(1) : l.to;
      fs::create_symlink(to, dir / l.at);
    }

    ASSERT_TRUE(save_xml_file(doc.get(), (dir / c.path).string())) << c.what;
    for (const Link& l : c.links) {
      EXPECT_TRUE(fs::is_symlink(fs::symlink_status(dir / l.at))) << c.what << ": " << l.at << " is still a link";
    }
    xml_document back = xml_read_file(file);
    ASSERT_TRUE(back) << c.what;
    EXPECT_EQ(node_text(back.get(), first_child(xmlDocGetRootElement(back.get()), "NAME")), "new & name") << c.what;
    struct stat st {};
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    if (c.file_exists) {
      EXPECT_EQ(st.st_mode & 07777, 0640u) << c.what;
      EXPECT_EQ(st.st_uid, 4321u) << c.what;
      EXPECT_EQ(st.st_gid, 4322u) << c.what;
    }
    std::size_t entries = 0;
    for (fs::recursive_directory_iterator it(dir.path()), end; it != end; ++it) ++entries;
    EXPECT_EQ(entries, 2 + 1 + c.links.size()) << c.what << ": no temporary file is left";
  }

  // Links that point at each other name no file: nothing is written.
  kstest::TempDir dir;
  fs::create_symlink("b.xml", dir / "a.xml");
  fs::create_symlink("a.xml", dir / "b.xml");
  EXPECT_FALSE(save_xml_file(doc.get(), (dir / "a.xml").string()));
  EXPECT_TRUE(fs::is_symlink(fs::symlink_status(dir / "a.xml")));
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), {}), 2);
}

TEST(OneCommand, NumericIdsAndShellWords) {
  for (const char* good : {"0", "7", "0123", "18446744073709551616"}) EXPECT_TRUE(is_numeric_id(good)) << good;
  for (const char* bad : {"", " 7", "7 ", "-1", "+1", "1e3", "0x1", "7;id", "٣"}) EXPECT_FALSE(is_numeric_id(bad)) << bad;

  LogCapture log;
  EXPECT_FALSE(check_numeric_id(kSig, "5'; touch /tmp/x; '"));
  EXPECT_TRUE(log.has(std::string("Error: ") + kSig + ": wrong ID (a number is expected): \"5'; touch /tmp/x; '\""))
      << log.dump();

  // The shell hands every quoted value back byte for byte.
  for (const char* value : {"plain", "", "it's", "a b", "$(id)", "`id`", "\\n\"", "-n", "é"}) {
    kstest::RunResult r = kstest::run("printf '%s' " + shell_arg(value));
    EXPECT_EQ(r.output, value);
  }
  EXPECT_EQ(shell_arg_if_needed("disk.0"), "disk.0");
  EXPECT_EQ(shell_arg_if_needed("a b"), "'a b'");
}

// A remote word passes the local shell, then ssh joins the words with blanks
// for the remote shell: "$*" of a second shell does the same.
TEST(OneCommand, RemoteWordsSurviveBothShells) {
  for (const char* value : {"plain", "", "it's", "a b", "$(id)", "`id`", "\\n\"", "a|b; c", "é"}) {
    const std::string words = "printf " + remote_arg("%s|") + " " + remote_arg(value) + " " + remote_arg(value, true);
    kstest::RunResult r = kstest::run("set -- " + words + "; exec /bin/sh -c \"$*\"");
    EXPECT_EQ(r.output, std::string(value) + "|" + value + "|") << words;
  }
  EXPECT_EQ(remote_arg("/var/lib/one/disk.0"), "/var/lib/one/disk.0");
  EXPECT_EQ(remote_arg("/var/lib/one/disk.0", true), "'/var/lib/one/disk.0'");
  EXPECT_EQ(ssh_command("kvm-b", "test -d " + remote_arg("/var/lib/one/0/12")), "ssh root@kvm-b test -d /var/lib/one/0/12");
}

// Every failure form: the lines logged when the tool exits non-zero.
TEST(OneCommand, FailureForms) {
  Standins tools;
  const std::string cmd = "/usr/bin/onevm show 7 -x";
  tools.answer({"onevm", "show", "7", "-x"}, "[VirtualMachineInfo] Error getting VM [7].\n", 255);
  const std::string sig = kSig;
  const std::string out = "Command output: [VirtualMachineInfo] Error getting VM [7].";
  struct Case {
    failure_form form;
    std::vector<std::string> lines;
  } cases[] = {
      {failure_form::command_then_output,
       {"Error: " + sig + ": command " + cmd, "Error: [VirtualMachineInfo] Error getting VM [7]."}},
      {failure_form::command_output, {"Error: " + sig + ": command " + cmd, "Error: " + out}},
      {failure_form::produced_error, {"Error: " + sig + ": command " + cmd + " produced an error", "Error: " + out}},
      {failure_form::command_was, {"Error: " + sig + ": command was: " + cmd, "Error: " + out}},
      {failure_form::following_error,
       {"Error: " + sig + ": the following command produced an error: " + cmd, "Error: " + out}},
      {failure_form::following_failed, {"Error: " + sig + ": the following command failed: " + cmd, "Error: " + out}},
      {failure_form::vm_info,
       {"Error: " + sig + ": can't get info for VM: 7", "Error: Command was: " + cmd, "Error: " + out}},
      {failure_form::host_pool, {"Error: " + sig + ": can't get pool of hosts, command was" + cmd, "Error: " + out}},
      {failure_form::none, {}},
  };
  for (const Case& c : cases) {
    LogCapture log;
    std::string output = "stale";
    EXPECT_FALSE(run_tool(kSig, cmd, c.form, output, "7"));
    EXPECT_EQ(output, "[VirtualMachineInfo] Error getting VM [7].\n");
    EXPECT_EQ(log.lines(), c.lines) << log.dump();
  }
  tools.answer({"onevm", "show", "8", "-x"}, "<VM/>");
  LogCapture log;
  std::string output = "stale";
  EXPECT_TRUE(run_tool(kSig, "/usr/bin/onevm show 8 -x", failure_form::command_then_output, output));
  EXPECT_EQ(output, "<VM/>");
  EXPECT_TRUE(log.lines().empty());
}

TEST(OneCommand, ParseFailuresAndRootChecks) {
  struct Case {
    const char* text;
    parse_texts texts;
    std::vector<std::string> lines;
  } cases[] = {
      {"", parse_texts::standard("VM"), {std::string("Error: ") + kSig + ": document not parsed successfully"}},
      {"not xml", parse_texts::standard_capital("VM"),
       {std::string("Error: ") + kSig + ": Document not parsed successfully"}},
      {"<VMS><VM/></VMS>", parse_texts::standard("VM"),
       {std::string("Error: ") + kSig + ": document of the wrong type, root node != VM"}},
      {"<vm/>", parse_texts::standard("VM"),
       {std::string("Error: ") + kSig + ": document of the wrong type, root node != VM"}},
      {"<VM", parse_texts::via_parse_xml_document(": wrong root", ": can't parse xml data"),
       {"Error: int ks_opennebula_common::parse_xml_document(const string&, xmlDoc*&): XML document not parsed "
        "successfully",
        std::string("Error: ") + kSig + ": can't parse xml data"}},
      {"<HOST/>", parse_texts::via_parse_xml_document(": document of the wrong type, root node != VM: "),
       {std::string("Error: ") + kSig + ": document of the wrong type, root node != VM:"}},
  };
  for (const Case& c : cases) {
    LogCapture log;
    EXPECT_FALSE(parse_checked(kSig, c.text, "VM", c.texts)) << c.text;
    EXPECT_EQ(log.lines(), c.lines) << c.text << "\n" << log.dump();
  }
  LogCapture log;
  xml_document doc = parse_checked(kSig, "<VM><ID>1</ID></VM>", "VM", parse_texts::standard("VM"));
  ASSERT_TRUE(doc);
  EXPECT_TRUE(log.lines().empty());
}

TEST(OneCommand, ParseXmlDocumentHandsOverOwnership) {
  LogCapture log;
  for (const char* bad : {"", "text", "<a><b></a>"}) {
    xmlDoc* doc = reinterpret_cast<xmlDoc*>(0x1);
    EXPECT_EQ(parse_xml_document(bad, doc), 1);
    EXPECT_EQ(doc, nullptr);
  }
  EXPECT_EQ(log.lines().size(), 3u);
  EXPECT_TRUE(log.has("Error: int ks_opennebula_common::parse_xml_document(const string&, xmlDoc*&): XML document "
                      "not parsed successfully"));
  xmlDoc* doc = nullptr;
  ASSERT_EQ(parse_xml_document("<IMAGE_POOL/>", doc), 0);
  xml_document owner(doc);
  EXPECT_TRUE(is_element(xmlDocGetRootElement(doc), "IMAGE_POOL"));
}

TEST(OneCommand, GuardTurnsExceptionsIntoFailures) {
  LogCapture log;
  EXPECT_EQ(guarded(kSig, 1, []() -> int { return std::stoi("x"); }), 1);
  EXPECT_TRUE(log.has(std::string("Error: ") + kSig + ": stoi")) << log.dump();
  EXPECT_EQ(guarded(kSig, 1, []() -> int { return 0; }), 0);
}

}  // namespace
