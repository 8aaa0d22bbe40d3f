// Backup on a remote host over ssh: the task's files are copied there with
// scp, the ksfd backup command runs there, and its meta file comes back.
//
// Quoting: a remote command passes two shells, the local one that starts ssh
// and the remote one that ssh hands the text to. Each value is quoted for the
// remote shell, and the whole text once more for the local one, so neither
// shell expands anything in it. scp is different: it hands a remote path
// over literally (the SFTP protocol of newer versions, where the path is
// still globbed) or through the remote shell (the older protocol), and no
// quoting is right for both. So remote paths are used bare and only when
// they are absolute and made of characters that neither reads specially;
// any other is refused before anything runs.
//
// Every ssh and scp call carries the options of the connection check: no
// password prompt, no interactive question, a bounded connection time. A
// call that cannot log in with a key fails instead of waiting for input.
#include <string>
#include <vector>

#include <boost/filesystem.hpp>

#include "framework/ks_module_universal.h"
#include "support/log/ks_log.h"
#include "support/utils/ks_utils_common.h"
#include "support/utils/quoting.h"
#include "support/utils/scope_guard.h"

namespace fs = boost::filesystem;

namespace {

using kestrova::shell_quoted;

std::string q(std::string const& value) { return kestrova::shell_quoted_if_needed(value); }

char const kSsh[] = "/usr/bin/ssh";
char const kScp[] = "/usr/bin/scp";
char const kRemoteTasks[] = "/opt/kestrova/var/tasks/";
char const kNonInteractive[] =
    "-o ConnectTimeout=5 -o PasswordAuthentication=no -o PubkeyAuthentication=yes -o BatchMode=yes";

// A user or host that begins with "-" would be read as an option.
bool usable_name(std::string const& name) { return !name.empty() && name[0] != '-'; }

// A path as the tool sees it after "cd /", on either host.
std::string absolute(std::string const& path) {
  return path.empty() || path[0] == '/' ? path : fs::absolute(path).string();
}

bool scp_safe_remote_path(std::string const& path) {
  return !path.empty() && path[0] == '/' && kestrova::is_shell_safe(path);
}

// Local paths are absolute as well: scp would take "a:b" for a remote one.
std::string scp_command(std::string const& from, std::string const& to) {
  return std::string(kScp) + " " + kNonInteractive + " " + q(from) + " " + q(to);
}

// Where the reference meta file of an incremental or differential backup
// lies on the remote host: in the snapshot directory, which the run creates
// and removes there. Empty when the backup reads no reference.
std::string reference_copy(KsModuleOptions const& options, bool without_reference, std::string const& snapshot_dir) {
  bool const reads_reference = options.backup_type == 3 || (options.backup_type == 2 && !without_reference);
  if (!reads_reference || options.meta_file_path.empty()) return std::string();
  return snapshot_dir + "/reference-" + fs::path(options.meta_file_path).filename().string();
}

}  // namespace

