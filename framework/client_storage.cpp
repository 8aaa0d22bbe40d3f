// Client-defined storages and electronic-signature verification.
//
// The backup client tells a module per task where the archive lives (a local
// directory, an S3 store or the module's default storage) in a file it
// enciphers under the task secret; the client also asks the module to delete
// or to verify archives kept there.
#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <initializer_list>
#include <iostream>
#include <new>
#include <sstream>
#include <vector>

#include <boost/algorithm/string/predicate.hpp>
#include <boost/filesystem.hpp>
#include <boost/json.hpp>

#include "framework/ks_module_universal.h"
#include "support/cppcrypto/ctr.h"
#include "support/cppcrypto/kuznyechik.h"
#include "support/log/ks_log.h"
#include "support/utils/ks_utils_common.h"
#include "support/utils/quoting.h"

namespace fs = boost::filesystem;
namespace json = boost::json;

namespace {

char const kTasksDirectory[] = "/opt/kestrova/var/tasks/";
// The counter of the storages file starts from the first two bytes of this.
char const kStoragesIv[] = "qTr8mv3#$!5zpkw";
constexpr std::size_t kStoragesIvLength = 2;
constexpr std::size_t kKeyLength = 32;
// One short line per storage: anything bigger is not a storages file.
constexpr std::uintmax_t kMaxStoragesFileSize = 1u << 20;

// A JSON value as compact text without any double-quote character.
std::string unquoted_text(json::value const& value) {
  std::string text = json::serialize(value);
  text.erase(std::remove(text.begin(), text.end(), '"'), text.end());
  return text;
}

std::string unquoted_key(json::string_view key) { return unquoted_text(json::value(json::string(key))); }

std::string archive_sign_path(std::string const& task_id) {
  return kTasksDirectory + std::string("task_") + task_id + ".archive.sign";
}

std::string snapshot_sign_path(std::string const& task_id) {
  return kTasksDirectory + std::string("task_") + task_id + ".snapshot.sign";
}

// An installation without the client's directories gets no task secret:
// the Error names the first directory on the way that is missing.
void log_missing_tasks_directory(char const* signature) {
  for (char const* directory : {"/opt/kestrova/var", "/opt/kestrova/var/tasks"}) {
    boost::system::error_code ec;
    if (fs::is_directory(directory, ec)) continue;
    KsLogStream(KsLogLvl::Error) << signature << ": the directory " << directory
                                 << " does not exist; the backup client writes the secret of each task into "
                                    "/opt/kestrova/var/tasks"
                                 << std::endl;
    return;
  }
}

using boost::algorithm::starts_with;

// openssl reads the digest as the option "-" + name, so a name that is one of
// its own options (out, sign, hex, ...) or carries "=value" would change what
// the verification does: "-out" swallows "-verify" and the check passes
// without verifying anything. A name must be letters, digits, '-' and '_'
// and begin with a digest family. An empty name leaves a lone "-", with
// which openssl uses its default digest.
bool is_digest_name(std::string const& name) {
  if (name.empty()) return true;
  for (unsigned char c : name) {
    bool const ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
    if (!ok) return false;
  }
  std::string folded = name;
  std::transform(folded.begin(), folded.end(), folded.begin(),
                 [](unsigned char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c); });
  static char const* const kFamilies[] = {"sha", "md", "sm3", "blake2", "ripemd", "rmd", "whirlpool",
                                          "ssl3-", "streebog", "gost"};
  for (char const* family : kFamilies)
    if (starts_with(folded, family)) return true;
  return false;
}

void log_not_a_digest_name(char const* signature, std::string const& name) {
  KsLogStream(KsLogLvl::Error) << signature
                               << ": not a digest name (--sign_hash): " << kestrova::as_one_line_quoted(name)
                               << std::endl;
}

