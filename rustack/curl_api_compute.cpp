// Compute operations of curlAPI: servers, hypervisors, networks, creation and
// deletion of a server, and volume attachments.
#include <set>
#include <string>
#include <vector>

#include <boost/json/parse.hpp>
#include <boost/system/error_code.hpp>

#include "rustack/curl_api.h"
#include "rustack/curl_api_ops.h"
#include "support/log/ks_log.h"
#include "support/utils/quoting.h"

using curl_api_ops::guarded;
using curl_api_ops::has_id;
using curl_api_ops::log_error;
using curl_api_ops::log_info;
using curl_api_ops::path_segment;
using curl_api_ops::refused_id;
using curl_api_ops::report_error_member;
using curl_api_ops::reply_object;
using kestrova::as_one_line;

namespace {

char const* const kServerListSig = "int curlAPI::get_server_list(std::vector<rustack_vm_info>&)";
char const* const kServerConfigSig = "int curlAPI::get_server_config(const string&, server_conf&, bool)";
char const* const kServerStatusSig = "int curlAPI::get_server_status(const string&, string&)";
char const* const kHypervisorSig = "int curlAPI::get_hypervisor_info(server_conf&)";
char const* const kNetworkListSig = "int curlAPI::get_network_list(std::vector<network>&)";
char const* const kCreateServerSig =
    "int curlAPI::create_server(const string&, const rustack_server_parameters&, server_conf&)";
char const* const kDeleteServerSig = "int curlAPI::delete_server(const string&)";
char const* const kAttachSig = "int curlAPI::attach_volume(const string&, const string&, string&)";
char const* const kDetachSig = "int curlAPI::detach_volume(const string&, const string&)";

// The reply to a GET of one server.
curl_api_ops::reply_object_messages const kServerReply{
    ": server object is empty", ": server returned not a 'server' object", ": json value is not an object",
    ": json object is empty. Expected server info"};

// A server metadata value is kept as the JSON text of the reply and written
// back unchanged; a value that is not JSON text (a hand-made record) goes in
// as a JSON string, so that it cannot break the body.
std::string metadata_value_text(std::string const& stored) {
  boost::system::error_code ec;
  boost::json::parse(stored, ec);
  return ec ? curlAPI::json_quoted(stored) : stored;
}

// Appends the plain text of every member of each element of a non-empty
// array of non-empty objects (security groups, attached volumes).
int append_member_texts(char const* sig, boost::json::value const& value, std::vector<std::string>& out,
                        char const* not_array, char const* empty_array, char const* not_object,
                        char const* empty_object) {
  if (!value.is_array()) {
    log_error(sig, not_array);
    return 6;
  }
  auto const& items = value.get_array();
  if (items.empty()) {
    log_error(sig, empty_array);
    return 6;
  }
  for (auto const& item : items) {
    if (!item.is_object()) {
      log_error(sig, not_object);
      return 6;
    }
    if (item.get_object().empty()) {
      log_error(sig, empty_object);
      return 6;
    }
    for (auto const& m : item.get_object())
      out.push_back(curlAPI::plain_text(m.value()));
  }
  return 0;
}

// The "addresses" member of a server: a non-empty object of networks, each
// a non-empty array of non-empty address objects. `network_name` is the last
// network. 0, or 6 after logging at Error.
int read_addresses(char const* sig, boost::json::value const& v, server_conf& record) {
  if (!v.is_object()) {
    log_error(sig, ": json value is not an object: addresses");
    return 6;
  }
  if (v.get_object().empty()) {
    log_error(sig, ": json object value is empty. Expected addresses info");
    return 6;
  }
  for (auto const& net : v.get_object()) {
    record.network_name = std::string(net.key());
    if (!net.value().is_array()) {
      log_error(sig, ": json is not an array of addresses");
      return 6;
    }
    if (net.value().get_array().empty()) {
      log_error(sig, ": Addresses array is empty");
      return 6;
    }
    for (auto const& item : net.value().get_array()) {
      if (!item.is_object()) {
        log_error(sig, ": json value is not an object: address");
        return 6;
      }
      auto const& a = item.get_object();
      if (a.empty()) {
        log_error(sig, ": json object value is empty. Expected address info");
        return 6;
      }
      vm_address address;
      if (auto const* version = a.if_contains("version"))
        address.version = curlAPI::json_text(*version);
      address.addr = curlAPI::member_plain_text(a, "addr");
      address.addr_type = curlAPI::member_plain_text(a, "OS-EXT-IPS:type");
      address.mac_addr = curlAPI::member_plain_text(a, "OS-EXT-IPS-MAC:mac_addr");
      record.addresses.push_back(std::move(address));
    }
  }
  return 0;
}

// The pages of one server list that are read at most.
int const kMaxServerPages = 100;

// Text of a member of a server list entry: a string's characters (the form
// a saved description holds), nothing for null or no member, else its plain
// text.
std::string member_text(boost::json::object const& object, boost::json::string_view key) {
  auto const* v = object.if_contains(key);
  if (!v || v->is_null())
    return std::string();
  return v->is_string() ? curlAPI::string_value(*v) : curlAPI::plain_text(*v);
}

// The query of a URL (after "?", before "#"), every byte that cannot stand
// in a query percent-encoded; empty when the URL has none.
std::string query_of(std::string const& href) {
  auto const mark = href.find('?');
  if (mark == std::string::npos)
    return std::string();
  auto const hash = href.find('#', mark);
  return curl_api_ops::percent_encoded(
      href.substr(mark + 1, hash == std::string::npos ? std::string::npos : hash - mark - 1), "!$&'()*+,;=:@/?%");
}

// The query of the "next" link of a "servers_links" member into `next`
// (left empty without one). False after logging a member of another form.
bool next_page_query(char const* sig, boost::json::value const& links, std::string& next) {
  if (!links.is_array()) {
    log_error(sig, ": json is not an array of server list links");
    return false;
  }
  for (auto const& link : links.get_array()) {
    auto const* object = link.if_object();
    auto const* rel = object ? object->if_contains("rel") : nullptr;
    auto const* href = object ? object->if_contains("href") : nullptr;
    if (!rel || !rel->is_string() || !href || !href->is_string()) {
      log_error(sig, ": json value is not a server list link: " + as_one_line(curlAPI::json_text(link)));
      return false;
    }
    if (rel->get_string() != "next")
      continue;
    next = query_of(curlAPI::string_value(*href));
    if (next.empty()) {
      log_error(sig, ": the next link of the server list names no page: " + as_one_line(curlAPI::string_value(*href)));
      return false;
    }
  }
  return true;
}

}  // namespace