bool KsModuleUniversal::make_backup_remotely() {
  char const* const sig = __PRETTY_FUNCTION__;
  backup_succeeded = false;
  std::string const host = options_.remote_backup_host;
  std::string const user = options_.remote_user;
  // The tool runs after "cd /", on both hosts: the same absolute paths.
  options_.tmp_operation_directory = absolute(options_.tmp_operation_directory);
  std::string const snapshot_dir = snapshot_directory_path();
  std::string const reference = reference_copy(options_, incremental_without_reference, snapshot_dir);
  std::string const local_reference = options_.meta_file_path;

  // The command reads the reference where it will lie on the remote host.
  std::string command;
  {
    // The field gets its value back however the scope is left.
    auto restore_local = kestrova::on_scope_exit([&] { options_.meta_file_path = local_reference; });
    if (!reference.empty()) options_.meta_file_path = reference;
    if (!make_backup_cmd_common(command)) return false;
  }

  if (options_.autonomous) {
    KsLogStream(KsLogLvl::Error) << sig
                                 << ": Autonomous mode is not supported for remote backup ksfd mode" << std::endl;
    return false;
  }
  std::string const secret = get_task_secret();
  std::string const meta = meta_filename();
  command += " -M " + q(options_.media_server) + " -N " + q(options_.archive_name) + " -T " + q(options_.task_id) +
             " -s " + q(secret) + " -m " + q(meta);
  if (options_.dgst) {
    KsLogStream(KsLogLvl::Error) << sig
                                 << ": Digital signature is not supported for remote backup ksfd mode" << std::endl;
    return false;
  }
  bool const restrictions_exist = fs::exists(options_.restriction_list_file);
  if (options_.local_restrictions && restrictions_exist)
    command += " -X " + q(snapshot_dir + "/" + fs::path(options_.restriction_list_file).filename().string());
  if (options_.crypto != "nocrypt") {
    KsLogStream(KsLogLvl::Error) << sig
                                 << ": Encrytping signature is not supported for remote backup ksfd mode" << std::endl;
    return false;
  }
  command += " 2>&1";
  if (!usable_name(host) || !usable_name(user)) {
    KsLogStream(KsLogLvl::Error) << sig << ": unusable remote host or user: "
                                 << kestrova::as_one_line_quoted(user + "@" + host) << std::endl;
    return false;
  }

  // Every path scp names on the remote host (see the quoting note above).
  std::string const list = absolute(options_.resource_list_file);
  std::vector<std::string> remote_paths{secret, meta};
  if (!list.empty()) remote_paths.push_back(list);
  if (restrictions_exist) remote_paths.push_back(snapshot_dir);
  if (!reference.empty()) remote_paths.push_back(reference);
  for (auto const& path : remote_paths) {
    if (!scp_safe_remote_path(path)) {
      KsLogStream(KsLogLvl::Error) << sig << ": remote path unusable for scp (only an absolute path of letters, "
                                   << "digits and _@%+=:,./- is passed unchanged): "
                                   << kestrova::as_one_line_quoted(path) << std::endl;
      return false;
    }
  }

  // "ssh -q -l USER HOST " and then the options, so that the connection
  // check is the familiar command line; every later call reuses it whole.
  std::string const prefix = std::string(kSsh) + " -q -l " + q(user) + " " + q(host) + "  " + kNonInteractive + " ";
  std::string const remote = user + "@" + host;
  std::string output;  // every auxiliary command's output, in order
  auto run = [&output](std::string const& c) { return ks_utils_common::execute_command(c, output) == 0; };
  auto failure = [&output, sig](std::string const& c) {
    KsLogStream(KsLogLvl::Error) << sig << ": the following command produced an error: " << kestrova::as_one_line(c)
                                 << "\n"
                                 << "command output: " << kestrova::as_one_line(output) << std::endl;
  };

  KsLogStream(KsLogLvl::Info) << "Testing connection to remote host: " << host << std::endl;
  if (!run(prefix + "'exit 0'")) {
    KsLogStream(KsLogLvl::Error) << sig << ": the ssh unable to connect. "
                                 << "command output: " << kestrova::as_one_line(output) << "\n"
                                 << "ssh connection failed to: " << host << std::endl;
    return false;
  }
  if (!run(prefix + shell_quoted("test -d " + q(options_.tmp_operation_directory)))) {
    KsLogStream(KsLogLvl::Error) << sig << "command output: " << kestrova::as_one_line(output) << "\n"
                                 << "folder: " << options_.tmp_operation_directory
                                 << " does not exist on remote host: " << host << std::endl;
    return false;
  }
  KsLogStream(KsLogLvl::Info) << "Creating directories on remote host: " << host << std::endl;
  std::string const mkdir = prefix + shell_quoted("mkdir -p " + q(snapshot_dir) + " " + kRemoteTasks);
  if (!run(mkdir)) {
    failure(mkdir);
    return false;
  }

  // From here on the remote host holds files of this task: every failure
  // cleans it first.
  auto fail_and_clean = [&](std::string const& c) {
    failure(c);
    cleanup_remote_host(prefix);
    return false;
  };
  KsLogStream(KsLogLvl::Info) << "Coping files to remote host: " << host << std::endl;
  std::vector<std::string> copies{scp_command(secret, remote + ":" + secret)};
  if (!list.empty()) copies.push_back(scp_command(list, remote + ":" + list));
  if (restrictions_exist)
    copies.push_back(scp_command(absolute(options_.restriction_list_file), remote + ":" + snapshot_dir));
  // Without its reference the remote tool cannot make the delta.
  if (!reference.empty()) copies.push_back(scp_command(absolute(local_reference), remote + ":" + reference));
  for (auto const& copy : copies)
    if (!run(copy)) return fail_and_clean(copy);

  KsLogStream(KsLogLvl::Info) << "Starting remote KSFD execution on remote host: " << host << std::endl;
  // ssh's own complaints (a dropped connection) belong to the output too.
  std::string const remote_command = prefix + shell_quoted(command) + " 2>&1";
  std::string ksfd_output, progress;
  if (!run_ksfd_command(remote_command, ksfd_output, ksfd_pid, progress)) {
    KsLogStream(KsLogLvl::Error) << sig << ": remote KSFD command " << kestrova::as_one_line(remote_command) << "\n"
                                 << " produced an error, "
                                 << "ksfd out: " << kestrova::as_one_line(ksfd_output);
    cleanup_remote_host(prefix);
    return false;
  }
  KsLogStream(KsLogLvl::Info) << "Remote KSFD execution finished successfully" << std::endl;

  std::string const test_meta = prefix + shell_quoted("test -f " + q(meta));
  if (!run(test_meta)) {
    KsLogStream(KsLogLvl::Error) << sig
                                 << ": the following command produced an error: " << kestrova::as_one_line(test_meta)
                                 << "\n"
                                 << "command output: " << kestrova::as_one_line(output) << "\n"
                                 << "metafile: " << meta << " does not exist on remote host: " << host << std::endl;
    cleanup_remote_host(prefix);
    return false;
  }
  KsLogStream(KsLogLvl::Info) << "Coping resulting files from remote host: " << host << std::endl;
  std::string const copy_back = scp_command(remote + ":" + meta, meta);
  if (!run(copy_back)) return fail_and_clean(copy_back);

  if (!cleanup_remote_host(prefix))
    KsLogStream(KsLogLvl::Warning) << sig << ": unable to cleanup remote host: " << host << std::endl;
  backup_succeeded = true;
  return true;
}