// A JSON object that the client passed. False, with an Error after the
// signature, when it does not parse (the other failures after
// `other_failure`) or is no object.
bool parse_client_object(std::string const& text, char const* signature, char const* other_failure,
                         json::value& parsed) {
  try {
    parsed = json::parse(text);
  } catch (std::bad_alloc const& e) {
    KsLogStream(KsLogLvl::Error) << signature << ": json parsing failed: " << kestrova::as_one_line(e.what())
                                 << std::endl;
    return false;
  } catch (std::exception const& e) {
    KsLogStream(KsLogLvl::Error) << signature << other_failure << kestrova::as_one_line(e.what()) << std::endl;
    return false;
  }
  if (!parsed.is_object()) {
    KsLogStream(KsLogLvl::Error) << signature << ": json value is not an object" << std::endl;
    return false;
  }
  return true;
}

}  // namespace

bool KsModuleUniversal::check_supported_client_defined_storage(int) { return false; }

bool KsModuleUniversal::need_esign_for_operation(KsModuleOperations operation) {
  return operation == op_verify_in_client_defined_storage;
}

// ---- loading the storages of a task -------------------------------------------------------

bool KsModuleUniversal::load_client_defined_storages() {
  if (options_.task_id.empty()) {
    KsLogStream(KsLogLvl::Debug) << "No task id -  client defined storages loading skipped" << std::endl;
    return true;
  }
  try {
    KsLogStream(KsLogLvl::Debug) << "Check method of access to client defined storage" << std::endl;
    std::string const secret_path = get_task_secret();
    if (!fs::exists(secret_path)) {
      KsLogStream(KsLogLvl::Error) << __PRETTY_FUNCTION__ << ": task secret file doesn't exist: " << secret_path
                                   << std::endl;
      log_missing_tasks_directory(__PRETTY_FUNCTION__);
      return false;
    }
    std::string secret;
    {
      std::ifstream in(secret_path, std::ios::binary);
      if (!in.is_open()) {
        KsLogStream(KsLogLvl::Error) << __PRETTY_FUNCTION__ << ": can't open task secret file: " << secret_path
                                     << std::endl;
        return true;
      }
      std::getline(in, secret);
    }
    if (secret.empty()) {
      KsLogStream(KsLogLvl::Error) << __PRETTY_FUNCTION__ << ": task secret is empty" << std::endl;
      return true;
    }

    std::string const path = kTasksDirectory + options_.task_id + ".client_defined_storages";
    if (!fs::exists(path)) return true;
    std::uintmax_t const size = fs::file_size(path);
    KsLogStream(KsLogLvl::Debug) << "Found the file of methods: " << path << ", size: " << size << std::endl;
    if (size > kMaxStoragesFileSize) {
      KsLogStream(KsLogLvl::Error) << __PRETTY_FUNCTION__ << ": " << path << " is too large: " << size << " bytes"
                                   << std::endl;
      return false;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in.is_open()) {
      KsLogStream(KsLogLvl::Error) << __PRETTY_FUNCTION__ << ": can't open: " << path << std::endl;
      return true;
    }
    std::string data(static_cast<std::size_t>(size), '\0');
    if (!in.read(&data[0], static_cast<std::streamsize>(data.size()))) {
      KsLogStream(KsLogLvl::Error) << __PRETTY_FUNCTION__ << ": read error from " << path << std::endl;
      return false;
    }

    unsigned char key[kKeyLength] = {};
    std::copy_n(secret.begin(), std::min(secret.size(), kKeyLength), key);
    cppcrypto::kuznyechik cipher;
    cppcrypto::ctr mode(cipher);
    mode.init(key, kKeyLength, reinterpret_cast<unsigned char const*>(kStoragesIv), kStoragesIvLength);
    std::fill(std::begin(key), std::end(key), 0);
    std::string text(data.size(), '\0');
    mode.decrypt(reinterpret_cast<unsigned char const*>(data.data()), data.size(),
                 reinterpret_cast<unsigned char*>(&text[0]));
    mode.clear();
    std::size_t const zero = text.find('\0');
    if (zero != std::string::npos) text.resize(zero);

    std::istringstream records(text);
    std::string record;
    while (std::getline(records, record)) {
      if (record.empty()) continue;
      ClientDefinedStorageInfo info;
      if (split_client_defined_storage_record(record, info)) client_defined_storages.push_back(info);
    }
    if (!client_defined_storages.empty())
      KsLogStream(KsLogLvl::Debug) << "CLient defined methods of access to the storage: "
                                   << client_defined_storages.size() << std::endl;
    else
      KsLogStream(KsLogLvl::Debug) << client_defined_storages.size()
                                   << " methods of access to client defined storage loaded" << std::endl;
    return true;
  } catch (std::exception const& e) {
    KsLogStream(KsLogLvl::Error) << __PRETTY_FUNCTION__ << ": " << kestrova::as_one_line(e.what()) << std::endl;
    return false;
  }
}

