// Block-storage operations of curlAPI (volumes and snapshots) and the
// clean-up composites that remove what a backup or a failed restore created.
#include <cstdint>
#include <set>
#include <string>
#include <utility>
#include <vector>


#include "rustack/curl_api.h"
#include "rustack/curl_api_ops.h"
#include "rustack/poll.h"
#include "support/log/ks_log.h"
#include "support/utils/ks_utils_common.h"
#include "support/utils/quoting.h"

using curl_api_ops::has_id;
using curl_api_ops::log_error;
using curl_api_ops::log_info;
using curl_api_ops::path_segment;
using curl_api_ops::refused_id;
using curl_api_ops::report_error_member;
using curl_api_ops::reply_object;
using curl_api_ops::reply_object_messages;
using kestrova::as_one_line;

namespace {

char const* const kVolumeInfoSig = "int curlAPI::get_volume_info(const string&, const string&, volume&)";
char const* const kVolumeStatusSig = "int curlAPI::get_volume_status(const string&, const string&, string&)";
char const* const kCreateVolumeSig = "int curlAPI::create_volume(const volume&, string&, string)";
char const* const kDeleteVolumeSig = "int curlAPI::delete_volume(const string&, const string&)";
char const* const kCreateSnapshotSig =
    "int curlAPI::create_snapshot(const string&, const string&, const volume&, string&)";
char const* const kSnapshotStatusSig = "int curlAPI::get_snapshot_status(const string&, const string&, string&)";
char const* const kDeleteSnapshotSig = "int curlAPI::delete_snapshot(const string&, const string&)";
char const* const kDetachVolumesSig =
    "int curlAPI::detach_volumes(const string&, const std::set<std::__cxx11::basic_string<char> >&, const "
    "string&)";
char const* const kRemoveVolumesSig =
    "void curlAPI::remove_volumes(const string&, const std::set<std::__cxx11::basic_string<char> >&)";

// The replies to a GET of one volume or one snapshot.
reply_object_messages const kVolumeReply{": volume object is empty", ": server returned not a 'volume' object",
                                         ": json value is not a 'volume' object",
                                         ": json object is empty. Expected volume info"};
reply_object_messages const kSnapshotReply{": snapshot object is empty", ": server returned not a 'snapshot' object",
                                           ": json value is not an object",
                                           ": json object is empty. Expected snapshot info"};

// Every failure of a block-storage operation, its exceptions included, is 6.
template <class Body>
int guarded(char const* signature, Body&& body) {
  return curl_api_ops::guarded(signature, 6, std::forward<Body>(body));
}

// A string value as its characters (so that quoting it again gives it back
// unchanged), any other value as its plain text.
std::string metadata_text(boost::json::value const& value) {
  return value.is_string() ? curlAPI::string_value(value) : curlAPI::plain_text(value);
}

// The plain text of `key` into `field` when the member is there (and, with
// `skip_null`, not null).
void take_plain(boost::json::object const& object, char const* key, std::string& field, bool skip_null = false) {
  auto const* v = object.if_contains(key);
  if (v && !(skip_null && v->is_null()))
    field = curlAPI::plain_text(*v);
}

// The string member `key` into `field` when it is there (and, with
// `skip_null`, not null); any other kind of value throws.
void take_string(boost::json::object const& object, char const* key, std::string& field, bool skip_null = false) {
  auto const* v = object.if_contains(key);
  if (v && !(skip_null && v->is_null()))
    field = curlAPI::string_value(*v);
}

}  // namespace

// ------------------------------------------------------ volume description

