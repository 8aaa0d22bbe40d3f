#include "opennebula/datastores.h"

#include <cstdint>
#include <iomanip>

#include "opennebula/command.h"
#include "support/log/ks_log.h"
#include "support/utils/quoting.h"

namespace ks_opennebula_common {

namespace {

constexpr char kAnySig[] =
    "int ks_opennebula_common::get_any_datastore_by_type(int, TM_MAD_TYPE, const unsigned int&, "
    "std::__cxx11::string&)";
constexpr char kCapacitySig[] = "int ks_opennebula_common::get_datastore_capacity_mb(const string&, int&)";
constexpr char kTmMadSig[] = "TM_MAD_TYPE ks_opennebula_common::get_datastore_tm_mad(const string&)";
constexpr char kTypeSig[] = "int ks_opennebula_common::get_datastore_type(const string&, int&)";

std::string show_command(const std::string& id) { return "/usr/bin/onedatastore show " + shell_arg(id) + " -x"; }
std::string show_command_bare(const std::string& id) {
  return "/usr/bin/onedatastore show " + shell_arg_if_needed(id) + " -x";
}

}  // namespace

bool does_datastore_exist(const std::string& id) {
  if (!is_numeric_id(id)) return false;
  std::string output;
  return run_tool("", "/usr/bin/onedatastore show " + shell_arg(id), failure_form::none, output);
}

int get_any_image_datastore(const unsigned int& need_mb, std::string& id) {
  return get_any_datastore_by_type(DATASTORE_TYPE_IMAGE, TM_MAD_NONE, need_mb, id);
}

int get_any_system_datastore_by_tm_mad(TM_MAD_TYPE tm_mad, const unsigned int& need_mb, std::string& id) {
  return get_any_datastore_by_type(DATASTORE_TYPE_SYSTEM, tm_mad, need_mb, id);
}

int get_any_datastore_by_type(int type, TM_MAD_TYPE tm_mad, const unsigned int& need_mb, std::string& id) {
  return guarded(kAnySig, 1, [&]() -> int {
    xml_document doc = query_xml(kAnySig, "/usr/bin/onedatastore list -x", failure_form::command_was,
                                 "DATASTORE_POOL", parse_texts::standard("DATASTORE_POOL"));
    if (!doc) return 1;
    const std::string wanted_driver = tm_mad == TM_MAD_NONE ? std::string() : TM_MAD_TYPE_STR.at(tm_mad);
    for (xmlNode* ds : child_elements(xmlDocGetRootElement(doc.get()), "DATASTORE")) {
      std::string ds_id;  // each entry names itself; none inherits the one before
      std::int64_t free_mb = 0;
      int ds_type = -1;
      bool driver_matches = false;
      for (xmlNode* child : child_elements(ds)) {
        if (is_element(child, "ID")) {
          ds_id = node_text(doc.get(), child);
        } else if (is_element(child, "TYPE")) {
          ds_type = std::stoi(node_text(doc.get(), child));
        } else if (is_element(child, "FREE_MB")) {
          free_mb = std::stoll(node_text(doc.get(), child));
        } else if (is_element(child, "TM_MAD") && tm_mad != TM_MAD_NONE) {
          driver_matches = node_text(doc.get(), child) == wanted_driver;
        }
      }
      if (ds_type != type || free_mb <= static_cast<std::int64_t>(need_mb)) continue;
      if (type == DATASTORE_TYPE_SYSTEM && !driver_matches) continue;
      if (ds_id.empty()) {
        KsLogStream(KsLogLvl::Error) << kAnySig << ": got empty datastore ID" << std::endl;
        return 1;
      }
      id = ds_id;
      return 0;
    }
    KsLogStream(KsLogLvl::Error) << kAnySig << ": can't find no suitable datastore for the datastore type: "
                                 << std::quoted(std::to_string(type)) << std::endl;
    return 1;
  });
}

int get_datastore_type(const std::string& id, int& type) {
  type = -1;
  return guarded(kTypeSig, 1, [&]() -> int {
    if (!check_numeric_id(kTypeSig, id)) return 1;
    xml_document doc = query_xml(kTypeSig, show_command(id), failure_form::command_then_output, "DATASTORE",
                                 parse_texts::standard("DATASTORE"));
    if (!doc) return 1;
    if (xmlNode* node = first_child(xmlDocGetRootElement(doc.get()), "TYPE"))
      type = std::stoi(node_text(doc.get(), node));
    if (type == -1) {
      KsLogStream(KsLogLvl::Error) << kTypeSig
                                   << ": can't get type of datastore ID: " << kestrova::as_one_line_quoted(id)
                                   << std::endl;
      return 1;
    }
    return 0;
  });
}

TM_MAD_TYPE get_datastore_tm_mad(const std::string& id) {
  return guarded(kTmMadSig, TM_MAD_NONE, [&]() -> TM_MAD_TYPE {
    if (!check_numeric_id(kTmMadSig, id)) return TM_MAD_NONE;
    xml_document doc = query_xml(kTmMadSig, show_command_bare(id), failure_form::command_was, "DATASTORE",
                                 parse_texts::standard_capital("DATASTORE"));
    if (!doc) return TM_MAD_NONE;
    xmlNode* node = first_child(xmlDocGetRootElement(doc.get()), "TM_MAD");
    if (!node) return TM_MAD_NONE;
    return tm_mad_from_name(node_text(doc.get(), node));
  });
}

int get_datastore_capacity_mb(const std::string& id, int& free_mb) {
  return guarded(kCapacitySig, 1, [&]() -> int {
    if (!check_numeric_id(kCapacitySig, id)) return 1;
    xml_document doc = query_xml(kCapacitySig, show_command_bare(id), failure_form::command_was, "DATASTORE",
                                 parse_texts::standard_capital("DATASTORE"));
    if (!doc) return 1;
    xmlNode* node = first_child(xmlDocGetRootElement(doc.get()), "FREE_MB");
    if (!node) {
      KsLogStream(KsLogLvl::Error) << kCapacitySig << ": got no FREE_MB value for datastore with ID "
                                   << kestrova::as_one_line(id) << std::endl;
      return 1;
    }
    const std::string text = node_text(doc.get(), node);
    if (text.empty()) {
      KsLogStream(KsLogLvl::Error) << kCapacitySig << ": got empty FREE_MB value for datastore with ID "
                                   << kestrova::as_one_line(id) << std::endl;
      return 1;
    }
    free_mb = std::stoi(text);
    return 0;
  });
}

}  // namespace ks_opennebula_common