bool KsModuleUniversal::split_client_defined_storage_record(std::string const& record, ClientDefinedStorageInfo& info) {
  json::value parsed;
  try {
    boost::system::error_code ec;
    parsed = json::parse(record, ec);
    if (ec) {
      KsLogStream(KsLogLvl::Error) << __PRETTY_FUNCTION__ << ": boost::json: " << ec.message() << ": "
                                   << kestrova::as_one_line(record) << std::endl;
      return false;
    }
  } catch (std::bad_alloc const& e) {
    KsLogStream(KsLogLvl::Error) << __PRETTY_FUNCTION__ << ": json parsing failed: " << kestrova::as_one_line(e.what())
                                 << std::endl;
    return false;
  } catch (std::exception const& e) {
    KsLogStream(KsLogLvl::Error) << __PRETTY_FUNCTION__ << ": " << kestrova::as_one_line(e.what()) << std::endl;
    return false;
  }
  if (!parsed.is_object()) {
    KsLogStream(KsLogLvl::Error) << __PRETTY_FUNCTION__ << ": json value is not an object" << std::endl;
    return false;
  }
  json::object const& object = parsed.as_object();
  json::value const* id = object.if_contains("id");
  json::value const* method = object.if_contains("method");
  if (!id || !method) {
    KsLogStream(KsLogLvl::Error) << __PRETTY_FUNCTION__
                                 << ": storage record format is invalid: " << kestrova::as_one_line(record)
                                 << std::endl;
    return false;
  }
  if (!id->is_int64()) {
    KsLogStream(KsLogLvl::Error) << __PRETTY_FUNCTION__ << ": id is not a number: " << kestrova::as_one_line(record)
                                 << std::endl;
    return false;
  }
  std::int64_t const id_value = id->as_int64();
  if (id_value < INT_MIN || id_value > INT_MAX) {
    // Cut to an int it would name another storage.
    KsLogStream(KsLogLvl::Error) << __PRETTY_FUNCTION__ << ": id is out of range: " << kestrova::as_one_line(record)
                                 << std::endl;
    return false;
  }
  if (!method->is_object()) {
    KsLogStream(KsLogLvl::Error) << __PRETTY_FUNCTION__ << ": method is not an object" << std::endl;
    return false;
  }
  json::object const& methods = method->as_object();
  if (methods.empty()) {
    info.id = static_cast<int>(id_value);
    info.type = 3;
    info.params.clear();
    return true;
  }
  for (auto const& member : methods) {
    std::string const name = unquoted_key(member.key());
    if (name == "local-directory") {
      info.id = static_cast<int>(id_value);
      info.type = 1;
      info.params = unquoted_text(member.value());
      return true;
    }
    if (name == "s3") {
      info.id = static_cast<int>(id_value);
      info.type = 2;
      info.params = json::serialize(member.value());
      return true;
    }
  }
  KsLogStream(KsLogLvl::Error) << __PRETTY_FUNCTION__
                               << ": can't parse client defined storage json string: " << kestrova::as_one_line(record)
                               << std::endl;
  return false;
}

// ---- choosing a storage ---------------------------------------------------------------------

