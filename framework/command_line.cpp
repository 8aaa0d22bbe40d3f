#include <cstdint>
#include <exception>
#include <iostream>

#include <boost/filesystem/operations.hpp>
#include <boost/program_options.hpp>

#include "framework/ks_module_universal.h"
#include "support/log/ks_log.h"
#include "support/utils/ks_utils_common.h"
#include "support/utils/quoting.h"

namespace po = boost::program_options;

namespace {

char const* const kParseSig = "bool KsModuleUniversal::parse_module_options(int, char**, KsModuleOptions&)";

bool is_one_of(KsModuleOperations op, std::initializer_list<KsModuleOperations> ops) {
  for (auto o : ops)
    if (o == op) return true;
  return false;
}

bool in_backup_to_apply_replica(KsModuleOperations op) { return op >= op_backup && op <= op_apply_replica; }

// Every option of the command line, bound to the fields of `options`.
void describe_options(po::options_description& desc, KsModuleOptions& options) {
  // clang-format off
  desc.add_options()
    ("help,h", "this message")
    ("version,V", "show version")
    ("update-config,u", po::value<std::string>(&options.configs_list), "Update configuration file. Format: '<old config>:<new config>:<update config>' (Old config and/or update config may be empty. New config must be)")
    ("full,1", "Define full backup")
    ("incr,2", "Define inc backup")
    ("diff,3", "Define diff backup")
    ("autonomous", "Autonomous mode")
    ("show-backup-options", "Show special backup options for autonomous mode")
    ("show-module-properties", "Show module properties")
    ("create-replica,A", po::value<std::string>(&options.resource), "Create a replica of resource")
    ("is-archiving-supported,a", "Is archiving supported?")
    ("backup,b", po::value<std::string>(&options.resource), "Backup a resource")
    ("backup_list,B", po::value<std::string>(&options.resource), "Path to a json file containing list of resources to backup")
    ("crypto,C", po::value<std::string>(&options.crypto), "Crypto algorithm")
    ("list-headers,c", "List headers, if module is not browsable")
    ("is-dedup-supported,D", "Is deduplication supported?")
    ("tmp-operation-directory,d", po::value<std::string>(&options.tmp_operation_directory), "Temporary operation directory")
    ("module-params,e", po::value<std::string>(&options.module_params), "Module parameters")
    ("archive-to-patch,i", po::value<std::string>(&options.archive_to_patch), "Archive to patch")
    ("local-restrictions,j", "Enable local restrictions")
    ("key-file,k", po::value<std::string>(&options.key_file), "Crypto algorithm")
    ("list-all-resource,l", "List all resource, if module is not browsable")
    ("list-all-resource--with-headers,L", "List all resource with headers, if module is not browsable")
    ("media-server,m", po::value<std::string>(&options.media_server), "Define media server")
    ("archive-name,n", po::value<std::string>(&options.archive_name), "Define created archive name")
    ("meta-file,M", po::value<std::string>(&options.meta_file), "Define meta or snapshot file name")
    ("parallelism,p", po::value<std::uint32_t>(&options.parallelism), "Parallelism")
    ("apply-replica,R", po::value<std::string>(&options.record_id), "Apply replica record ID")
    ("restore,r", po::value<std::string>(&options.record_id), "Restore record ID")
    ("reference-snapshot,s", po::value<std::string>(&options.reference_snapshot), "Reference snapshot")
    ("task-id,T", po::value<std::string>(&options.task_id), "Task ID")
    ("check-client,t", "Check whether the module can work on the client")
    ("compress,z", po::value<int>(&options.compress), "Compress")
    ("granular-list,f", po::value<std::string>(&options.granular_list), "List of files for granular restore")
    ("granular-entities,g", po::value<std::string>(&options.granular_entities), "List of entities for granular restore")
    ("dgst", "generate signature for backup")
    ("restore-parameters,o", "List restore parameters")
    ("memory-threshold,G", po::value<std::uint32_t>(&options.memory_threshold), "Allowed amount of memory")
    ("delete_from_client_defined_storage", po::value<std::string>(&options.client_defined_storage_json), "Delete the backup according to the json content from client defined storage")
    ("verify_in_client_defined_storage", "Verify the backup according to the json content in client defined storage")
    ("need_esign", "Check if esign info is needed for operation")
    ("sign_hash", po::value<std::string>(&options.sign_hash), "Signature hash")
    ("esign", po::value<std::string>(&options.esign), "Signature json")
    ("client-archive", po::value<std::string>(&options.archive_name), "Archive name for client restore.");
  // clang-format on
}

// Operation options. Each sets the operation and is refused when one is
// already set, except where a backup-type option may come first.
// False when one is refused (a missing value is logged).
bool take_operation(po::variables_map const& vm, KsModuleOptions& options) {
  auto take = [&](char const* name, KsModuleOperations op, bool after_backup_type = false) -> bool {
    if (!vm.count(name)) return true;
    if (options.operation != op_none && !(after_backup_type && options.operation == op_backup_type_supported))
      return false;
    options.operation = op;
    return true;
  };
  if (!take("version", op_version)) return false;
  if (!take("update-config", op_update_config)) return false;
  if (!take("list-headers", op_list_headers)) return false;
  if (!take("list-all-resource--with-headers", op_list_all_resources_with_headers)) return false;
  if (!take("delete_from_client_defined_storage", op_delete_from_client_defined_storage)) return false;
  if (!take("verify_in_client_defined_storage", op_verify_in_client_defined_storage)) return false;
  if (!take("show-backup-options", op_show_backup_options)) return false;
  if (!take("show-module-properties", op_show_module_properties)) return false;
  if (!take("check-client", op_check_client)) return false;
  if (!take("list-all-resource", op_list_all_resources)) return false;
  if (!take("full", op_backup_type_supported)) return false;
  if (vm.count("full")) options.backup_type = 1;
  if (!take("incr", op_backup_type_supported)) return false;
  if (vm.count("incr")) options.backup_type = 2;
  if (!take("diff", op_backup_type_supported)) return false;
  if (vm.count("diff")) options.backup_type = 3;
  if (!take("is-dedup-supported", op_dedup_supported)) return false;
  if (!take("backup", op_backup, true)) return false;
  if (vm.count("backup") && options.resource.empty()) {
    KsLogStream(KsLogLvl::Error) << "Resource is empty" << std::endl;
    return false;
  }
  if (!take("backup_list", op_backup_list, true)) return false;
  if (vm.count("backup_list")) {
    if (options.resource.empty()) {
      KsLogStream(KsLogLvl::Error) << kParseSig << ": resource is empty" << std::endl;
      return false;
    }
    if (!options.resource_list.parse_json_file(options.resource)) {
      KsLogStream(KsLogLvl::Error) << kParseSig << ": can't parse json file: " << options.resource
                                   << std::endl;
      return false;
    }
  }
  if (!take("restore", op_restore)) return false;
  if (vm.count("restore") && options.record_id.empty()) {
    KsLogStream(KsLogLvl::Error)
        << "You must define restore object, record ID in server mode or archive file for authonomous mode"
        << std::endl;
    return false;
  }
  if (!take("apply-replica", op_apply_replica)) return false;
  if (vm.count("apply-replica") && options.record_id.empty()) {
    KsLogStream(KsLogLvl::Error) << "Record ID is empty" << std::endl;
    return false;
  }
  if (!take("create-replica", op_create_replica, true)) return false;
  if (vm.count("create-replica") && options.resource.empty()) {
    KsLogStream(KsLogLvl::Error) << "Resource is empty" << std::endl;
    return false;
  }
  return true;
}

// The run names the files below -d to tools that work in another directory
// (ksfd after "cd /") and in the lines for the client, so a relative
// directory becomes absolute once, against the working directory of the
// start: "." elements and doubled '/' go, ".." stays (a link may lead to it).
// False, with an Error, when the working directory cannot be read.
bool make_absolute(std::string& directory) {
  if (directory.empty() || directory[0] == '/') return true;
  boost::system::error_code ec;
  std::string absolute = boost::filesystem::current_path(ec).string();
  if (ec || absolute.empty() || absolute[0] != '/') {
    KsLogStream(KsLogLvl::Error) << "The temporary operation directory (-d) " << kestrova::as_one_line_quoted(directory)
                                 << " is relative, and the working directory cannot be read: "
                                 << kestrova::as_one_line(ec ? ec.message() : absolute) << std::endl;
    return false;
  }
  std::size_t begin = 0;
  while (begin <= directory.size()) {
    std::size_t end = directory.find('/', begin);
    if (end == std::string::npos) end = directory.size();
    std::string const element = directory.substr(begin, end - begin);
    if (!element.empty() && element != ".") {
      if (absolute.back() != '/') absolute += '/';
      absolute += element;
    }
    begin = end + 1;
  }
  directory = absolute;
  return true;
}

// Modifier options, in this order; false when one does not fit the
// operation (logged where a message says why).
bool apply_modifiers(po::variables_map const& vm, KsModuleOptions& options) {
  if (vm.count("autonomous")) {
    if (options.operation == op_none) {
      options.operation = op_autonomous_supported;
    } else if (is_one_of(options.operation, {op_backup, op_backup_list, op_restore})) {
      if (!options.media_server.empty()) {
        KsLogStream(KsLogLvl::Error) << "Can't use media server with autonomous mode" << std::endl;
        return false;
      }
      options.autonomous = true;
    } else {
      return false;
    }
  }
  if (vm.count("tmp-operation-directory")) {
    if (!in_backup_to_apply_replica(options.operation)) return false;
    if (!make_absolute(options.tmp_operation_directory)) return false;
    if (options.operation == op_apply_replica) options.destination_resource = options.tmp_operation_directory;
  }
  if (vm.count("module-params") &&
      !is_one_of(options.operation, {op_backup, op_backup_list, op_restore, op_create_replica, op_apply_replica,
                                     op_delete_from_client_defined_storage, op_verify_in_client_defined_storage}))
    return false;
  if (vm.count("compress")) {
    if (!in_backup_to_apply_replica(options.operation)) return false;
    if (options.compress < 1 || options.compress > 4) options.compress = 1;
  }
  if (vm.count("local-restrictions")) {
    if (!is_one_of(options.operation, {op_backup, op_backup_list, op_create_replica})) return false;
    options.local_restrictions = true;
  }
  if (vm.count("archive-name") && !is_one_of(options.operation, {op_backup, op_backup_list, op_create_replica}))
    return false;
  if (vm.count("is-archiving-supported")) {
    if (options.operation == op_none) {
      options.operation = op_archiving_supported;
    } else if (is_one_of(options.operation, {op_backup, op_backup_list})) {
      if (options.backup_type != 1) return false;
      options.archiving_mode = true;
      std::cout << "Archiving mode: the module '" << options.program_path
                << "' will delete the resource after the task is completed" << std::endl;
    } else {
      return false;
    }
  }
  if (vm.count("reference-snapshot")) {
    if (!is_one_of(options.operation, {op_backup, op_backup_list})) return false;
    if (options.backup_type == 1) {
      KsLogStream(KsLogLvl::Error) << "Reference snapshot cannot be defined for full backup." << std::endl;
      return false;
    }
  }
  if (vm.count("media-server") && !in_backup_to_apply_replica(options.operation)) return false;
  if (vm.count("task-id")) {
    bool const storage_op = is_one_of(
        options.operation, {op_delete_from_client_defined_storage, op_verify_in_client_defined_storage});
    if (!in_backup_to_apply_replica(options.operation) && !storage_op) {
      KsLogStream(KsLogLvl::Error) << "Operation " << static_cast<unsigned int>(options.operation)
                                   << " incompatible with task ID" << std::endl;
      return false;
    }
    if (options.media_server.empty() && !storage_op && !options.autonomous) {
      KsLogStream(KsLogLvl::Error) << "You must define media-server before task ID" << std::endl;
      return false;
    }
  }
  if (vm.count("granular-list") && options.operation != op_restore) {
    KsLogStream(KsLogLvl::Error) << "The '-r' option must also be specified for granular restore\n" << std::endl;
    return false;
  }
  if (vm.count("dgst") && is_one_of(options.operation, {op_backup, op_backup_list, op_create_replica}))
    options.dgst = true;
  if (vm.count("restore-parameters")) {
    if (options.operation != op_none) return false;
    options.operation = op_restore_parameters;
  }
  if (vm.count("need_esign")) options.need_esign = true;
  return true;
}

// Names that become file names below a directory: the copy name of a
// backup (its description, list and snapshot files) and the task id
// (task, signature and mount files) must stay inside it. An empty copy
// name is left to the run, which names it.
bool names_are_plain(KsModuleOptions const& options) {
  if (is_one_of(options.operation, {op_backup, op_backup_list, op_create_replica}) &&
      !options.archive_name.empty() && !ks_utils_common::is_plain_name(options.archive_name)) {
    KsLogStream(KsLogLvl::Error) << "The archive name must be one file name, without '/' or control characters: "
                                 << kestrova::as_one_line_quoted(options.archive_name) << std::endl;
    return false;
  }
  if (!options.task_id.empty() && !ks_utils_common::is_plain_name(options.task_id)) {
    KsLogStream(KsLogLvl::Error) << "The task ID must be one file name, without '/' or control characters: "
                                 << kestrova::as_one_line_quoted(options.task_id) << std::endl;
    return false;
  }
  return true;
}

// Combinations that can never succeed are refused before anything is
// created: an incremental or differential backup has nothing to compare
// with without the previous snapshot, and a replica cannot take one.
bool can_succeed(KsModuleOptions const& options, bool incremental_without_reference) {
  if (is_one_of(options.operation, {op_backup, op_backup_list}) && options.reference_snapshot.empty() &&
      (options.backup_type == 3 || (options.backup_type == 2 && !incremental_without_reference))) {
    KsLogStream(KsLogLvl::Error) << "An incremental or differential backup needs the reference snapshot of the "
                                    "previous backup (-s option)"
                                 << std::endl;
    return false;
  }
  if (options.operation == op_create_replica && options.backup_type != 1) {
    KsLogStream(KsLogLvl::Error) << "A replica is always made as a full backup: -2 and -3 cannot be used with -A"
                                 << std::endl;
    return false;
  }
  return true;
}

}  // namespace

