#include "support/config/ks_config.h"

#include <boost/algorithm/string/trim.hpp>

#include "support/config/file_io.h"
#include "support/utils/file_replacement.h"
#include "support/utils/quoting.h"

namespace ks_config {

namespace {

bool is_blank_or_tab(char c) { return c == ' ' || c == '\t'; }

// Splits a file's text into lines at line feeds; a last line without a line
// feed counts too.
std::list<std::string> split_lines(std::string const& text) {
  std::list<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

}  // namespace

ConfigFile::ConfigFile(std::string const& path) : path_(path) { load_or_throw(); }

ConfigFile::ConfigFile(ConfigFile const& other) { copy_lines_from(other); }

ConfigFile& ConfigFile::operator=(ConfigFile const& other) {
  if (this == &other) {
    path_.clear();
    return *this;
  }
  clear();
  copy_lines_from(other);
  return *this;
}

void ConfigFile::copy_lines_from(ConfigFile const& other) {
  for (auto const& line : other.lines_) {
    if (auto c = std::dynamic_pointer_cast<Comment>(line)) {
      addComment(c->getPure());
    } else if (auto v = std::dynamic_pointer_cast<Variable>(line)) {
      addVariable(v->getName(), v->getValue());
    } else {
      throw WrongConfigException("Unsupported format data " + kestrova_common::single_quoted(line->get()));
    }
  }
}

void ConfigFile::load(std::string const& path) {
  path_ = path;
  load_or_throw();
}

void ConfigFile::load_or_throw() {
  std::string error;
  bool opened = false;
  if (load_file(error, opened)) return;
  if (opened) throw UnreadableConfigException(error);
  throw WrongConfigException(error);
}

bool ConfigFile::loadConfig(std::string& error) {
  bool opened = false;
  return load_file(error, opened);
}

bool ConfigFile::load_file(std::string& error, bool& opened) {
  std::string text;
  detail::ReadResult const read = detail::read_whole_file(path_, text, error);
  opened = read != detail::ReadResult::cannot_open;
  if (read != detail::ReadResult::ok) return false;

  for (std::string& line : split_lines(text)) {
    boost::algorithm::trim(line);
    if (line.empty()) continue;
    if (line[0] == commentSign) {
      addComment(line.substr(1));
      continue;
    }
    size_t name_end = 0;
    while (name_end < line.size() && !is_blank_or_tab(line[name_end])) ++name_end;
    size_t value_begin = name_end;
    while (value_begin < line.size() && is_blank_or_tab(line[value_begin])) ++value_begin;
    addVariable(line.substr(0, name_end), line.substr(value_begin));
  }
  return true;
}

bool ConfigFile::save(std::string const& path) const {
  std::string text;
  for (auto const& line : lines_) {
    text += line->get();
    text += '\n';
  }
  return kestrova::replace_file(path, text);
}

std::string ConfigFile::operator[](std::string const& name) const {
  auto found = index_.find(name);
  if (found == index_.end()) throw VariableAbsentException(name);
  return static_cast<Variable const&>(**found->second).getValue();
}

void ConfigFile::addVariable(std::string const& name, std::string const& value) {
  auto found = index_.find(name);
  if (found != index_.end()) {
    static_cast<Variable&>(**found->second).value_ = value;
    return;
  }
  auto entry = index_.emplace(name, lines_.end()).first;
  try {
    entry->second = lines_.insert(lines_.end(), std::make_shared<Variable>(&entry->first, value));
  } catch (...) {
    index_.erase(entry);
    throw;
  }
}

void ConfigFile::addComment(std::string const& text) { lines_.push_back(std::make_shared<Comment>(text)); }

bool ConfigFile::variableExists(std::string const& name) const { return index_.count(name) != 0; }

void ConfigFile::removeVariable(std::string const& name) {
  auto found = index_.find(name);
  if (found == index_.end()) throw VariableAbsentException(name);
  lines_.erase(found->second);
  index_.erase(found);
}

void ConfigFile::removeComment(std::string const& text) {
  for (auto it = lines_.begin(); it != lines_.end(); ++it) {
    if ((*it)->getType() == comment && (*it)->get() == text) {
      lines_.erase(it);
      return;
    }
  }
}

bool ConfigFile::commentExists(std::string const& text) const {
  for (auto const& line : lines_)
    if (line->getType() == comment && line->get() == text) return true;
  return false;
}

void ConfigFile::clear() {
  index_.clear();
  lines_.clear();
  path_.clear();
}

}  // namespace ks_config
