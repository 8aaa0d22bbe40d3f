#include "e2e/cloud_objects.h"

#include <sstream>

namespace kstest::e2e {

std::string text(boost::json::value const& v, char const* key) {
  auto const* o = v.if_object();
  auto const* m = o ? o->if_contains(key) : nullptr;
  return m && m->is_string() ? std::string(m->as_string()) : std::string();
}

namespace {

std::map<std::string, std::string> by_id(boost::json::object const& inventory, char const* kind) {
  std::map<std::string, std::string> out;
  if (auto const* list = inventory.if_contains(kind))
    for (auto const& o : list->as_array()) out[text(o, "id")] = text(o, "status");
  return out;
}

void diff_map(std::ostringstream& s, char const* kind, std::map<std::string, std::string> const& before,
              std::map<std::string, std::string> const& after) {
  for (auto const& [id, v] : after) {
    auto const it = before.find(id);
    if (it == before.end()) s << "+ " << kind << " " << id << " " << v << "\n";
    else if (it->second != v) s << "~ " << kind << " " << id << " " << it->second << " -> " << v << "\n";
  }
  for (auto const& [id, v] : before)
    if (!after.count(id)) s << "- " << kind << " " << id << " " << v << "\n";
}

}  // namespace

CloudObjects cloud_objects(boost::json::object const& inventory) {
  CloudObjects c;
  c.servers = by_id(inventory, "servers");
  c.volumes = by_id(inventory, "volumes");
  c.snapshots = by_id(inventory, "snapshots");
  if (auto const* list = inventory.if_contains("attachments"))
    for (auto const& a : list->as_array())
      c.attachments[text(a, "volume_id")] = text(a, "server_id") + " " + text(a, "device") + " " + text(a, "state");
  return c;
}

std::string difference(CloudObjects const& before, CloudObjects const& after) {
  std::ostringstream s;
  diff_map(s, "server", before.servers, after.servers);
  diff_map(s, "volume", before.volumes, after.volumes);
  diff_map(s, "snapshot", before.snapshots, after.snapshots);
  diff_map(s, "attachment", before.attachments, after.attachments);
  return s.str();
}

std::ostream& operator<<(std::ostream& out, CloudObjects const& objects) {
  return out << difference(CloudObjects{}, objects);
}

}  // namespace kstest::e2e