bool KsModuleUniversal::client_defined_storage_prepare() {
  if (client_defined_storages.empty()) {
    KsLogStream(KsLogLvl::Warning) << __PRETTY_FUNCTION__ << "No client defined storage" << std::endl;
    return true;
  }
  for (auto const& storage : client_defined_storages) {
    if (!check_supported_client_defined_storage(storage.type)) {
      KsLogStream(KsLogLvl::Info) << "The module doesn't support client defined storage type: " << storage.type
                                  << std::endl;
      return false;
    }
    storage_id = storage.id;
    storage_type = storage.type;
    if (storage.type == 1) {
      KsLogStream(KsLogLvl::Info) << "Use client defined storage '"
                                  << "local-directory"
                                  << "'@" << kestrova::as_one_line(storage.params) << std::endl;
      if (!fs::exists(storage.params)) {
        KsLogStream(KsLogLvl::Error) << kestrova::as_one_line(storage.params) << " doen't exist" << std::endl;
        continue;
      }
      if (!fs::is_directory(storage.params)) {
        KsLogStream(KsLogLvl::Error) << kestrova::as_one_line(storage.params) << " is not a directory" << std::endl;
        continue;
      }
      if (options_.operation != op_restore) options_.tmp_operation_directory = storage.params;
      if (!options_.supports_autonomous) {
        KsLogStream(KsLogLvl::Error) << "To use client defined storage the module MUST support autonomous mode"
                                     << std::endl;
        return false;
      }
      options_.autonomous = true;
      ClientDefinedArchiveInfo info;
      switch (options_.operation) {
        case op_backup:
          if (!options_.remote_backup_host.empty()) {
            KsLogStream(KsLogLvl::Info) << "Unable to use remote backup host while you use client defined storage"
                                        << std::endl;
            options_.remote_backup_host.clear();
          }
          if (split_client_defined_archive_name(options_.reference_snapshot, info)) {
            options_.reference_snapshot = info.file;
            KsLogStream(KsLogLvl::Info) << "Rename reference snapshot to: "
                                        << kestrova::as_one_line(options_.reference_snapshot) << std::endl;
          }
          break;
        case op_restore:
          if (split_client_defined_archive_name(options_.meta_file, info)) {
            options_.meta_file = info.file;
            KsLogStream(KsLogLvl::Info) << "Rename snapshot to: " << kestrova::as_one_line(options_.meta_file)
                                        << std::endl;
          }
          break;
        case op_delete_from_client_defined_storage:
        case op_verify_in_client_defined_storage:
          break;
        default:
          KsLogStream(KsLogLvl::Info) << __PRETTY_FUNCTION__ << ", line: " << __LINE__
                                      << ": unsupported operation: " << options_.operation << std::endl;
          return false;
      }
      return true;
    }
    if (storage.type == 3) {
      KsLogStream(KsLogLvl::Info) << __PRETTY_FUNCTION__ << " Using module default storage." << std::endl;
      options_.autonomous = true;
      return true;
    }
    KsLogStream(KsLogLvl::Error) << __PRETTY_FUNCTION__ << ": unsupported client defined storage type: "
                                 << storage.type << std::endl;
    return false;
  }
  KsLogStream(KsLogLvl::Error) << "There is no good client defined storage" << std::endl;
  return false;
}

bool KsModuleUniversal::split_client_defined_archive_name(std::string const& name, ClientDefinedArchiveInfo& info) {
  static std::pair<char const*, int> const methods[] = {{"local-directory", 1}, {"default", 3}, {"s3", 2}};
  std::size_t position = std::string::npos;
  for (auto const& method : methods) {
    if (starts_with(name, method.first)) {
      info.type = method.second;
      position = std::string(method.first).size();
      break;
    }
  }
  if (position == std::string::npos) return false;
  // The method word, one separator character, then the id.
  if (position + 1 >= name.size()) return false;
  ++position;
  std::size_t digits = name.find_first_not_of(" \t\n\v\f\r", position);
  if (digits == std::string::npos) return false;
  bool negative = false;
  if (name[digits] == '+' || name[digits] == '-') {
    negative = name[digits] == '-';
    ++digits;
  }
  long long id = 0;
  std::size_t end = digits;
  for (; end < name.size() && name[end] >= '0' && name[end] <= '9'; ++end) {
    id = id * 10 + (name[end] - '0');
    if (id > static_cast<long long>(INT_MAX) + 1) return false;
  }
  if (end == digits) return false;
  if (negative) id = -id;
  if (id < INT_MIN || id > INT_MAX) return false;
  info.id = static_cast<int>(id);
  std::size_t const at = name.find('@', end);
  info.file = at == std::string::npos ? std::string() : name.substr(at + 1);
  return !info.file.empty();
}