// ------------------------------------------------------------- server list

int curlAPI::get_server_list(std::vector<rustack_vm_info>& list) {
  char const* const sig = kServerListSig;
  return guarded(sig, 2, [&]() {
    std::string const first = compute_base() + "/servers/detail";
    std::string url = first;
    std::set<std::string> queries;  // of the pages asked for, to stop a loop
    for (int page = 1;; ++page) {
      std::string reply;
      if (process_curl_api_request(url, GET, reply, "", false, true) != 0)
        return 2;
      boost::json::value value;
      if (parse_result_string(reply, value) != 0)
        return 2;
      auto const& top = value.get_object();
      if (top.empty()) {
        log_error(sig, ": json object value is empty. Expected server list info");
        return 2;
      }
      std::string next;  // the query of the next page; empty after the last
      for (auto const& member : top) {
        if (member.key() == "servers_links") {
          if (!next_page_query(sig, member.value(), next))
            return 2;
          continue;
        }
        if (member.key() != "servers")
          return report_error_member(*this, sig, member.value(), ": server returned not a 'servers' object", 6);
        if (!member.value().is_array()) {
          log_error(sig, ": json is not an array of server objects");
          return 2;
        }
        auto const& servers = member.value().get_array();
        if (servers.empty()) {
          log_info(std::string(sig) + ": array of server objects is empty");
          return 0;
        }
        for (auto const& item : servers) {
          if (!item.is_object()) {
            log_error(sig, ": json value is not an object: server");
            return 2;
          }
          auto const& server = item.get_object();
          if (server.empty()) {
            log_error(sig, ": json object value is empty. Expected server info");
            return 2;
          }
          rustack_vm_info info;
          info.id = member_text(server, "id");
          info.name = member_text(server, "name");
          info.status = member_text(server, "status");
          if (refused_id(sig, "server id", info.id))
            return 2;
          list.push_back(std::move(info));
        }
      }
      if (next.empty())
        return 0;
      if (page == kMaxServerPages) {
        log_error(sig, ": the server list goes on after " + std::to_string(kMaxServerPages) + " pages");
        return 2;
      }
      if (!queries.insert(next).second) {
        log_error(sig, ": the server list links a page it has given before: " + as_one_line(next));
        return 2;
      }
      // Only the query of the link is taken: its address may be the
      // compute service's own one, which the token must never reach.
      url = first + "?" + next;
    }
  });
}