int curlAPI::get_volume_info(std::string const& project, std::string const& volume_id, volume& record) {
  char const* const sig = kVolumeInfoSig;
  return guarded(sig, [&]() {
    if (!has_id(sig, "project id", project) || !has_id(sig, "volume id", volume_id))
      return 6;
    std::string reply;
    if (process_curl_api_request(storage_base(path_segment(project)) + "/volumes/" + path_segment(volume_id), GET,
                                 reply, "", false, true) != 0)
      return 2;
    boost::json::value value;
    auto const* vol = reply_object(*this, sig, reply, value, "volume", kVolumeReply);
    if (!vol)
      return 6;

    for (auto const& member : *vol) {
      auto const key = member.key();
      auto const& v = member.value();
      if (key == "id") {
        string_or_absent(v, record.id);
      } else if (key == "status") {
        string_or_absent(v, record.status);
      } else if (key == "size") {
        record.size = json_text(v);
      } else if (key == "availability_zone") {
        string_or_absent(v, record.availability_zone);
      } else if (key == "name") {
        string_or_absent(v, record.name);
      } else if (key == "description") {
        string_or_absent(v, record.description);
      } else if (key == "volume_type") {
        string_or_absent(v, record.volume_type);
      } else if (key == "snapshot_id") {
        string_or_absent(v, record.snapshot_id);
      } else if (key == "source_volid") {
        string_or_absent(v, record.source_volid);
      } else if (key == "metadata") {
        if (!v.is_object()) {
          log_error(sig, ": json value is not an object: volume metadata");
          return 6;
        }
        if (v.get_object().empty())
          log_info(std::string(sig) + ": json object value is empty. Expected volume metadata");
        for (auto const& m : v.get_object())
          record.metadata.emplace_back(std::string(m.key()), metadata_text(m.value()));
      } else if (key == "user_id") {
        string_or_absent(v, record.user_id);
      } else if (key == "bootable") {
        string_or_absent(v, record.bootable);
      } else if (key == "encrypted") {
        record.encrypted = json_text(v);
      } else if (key == "replication_status") {
        string_or_absent(v, record.replication_status);
      } else if (key == "consistencygroup_id") {
        string_or_absent(v, record.consistencygroup_id);
      } else if (key == "multiattach") {
        record.multiattach = json_text(v);
      } else if (key == "attachments") {
        if (!v.is_array()) {
          log_error(sig, ": json is not an array of volume attachments");
          return 6;
        }
        if (v.get_array().empty())
          log_info(std::string(sig) + ": volume attachments array is empty");
        for (auto const& item : v.get_array()) {
          if (!item.is_object()) {
            log_error(sig, ": json value is not an object: volume attachment");
            return 6;
          }
          auto const& a = item.get_object();
          if (a.empty()) {
            log_error(sig, ": json object value is empty. Expected volume attachment info");
            return 6;
          }
          ::volume_attachment attachment;
          take_string(a, "attachment_id", attachment.attachment_id, true);
          take_string(a, "host_name", attachment.host_name, true);
          take_string(a, "device", attachment.device, true);
          record.attachments.push_back(std::move(attachment));
        }
      } else if (key == "os-vol-tenant-attr:tenant_id") {
        string_or_absent(v, record.tenant_id);
      } else if (key == "volume_image_metadata") {
        if (!v.is_object()) {
          log_error(sig, ": json value is not an object: volume image metadata");
          return 6;
        }
        auto const& m = v.get_object();
        if (m.empty()) {
          log_error(sig, ": json object value is empty. Expected volume image metadata");
          return 6;
        }
        auto& image = record.volume_image_metadata;
        take_plain(m, "image_type", image.image_type);
        take_plain(m, "distro", image.distro);
        take_plain(m, "hw_vif_model", image.hw_vif_model);
        take_plain(m, "hw_qemu_guest_agent", image.hw_qemu_guest_agent);
        take_plain(m, "hw_disk_bus", image.hw_disk_bus);
        take_plain(m, "hw_scsi_model", image.hw_scsi_model);
        take_plain(m, "image_id", image.image_id);
        take_plain(m, "image_name", image.image_name, true);
        take_plain(m, "checksum", image.checksum);
        take_plain(m, "container_format", image.container_format);
        take_plain(m, "disk_format", image.disk_format);
        take_plain(m, "min_disk", image.min_disk, true);
        take_plain(m, "min_ram", image.min_ram, true);
        take_plain(m, "size", image.size);
      }
    }
    // The ids of the description name objects in later requests and lines.
    if (refused_id(sig, "volume id", record.id) || refused_id(sig, "snapshot id", record.snapshot_id) ||
        refused_id(sig, "source volume id", record.source_volid) || refused_id(sig, "project id", record.tenant_id))
      return 6;
    for (auto const& attachment : record.attachments)
      if (refused_id(sig, "attachment id", attachment.attachment_id))
        return 6;
    return 0;
  });
}

