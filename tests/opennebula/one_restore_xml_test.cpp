// XML files of a restore: written and edited files are compared as trees,
// read back by an independent parser (python's ElementTree).
#include <functional>

#include <gtest/gtest.h>

#include "opennebula/one_test_support.h"
#include "opennebula/restore_xml.h"

using namespace ks_opennebula_common;
using onetest::LogCapture;
using onetest::Standins;
using onetest::disk;
using onetest::replaced;

namespace {

const std::string kOdd = "R&D <\"blue\"> 'x' Ωmega";

// The tree of an XML file as ElementTree reads it: tags, attributes and
// texts, whitespace-only texts between elements dropped.
std::string tree_of_file(const std::string& path) {
  static const char* script =
      "import sys, json, xml.etree.ElementTree as E\n"
      "def t(e):\n"
      "    text = (e.text or '')\n"
      "    if not text.strip() and len(e): text = ''\n"
      "    return [e.tag, e.attrib, text, [t(c) for c in e]]\n"
      "print(json.dumps(t(E.parse(sys.argv[1]).getroot()), ensure_ascii=False))\n";
  kstest::RunResult r = kstest::run("python3 -c " + kstest::sh_quote(script) + " " + kstest::sh_quote(path));
  return r.status == 0 ? r.output : "unreadable: " + r.output;
}

std::string tree_of_text(const std::string& xml) {
  kstest::TempDir dir;
  kstest::write_file(dir / "expected.xml", xml);
  return tree_of_file((dir / "expected.xml").string());
}

std::string cdata(const std::string& name, const std::string& text) {
  return "<" + name + "><![CDATA[" + text + "]]></" + name + ">";
}

// A VM description with everything create_vm_xml drops or keeps.
std::string vm_description(const std::string& name) {
  return "<VM><ID>12</ID><UID>0</UID><NAME>" + std::string("<![CDATA[") + name + "]]></NAME><STATE>8</STATE>" +
         "<TEMPLATE>" + cdata("CPU", "1") +
         "<DISK>" + cdata("DISK_ID", "0") + cdata("IMAGE", "boot & root") + cdata("IMAGE_ID", "5") + cdata("TYPE", "FILE") + "</DISK>" +
         "<DISK>" + cdata("DISK_ID", "1") + cdata("SIZE", "1024") + cdata("TYPE", "fs") + "</DISK>" +
         "<DISK>" + cdata("DISK_ID", "2") + cdata("TYPE", "BLOCK") + cdata("TYPE", "fs") + "</DISK>" +
         "<GRAPHICS>" + cdata("LISTEN", "0.0.0.0") + cdata("PORT", "5912") + cdata("TYPE", "VNC") + cdata("PORT", "5913") + "</GRAPHICS>" +
         "<NIC>" + cdata("IP", "10.0.0.5") + cdata("IP", "10.0.0.6") + cdata("IP6_GLOBAL", "2001:db8::5") +
         cdata("IP6_LINK", "fe80::5") + cdata("MAC", "02:00:0a:00:00:05") + cdata("NETWORK", "private") + "</NIC>" +
         "<OS>" + cdata("ARCH", "x86_64") + cdata("BOOT", "disk0") + cdata("BOOT", "disk0,nic0") + cdata("BOOT", "nic0") + "</OS>" +
         "</TEMPLATE><USER_TEMPLATE><NOTE>n</NOTE></USER_TEMPLATE><HISTORY_RECORDS/></VM>";
}

std::string expected_vm_file(const std::string& name) {
  return "<TEMPLATE><CPU>1</CPU>"
         "<DISK><DISK_ID>0</DISK_ID><IMAGE>boot &amp; root</IMAGE><IMAGE_ID>5</IMAGE_ID><TYPE>FILE</TYPE></DISK>"
         "<DISK><DISK_ID>2</DISK_ID><TYPE>BLOCK</TYPE><TYPE>fs</TYPE></DISK>"
         "<GRAPHICS><LISTEN>0.0.0.0</LISTEN><TYPE>VNC</TYPE></GRAPHICS>"
         "<NIC><IP>10.0.0.6</IP><NETWORK>private</NETWORK></NIC>"
         "<OS><ARCH>x86_64</ARCH><BOOT>disk0</BOOT></OS>"
         "<NAME><![CDATA[" + name + "]]></NAME></TEMPLATE>";
}

TEST(OneRestoreXml, VmTemplateFile) {
  kstest::TempDir dir;
  const std::string path = (dir / "vm.xml").string();
  struct Case {
    std::string new_name;
    std::string written_name;
  } cases[] = {{"", "web & db"}, {kOdd, kOdd}};
  for (const Case& c : cases) {
    Standins tools;
    tools.answer({"onevm", "show", "12", "-x"}, vm_description("web & db"));
    LogCapture log;
    ASSERT_EQ(create_vm_xml("12", path, c.new_name), 0) << log.dump();
    EXPECT_EQ(tree_of_file(path), tree_of_text(expected_vm_file(c.written_name)));
    EXPECT_TRUE(log.has("Info: Virtual machine ID: 12"));
    EXPECT_TRUE(log.has("Info: VM will be restored with the name: " + c.written_name)) << log.dump();
  }

  // No TEMPLATE, or a failing tool: a failure, and the file there stays.
  kstest::write_file(path, "previous");
  Standins tools;
  tools.answer({"onevm", "show", "12", "-x"}, "<VM><ID>12</ID><NAME>web</NAME></VM>");
  LogCapture log;
  EXPECT_EQ(create_vm_xml("12", path, ""), 1);
  EXPECT_EQ(create_vm_xml("13", path, ""), 1);
  EXPECT_EQ(create_vm_xml("12'", path, ""), 1);
  EXPECT_EQ(kstest::read_file(path), "previous");
  EXPECT_TRUE(log.has("Error: int ks_opennebula_common::create_vm_xml(const string&, const string&, const string&): "
                      "can't get info for VM: 13"))
      << log.dump();
}

// The TEMPLATE element of a template's description with its disks replaced
// and a NAME appended: what create_template_xml is to write.
std::string template_file_of(const onetest::TemplateXml& description, const std::string& disks,
                             const std::string& name) {
  const std::string text = description.str();
  const std::size_t begin = text.find("<TEMPLATE>"), end = text.rfind("</TEMPLATE>");
  return replaced(text.substr(begin, end - begin), description.disks, disks) + "<NAME><![CDATA[" + name +
         "]]></NAME></TEMPLATE>";
}

std::string without_template(const std::string& description) {
  const std::size_t begin = description.find("<TEMPLATE>");
  const std::size_t end = description.rfind("</TEMPLATE>") + std::string("</TEMPLATE>").size();
  return description.substr(0, begin) + description.substr(end);
}

TEST(OneRestoreXml, TemplateFile) {
  kstest::TempDir dir;
  const std::string path = (dir / "template.xml").string();
  Standins tools;
  onetest::TemplateXml description;
  description.uname = "ops & co";
  description.disks = disk({{"DEV_PREFIX", "vd"}, {"IMAGE_ID", "5"}, {"SIZE", "10"}}) +
                      disk({{"IMAGE", "named"}, {"IMAGE_ID", "6"}});
  tools.answer({"onetemplate", "show", "3", "-x"}, description.str());
  onetest::ImageXml image;
  image.name = kOdd;
  tools.object("oneimage", "5", image.str());
  LogCapture log;
  ASSERT_EQ(create_template_xml("3", path, ""), 0) << log.dump();
  EXPECT_EQ(tree_of_file(path),
            tree_of_text(template_file_of(description,
                                          "<DISK><DEV_PREFIX>vd</DEV_PREFIX><SIZE>10</SIZE><IMAGE><![CDATA[" + kOdd +
                                              "]]></IMAGE><IMAGE_UNAME>ops &amp; co</IMAGE_UNAME></DISK>" +
                                              disk({{"IMAGE", "named"}, {"IMAGE_ID", "6"}}),
                                          "tmpl")));
  EXPECT_TRUE(log.has("Info: Change image ID: 5 to image name: " + kOdd + " in XML template file"));
  EXPECT_TRUE(log.has("Info: Add IMAGE_UNAME : ops & co to XML template file"));
  EXPECT_TRUE(log.has("Info: Template will be restored with the name: tmpl"));

  // An image whose name cannot be read: nothing is written.
  Standins missing;
  onetest::TemplateXml unknown_image;
  unknown_image.disks = disk({{"IMAGE_ID", "9"}});
  missing.answer({"onetemplate", "show", "3", "-x"}, unknown_image.str());
  onetest::TemplateXml no_template;
  no_template.id = "4";
  missing.answer({"onetemplate", "show", "4", "-x"}, without_template(no_template.str()));
  missing.answer({"onetemplate", "show", "5", "-x"}, "<VM/>");
  kstest::write_file(path, "previous");
  log.clear();
  EXPECT_EQ(create_template_xml("3", path, "new"), 1);
  EXPECT_EQ(create_template_xml("4", path, "new"), 1) << "no TEMPLATE";
  EXPECT_EQ(create_template_xml("5", path, "new"), 1);
  EXPECT_EQ(kstest::read_file(path), "previous");
  EXPECT_TRUE(log.has("Error: int ks_opennebula_common::create_template_xml(const string&, const string&, const "
                      "string&): document of the wrong type, root node != VMTEMPLATE:"))
      << log.dump();

  // A failing tool: the command, then its output alone.
  missing.answer({"onetemplate", "show", "7", "-x"}, "[one.template.info] Error getting template [7].\n", 255);
  log.clear();
  EXPECT_EQ(create_template_xml("7", path, "new"), 1);
  EXPECT_EQ(kstest::read_file(path), "previous");
  EXPECT_EQ(log.lines(), (std::vector<std::string>{
                             "Error: int ks_opennebula_common::create_template_xml(const string&, const string&, "
                             "const string&): command: /usr/bin/onetemplate show '7' -x",
                             "Error: [one.template.info] Error getting template [7]."}));
}

// Edits of saved files: the result as a tree, or the file byte for byte
// unchanged when the edit fails.
std::string replaced_name(const std::string& file) {
  return replaced(file, "<NAME>old &amp; name</NAME>", "<NAME><![CDATA[" + kOdd + "]]></NAME>");
}

TEST(OneRestoreXml, EditsOfSavedFiles) {
  const std::string vm_file =
      "<TEMPLATE><CPU>1</CPU>"
      "<DISK><IMAGE>boot</IMAGE><IMAGE_ID>5</IMAGE_ID><TYPE>FILE</TYPE></DISK>"
      "<DISK><IMAGE>iso</IMAGE><TYPE>CDROM</TYPE></DISK>"
      "<DISK><TARGET>hdb</TARGET><TYPE>FILE</TYPE><TYPE>RBD_CDROM</TYPE></DISK>"
      "<DISK><IMAGE>data</IMAGE><IMAGE_ID>7</IMAGE_ID></DISK>"
      "<NAME>old &amp; name</NAME><NAME>second</NAME></TEMPLATE>";
  const std::string no_name = "<TEMPLATE><DISK><IMAGE>boot</IMAGE></DISK></TEMPLATE>";
  struct Case {
    const char* what;
    std::string before;
    std::function<int(const std::string&)> edit;
    int rc;
    std::string after;  // empty: unchanged
  };
  std::vector<oneimage> images(4);
  images[0].name = "boot";
  images[0].new_name = "boot-first";
  images[1].name = "data";
  images[1].new_name = kOdd;
  images[2].name = "boot";
  images[2].new_name = "boot & restored";
  images[3].name = "iso";
  images[3].new_name = "iso";
  const std::vector<Case> cases = {
      {"VM name", vm_file, [](const std::string& p) { return change_name_in_VM_xml(p, kOdd); }, 0,
       replaced_name(vm_file)},
      {"template name", vm_file, [](const std::string& p) { return change_name_in_template_xml(p, kOdd); }, 0,
       replaced_name(vm_file)},
      {"VM name, no NAME", no_name, [](const std::string& p) { return change_name_in_VM_xml(p, "x"); }, 1, ""},
      {"CD-ROMs, two in a row", vm_file, [](const std::string& p) { return remove_cdrom_from_VM_xml(p); }, 0,
       "<TEMPLATE><CPU>1</CPU><DISK><IMAGE>boot</IMAGE><IMAGE_ID>5</IMAGE_ID><TYPE>FILE</TYPE></DISK>"
       "<DISK><IMAGE>data</IMAGE><IMAGE_ID>7</IMAGE_ID></DISK><NAME>old &amp; name</NAME><NAME>second</NAME></TEMPLATE>"},
      {"no CD-ROM", no_name, [](const std::string& p) { return remove_cdrom_from_VM_xml(p); }, 0, no_name},
      {"image by id only", vm_file,
       [](const std::string& p) { return change_image_in_VM_xml(p, "nothing", "x", "7", "70"); }, 0,
       replaced(vm_file, "<IMAGE_ID>7</IMAGE_ID>", "<IMAGE_ID>70</IMAGE_ID>")},
      {"image by name and id", vm_file,
       [](const std::string& p) { return change_image_in_VM_xml(p, "boot", "a&b", "5", "50"); }, 0,
       replaced(replaced(vm_file, "<IMAGE>boot</IMAGE>", "<IMAGE>a&amp;b</IMAGE>"), "<IMAGE_ID>5<", "<IMAGE_ID>50<")},
      {"image, nothing to change", vm_file,
       [](const std::string& p) { return change_image_in_VM_xml(p, "nothing", "x", "8", "80"); }, 1, ""},
      {"image names from the archive, the last record wins", vm_file,
       [&images](const std::string& p) { return change_image_name_in_template_xml(p, images); }, 0,
       replaced(replaced(vm_file, "<IMAGE>boot</IMAGE>", "<IMAGE>boot &amp; restored</IMAGE>"),
                "<IMAGE>data</IMAGE>", "<IMAGE><![CDATA[" + kOdd + "]]></IMAGE>")},
      {"an image the archive lacks", vm_file,
       [&images](const std::string& p) {
         return change_image_name_in_template_xml(p, std::vector<oneimage>(images.begin(), images.begin() + 1));
       },
       1, ""},
      {"image description", "<IMAGE><ID>5</ID><VMS><ID>1</ID></VMS><NAME>i</NAME><VMS/></IMAGE>",
       [](const std::string& p) { return convert_image_xml(p); }, 0, "<IMAGE><ID>5</ID><NAME>i</NAME></IMAGE>"},
      {"wrong root", "<IMAGE><NAME>n</NAME></IMAGE>", [](const std::string& p) { return change_name_in_VM_xml(p, "x"); },
       1, ""},
      {"not XML", "<TEMPLATE>", [](const std::string& p) { return change_image_in_VM_xml(p, "a", "b", "c", "d"); }, 1,
       ""},
  };
  for (const Case& c : cases) {
    kstest::TempDir dir;
    const std::string path = (dir / "saved.xml").string();
    kstest::write_file(path, c.before);
    LogCapture log;
    EXPECT_EQ(c.edit(path), c.rc) << c.what << "\n" << log.dump();
    if (c.after.empty()) {
      EXPECT_EQ(kstest::read_file(path), c.before) << c.what;
    } else {
      EXPECT_EQ(tree_of_file(path), tree_of_text(c.after)) << c.what;
    }
  }
}

// An edit whose save fails names the file and leaves it as it was. The
// file's name leaves no room for the temporary file's suffix, so the save
// fails also for root.
TEST(OneRestoreXml, EditsWhoseSaveFails) {
  const std::string vm_file =
      "<TEMPLATE><DISK><IMAGE>boot</IMAGE><IMAGE_ID>5</IMAGE_ID><TYPE>CDROM</TYPE></DISK><NAME>n</NAME></TEMPLATE>";
  std::vector<oneimage> images(1);
  images[0].name = "boot";
  images[0].new_name = "boot2";
  struct Case {
    const char* sig;
    std::string before;
    std::function<int(const std::string&)> edit;
  };
  const std::vector<Case> cases = {
      {"int ks_opennebula_common::change_name_in_VM_xml(const string&, const string&)", vm_file,
       [](const std::string& p) { return change_name_in_VM_xml(p, "x"); }},
      {"int ks_opennebula_common::change_name_in_template_xml(const string&, const string&)", vm_file,
       [](const std::string& p) { return change_name_in_template_xml(p, "x"); }},
      {"int ks_opennebula_common::remove_cdrom_from_VM_xml(const string&)", vm_file,
       [](const std::string& p) { return remove_cdrom_from_VM_xml(p); }},
      {"int ks_opennebula_common::change_image_in_VM_xml(const string&, const string&, const string&, const string&, "
       "const string&)",
       vm_file, [](const std::string& p) { return change_image_in_VM_xml(p, "boot", "b", "5", "6"); }},
      {"int ks_opennebula_common::change_image_name_in_template_xml(const string&, const std::vector<oneimage>&)",
       vm_file, [&images](const std::string& p) { return change_image_name_in_template_xml(p, images); }},
      {"int ks_opennebula_common::convert_image_xml(const string&)", "<IMAGE><ID>5</ID><VMS/></IMAGE>",
       [](const std::string& p) { return convert_image_xml(p); }},
  };
  kstest::TempDir dir;
  const std::string path = (dir / (std::string(250, 'x') + ".xml")).string();
  for (const Case& c : cases) {
    kstest::write_file(path, c.before);
    LogCapture log;
    EXPECT_EQ(c.edit(path), 1) << c.sig;
    EXPECT_EQ(log.lines(), (std::vector<std::string>{std::string("Error: ") + c.sig + ": can't save: " + path}));
    EXPECT_EQ(kstest::read_file(path), c.before) << c.sig;
  }
  EXPECT_EQ(std::distance(boost::filesystem::directory_iterator(dir.path()), {}), 1);
}

TEST(OneRestoreXml, NamesReadBack) {
  kstest::TempDir dir;
  const std::string path = (dir / "t.xml").string();
  kstest::write_file(path, "<TEMPLATE><CPU>1</CPU><NAME><![CDATA[" + kOdd + "]]></NAME></TEMPLATE>");
  LogCapture log;
  std::string name;
  EXPECT_EQ(get_VM_name_from_file(path, name), 0);
  EXPECT_EQ(name, kOdd);
  EXPECT_EQ(get_template_name_from_file(path, name), 0);
  EXPECT_EQ(name, kOdd);
  kstest::write_file(path, "<TEMPLATE><NAME/></TEMPLATE>");
  name = "old";
  EXPECT_EQ(get_VM_name_from_file(path, name), 0);
  EXPECT_EQ(name, "");
  kstest::write_file(path, "<TEMPLATE/>");
  EXPECT_EQ(get_VM_name_from_file(path, name), 1);
  EXPECT_EQ(get_template_name_from_file(path, name), 1);
  EXPECT_EQ(log.lines(),
            (std::vector<std::string>{
                "Error: int ks_opennebula_common::get_VM_name_from_file(const string&, std::__cxx11::string&): can't "
                "get VM name from file: " + path,
                "Error: int ks_opennebula_common::get_template_name_from_file(const string&, std::__cxx11::string&): "
                "can't get template name from the file: " + path}));
}

TEST(OneRestoreXml, TemplatesInOpenNebula) {
  kstest::TempDir dir;
  const std::string image_file = (dir / "img").string();
  kstest::write_file(image_file, "abc");
  Standins tools;
  tools.answer({"onetemplate", "show", "3", "-x", ""}, "");  // never asked: the blank ends the command
  onetest::TemplateXml mixed;  // one disk by name, one by id
  mixed.name = kOdd;
  mixed.disks = disk({{"IMAGE", "by name"}, {"IMAGE_UNAME", "oneadmin"}}) + disk({{"IMAGE_ID", "5"}});
  tools.answer({"onetemplate", "show", "3", "-x"}, mixed.str());
  onetest::TemplateXml by_names;
  by_names.id = "4";
  by_names.disks = disk({{"IMAGE", "by name"}, {"IMAGE_UNAME", "oneadmin"}}) +
                   disk({{"IMAGE", "it's"}, {"IMAGE_UNAME", "oneadmin"}});
  tools.answer({"onetemplate", "show", "4", "-x"}, by_names.str());
  onetest::TemplateXml unknown;
  unknown.id = "6";
  unknown.disks = disk({{"IMAGE", "unknown"}, {"IMAGE_UNAME", "oneadmin"}});
  tools.answer({"onetemplate", "show", "6", "-x"}, unknown.str());
  tools.answer({"onetemplate", "show", kOdd}, "TEMPLATE 3 INFORMATION\n");
  tools.answer({"onetemplate", "delete", "3", "--recursive"}, "");
  tools.answer({"onetemplate", "delete", "4", "--recursive"}, "[one.template.delete] Not authorized\n", 255);
  onetest::ImageXml boot;
  boot.name = "boot";
  boot.source = image_file;
  tools.object("oneimage", "5", boot.str());
  onetest::ImageXml named;
  named.id = "8";
  named.name = "by name";
  tools.answer({"oneimage", "show", "by name", "-x"}, named.str());
  named.id = "9";
  named.name = "it's";
  tools.answer({"oneimage", "show", "it's", "-x"}, named.str());
  onetest::DatastoreXml datastore;
  datastore.tm_mad = "shared";
  tools.object("onedatastore", "1", datastore.str());
  LogCapture log;

  std::string name;
  EXPECT_EQ(get_template_name("3", name), 0) << log.dump();
  EXPECT_EQ(name, kOdd);
  EXPECT_EQ(tools.calls().front(), (std::vector<std::string>{"onetemplate", "show", "3", "-x"}));
  EXPECT_TRUE(does_template_name_exist(kOdd));
  EXPECT_FALSE(does_template_name_exist("other"));

  std::vector<std::string> ids;
  EXPECT_EQ(get_simple_template_image_list("3", ids), 0);
  EXPECT_EQ(ids, (std::vector<std::string>{"5"})) << "an IMAGE_ID wins over names";
  ids = {"given"};
  tools.clear_calls();
  EXPECT_EQ(get_simple_template_image_list("4", ids), 0);
  EXPECT_EQ(ids, (std::vector<std::string>{"given"})) << "names are looked up only for an empty list";
  EXPECT_EQ(tools.calls(), (std::vector<std::vector<std::string>>{{"onetemplate", "show", "4", "-x"}}));
  ids.clear();
  EXPECT_EQ(get_simple_template_image_list("4", ids), 0);
  EXPECT_EQ(ids, (std::vector<std::string>{"8", "9"}));
  ids = {"given"};
  EXPECT_EQ(get_simple_template_image_list("6", ids), 0) << "an unknown name is not looked up into a filled list";
  ids.clear();
  EXPECT_EQ(get_simple_template_image_list("6", ids), 1);
  EXPECT_TRUE(log.has("Error: int ks_opennebula_common::get_simple_template_image_list(const string&, "
                      "std::vector<std::__cxx11::basic_string<char> >&): can't get ID of the image 'unknown'"));

  std::vector<oneimage> images;
  EXPECT_EQ(get_template_image_list("3", images), 0);
  ASSERT_EQ(images.size(), 1u);
  EXPECT_EQ(images[0].name, "boot");
  EXPECT_EQ(images[0].unique_signature, "900150983cd24fb0d6963f7d28e17f72");

  log.clear();
  EXPECT_EQ(delete_template("3"), 0);
  EXPECT_EQ(delete_template("4"), 1);
  const std::string sig = "int ks_opennebula_common::delete_template(const string&)";
  EXPECT_EQ(log.lines(), (std::vector<std::string>{
                             "Info: Delete template clone: 3",
                             "Error: " + sig + ": unable to delete template clone: 4",
                             "Error: " + sig + ": command: /usr/bin/onetemplate delete '4' --recursive",
                             "Error: Command output: [one.template.delete] Not authorized"}));

  auto calls = tools.calls();
  EXPECT_NE(std::find(calls.begin(), calls.end(), std::vector<std::string>{"oneimage", "show", "it's", "-x"}),
            calls.end());
}

}  // namespace