// ---- deleting (operation 19) ---------------------------------------------------------------------

bool KsModuleUniversal::parse_json_of_client_defined_storage(std::string const& text,
                                                             std::vector<std::pair<int, std::string>>& list) {
  json::value parsed;
  if (!parse_client_object(text, __PRETTY_FUNCTION__, ": exception: ", parsed)) return false;
  json::object const& object = parsed.as_object();
  if (object.empty()) {
    list.emplace_back(3, std::string());
    return true;
  }
  static std::string const local = "local-directory";
  static std::string const s3 = "s3";
  for (auto const& member : object) {
    std::string const key = unquoted_key(member.key());
    std::string const value = unquoted_text(member.value());
    KsLogStream(KsLogLvl::Debug) << "Key: " << kestrova::as_one_line(key) << ", value: " << kestrova::as_one_line(value)
                                 << std::endl;
    if (value.empty()) continue;
    // The method word and one separator character come before the storage;
    // a value that ends at the word names no storage in particular.
    if (starts_with(value, local)) {
      list.emplace_back(1, value.size() > local.size() + 1 ? value.substr(local.size() + 1) : std::string());
    } else if (starts_with(value, s3)) {
      list.emplace_back(2, value.size() > s3.size() + 1 ? value.substr(s3.size() + 1) : std::string());
    } else {
      KsLogStream(KsLogLvl::Error) << __PRETTY_FUNCTION__
                                   << ": wrong client defined storage type here: " << kestrova::as_one_line(value)
                                   << std::endl;
    }
  }
  return true;
}

bool KsModuleUniversal::delete_from_client_defined_storage(std::vector<std::pair<int, std::string>> list) {
  KsLogStream(KsLogLvl::Warning) << "The module doesn't support deletion from client defined storage" << std::endl;
  for (auto const& item : list)
    KsLogStream(KsLogLvl::Warning) << "Type: " << item.first << " " << kestrova::as_one_line(item.second) << std::endl;
  return true;
}

// ---- verifying (operation 20) ------------------------------------------------------------------------

bool KsModuleUniversal::verify_in_client_defined_storage() {
  if (!is_digest_name(options_.sign_hash)) {
    log_not_a_digest_name(__PRETTY_FUNCTION__, options_.sign_hash);
    return false;
  }
  std::string archive_name, archive_sign, snapshot_sign;
  if (!parse_esign_json(options_.esign, archive_name, archive_sign, snapshot_sign)) {
    KsLogStream(KsLogLvl::Error) << __PRETTY_FUNCTION__
                                 << ": can't parse json: " << kestrova::as_one_line(options_.esign) << std::endl;
    return false;
  }
  ClientDefinedArchiveInfo info;
  if (!split_client_defined_archive_name(archive_name, info) || info.type != 1) {
    KsLogStream(KsLogLvl::Error) << __PRETTY_FUNCTION__
                                 << ": unsupported client defined storage here: " << kestrova::as_one_line(archive_name)
                                 << std::endl;
    return false;
  }
  std::string const archive_sig = archive_sign_path(options_.task_id);
  std::string const snapshot_sig = snapshot_sign_path(options_.task_id);
  auto remove_signature = [](std::string const& path) {
    std::remove(path.c_str());
    KsLogStream(KsLogLvl::Debug) << "Remove obsoleted e-sign " << path << std::endl;
  };
  if (!write_esign(archive_sign, archive_sig)) return false;
  KsLogStream(KsLogLvl::Debug) << "Create e-sign " << archive_sig << std::endl;
  if (!write_esign(snapshot_sign, snapshot_sig)) {
    remove_signature(archive_sig);
    return false;
  }
  KsLogStream(KsLogLvl::Debug) << "Create e-sign " << snapshot_sig << std::endl;

  bool const archive_ok =
      check_filename_by_esing(options_.key_file, options_.sign_hash, archive_sig, info.file, false);
  bool const snapshot_ok =
      check_filename_by_esing(options_.key_file, options_.sign_hash, snapshot_sig, options_.meta_file, true);
  remove_signature(archive_sig);
  remove_signature(snapshot_sig);
  std::cout << "VERIFICATION RESULT:" << (archive_ok && snapshot_ok ? "Trusted" : "Wrong status") << std::endl;
  return true;
}