// ------------------------------------------------- volume and snapshot status

namespace {

// GET of one volume or snapshot (`kind`) and its "status".
int read_status(curlAPI& api, char const* sig, std::string const& url, char const* kind,
                reply_object_messages const& messages, std::string& status) {
  std::string reply;
  if (api.process_curl_api_request(url, curlAPI::GET, reply, "", false, true) != 0)
    return 2;
  boost::json::value value;
  auto const* object = reply_object(api, sig, reply, value, kind, messages);
  if (!object)
    return 6;
  auto const* s = object->if_contains("status");
  if (!s) {
    log_error(sig, std::string(": ") + kind + " object holds no status");
    return 6;
  }
  status = curlAPI::string_value(*s);
  return 0;
}

}  // namespace

int curlAPI::get_volume_status(std::string const& project, std::string const& volume_id, std::string& status) {
  char const* const sig = kVolumeStatusSig;
  status.clear();
  int const rc = guarded(sig, [&]() {
    if (!has_id(sig, "project id", project) || !has_id(sig, "volume id", volume_id))
      return 6;
    return read_status(*this, sig, storage_base(path_segment(project)) + "/volumes/" + path_segment(volume_id),
                       "volume", kVolumeReply, status);
  });
  if (rc != 0)
    status.clear();
  return rc;
}

int curlAPI::get_snapshot_status(std::string const& project, std::string const& snapshot_id, std::string& status) {
  char const* const sig = kSnapshotStatusSig;
  status.clear();
  int const rc = guarded(sig, [&]() {
    if (!has_id(sig, "project id", project) || !has_id(sig, "snapshot id", snapshot_id))
      return 6;
    return read_status(*this, sig, storage_base(path_segment(project)) + "/snapshots/" + path_segment(snapshot_id),
                       "snapshot", kSnapshotReply, status);
  });
  if (rc != 0)
    status.clear();
  return rc;
}

// ---------------------------------------------------------------- creation

namespace {

// The "id" of the member `kind` of a creation reply into `id`. Any other
// member is an error reply. 0, or 6 (logged).
int read_created_id(curlAPI& api, char const* sig, std::string const& reply, char const* kind, std::string& id) {
  boost::json::value value;
  if (api.parse_result_string(reply, value) != 0)
    return 6;
  auto const& top = value.get_object();
  if (top.empty()) {
    log_error(sig, std::string(": ") + kind + " object is empty");
    return 6;
  }
  for (auto const& member : top) {
    if (member.key() != kind) {
      std::string const not_error = std::string(": server returned not a '") + kind + "' object";
      return report_error_member(api, sig, member.value(), not_error.c_str(), 6);
    }
    if (!member.value().is_object()) {
      log_error(sig, ": json value is not an object");
      return 6;
    }
    auto const& object = member.value().get_object();
    if (object.empty()) {
      log_error(sig, std::string(": json object is empty. Expected ") + kind + " info");
      return 6;
    }
    take_string(object, "id", id);
  }
  if (id.empty()) {
    log_error(sig, std::string(": got empty ID for created ") + kind);
    return 6;
  }
  if (refused_id(sig, (std::string(kind) + " id").c_str(), id))
    return 6;
  return 0;
}

}  // namespace

