#include "opennebula/restore_xml.h"

#include "opennebula/command.h"
#include "opennebula/images.h"
#include "opennebula/xml_util.h"
#include "support/log/ks_log.h"
#include "support/utils/quoting.h"

namespace ks_opennebula_common {

namespace {

constexpr char kChangeVmNameSig[] = "int ks_opennebula_common::change_name_in_VM_xml(const string&, const string&)";
constexpr char kRemoveCdromSig[] = "int ks_opennebula_common::remove_cdrom_from_VM_xml(const string&)";
constexpr char kChangeImageSig[] =
    "int ks_opennebula_common::change_image_in_VM_xml(const string&, const string&, const string&, const string&, "
    "const string&)";
constexpr char kCreateVmSig[] = "int ks_opennebula_common::create_vm_xml(const string&, const string&, const string&)";
constexpr char kVmNameSig[] = "int ks_opennebula_common::get_VM_name_from_file(const string&, std::__cxx11::string&)";
constexpr char kCreateTemplateSig[] =
    "int ks_opennebula_common::create_template_xml(const string&, const string&, const string&)";
constexpr char kChangeTemplateNameSig[] =
    "int ks_opennebula_common::change_name_in_template_xml(const string&, const string&)";
constexpr char kChangeImageNameSig[] =
    "int ks_opennebula_common::change_image_name_in_template_xml(const string&, const std::vector<oneimage>&)";
constexpr char kTemplateNameSig[] = "int ks_opennebula_common::get_template_name(const string&, std::__cxx11::string&)";
constexpr char kTemplateNameFileSig[] =
    "int ks_opennebula_common::get_template_name_from_file(const string&, std::__cxx11::string&)";
constexpr char kConvertImageSig[] = "int ks_opennebula_common::convert_image_xml(const string&)";
constexpr char kSimpleListSig[] =
    "int ks_opennebula_common::get_simple_template_image_list(const string&, "
    "std::vector<std::__cxx11::basic_string<char> >&)";
constexpr char kTemplateImagesSig[] =
    "int ks_opennebula_common::get_template_image_list(const string&, std::vector<oneimage>&)";
constexpr char kDeleteTemplateSig[] = "int ks_opennebula_common::delete_template(const string&)";

void info(const std::string& text) { KsLogStream(KsLogLvl::Info) << text << std::endl; }

// The messages of the operations on saved files.
parse_texts saved_file_texts(const std::string& path, const std::string& root) {
  return {": document not parsed successfully: " + path, ": empty document: " + path,
          ": document of the wrong type, root node != " + root + ": " + path, false};
}

xml_document open_saved(const char* sig, const std::string& path) {
  return parse_file_checked(sig, path, "TEMPLATE", saved_file_texts(path, "TEMPLATE"));
}

int save(const char* sig, xmlDoc* doc, const std::string& path) {
  if (save_xml_file(doc, path)) return 0;
  log_error(sig, ": can't save: " + kestrova::as_one_line(path));
  return 1;
}

int change_first_name(const char* sig, const std::string& path, const std::string& name, const std::string& missing) {
  xml_document doc = open_saved(sig, path);
  if (!doc) return 1;
  xmlNode* node = first_child(xmlDocGetRootElement(doc.get()), "NAME");
  if (!node) {
    log_error(sig, missing + kestrova::as_one_line(path));
    return 1;
  }
  set_node_text(node, name);
  return save(sig, doc.get(), path);
}

int read_first_name(const char* sig, const std::string& path, std::string& name, const std::string& missing) {
  xml_document doc = open_saved(sig, path);
  if (!doc) return 1;
  xmlNode* node = first_child(xmlDocGetRootElement(doc.get()), "NAME");
  if (!node) {
    log_error(sig, missing + kestrova::as_one_line(path));
    return 1;
  }
  name = node_text(doc.get(), node);
  return 0;
}

// The description printed by a show command, with its root checked.
xml_document described(const char* sig, const std::string& output, const char* root) {
  return parse_checked(sig, output, root,
                       {": document not parsed successfully", ": empty document: ",
                        std::string(": document of the wrong type, root node != ") + root + ": ", false});
}

// Makes `tmpl` the root, names it and writes the file.
int finish_template_file(const char* sig, xmlDoc* doc, xmlNode* tmpl, const std::string& name,
                         const std::string& path) {
  xml_detached_node old_root(xmlDocSetRootElement(doc, tmpl));
  if (!append_text_child(tmpl, "NAME", name)) {
    log_error(sig, ": can't add template new name in XML structure");
    return 1;
  }
  return save(sig, doc, path);
}

}  // namespace

int change_name_in_VM_xml(const std::string& path, const std::string& name) {
  return guarded(kChangeVmNameSig, 1, [&]() -> int {
    return change_first_name(kChangeVmNameSig, path, name, ": can't change VM name in XML file ");
  });
}

int change_name_in_template_xml(const std::string& path, const std::string& name) {
  return guarded(kChangeTemplateNameSig, 1, [&]() -> int {
    return change_first_name(kChangeTemplateNameSig, path, name, ": can't change template name in the file: ");
  });
}

int get_VM_name_from_file(const std::string& path, std::string& name) {
  return guarded(kVmNameSig, 1,
                 [&]() -> int { return read_first_name(kVmNameSig, path, name, ": can't get VM name from file: "); });
}

int get_template_name_from_file(const std::string& path, std::string& name) {
  return guarded(kTemplateNameFileSig, 1, [&]() -> int {
    return read_first_name(kTemplateNameFileSig, path, name, ": can't get template name from the file: ");
  });
}

int remove_cdrom_from_VM_xml(const std::string& path) {
  return guarded(kRemoveCdromSig, 1, [&]() -> int {
    xml_document doc = open_saved(kRemoveCdromSig, path);
    if (!doc) return 1;
    for (xmlNode* disk : child_elements(xmlDocGetRootElement(doc.get()), "DISK")) {
      for (xmlNode* type : child_elements(disk, "TYPE")) {
        const std::string text = node_text(doc.get(), type);
        if (text == "CDROM" || text == "RBD_CDROM") {
          remove_node(disk);
          break;
        }
      }
    }
    return save(kRemoveCdromSig, doc.get(), path);
  });
}

int change_image_in_VM_xml(const std::string& path, const std::string& old_name, const std::string& new_name,
                           const std::string& old_id, const std::string& new_id) {
  return guarded(kChangeImageSig, 1, [&]() -> int {
    parse_texts texts = saved_file_texts(path, "TEMPLATE");
    texts.not_parsed = ": Document not parsed successfully: " + path;
    xml_document doc = parse_file_checked(kChangeImageSig, path, "TEMPLATE", texts);
    if (!doc) return 1;
    bool changed = false;
    for (xmlNode* disk : child_elements(xmlDocGetRootElement(doc.get()), "DISK")) {
      for (xmlNode* child : child_elements(disk)) {
        if (is_element(child, "IMAGE") && node_text(doc.get(), child) == old_name) {
          set_node_text(child, new_name);
          changed = true;
        } else if (is_element(child, "IMAGE_ID") && node_text(doc.get(), child) == old_id) {
          set_node_text(child, new_id);
          changed = true;
        }
      }
    }
    if (!changed) {
      log_error(kChangeImageSig, ": can't find records to change: " + kestrova::as_one_line(path));
      return 1;
    }
    return save(kChangeImageSig, doc.get(), path);
  });
}

int change_image_name_in_template_xml(const std::string& path, const std::vector<oneimage>& images) {
  return guarded(kChangeImageNameSig, 1, [&]() -> int {
    xml_document doc = open_saved(kChangeImageNameSig, path);
    if (!doc) return 1;
    for (xmlNode* disk : child_elements(xmlDocGetRootElement(doc.get()), "DISK")) {
      for (xmlNode* image : child_elements(disk, "IMAGE")) {
        const std::string text = node_text(doc.get(), image);
        const oneimage* match = nullptr;
        for (const oneimage& record : images)
          if (record.name == text) match = &record;
        if (!match) {
          log_error(kChangeImageNameSig,
                    ": can't find an image in the archive that corresponds to: " + kestrova::as_one_line(text));
          return 1;
        }
        set_node_text(image, match->new_name);
      }
    }
    return save(kChangeImageNameSig, doc.get(), path);
  });
}

int convert_image_xml(const std::string& path) {
  return guarded(kConvertImageSig, 1, [&]() -> int {
    parse_texts texts = saved_file_texts(path, "IMAGE");
    texts.empty = ": empty document:" + path;
    xml_document doc = parse_file_checked(kConvertImageSig, path, "IMAGE", texts);
    if (!doc) return 1;
    for (xmlNode* vms : child_elements(xmlDocGetRootElement(doc.get()), "VMS")) remove_node(vms);
    return save(kConvertImageSig, doc.get(), path);
  });
}

int create_vm_xml(const std::string& vm_id, const std::string& path, const std::string& new_name) {
  return guarded(kCreateVmSig, 1, [&]() -> int {
    if (!check_numeric_id(kCreateVmSig, vm_id)) return 1;
    std::string output;
    if (!run_tool(kCreateVmSig, "/usr/bin/onevm show " + shell_arg(vm_id) + " -x", failure_form::vm_info, output, vm_id))
      return 1;
    xml_document doc = described(kCreateVmSig, output, "VM");
    if (!doc) return 1;

    std::string vm_name;
    xmlNode* tmpl = nullptr;
    for (xmlNode* child : child_elements(xmlDocGetRootElement(doc.get()))) {
      if (is_element(child, "TEMPLATE")) {
        tmpl = child;
        break;
      }
      if (is_element(child, "ID")) info("Virtual machine ID: " + kestrova::as_one_line(node_text(doc.get(), child)));
      if (is_element(child, "NAME")) vm_name += node_text(doc.get(), child);
    }
    if (!tmpl) {
      log_error(kCreateVmSig, ": the description of VM " + vm_id + " has no TEMPLATE, nothing is written to " +
                                  kestrova::as_one_line(path));
      return 1;
    }

    for (xmlNode* child : child_elements(tmpl)) {
      if (is_element(child, "DISK")) {
        xmlNode* type = first_child(child, "TYPE");
        if (type && node_text(doc.get(), type) == "fs") remove_node(child);  // a volatile disk
      } else if (is_element(child, "GRAPHICS")) {
        for (xmlNode* port : child_elements(child, "PORT")) remove_node(port);
      } else if (is_element(child, "OS")) {
        for (xmlNode* boot : child_elements(child, "BOOT"))
          if (node_text(doc.get(), boot) != "disk0") remove_node(boot);
      } else if (is_element(child, "NIC")) {
        for (const char* address : {"MAC", "IP", "IP6_GLOBAL", "IP6_LINK"})
          if (xmlNode* node = first_child(child, address)) remove_node(node);
      }
    }

    const std::string name = new_name.empty() ? vm_name : new_name;
    info("VM will be restored with the name: " + kestrova::as_one_line(name));
    return finish_template_file(kCreateVmSig, doc.get(), tmpl, name, path);
  });
}

int create_template_xml(const std::string& template_id, const std::string& path, const std::string& new_name) {
  return guarded(kCreateTemplateSig, 1, [&]() -> int {
    if (!check_numeric_id(kCreateTemplateSig, template_id)) return 1;
    const std::string command = "/usr/bin/onetemplate show " + shell_arg(template_id) + " -x";
    std::string output;
    if (!run_tool(kCreateTemplateSig, command, failure_form::none, output)) {
      log_error(kCreateTemplateSig, ": command: " + kestrova::as_one_line(command));
      log_error_line(kestrova::as_one_line(output));
      return 1;
    }
    xml_document doc = described(kCreateTemplateSig, output, "VMTEMPLATE");
    if (!doc) return 1;

    std::string template_name, owner;
    xmlNode* tmpl = nullptr;
    for (xmlNode* child : child_elements(xmlDocGetRootElement(doc.get()))) {
      if (is_element(child, "TEMPLATE")) {
        tmpl = child;
        break;
      }
      if (is_element(child, "NAME")) template_name += node_text(doc.get(), child);
      if (is_element(child, "UNAME")) owner += node_text(doc.get(), child);
    }
    if (!tmpl) {
      log_error(kCreateTemplateSig, ": the description of template " + template_id +
                                        " has no TEMPLATE, nothing is written to " + kestrova::as_one_line(path));
      return 1;
    }

    for (xmlNode* disk : child_elements(tmpl, "DISK")) {
      // The walk ends at an IMAGE, also at the one appended for an IMAGE_ID.
      for (xmlNode* child = disk->children; child;) {
        xmlNode* next = child->next;
        if (is_element(child, "IMAGE")) break;
        if (is_element(child, "IMAGE_ID")) {
          const std::string image_id = node_text(doc.get(), child);
          std::string image_name;
          if (get_image_name(image_id, image_name) != 0) return 1;
          remove_node(child);
          if (!append_text_child(disk, "IMAGE", image_name)) {
            log_error(kCreateTemplateSig, ": can't change image ID to image name in XML structure");
            return 1;
          }
          info("Change image ID: " + kestrova::as_one_line(image_id) +
               " to image name: " + kestrova::as_one_line(image_name) + " in XML template file");
          if (!append_text_child(disk, "IMAGE_UNAME", owner)) {
            log_error(kCreateTemplateSig, ": can't add IMAGE_UNAME to XML structure");
            return 1;
          }
          info("Add IMAGE_UNAME : " + kestrova::as_one_line(owner) + " to XML template file");
        }
        child = next;
      }
    }

    const std::string name = new_name.empty() ? template_name : new_name;
    info("Template will be restored with the name: " + kestrova::as_one_line(name));
    return finish_template_file(kCreateTemplateSig, doc.get(), tmpl, name, path);
  });
}

int get_template_name(const std::string& template_id, std::string& name) {
  return guarded(kTemplateNameSig, 1, [&]() -> int {
    if (!check_numeric_id(kTemplateNameSig, template_id)) return 1;
    xml_document doc =
        query_xml(kTemplateNameSig, "/usr/bin/onetemplate show " + shell_arg_if_needed(template_id) + " -x ",
                  failure_form::command_was, "VMTEMPLATE", parse_texts::standard("VMTEMPLATE"));
    if (!doc) return 1;
    xmlNode* node = first_child(xmlDocGetRootElement(doc.get()), "NAME");
    if (!node) {
      log_error(kTemplateNameSig, ": can't find template name");
      return 1;
    }
    name = node_text(doc.get(), node);
    return 0;
  });
}

bool does_template_name_exist(const std::string& name) {
  std::string output;
  return run_tool("", "/usr/bin/onetemplate show " + shell_arg(name), failure_form::none, output);
}

int get_simple_template_image_list(const std::string& template_id, std::vector<std::string>& ids) {
  return guarded(kSimpleListSig, 1, [&]() -> int {
    if (!check_numeric_id(kSimpleListSig, template_id)) return 1;
    parse_texts texts = parse_texts::standard("VMTEMPLATE");
    texts.wrong_root += ": ";
    xml_document doc = query_xml(kSimpleListSig, "/usr/bin/onetemplate show " + shell_arg(template_id) + " -x ",
                                 failure_form::command_was, "VMTEMPLATE", texts);
    if (!doc) return 1;
    std::vector<std::string> names;
    for (xmlNode* tmpl : child_elements(xmlDocGetRootElement(doc.get()), "TEMPLATE"))
      for (xmlNode* disk : child_elements(tmpl, "DISK"))
        for (xmlNode* child : child_elements(disk)) {
          if (is_element(child, "IMAGE_ID"))
            ids.push_back(node_text(doc.get(), child));
          else if (is_element(child, "IMAGE"))
            names.push_back(node_text(doc.get(), child));
        }
    doc.reset();
    // Names are looked up only for a list that is still empty: no IMAGE_ID
    // here, and none gathered by the caller before.
    if (!ids.empty()) return 0;
    for (const std::string& name : names) {
      std::string id;
      if (get_image_id(name, id) != 0) {
        log_error(kSimpleListSig, ": can't get ID of the image '" + name + "'");
        return 1;
      }
      ids.push_back(id);
    }
    return 0;
  });
}

int get_template_image_list(const std::string& template_id, std::vector<oneimage>& images) {
  try {
    std::vector<std::string> ids;
    if (get_simple_template_image_list(template_id, ids) != 0) {
      log_error(kTemplateImagesSig, ": can't get simple template image list of: " + kestrova::as_one_line(template_id));
      return 1;
    }
    for (const std::string& id : ids) {
      oneimage image;
      if (get_image_attributes(id, image, false) != 0) return 1;
      images.push_back(image);
    }
    return 0;
  } catch (const std::exception& e) {
    log_error(kTemplateImagesSig, std::string(": exception: ") + kestrova::as_one_line(e.what()));
    return 1;
  }
}

int delete_template(const std::string& template_id) {
  return guarded(kDeleteTemplateSig, 1, [&]() -> int {
    if (!check_numeric_id(kDeleteTemplateSig, template_id)) return 1;
    const std::string command = "/usr/bin/onetemplate delete " + shell_arg(template_id) + " --recursive";
    std::string output;
    if (run_tool(kDeleteTemplateSig, command, failure_form::none, output)) {
      info("Delete template clone: " + kestrova::as_one_line(template_id));
      return 0;
    }
    log_error(kDeleteTemplateSig, ": unable to delete template clone: " + kestrova::as_one_line(template_id));
    log_error(kDeleteTemplateSig, ": command: " + kestrova::as_one_line(command));
    log_error_line("Command output: " + kestrova::as_one_line(output));
    return 1;
  });
}

}  // namespace ks_opennebula_common
