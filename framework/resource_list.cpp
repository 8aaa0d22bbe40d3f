#include "framework/resource_list.h"

#include <boost/filesystem.hpp>
#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include "support/log/ks_log.h"
#include "support/utils/quoting.h"

void ResourceList::clear() { resources.clear(); }

bool ResourceList::is_empty() const { return resources.empty(); }

bool ResourceList::check_local_restrictions(std::vector<std::string> const& restrictions) const {
  for (auto const& restriction : restrictions) {
    for (auto const& resource : resources) {
      if (resource == restriction) {
        KsLogStream(KsLogLvl::Error) << __PRETTY_FUNCTION__ << ": Unable to backup this resource from ResourceList: "
                                     << kestrova::as_one_line(resource) << ". Local restriction" << std::endl;
        return false;
      }
    }
  }
  return true;
}

bool ResourceList::parse_json_file(std::string const& path) {
  clear();
  try {
    if (!boost::filesystem::exists(path)) {
      KsLogStream(KsLogLvl::Error) << __PRETTY_FUNCTION__ << ": resource list file does not exist: " << path
                                   << std::endl;
      return false;
    }
    boost::property_tree::ptree tree;
    boost::property_tree::read_json(path, tree);
    for (auto const& element : tree) {
      for (auto const& member : element.second) {
        if (member.first == "path") resources.push_back(member.second.get_value<std::string>());
      }
    }
    if (resources.empty()) {
      KsLogStream(KsLogLvl::Warning) << __PRETTY_FUNCTION__ << ": there is no any resource in json file: " << path
                                     << std::endl;
    }
    return true;
  } catch (boost::property_tree::json_parser_error const& e) {
    KsLogStream(KsLogLvl::Error) << __PRETTY_FUNCTION__ << ": json parser error: " << kestrova::as_one_line(e.what())
                                 << std::endl;
  } catch (boost::filesystem::filesystem_error const& e) {
    KsLogStream(KsLogLvl::Error) << __PRETTY_FUNCTION__ << ": filesystem error: " << kestrova::as_one_line(e.what())
                                 << std::endl;
  }
  return false;
}