// ------------------------------------------------------ server description

int curlAPI::get_server_config(std::string const& id, server_conf& record, bool admin) {
  char const* const sig = kServerConfigSig;
  return guarded(sig, 6, [&]() {
    if (!has_id(sig, "server id", id))
      return 6;
    std::string reply;
    if (process_curl_api_request(compute_base() + "/servers/" + path_segment(id), GET, reply, "", admin, true) != 0)
      return 2;
    boost::json::value value;
    auto const* server = reply_object(*this, sig, reply, value, "server", kServerReply);
    if (!server)
      return 6;

    for (auto const& member : *server) {
      auto const key = member.key();
      auto const& v = member.value();
      if (key == "id") {
        string_or_absent(v, record.id);
      } else if (key == "name") {
        string_or_absent(v, record.name);
      } else if (key == "status") {
        string_or_absent(v, record.status);
      } else if (key == "tenant_id") {
        string_or_absent(v, record.tenant_id);
      } else if (key == "user_id") {
        string_or_absent(v, record.user_id);
      } else if (key == "metadata") {
        if (!v.is_object()) {
          log_error(sig, ": json value is not an object: server metadata");
          return 6;
        }
        if (v.get_object().empty())
          log_info(std::string(sig) + ": json object value is empty. Expected server metadata");
        for (auto const& m : v.get_object())
          record.metadata.emplace_back(std::string(m.key()), json_text(m.value()));
      } else if (key == "hostId") {
        string_or_absent(v, record.hostId);
      } else if (key == "image") {
        string_or_absent(v, record.image);
      } else if (key == "flavor") {
        if (!v.is_object()) {
          log_error(sig, ": json value is not an object: flavor");
          return 6;
        }
        if (v.get_object().empty()) {
          log_error(sig, ": json object value is empty. Expected flavor info");
          return 6;
        }
        record.flavor_id = member_plain_text(v.get_object(), "id");
      } else if (key == "addresses") {
        int const rc = read_addresses(sig, v, record);
        if (rc != 0)
          return rc;
      } else if (key == "accessIPv4") {
        string_or_absent(v, record.accessIPv4);
      } else if (key == "accessIPv6") {
        string_or_absent(v, record.accessIPv6);
      } else if (key == "OS-DCF:diskConfig") {
        string_or_absent(v, record.disk_config);
      } else if (key == "OS-EXT-AZ:availability_zone") {
        string_or_absent(v, record.availability_zone);
      } else if (key == "config_drive") {
        string_or_absent(v, record.config_drive);
      } else if (key == "key_name") {
        string_or_absent(v, record.key_name);
      } else if (key == "security_groups") {
        int const rc = append_member_texts(sig, v, record.security_groups, ": json is not an array of security groups",
                                           ": security groups array is empty",
                                           ": json value is not an object: security group",
                                           ": json object value is empty. Expected security group info");
        if (rc != 0)
          return rc;
      } else if (key == "OS-EXT-SRV-ATTR:host") {
        string_or_absent(v, record.host);
      } else if (key == "OS-EXT-SRV-ATTR:instance_name") {
        string_or_absent(v, record.instance_name);
      } else if (key == "OS-EXT-SRV-ATTR:hypervisor_hostname") {
        string_or_absent(v, record.hypervisor_hostname);
      } else if (key == "os-extended-volumes:volumes_attached") {
        int const rc = append_member_texts(sig, v, record.attached_volumes, ": json is not an array of attached volumes",
                                           ": attached volumes array is empty",
                                           ": json value is not an object: attached volume",
                                           ": json object value is empty. Expected attached volume info");
        if (rc != 0)
          return rc;
      }
    }
    // The ids of the description name objects in later requests and lines.
    if (refused_id(sig, "server id", record.id) || refused_id(sig, "project id", record.tenant_id))
      return 6;
    for (auto const& volume_id : record.attached_volumes)
      if (refused_id(sig, "volume id", volume_id))
        return 6;
    return 0;
  });
}

