#include "opennebula/images.h"

#include <iomanip>

#include "opennebula/command.h"
#include "opennebula/datastores.h"
#include "opennebula/image_signature.h"
#include "support/log/ks_log.h"
#include "support/utils/quoting.h"

namespace ks_opennebula_common {

namespace {

constexpr char kAttributesSig[] = "int ks_opennebula_common::get_image_attributes(const string&, oneimage&, bool)";
constexpr char kNameSig[] = "int ks_opennebula_common::get_image_name(const string&, std::__cxx11::string&)";
constexpr char kListSig[] =
    "int ks_opennebula_common::get_image_list(std::vector<std::__cxx11::basic_string<char> >&)";
constexpr char kIdSig[] = "int ks_opennebula_common::get_image_id(const string&, std::__cxx11::string&)";
constexpr char kSafeDirsSig[] =
    "int ks_opennebula_common::get_safe_dirs_from_datastore(const string&, std::__cxx11::string&)";
constexpr char kStateSig[] = "int ks_opennebula_common::get_image_state(const string&, int&)";
constexpr char kNameExistSig[] = "bool ks_opennebula_common::does_image_name_exist(const string&)";
constexpr char kSourceSig[] = "int ks_opennebula_common::get_image_source(const string&, std::__cxx11::string&)";
constexpr char kDeleteSig[] = "void ks_opennebula_common::delete_image(const string&)";
constexpr char kNamesSig[] =
    "int ks_opennebula_common::get_available_image_names(std::vector<std::__cxx11::basic_string<char> >&)";

std::string show_command(const std::string& id) { return "/usr/bin/oneimage show " + shell_arg(id) + " -x"; }

// The texts of every `name` child of `parent`, concatenated.
std::string texts_of(xmlDoc* doc, xmlNode* parent, const char* name) {
  std::string text;
  for (xmlNode* child : child_elements(parent, name)) text += node_text(doc, child);
  return text;
}

xml_document image_show(const char* sig, const std::string& id, failure_form form) {
  return query_xml(sig, show_command(id), form, "IMAGE", parse_texts::standard("IMAGE"));
}

}  // namespace

int get_image_attributes(const std::string& id, oneimage& image, bool force_md5) {
  return guarded(kAttributesSig, 1, [&]() -> int {
    if (!check_numeric_id(kAttributesSig, id)) return 1;
    xml_document doc = image_show(kAttributesSig, id, failure_form::command_then_output);
    if (!doc) return 1;
    xmlNode* root = xmlDocGetRootElement(doc.get());

    // TYPE and DISK_TYPE first: the pass ends at DISK_TYPE.
    for (xmlNode* child : child_elements(root)) {
      if (is_element(child, "TYPE")) {
        image.type = static_cast<opennebula_image_type>(std::stoi(node_text(doc.get(), child)));
      } else if (is_element(child, "DISK_TYPE")) {
        image.disk_type = static_cast<opennebula_disk_type>(std::stoi(node_text(doc.get(), child)));
        break;
      }
    }
    for (xmlNode* child : child_elements(root)) {
      if (is_element(child, "ID")) {
        image.id = node_text(doc.get(), child);
      } else if (is_element(child, "NAME")) {
        image.name = node_text(doc.get(), child);
      } else if (is_element(child, "SIZE")) {
        image.size = megabytes_to_bytes(node_text(doc.get(), child));
      } else if (is_element(child, "DATASTORE_ID")) {
        image.datastore_id = node_text(doc.get(), child);
      } else if (is_element(child, "TEMPLATE")) {
        for (xmlNode* item : child_elements(child)) {
          if (is_element(item, "DEV_PREFIX"))
            image.dev_prefix = node_text(doc.get(), item);
          else if (is_element(item, "DRIVER"))
            image.driver = node_text(doc.get(), item);
        }
      } else if (is_element(child, "PERSISTENT")) {
        image.persistent = node_text(doc.get(), child);
      } else if (is_element(child, "SOURCE")) {
        image.source = node_text(doc.get(), child);
      }
    }
    doc.reset();

    const TM_MAD_TYPE tm_mad = get_datastore_tm_mad(image.datastore_id);
    if (tm_mad == TM_MAD_NONE) {
      log_error(kAttributesSig, ": wrong datastore TM_MAD");
      return 1;
    }
    if (image.disk_type == DISK_TYPE_NOT_READ &&
        disk_type_from_datastore(kAttributesSig, image.datastore_id, tm_mad, image.disk_type) != 0)
      return 1;
    if (!calculate_unique_signature(image, tm_mad, force_md5)) {
      log_error(kAttributesSig, ": can't calculate image unique signature");
      return 1;
    }
    return 0;
  });
}

int get_image_name(const std::string& id, std::string& name) {
  return guarded(kNameSig, 1, [&]() -> int {
    if (!check_numeric_id(kNameSig, id)) return 1;
    xml_document doc = query_xml(kNameSig, "/usr/bin/oneimage show " + shell_arg_if_needed(id) + " -x",
                                 failure_form::command_then_output, "IMAGE", parse_texts::standard("IMAGE"));
    if (!doc) return 1;
    name = texts_of(doc.get(), xmlDocGetRootElement(doc.get()), "NAME");
    return 0;
  });
}

int get_image_list(std::vector<std::string>& ids) {
  return guarded(kListSig, 1, [&]() -> int {
    xml_document doc = query_xml(kListSig, "/usr/bin/oneimage list -x", failure_form::command_then_output,
                                 "IMAGE_POOL", parse_texts::standard_capital("IMAGE_POOL"));
    if (!doc) return 1;
    for (xmlNode* image : child_elements(xmlDocGetRootElement(doc.get()), "IMAGE"))
      for (xmlNode* id : child_elements(image, "ID")) ids.push_back(node_text(doc.get(), id));
    return 0;
  });
}

int get_image_id(const std::string& name_or_id, std::string& id) {
  return guarded(kIdSig, 1, [&]() -> int {
    xml_document doc = image_show(kIdSig, name_or_id, failure_form::command_then_output);
    if (!doc) return 1;
    id = texts_of(doc.get(), xmlDocGetRootElement(doc.get()), "ID");
    if (id.empty()) {
      log_error(kIdSig, ": got empty ID for image " + kestrova::as_one_line(name_or_id));
      return 1;
    }
    return 0;
  });
}

int get_safe_dirs_from_datastore(const std::string& datastore_id, std::string& dirs) {
  return guarded(kSafeDirsSig, 1, [&]() -> int {
    if (!check_numeric_id(kSafeDirsSig, datastore_id)) return 1;
    xml_document doc = query_xml(kSafeDirsSig, "/usr/bin/onedatastore show " + shell_arg(datastore_id) + " -x",
                                 failure_form::command_then_output, "DATASTORE", parse_texts::standard("DATASTORE"));
    if (!doc) return 1;
    dirs.clear();
    for (xmlNode* tmpl : child_elements(xmlDocGetRootElement(doc.get()), "TEMPLATE"))
      dirs += texts_of(doc.get(), tmpl, "SAFE_DIRS");
    if (dirs.empty()) {
      log_error(kSafeDirsSig, ": got empty SAFE_DIRS value");
      return 1;
    }
    return 0;
  });
}

int get_image_state(const std::string& id, int& state) {
  return guarded(kStateSig, 1, [&]() -> int {
    if (!check_numeric_id(kStateSig, id)) return 1;
    xml_document doc = image_show(kStateSig, id, failure_form::command_then_output);
    if (!doc) return 1;
    const std::string text = texts_of(doc.get(), xmlDocGetRootElement(doc.get()), "STATE");
    if (text.empty()) {
      log_error(kStateSig, ": Got empty STATE for image " + kestrova::as_one_line(id));
      return 1;
    }
    state = std::stoi(text);
    return 0;
  });
}

int get_image_source(const std::string& id, std::string& source) {
  return guarded(kSourceSig, 1, [&]() -> int {
    if (!check_numeric_id(kSourceSig, id)) return 1;
    xml_document doc = image_show(kSourceSig, id, failure_form::command_was);
    if (!doc) return 1;
    xmlNode* node = first_child(xmlDocGetRootElement(doc.get()), "SOURCE");
    if (!node) return 1;
    source = node_text(doc.get(), node);
    return 0;
  });
}

bool does_image_exist_by_id(const std::string& id) {
  if (!is_numeric_id(id)) return false;
  std::string output;
  return run_tool("", "/usr/bin/oneimage show " + shell_arg(id), failure_form::none, output);
}

bool does_image_name_exist(const std::string& name) {
  return guarded(kNameExistSig, false, [&]() -> bool {
    xml_document doc = query_xml(kNameExistSig, "/usr/bin/oneimage list -x", failure_form::command_then_output,
                                 "IMAGE_POOL", parse_texts::standard("IMAGE_POOL"));
    if (!doc) return false;
    for (xmlNode* image : child_elements(xmlDocGetRootElement(doc.get()), "IMAGE"))
      for (xmlNode* node : child_elements(image, "NAME"))
        if (node_text(doc.get(), node) == name) return true;
    return false;
  });
}

void delete_image(const std::string& id) {
  guarded(kDeleteSig, 0, [&]() -> int {
    if (!check_numeric_id(kDeleteSig, id)) return 1;
    const std::string command = "/usr/bin/oneimage delete " + shell_arg(id);
    std::string output;
    if (run_tool(kDeleteSig, command, failure_form::none, output)) return 0;
    log_error(kDeleteSig, ": unable to delete image: " + kestrova::as_one_line(id));
    KsLogStream(KsLogLvl::Error) << "Command was: " << kestrova::as_one_line(command) << std::endl;
    KsLogStream(KsLogLvl::Error) << "Command output: " << kestrova::as_one_line(output) << std::endl;
    return 1;
  });
}

int get_available_image_names(std::vector<std::string>& names) {
  return guarded(kNamesSig, 1, [&]() -> int {
    parse_texts texts = parse_texts::via_parse_xml_document(": document of the wrong type, root node != IMAGE_POOL",
                                                            ": can't parse xml data");
    xml_document doc =
        query_xml(kNamesSig, "/usr/bin/oneimage list -x", failure_form::produced_error, "IMAGE_POOL", texts);
    if (!doc) return 1;
    for (xmlNode* image : child_elements(xmlDocGetRootElement(doc.get()), "IMAGE"))
      for (xmlNode* node : child_elements(image, "NAME")) names.push_back(node_text(doc.get(), node));
    if (names.empty())
      KsLogStream(KsLogLvl::Warning) << kNamesSig << ": got empty list of image names" << std::endl;
    return 0;
  });
}

}  // namespace ks_opennebula_common
