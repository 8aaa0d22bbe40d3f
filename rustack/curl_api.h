// REST client of the cloud's identity (/keystone/), compute (/nova-api/) and
// block-storage (/cinder/) services.
//
// One client lives for one module hook: it is built over the module settings
// (kept by reference; they must outlive the client), sends one HTTP request at
// a time, each on a fresh libcurl easy handle, and keeps the project and
// system tokens it obtained until it is destroyed. Single-threaded.
//
// The transport, login and reply helpers are in curl_api.cpp; the compute
// operations in curl_api_compute.cpp, the block-storage operations and the
// clean-up composites in curl_api_volumes.cpp, the volume actions in
// curl_api_volume_actions.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <boost/json/object.hpp>
#include <boost/json/value.hpp>
#include <curl/curl.h>

#include "rustack/records.h"

class curlAPI {
 public:
  enum RequestType { GET = 0, POST = 1, DELETE = 2 };

  explicit curlAPI(conf const& settings);
  ~curlAPI();
  curlAPI(curlAPI const&) = delete;
  curlAPI& operator=(curlAPI const&) = delete;

  // ---- transport and login ----

  // Sends one request on a new handle and stores the reply body in `reply`
  // (cleared first). With `token` the authentication headers are sent, with
  // the system token when `admin`, else the project token; an empty token is
  // obtained by a login first. A token the cloud rejects with HTTP 401 gets
  // one new login and one resend of the request.
  // With `token` redirects are followed only within the origin (scheme, host
  // and port) of `url`, so the token and the login body never reach another
  // address; without it (version discovery, which carries no credentials)
  // to any http or https address. 0 sent and answered (whatever the HTTP
  // code), 2 the configured CA file is missing or cannot be tested. Throws
  // std::runtime_error with the libcurl error text when the transfer itself
  // fails, and when a redirect is refused or there are too many of them.
  int process_curl_api_request(std::string const& url, RequestType type, std::string& reply,
                               std::string const& body, bool admin, bool token);

  // Keystone v3 password login: system scope with the administrator account
  // when `admin`, else project scope with the user account. 0 token stored,
  // 2 failure (logged).
  int login(bool admin);

  // Parses a reply; 0 when it is a JSON object, 1 otherwise (logged). A reply
  // that is not JSON at all (also an empty one) throws boost::system::system_error.
  int parse_result_string(std::string const& reply, boost::json::value& value);

  // Reads {"code": ..., "message": ...} (JSON text of each member present;
  // both cleared first). 0 read, 6 not a non-empty object (logged).
  int get_error_info(boost::json::value const& value, std::string& code, std::string& message);

  // Version discovery, no token. `service` is "nova-api" or "cinder"; the
  // version id of the last "CURRENT" entry (keystone: the "stable" one).
  // 0 found, 2 otherwise. `version` is cleared first.
  int get_api_version(std::string const& service, std::string& version);
  int get_keystone_api_version(std::string& version);

  // The URL path segment of a version id: the id up to its first "."
  // ("v2.1" -> "v2", "v3" -> "v3"). False (segment cleared) unless the
  // segment is "v" followed by digits.
  static bool api_path_segment(std::string const& version_id, std::string& segment);

  static bool server_name_exists(std::vector<rustack_vm_info> const& list, std::string const& name);
  static bool server_id_exists(std::vector<rustack_vm_info> const& list, std::string const& id);

  // ---- request bodies and reply members ----

  // The text with JSON string escapes applied (quote, backslash, control
  // characters), without enclosing quotes; other bytes are kept as they are.
  static std::string json_escaped(std::string const& text);
  // null for "" and "null", else the escaped text in double quotes.
  static std::string add_string_in_quotes(std::string const& text);
  // The escaped text in double quotes, always.
  static std::string json_quoted(std::string const& text);

  // The three ways of reading a member value. string_value throws (the JSON
  // library's error) unless the value is a string.
  static std::string string_value(boost::json::value const& value);
  // A string member that the services may send as null: the characters of a
  // string into `field`; null is no value and leaves `field` as it was; any
  // other kind throws as string_value does.
  static void string_or_absent(boost::json::value const& value, std::string& field);
  static std::string json_text(boost::json::value const& value);
  static std::string plain_text(boost::json::value const& value);
  // plain_text of member `key`; empty when the object has no such member.
  static std::string member_plain_text(boost::json::object const& object, boost::json::string_view key);

