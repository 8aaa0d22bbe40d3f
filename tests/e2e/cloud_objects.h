// The part of the stand-in cloud's inventory that a backup or a restore may
// change, in a form tests compare: "the cloud is back to what it was" is
// equality of two of these.
#pragma once

#include <map>
#include <ostream>
#include <string>

#include <boost/json.hpp>

namespace kstest::e2e {

// The string member `key` of a JSON object; empty when `v` is no object or
// the member is absent or no string.
std::string text(boost::json::value const& v, char const* key);

struct CloudObjects {
  std::map<std::string, std::string> servers;      // id -> status
  std::map<std::string, std::string> volumes;      // id -> status
  std::map<std::string, std::string> snapshots;    // id -> status
  std::map<std::string, std::string> attachments;  // volume id -> "server id device state"

  bool operator==(CloudObjects const& o) const {
    return servers == o.servers && volumes == o.volumes && snapshots == o.snapshots && attachments == o.attachments;
  }
  bool operator!=(CloudObjects const& o) const { return !(*this == o); }
};

CloudObjects cloud_objects(boost::json::object const& inventory);

// What `after` holds beyond `before`, and what it lost ("+ volume id status", ...).
std::string difference(CloudObjects const& before, CloudObjects const& after);

std::ostream& operator<<(std::ostream& out, CloudObjects const& objects);

}  // namespace kstest::e2e