int curlAPI::create_snapshot(std::string const& project, std::string const& description, volume const& source,
                             std::string& snapshot_id) {
  char const* const sig = kCreateSnapshotSig;
  snapshot_id.clear();
  int const rc = guarded(sig, [&]() {
    log_info("Creating a snapshot for volume '" + as_one_line(source.id) + "' ...");
    if (!has_id(sig, "project id", project) || !has_id(sig, "volume id", source.id))
      return 6;
    std::string const body = "{\"snapshot\": {\"name\": \"snapshot-" + json_escaped(source.name) +
                             "\", \"description\": \"" + json_escaped(description) + "\", \"volume_id\": \"" +
                             json_escaped(source.id) + "\", \"force\": true}}";
    std::string reply;
    if (process_curl_api_request(storage_base(path_segment(project)) + "/snapshots", POST, reply, body, false,
                                 true) != 0)
      return 2;
    return read_created_id(*this, sig, reply, "snapshot", snapshot_id);
  });
  if (rc != 0)
    snapshot_id.clear();
  return rc;
}

int curlAPI::create_volume(volume const& description, std::string& new_volume_id, std::string snapshot_id) {
  char const* const sig = kCreateVolumeSig;
  new_volume_id.clear();
  int const rc = guarded(sig, [&]() {
    if (!has_id(sig, "project id (tenant_id of the volume description)", description.tenant_id))
      return 6;
    // The size goes into the body as a bare number.
    if (!ks_utils_common::is_digits(description.size)) {
      log_error(sig, ": invalid volume size '" + kestrova::as_one_line(description.size) + "'");
      return 6;
    }
    std::string body = "{\"volume\": {\"size\": " + description.size;
    body += ", \"availability_zone\": " + add_string_in_quotes(description.availability_zone);
    if (snapshot_id.empty()) {
      if (description.bootable == "true")
        body += ", \"imageRef\": " + add_string_in_quotes(description.volume_image_metadata.image_id);
      body += ", \"description\": " + add_string_in_quotes(description.description);
      body += ", \"metadata\": {";
      // Metadata values are strings for the service: an empty value stays
      // "", it never becomes null.
      for (std::size_t i = 0; i < description.metadata.size(); ++i) {
        if (i > 0)
          body += ", ";
        body += json_quoted(description.metadata[i].first) + ": " + json_quoted(description.metadata[i].second);
      }
      body += "}";
    } else {
      body += ", \"snapshot_id\": " + add_string_in_quotes(snapshot_id) + ", \"description\": \"Based on snapshot " +
              json_escaped(snapshot_id) + "\"";
    }
    body += ", \"volume_type\": " + add_string_in_quotes(description.volume_type);
    body += ", \"consistencygroup_id\": " + add_string_in_quotes(description.consistencygroup_id);
    body += ", \"name\": " + add_string_in_quotes(description.name) + "}}";

    std::string reply;
    if (process_curl_api_request(storage_base(path_segment(description.tenant_id)) + "/volumes", POST, reply, body,
                                 false, true) != 0)
      return 2;
    return read_created_id(*this, sig, reply, "volume", new_volume_id);
  });
  if (rc != 0)
    new_volume_id.clear();
  return rc;
}

// ---------------------------------------------------------------- deletion

namespace {

// DELETE of one volume or snapshot; `title` ("Volume" or "Snapshot") starts
// the progress line.
int delete_object(curlAPI& api, char const* sig, std::string const& url, char const* title, std::string const& id) {
  std::string reply;
  if (api.process_curl_api_request(url, curlAPI::DELETE, reply, "", false, true) != 0)
    return 2;
  if (reply.empty()) {
    if (!curl_api_ops::empty_reply_is_success(api, sig))
      return 6;
    log_info(std::string(title) + " '" + as_one_line(id) + "' was removed successfully");
    return 0;
  }
  std::string code;
  curl_api_ops::read_error_reply(api, sig, reply, code);
  return 6;
}

}  // namespace