bool KsModuleUniversal::parse_esign_json(std::string const& text, std::string& archive_name, std::string& archive_sign,
                                         std::string& snapshot_sign) {
  json::value parsed;
  if (!parse_client_object(text, __PRETTY_FUNCTION__, ": ", parsed)) return false;
  json::object const& object = parsed.as_object();
  if (object.empty()) {
    KsLogStream(KsLogLvl::Error) << __PRETTY_FUNCTION__ << ": json object value is empty" << std::endl;
    return false;
  }
  for (auto const& member : object) {
    std::string const key = unquoted_key(member.key());
    if (key == "archive_name")
      archive_name = unquoted_text(member.value());
    else if (key == "archive_sign")
      archive_sign = unquoted_text(member.value());
    else if (key == "snapshot_sign")
      snapshot_sign = unquoted_text(member.value());
  }
  return true;
}

bool KsModuleUniversal::write_esign(std::string const& hex, std::string const& path) {
  try {
    std::string bytes;
    for (std::size_t i = 0; i + 2 <= hex.size(); i += 2) {
      std::istringstream pair(hex.substr(i, 2));
      int value = 0;
      pair >> std::hex >> value;
      if (!pair.fail()) bytes += static_cast<char>(value & 0xff);
    }
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out.is_open()) {
      KsLogStream(KsLogLvl::Error) << __PRETTY_FUNCTION__ << ": can't create: " << path << std::endl;
      return false;
    }
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (out.fail()) {
      KsLogStream(KsLogLvl::Error) << __PRETTY_FUNCTION__ << ": can't write: " << path << std::endl;
      return false;
    }
    return true;
  } catch (std::exception const& e) {
    KsLogStream(KsLogLvl::Error) << __PRETTY_FUNCTION__ << ": " << kestrova::as_one_line(e.what()) << std::endl;
    return false;
  }
}

bool KsModuleUniversal::check_filename_by_esing(std::string const& key, std::string const& hash,
                                                std::string const& sigfile, std::string const& file,
                                                bool use_openssl) {
  try {
    KsLogStream(KsLogLvl::Debug) << "Verify the file: " << kestrova::as_one_line(file) << " by e-sing located in "
                                 << sigfile << ", public key: " << key << std::endl;
    using kestrova::shell_quoted;
    if (use_openssl && !is_digest_name(hash)) {
      log_not_a_digest_name(__PRETTY_FUNCTION__, hash);
      return false;
    }
    // The file is openssl's only word that is no option value: one that
    // begins with "-" is passed as "./-..." so it stays a file.
    std::string const openssl_file = !file.empty() && file[0] == '-' ? "./" + file : file;
    std::string const command =
        use_openssl ? "/usr/bin/openssl dgst -signature " + shell_quoted(sigfile) + " -" + hash + " -verify " +
                          shell_quoted(key) + " " + shell_quoted(openssl_file)
                    : "/opt/kestrova/bin/ksfd -n " + shell_quoted(file) + " -g " + shell_quoted(sigfile) +
                          " --verify --public-key " + shell_quoted(key);
    std::string output;
    // Only an exit with 0 is a good signature: a verifier ended by a signal
    // or one that could not be started has confirmed nothing.
    if (ks_utils_common::execute_command(command, output) == 0) {
      KsLogStream(KsLogLvl::Info) << "Verification of: '" << kestrova::as_one_line(file) << "': [ ok ]" << std::endl;
      return true;
    }
    KsLogStream(KsLogLvl::Error) << ": Verification of: '" << kestrova::as_one_line(file) << "': [ failed ]"
                                 << std::endl;
    return false;
  } catch (std::exception const& e) {
    KsLogStream(KsLogLvl::Error) << __PRETTY_FUNCTION__ << ": " << kestrova::as_one_line(e.what()) << std::endl;
    return false;
  }
}