// ----------------------------------------------------------- server status

int curlAPI::get_server_status(std::string const& id, std::string& status) {
  char const* const sig = kServerStatusSig;
  status.clear();
  int const rc = guarded(sig, 2, [&]() {
    if (!has_id(sig, "server id", id))
      return 7;
    std::string reply;
    if (process_curl_api_request(compute_base() + "/servers/" + path_segment(id), GET, reply, "", false, true) != 0)
      return 2;
    boost::json::value value;
    auto const* server = reply_object(*this, sig, reply, value, "server", kServerReply);
    if (!server)
      return 7;
    auto const* s = server->if_contains("status");
    if (!s) {
      log_error(sig, ": server object holds no status");
      return 7;
    }
    status = string_value(*s);
    return 0;
  });
  if (rc != 0)
    status.clear();
  return rc;
}

// ------------------------------------------------------------- hypervisors

int curlAPI::get_hypervisor_info(server_conf& record) {
  char const* const sig = kHypervisorSig;
  return guarded(sig, 2, [&]() {
    std::string reply;
    if (process_curl_api_request(compute_base() + "/os-hypervisors/detail", GET, reply, "", true, true) != 0)
      return 2;
    boost::json::value value;
    if (parse_result_string(reply, value) != 0)
      return 2;
    auto const& top = value.get_object();
    if (top.empty()) {
      log_error(sig, ": json object value is empty. Expected hypervisor list info");
      return 2;
    }
    std::vector<rustack_hypervisor_info> hypervisors;
    for (auto const& member : top) {
      if (!member.value().is_array()) {
        log_error(sig, ": json is not an array of hypervisor objects");
        return 2;
      }
      auto const& items = member.value().get_array();
      if (items.empty()) {
        log_error(sig, ": array of hypervisors objects is empty");
        return 1;
      }
      for (auto const& item : items) {
        if (!item.is_object()) {
          log_error(sig, ": json value is not an object: hypervisor");
          return 2;
        }
        auto const& h = item.get_object();
        if (h.empty()) {
          log_error(sig, ": json object value is empty. Expected hypervisor info");
          return 2;
        }
        rustack_hypervisor_info info;
        info.hypervisor_hostname = member_plain_text(h, "hypervisor_hostname");
        info.hypervisor_type = member_plain_text(h, "hypervisor_type");
        info.host_ip = member_plain_text(h, "host_ip");
        hypervisors.push_back(std::move(info));
      }
    }
    for (auto const& h : hypervisors) {
      if (h.hypervisor_hostname == record.hypervisor_hostname) {
        record.hypervisor_type = h.hypervisor_type;
        record.hypervisor_ip = h.host_ip;
      }
    }
    log_info("Server: " + as_one_line(record.name) + ", ID: " + as_one_line(record.id) + " is running on hypervisor: " +
             as_one_line(record.hypervisor_hostname) + " as instance: " + as_one_line(record.instance_name));
    log_info("Hypervisor IP address: " + as_one_line(record.hypervisor_ip));
    log_info("Hypervisor type: " + as_one_line(record.hypervisor_type));
    return 0;
  });
}

