// The resources of a backup of several resources (-B): the "path" members of
// the elements of a JSON file, in file order.
#pragma once

#include <list>
#include <string>
#include <vector>

class ResourceList {
 public:
  ResourceList() = default;
  ResourceList(ResourceList const&) = default;
  ResourceList& operator=(ResourceList const&) = default;
  ~ResourceList() = default;

  void clear();
  bool is_empty() const;

  // False, with an Error, at the first listed resource that equals one of the
  // restriction lines exactly.
  bool check_local_restrictions(std::vector<std::string> const& restrictions) const;

  // Replaces the list with the "path" members of every element of the file's
  // top-level value. False when the file is missing or is not valid JSON; a
  // file without any "path" gives an empty list, a Warning and true.
  bool parse_json_file(std::string const& path);

  std::list<std::string> resources;
};