int curlAPI::delete_volume(std::string const& project, std::string const& volume_id) {
  char const* const sig = kDeleteVolumeSig;
  return guarded(sig, [&]() {
    log_info("Removing volume '" + as_one_line(volume_id) + "' ...");
    if (!has_id(sig, "project id", project) || !has_id(sig, "volume id", volume_id))
      return 6;
    return delete_object(*this, sig, storage_base(path_segment(project)) + "/volumes/" + path_segment(volume_id),
                         "Volume", volume_id);
  });
}

int curlAPI::delete_snapshot(std::string const& project, std::string const& snapshot_id) {
  char const* const sig = kDeleteSnapshotSig;
  return guarded(sig, [&]() {
    log_info("Removing snapshot '" + as_one_line(snapshot_id) + "' ...");
    if (!has_id(sig, "project id", project) || !has_id(sig, "snapshot id", snapshot_id))
      return 6;
    return delete_object(*this, sig, storage_base(path_segment(project)) + "/snapshots/" + path_segment(snapshot_id),
                         "Snapshot", snapshot_id);
  });
}

// -------------------------------------------------------------- clean-up

int curlAPI::detach_volumes(std::string const& project, std::set<std::string> const& volumes,
                            std::string const& server) {
  char const* const sig = kDetachVolumesSig;
  if (volumes.empty())
    return 0;
  // A bound below one poll would never end the wait.
  std::uint32_t const bound = valid_timeout(settings_.volume_attachment_timeout, "volume_attachment_timeout");
  int result = 0;
  for (auto const& vol : volumes) {
    if (detach_volume(server, vol) != 0) {
      log_error(sig, ": unable to detach volume '" + as_one_line(vol) + "' from server '" + as_one_line(server) + "'");
      result = 2;
      continue;
    }
    log_info("Wait while the detached volume '" + as_one_line(vol) + "' changes its state to 'available' ...");
    rustack_poll::ending const end = rustack_poll::poll(bound, rustack_poll::order::sleep_then_ask, [&] {
      std::string status;
      if (get_volume_status(project, vol, status) != 0) {
        log_error(sig, ": unable to get status of volume: '" + as_one_line(vol) + "'");
        return rustack_poll::answer::failed;
      }
      // A detach that ended in an error state never becomes available.
      if (status == "error" || status.rfind("error_", 0) == 0) {
        log_error(sig, ": the detach of volume '" + as_one_line(vol) + "' from server '" + as_one_line(server) +
                           "' ended in the state " + as_one_line(status));
        return rustack_poll::answer::failed;
      }
      return status == "available" ? rustack_poll::answer::awaited : rustack_poll::answer::pending;
    });
    if (end == rustack_poll::ending::bound)
      log_error(sig, ": unable to detach volume: '" + as_one_line(vol) + "' from server: '" + as_one_line(server) +
                         "'. Break by timeout " + std::to_string(bound));
    if (end != rustack_poll::ending::awaited) result = 2;
  }
  return result;
}

void curlAPI::remove_volumes(std::string const& project, std::set<std::string> const& volumes) {
  for (auto const& vol : volumes)
    if (delete_volume(project, vol) != 0)
      log_error(kRemoveVolumesSig, ": unable to delete volume '" + as_one_line(vol) + "'");
}

void curlAPI::detach_and_remove_volumes(std::string const& project, std::set<std::string> const& volumes,
                                        std::string const& server) {
  // A volume whose detachment failed is still sent its delete request.
  detach_volumes(project, volumes, server);
  remove_volumes(project, volumes);
}

void curlAPI::clean_after_backup(std::string const& project, std::vector<std::string> const& snapshots,
                                 std::set<std::string> const& volumes, std::string const& server) {
  detach_and_remove_volumes(project, volumes, server);
  for (auto const& snapshot : snapshots)
    delete_snapshot(project, snapshot);
}
