#include "opennebula/xml_util.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <limits>

#include <boost/filesystem.hpp>
#include <libxml/entities.h>
#include <libxml/xmlsave.h>

namespace ks_opennebula_common {

namespace {

struct xml_char_deleter {
  void operator()(xmlChar* text) const { xmlFree(text); }
};
using xml_string = std::unique_ptr<xmlChar, xml_char_deleter>;

const xmlChar* to_xml(const char* text) { return reinterpret_cast<const xmlChar*>(text); }

// Failures are reported by the callers, not printed by libxml2.
constexpr int kParseOptions = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;

// The file `path` names once every symbolic link at its end is followed; a
// dangling link names the file the save is to create. False for a loop or
// an unreadable link.
bool link_target(const std::string& path, std::string& target) {
  namespace fs = boost::filesystem;
  fs::path current = path;
  for (int hops = 0; hops < 40; ++hops) {
    boost::system::error_code ec;
    if (!fs::is_symlink(fs::symlink_status(current, ec))) {
      target = current.string();
      return true;
    }
    fs::path next = fs::read_symlink(current, ec);
    if (ec) return false;
    current = next.is_absolute() ? next : current.parent_path() / next;
  }
  return false;
}

// A file created beside `target` and removed unless renamed over it.
class temporary_file {
 public:
  explicit temporary_file(const std::string& target) : path_(target + ".XXXXXX") {
    fd_ = mkostemp(&path_[0], O_CLOEXEC);
    created_ = fd_ >= 0;
  }
  ~temporary_file() {
    close();
    if (created_ && !renamed_) unlink(path_.c_str());
  }
  temporary_file(const temporary_file&) = delete;
  temporary_file& operator=(const temporary_file&) = delete;

  int fd() const { return fd_; }
  bool close() {
    if (fd_ < 0) return true;
    const bool ok = ::close(fd_) == 0;
    fd_ = -1;
    return ok;
  }
  bool rename_over(const std::string& target) {
    renamed_ = std::rename(path_.c_str(), target.c_str()) == 0;
    return renamed_;
  }

 private:
  std::string path_;
  int fd_ = -1;
  bool created_ = false;
  bool renamed_ = false;
};

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
  std::string target;
  if (!link_target(path, target)) return false;
  temporary_file temporary(target);
  if (temporary.fd() < 0) return false;

  struct stat existing {};
  mode_t mode;
  if (stat(target.c_str(), &existing) == 0) {
    mode = existing.st_mode & 07777;
    // Root can hand the file back to its owner; anyone else keeps at least
    // the group when it is one of theirs.
    if (fchown(temporary.fd(), existing.st_uid, existing.st_gid) != 0 &&
        fchown(temporary.fd(), static_cast<uid_t>(-1), existing.st_gid) != 0) {
      // The file is saved under the caller's own group.
    }
  } else {
    mode_t mask = umask(0);
    umask(mask);
    mode = 0666 & ~mask;
  }
  // After fchown, which clears the set-id bits.
  if (fchmod(temporary.fd(), mode) != 0) return false;

  xmlOutputBuffer* out = xmlOutputBufferCreateFd(temporary.fd(), nullptr);
  // xmlSaveFormatFileTo closes the buffer (not the descriptor).
  if (!out || xmlSaveFormatFileTo(out, doc, "UTF-8", 1) < 0) return false;
  if (fsync(temporary.fd()) != 0 || !temporary.close()) return false;
  return temporary.rename_over(target);
}

}  // namespace ks_opennebula_common