bool KsModuleUniversal::parse_module_options(int argc, char** argv, KsModuleOptions& options) {
  options.program_path = argc > 0 && argv[0] ? argv[0] : "";
  if (argc <= 1) {
    usage(options.program_path);
    return false;
  }
  try {
    po::options_description desc("Options description", 80, 40);
    describe_options(desc, options);

    po::variables_map vm;
    // An empty positional description makes every positional argument an error.
    po::positional_options_description no_positionals;
    po::store(po::command_line_parser(argc, argv).options(desc).positional(no_positionals).run(), vm);
    po::notify(vm);

    if (vm.count("help")) {
      usage(options.program_path);
      std::cout << desc << std::endl;
      return true;
    }

    if (!take_operation(vm, options) || !apply_modifiers(vm, options) || !names_are_plain(options) ||
        !can_succeed(options, incremental_without_reference))
      return false;
    parce_param_string();
    return true;
  } catch (std::exception const& e) {
    KsLogStream(KsLogLvl::Error) << kParseSig << ": " << kestrova::as_one_line(e.what()) << std::endl;
    return false;
  }
}

void KsModuleUniversal::usage(std::string const& program_path) {
  static char const* const lines[] = {
      "       -V (show version)",
      "       -u path_to_old_config:path_to_new_config:path_to_update_config (Update configuration file)",
      "       -1 (Full backup supported? It returns 0 if yes)",
      "       -2 (Incremental backup supported? It returns 0 if yes)",
      "       -3 (Differential backup supported? It returns 0 if yes)",
      "       -D (Is client-side deduplication supported? It returns 0 if yes",
      "       -a (Does module support archiving? It returns 0 if yes",
      "       -h (this message)",
      "       -c (list header labels if module is not browsable)",
      "       -l (list all resources at this client without headers if module is not browsable)",
      "       -L (list all resources at this client with headers if module is not browsable)",
      "       -1 [ -C crypto algorithm -k key_file ] ] -b resource -d tmp_operation_directory  [ -m media_server -T task_id | --autonomous ]-n archive_name [ -z compress_type ] [ -j ] [ -p parallelism ] [ -a ] (create full backup or make archiving with -a option )",
      "       -2 [ -C crypto algorithm -k key_file ] ] -b resource -d tmp_operation_directory [ -m media_server -T task_id | --autonomous ]-n archive_name -s reference_snapshot [ -z compress_type ] [ -j ] [ -p parallelism ] (create incremental backup)",
      "       -3 [ -C crypto algorithm -k key_file ] ] -b resource -d tmp_operation_directory [ -m media_server -T task_id | --autonomous ]-n archive_name -s reference_snapshot [ -z compress_type ] [ -j ] [ -p parallelism ] (create differential backup)",
      "       -r record_id [ -m media_server | --autonomous ] [ -C crypto algorithm -k key_file ] [ -p parallelism ] -d destination_directory [ -i archive_to_patch ] (restore record ID)",
      "       -t (check the ability to run the module on this client)",
      "       --show-backup-options (show supported module special backup options)",
      "       --show-module-properties",
      "       -o (List restore options)",
      "       --autonomous (Autonomous mode supported? It returns 0 if yes)",
      "compress_type: 1 - no compress, 2 - fast, 3 - optimal, 4 - best",
      "       Remote replication: ",
      "       -A resource -B max_block_count [ -C crypto algorithm -k key_file ] -d tmp_operation_directory -m media_server -T task_id -n archive_name [ -p parallelism ] (create replica) ",
      "       -R record_id -B max_block_count [ -C crypto algorithm -k key_file ] -d destination_resource -m media_server [ -p parallelism ] (apply remote replica)",
  };
  std::cout << "This utility is a part of Kestrova project" << std::endl;
  std::cout << "Copyright (c) Kestrova developers. All rights reserved." << std::endl;
  std::cout << "Distributed as part of the Kestrova backup system under its licence terms." << std::endl;
  std::cout << "Written by the Kestrova backup team." << std::endl;
  std::cout << "Version: " << get_full_module_version() << std::endl;
  std::cout << "Usage: " << program_path << std::endl;
  for (char const* line : lines) std::cout << line << std::endl;
  usage_custom();
}

std::string KsModuleUniversal::compress_mode_str(unsigned int code) {
  switch (code) {
    case 1:
      return "None";
    case 2:
      return "fast";
    case 3:
      return "optimal";
    case 4:
      return "best";
    default:
      return "Wrong or deprecated compression type: " + std::to_string(code);
  }
}

std::string KsModuleUniversal::get_task_secret() {
  if (options_.task_id.empty()) KsLogStream(KsLogLvl::Error) << "Task ID is empty" << std::endl;
  return "/opt/kestrova/var/tasks//task_secret_" + options_.task_id;
}