bool KsModuleUniversal::cleanup_remote_host(std::string const& ssh_prefix) {
  KsLogStream(KsLogLvl::Info) << "Cleaning remote host" << std::endl;
  bool result = true;
  std::string const snapshot_dir = snapshot_directory_path();
  std::string files;
  if (!options_.resource_list_file.empty()) files += " " + q(absolute(options_.resource_list_file));
  files += " " + q(get_task_secret()) + " " + q(meta_filename());
  if (fs::exists(options_.restriction_list_file))
    files += " " + q(snapshot_dir + "/" + fs::path(options_.restriction_list_file).filename().string());
  std::string const reference = reference_copy(options_, incremental_without_reference, snapshot_dir);
  if (!reference.empty()) files += " " + q(reference);

  for (std::string const& text : {"rm" + files, "rmdir " + q(snapshot_dir)}) {
    std::string const command = ssh_prefix + shell_quoted(text);
    std::string output;
    if (ks_utils_common::execute_command(command, output) != 0) {
      KsLogStream(KsLogLvl::Warning) << __PRETTY_FUNCTION__
                                     << ": the following command produced an error: " << kestrova::as_one_line(command)
                                     << "\n"
                                     << "command output: " << kestrova::as_one_line(output) << std::endl;
      result = false;
    }
  }
  return result;
}