// ---------------------------------------------------------------- networks

int curlAPI::get_network_list(std::vector<network>& list) {
  char const* const sig = kNetworkListSig;
  return guarded(sig, 12, [&]() {
    std::string reply;
    if (process_curl_api_request(compute_base() + "/os-networks", GET, reply, "", false, true) != 0)
      return 12;
    if (last_http_code() != 200) {
      log_error(sig, ": unable to get network list, got http code: " + std::to_string(last_http_code()) +
                         ", API response: " + as_one_line(reply));
      return 12;
    }
    boost::json::value value;
    if (parse_result_string(reply, value) != 0)
      return 12;
    auto const& top = value.get_object();
    if (top.empty()) {
      log_error(sig, ": json object value is empty. Expected networks list info. json:" + as_one_line(reply));
      return 12;
    }
    for (auto const& member : top) {
      if (member.key() != "networks")
        return report_error_member(*this, sig, member.value(), ": server returned not a 'network' object", 12);
      if (!member.value().is_array()) {
        log_error(sig, ": json is not an array of network objects");
        return 12;
      }
      for (auto const& item : member.value().get_array()) {
        if (!item.is_object()) {
          log_error(sig, ": json value is not an object: network");
          return 12;
        }
        auto const& n = item.get_object();
        auto const* nid = n.if_contains("id");
        if (!nid) {
          log_error(sig, ": unable to find id in network object");
          return 12;
        }
        network entry;
        entry.id = string_value(*nid);
        if (auto const* label = n.if_contains("label"))
          string_or_absent(*label, entry.label);
        list.push_back(std::move(entry));
      }
    }
    return 0;
  });
}

// ----------------------------------------------------------- create server

int curlAPI::create_server(std::string const& boot_volume_id, rustack_server_parameters const& parameters,
                           server_conf& record) {
  char const* const sig = kCreateServerSig;
  return guarded(sig, 7, [&]() {
    std::string body = "{\"server\": {\"name\": " + add_string_in_quotes(record.name);
    body += ", \"availability_zone\": " + add_string_in_quotes(record.availability_zone);
    body += ", \"flavorRef\" : " + add_string_in_quotes(record.flavor_id);
    body += ", \"security_groups\": [";
    if (record.security_groups.empty())
      body += "], ";
    for (std::size_t i = 0; i < record.security_groups.size(); ++i) {
      body += "{\"name\": " + add_string_in_quotes(record.security_groups[i]);
      body += i + 1 < record.security_groups.size() ? "}, " : "}], ";
    }
    body += "\"metadata\": {";
    for (std::size_t i = 0; i < record.metadata.size(); ++i) {
      // A key is always a JSON string (null is no member name).
      body += json_quoted(record.metadata[i].first) + ": " + metadata_value_text(record.metadata[i].second);
      if (i + 1 < record.metadata.size())
        body += ", ";
    }
    body += "},";
    if (!parameters.network_uuid.empty()) {
      body += "\"networks\": [{\"uuid\": " + add_string_in_quotes(parameters.network_uuid);
      if (!parameters.fixed_ip.empty())
        body += ",\"fixed_ip\": " + add_string_in_quotes(parameters.fixed_ip);
      body += "}],";
    }
    body += "\"block_device_mapping_v2\": [{\"uuid\": \"" + json_escaped(boot_volume_id) +
            "\", \"source_type\": \"volume\", \"destination_type\": \"volume\", \"boot_index\": 0, "
            "\"delete_on_termination\": false}]}}";

    // The id is what this call answers: never the one of an earlier server.
    record.id.clear();
    std::string reply;
    if (process_curl_api_request(compute_base() + "/servers", POST, reply, body, false, true) != 0)
      return 2;
    boost::json::value value;
    if (parse_result_string(reply, value) != 0)
      return 7;
    auto const& top = value.get_object();
    if (top.empty()) {
      log_error(sig, ": server object is empty");
      return 7;
    }
    for (auto const& member : top) {
      if (member.key() != "server")
        return report_error_member(*this, sig, member.value(), ": server returned not a 'server' object", 7);
      if (!member.value().is_object()) {
        log_info(std::string(sig) + ": json value is not an object");
        return 7;
      }
      auto const& server = member.value().get_object();
      if (server.empty()) {
        log_error(sig, ": json object is empty. Expected server info");
        return 7;
      }
      if (auto const* sid = server.if_contains("id"))
        record.id = string_value(*sid);
    }
    if (record.id.empty()) {
      log_error(sig, ": got empty ID of created server");
      return 7;
    }
    if (refused_id(sig, "server id", record.id)) {
      record.id.clear();
      return 7;
    }
    return 0;
  });
}