  // A time-out setting below 1 is invalid: a Warning naming `name`, and 300.
  static std::uint32_t valid_timeout(std::uint32_t value, std::string const& name);

  // HTTP code of the last transfer (0 before the first one).
  long last_http_code() const { return http_code_; }
  // True for the codes 200 to 299.
  static bool is_success_code(long code) { return code >= 200 && code < 300; }

  // Service bases: U/nova-api/<nova>, U/cinder/<cinder>/<project>,
  // U/keystone/<keystone>.
  std::string compute_base() const;
  std::string storage_base(std::string const& project) const;
  std::string identity_base() const;

  // libcurl write callback; `userdata` is the client.
  static std::size_t write_data(void* data, std::size_t size, std::size_t count, void* userdata);
  std::size_t write_function(void* data, std::size_t size, std::size_t count);

  // ---- compute operations ----

  int get_server_list(std::vector<rustack_vm_info>& list);
  int get_server_config(std::string const& id, server_conf& record, bool admin);
  int get_server_status(std::string const& id, std::string& status);
  int get_hypervisor_info(server_conf& record);
  int get_network_list(std::vector<network>& list);
  int create_server(std::string const& boot_volume_id, rustack_server_parameters const& parameters,
                    server_conf& record);
  int delete_server(std::string const& id);
  int attach_volume(std::string const& server_id, std::string const& volume_id, std::string& device);
  int detach_volume(std::string const& server_id, std::string const& volume_id);

  // ---- block-storage operations and clean-up ----

  int get_volume_info(std::string const& project, std::string const& volume_id, volume& record);
  int get_volume_status(std::string const& project, std::string const& volume_id, std::string& status);
  int create_volume(volume const& description, std::string& new_volume_id, std::string snapshot_id);
  int delete_volume(std::string const& project, std::string const& volume_id);
  // Marks a volume bootable or not (the volume action os-set_bootable): 0,
  // 2 transport, 6 any other failure (logged).
  int set_volume_bootable(std::string const& project, std::string const& volume_id, bool bootable);
  int create_snapshot(std::string const& project, std::string const& description, volume const& source,
                      std::string& snapshot_id);
  int get_snapshot_status(std::string const& project, std::string const& snapshot_id, std::string& status);
  int delete_snapshot(std::string const& project, std::string const& snapshot_id);
  int detach_volumes(std::string const& project, std::set<std::string> const& volumes,
                     std::string const& server);
  void remove_volumes(std::string const& project, std::set<std::string> const& volumes);
  void detach_and_remove_volumes(std::string const& project, std::set<std::string> const& volumes,
                                 std::string const& server);
  void clean_after_backup(std::string const& project, std::vector<std::string> const& snapshots,
                          std::set<std::string> const& volumes, std::string const& server);

 private:
  struct handle_deleter {
    void operator()(CURL* handle) const;
  };
  using handle_ptr = std::unique_ptr<CURL, handle_deleter>;

  void renew_handle();
  void reset_handle();
  // Options shared by a request and the login: URL, redirects, callbacks,
  // time-outs, verbosity and TLS. 0, or 2 when the CA file is missing.
  int set_common_options(std::string const& url, char const* signature);
  // Runs the transfer on the prepared handle; throws on a transfer error.
  void perform();
  // perform(), then at most a few redirects: with `credentials` only those
  // within the origin of `url`, without to any http or https address; throws
  // on a redirect refused or on too many. A POST answered with 301, 302 or
  // 303 goes on as a GET, as libcurl does.
  void perform_following(std::string const& url, RequestType type, bool credentials);
  int send_request(std::string const& url, RequestType type, std::string& reply, std::string const& body,
                   bool admin, bool token);
  std::string& token_of(bool admin) { return admin ? system_token_ : project_token_; }

  static std::size_t header_data(char* data, std::size_t size, std::size_t count, void* userdata);
  static int debug_data(CURL* handle, curl_infotype type, char* data, std::size_t size, void* userdata);

  handle_ptr handle_;
  std::string reply_buffer_;
  long http_code_ = 0;
  conf const& settings_;
  std::string project_token_;
  std::string system_token_;
  // Header lines of the last response (a new status line starts them anew).
  std::vector<std::string> reply_headers_;
  // The request time-out in force, checked once per client.
  std::uint32_t timeout_ = 0;
  bool timeout_checked_ = false;
  bool unverified_warned_ = false;
};
