#include "opennebula/xml_util.h"

#include <limits>

#include <libxml/entities.h>
#include <libxml/xmlsave.h>

#include "support/utils/file_replacement.h"

namespace ks_opennebula_common {

namespace {

struct xml_char_deleter {
  void operator()(xmlChar* text) const { xmlFree(text); }
};
using xml_string = std::unique_ptr<xmlChar, xml_char_deleter>;

const xmlChar* to_xml(const char* text) { return reinterpret_cast<const xmlChar*>(text); }

// Failures are reported by the callers, not printed by libxml2.
constexpr int kParseOptions = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;

}  // namespace

xml_document xml_read_memory(const std::string& text) {
  if (text.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) return nullptr;
  return xml_document(xmlReadMemory(text.data(), static_cast<int>(text.size()), nullptr, nullptr, kParseOptions));
}

xml_document xml_read_file(const std::string& path) {
  return xml_document(xmlReadFile(path.c_str(), nullptr, kParseOptions));
}

bool is_element(const xmlNode* node, const char* name) {
  return node && node->type == XML_ELEMENT_NODE && xmlStrcmp(node->name, to_xml(name)) == 0;
}

std::vector<xmlNode*> child_elements(const xmlNode* parent) {
  std::vector<xmlNode*> result;
  if (!parent) return result;
  for (xmlNode* child = parent->children; child; child = child->next)
    if (child->type == XML_ELEMENT_NODE) result.push_back(child);
  return result;
}

std::vector<xmlNode*> child_elements(const xmlNode* parent, const char* name) {
  std::vector<xmlNode*> result;
  if (!parent) return result;
  for (xmlNode* child = parent->children; child; child = child->next)
    if (is_element(child, name)) result.push_back(child);
  return result;
}

xmlNode* first_child(const xmlNode* parent, const char* name) {
  if (!parent) return nullptr;
  for (xmlNode* child = parent->children; child; child = child->next)
    if (is_element(child, name)) return child;
  return nullptr;
}

std::string node_text(xmlDoc* doc, const xmlNode* element) {
  if (!element || !element->children) return std::string();
  xml_string text(xmlNodeListGetString(doc, element->children, 1));
  if (!text) return std::string();
  return std::string(reinterpret_cast<const char*>(text.get()));
}

void set_node_text(xmlNode* element, const std::string& text) {
  // Drop the old children, then add the text as a plain text node: its
  // content is stored as given and escaped only when the tree is written.
  xmlNodeSetContent(element, nullptr);
  xmlNodeAddContentLen(element, to_xml(text.c_str()), static_cast<int>(text.size()));
}

xmlNode* append_text_child(xmlNode* parent, const char* name, const std::string& text) {
  // xmlNewTextChild escapes the reserved characters of its content.
  return xmlNewTextChild(parent, nullptr, to_xml(name), to_xml(text.c_str()));
}

void remove_node(xmlNode* element) {
  xmlUnlinkNode(element);
  xmlFreeNode(element);
}

bool save_xml_file(xmlDoc* doc, const std::string& path) {
  kestrova::file_replacement replacement(path);
  if (!replacement.ready()) return false;
  xmlOutputBuffer* out = xmlOutputBufferCreateFd(replacement.fd(), nullptr);
  // xmlSaveFormatFileTo closes the buffer (not the descriptor).
  if (!out || xmlSaveFormatFileTo(out, doc, "UTF-8", 1) < 0) return false;
  return replacement.commit();
}

}  // namespace ks_opennebula_common