// ----------------------------------------------------------- delete server

int curlAPI::delete_server(std::string const& id) {
  char const* const sig = kDeleteServerSig;
  return guarded(sig, 6, [&]() {
    if (!has_id(sig, "server id", id))
      return 6;
    std::string reply;
    if (process_curl_api_request(compute_base() + "/servers/" + path_segment(id), DELETE, reply, "", false, true) != 0)
      return 2;
    return curl_api_ops::empty_reply_result(*this, sig, reply);
  });
}

// ------------------------------------------------------ volume attachments

int curlAPI::attach_volume(std::string const& server_id, std::string const& volume_id, std::string& device) {
  char const* const sig = kAttachSig;
  device.clear();
  int const rc = guarded(sig, 6, [&]() {
    log_info("Attaching volume '" + as_one_line(volume_id) + "' to VM '" + as_one_line(server_id) + "' ...");
    if (!has_id(sig, "server id", server_id) || !has_id(sig, "volume id", volume_id))
      return 6;
    std::string const body =
        "{\"volumeAttachment\": {\"volumeId\": \"" + json_escaped(volume_id) + "\", \"device\": null}}";
    std::string reply;
    if (process_curl_api_request(compute_base() + "/servers/" + path_segment(server_id) + "/os-volume_attachments",
                                 POST, reply, body, false, true) != 0)
      return 2;
    boost::json::value value;
    auto const* attachment = reply_object(
        *this, sig, reply, value, "volumeAttachment",
        {": volume attachment object is empty", ": server returned not a 'volumeAttachment' object",
         ": json value is not an object", ": json object is empty. Expected volume attachment info"});
    if (!attachment)
      return 6;
    if (auto const* d = attachment->if_contains("device"))
      string_or_absent(*d, device);
    if (device.empty()) {
      log_error(sig, ": device the volume attached to is empty string");
      return 6;
    }
    return 0;
  });
  if (rc != 0)
    device.clear();
  return rc;
}

int curlAPI::detach_volume(std::string const& server_id, std::string const& volume_id) {
  char const* const sig = kDetachSig;
  return guarded(sig, 6, [&]() {
    log_info("Detaching volume '" + as_one_line(volume_id) + "' from VM '" + as_one_line(server_id) + "' ...");
    if (!has_id(sig, "server id", server_id) || !has_id(sig, "volume id", volume_id))
      return 6;
    std::string reply;
    if (process_curl_api_request(compute_base() + "/servers/" + path_segment(server_id) +
                                     "/os-volume_attachments/" + path_segment(volume_id),
                                 DELETE, reply, "", false, true) != 0)
      return 2;
    if (reply.empty()) {
      if (last_http_code() == 404) {
        // Not attached (any more): what a detach is for.
        KsLogStream(KsLogLvl::Warning) << sig << ": volume '" << as_one_line(volume_id) << "' is not attached to VM '"
                                       << as_one_line(server_id) << "' (HTTP code 404)" << std::endl;
        return 0;
      }
      if (!curl_api_ops::empty_reply_is_success(*this, sig))
        return 6;
      log_info("Volume '" + as_one_line(volume_id) + "' was successfully detached from VM '" + as_one_line(server_id) +
               "'");
      return 0;
    }
    std::string code;
    if (curl_api_ops::read_error_reply(*this, sig, reply, code) != 0)
      return 6;
    return code == "404" ? 0 : 6;
  });
}
