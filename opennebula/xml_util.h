// Owning handles and small helpers over libxml2 trees: every document and
// every string libxml2 hands out is released by its owner's destructor.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <libxml/parser.h>
#include <libxml/tree.h>

namespace ks_opennebula_common {

struct xml_doc_deleter {
  void operator()(xmlDoc* doc) const { xmlFreeDoc(doc); }
};
// Sole owner of a parsed document.
using xml_document = std::unique_ptr<xmlDoc, xml_doc_deleter>;

struct xml_node_deleter {
  void operator()(xmlNode* node) const { xmlFreeNode(node); }
};
// Sole owner of a node that is linked into no document tree.
using xml_detached_node = std::unique_ptr<xmlNode, xml_node_deleter>;

// Parses text (no network access, no entity expansion); null when the text
// is not XML. The document may still lack a root element.
xml_document xml_read_memory(const std::string& text);
// Parses a saved file the same way; null when unreadable or not XML.
xml_document xml_read_file(const std::string& path);

// True for an element node with exactly this name (case-sensitive).
bool is_element(const xmlNode* node, const char* name);

// The element children of `parent`, in document order. The list is taken
// before the caller walks it, so removing the element at hand is safe.
std::vector<xmlNode*> child_elements(const xmlNode* parent);
// Only those with the given name.
std::vector<xmlNode*> child_elements(const xmlNode* parent, const char* name);
// The first element child with that name, or null.
xmlNode* first_child(const xmlNode* parent, const char* name);

// The text of an element with entities substituted (CDATA included); the
// empty string for an element without text.
std::string node_text(xmlDoc* doc, const xmlNode* element);

// Replaces the content of an element by `text`, taken literally: "&", "<"
// and quotes are stored as characters, not read as markup.
void set_node_text(xmlNode* element, const std::string& text);
// Appends <name>text</name> as the last child of `parent` (text literal);
// null when libxml2 could not make it.
xmlNode* append_text_child(xmlNode* parent, const char* name, const std::string& text);
// Unlinks and frees an element.
void remove_node(xmlNode* element);

// Writes the document formatted as UTF-8 in place of the file `path` names,
// through kestrova::file_replacement: a symbolic link is followed, and
// stays; a failure never leaves a half-written file. An existing file keeps
// its permission bits, and its owner and group as far as the caller may set
// them. False on any failure (the temporary file is removed then), and for a
// path that names a directory, device, pipe or socket, which stays as it
// was.
bool save_xml_file(xmlDoc* doc, const std::string& path);

}  // namespace ks_opennebula_common
