// What the command line and the program entry set for one run: the
// operation codes and the options record.
#pragma once

#include <cstdint>
#include <string>

#include "framework/resource_list.h"

// The operation of a run, chosen by the command line and dispatched by
// KsModuleUniversal::run().
enum KsModuleOperations : std::uint32_t {
  op_none = 0,
  op_check_client = 1,
  op_update_config = 2,
  op_list_all_resources = 3,
  op_list_all_resources_with_headers = 4,
  op_list_headers = 5,
  op_backup_type_supported = 6,
  op_dedup_supported = 7,
  op_archiving_supported = 8,
  op_backup = 9,
  op_backup_list = 10,
  op_restore = 11,
  op_create_replica = 12,
  op_apply_replica = 13,
  op_version = 14,
  op_show_backup_options = 15,
  op_autonomous_supported = 16,
  op_show_module_properties = 17,
  op_restore_parameters = 18,
  op_delete_from_client_defined_storage = 19,
  op_verify_in_client_defined_storage = 20,
};

// A plain record, copied member-wise. The entry point fills the capability
// flags and the restriction-list path; the parser fills the rest.
struct KsModuleOptions {
  KsModuleOptions() = default;
  KsModuleOptions(KsModuleOptions const&) = default;
  KsModuleOptions& operator=(KsModuleOptions const&) = default;
  ~KsModuleOptions() = default;

  std::string program_path;                  // argv[0]
  KsModuleOperations operation = op_none;
  std::uint32_t backup_type = 1;             // 1 full, 2 incremental, 3 differential
  std::string resource;                      // -b, -A; for -B the JSON file
  ResourceList resource_list;                // read from the -B file
  std::string resource_list_file;            // the ksfd list file, set by the module
  std::string tmp_operation_directory;       // -d (a restore extends it)
  std::string archive_name;                  // -n, --client-archive
  std::string reference_snapshot;            // -s
  std::string archive_to_patch;              // -i
  int compress = 1;                          // -z, 1..4
  bool local_restrictions = false;           // -j
  std::string module_params;                 // -e, key:value items separated by ","
  std::string crypto = "nocrypt";            // -C
  std::string key_file;                      // -k
  std::string destination_resource;          // copy of -d for operation 13
  std::string media_server;                  // -m
  std::string task_id;                       // -T
  std::string record_id;                     // -r, -R
  std::string meta_file;                     // -M
  std::string meta_file_path;                // the meta file found when unpacking
  std::uint32_t parallelism = 1;             // -p
  bool archiving_mode = false;               // -a with a full backup
  bool dgst = false;                         // --dgst with 9, 10, 12
  bool autonomous = false;                   // --autonomous with 9, 10, 11
  std::string restriction_list_file;         // set by the entry point
  std::string granular_list;                 // -f
  std::string granular_entities;             // -g (stored only)
  std::string client_defined_storage_json;   // --delete_from_client_defined_storage
  bool supports_incremental = false;
  bool supports_differential = false;
  bool supports_dedup = false;
  bool supports_archiving = false;
  bool supports_autonomous = false;
  bool one_source_at_a_time = false;         // lock the resource for 9..13
  bool set_to_numeric = false;
  std::string remote_backup_host;
  std::string remote_user = "root";
  std::uint32_t memory_threshold = 0;        // -G; 0 means not given
  std::string configs_list;                  // -u old:new:update
  bool need_esign = false;                   // --need_esign
  std::string sign_hash;                     // --sign_hash
  std::string esign;                         // --esign
};

// Makes `text` one word for /bin/sh (POSIX single quoting), so a value with
// blanks, quotes, newlines or other metacharacters cannot split or extend a
// command line.
void shield_string_for_command(std::string& text);

// Splits "2.1.0.948a6fb" into "2.1", "0" and "948a6fb". 0, or 1 on an
// exception.
int split_full_version(std::string const& full, std::string& major_minor, std::string& third, std::string& fourth);
