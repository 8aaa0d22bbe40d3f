// ksfd runs, command lines and the ksfd list file.
//
// Every value placed into a command goes through shell_quoted_if_needed (or
// shell_quoted where the command has always put it between single quotes, or
// shielded_word where it has always been backslash-escaped), so an ordinary
// command line keeps its familiar bytes and an unusual value stays one word
// for /bin/sh.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>

#include <boost/algorithm/string/predicate.hpp>
#include <boost/filesystem.hpp>

#include "framework/ks_module_universal.h"
#include "framework/shielded_word.h"
#include "support/log/ks_log.h"
#include "support/utils/child_process.h"
#include "support/utils/ks_utils_common.h"
#include "support/utils/quoting.h"
#include "support/utils/scope_guard.h"

namespace fs = boost::filesystem;

namespace {

char const kKsfd[] = "/opt/kestrova/bin/ksfd";
char const kKeysOption[] = " -x /opt/kestrova/keys/master-key,/opt/kestrova/keys/secret-key.pem";
char const kSignOptions[] = " --passin /opt/kestrova/keys/master-key --sign /opt/kestrova/keys/secret-key.pem";

std::string q(std::string const& value) { return kestrova::shell_quoted_if_needed(value); }

std::string hex(unsigned value) {
  std::ostringstream out;
  out << std::hex << value;
  return out.str();
}

// The tool runs after "cd /": a path the module checked relative to its own
// working directory must reach the tool as the same file.
std::string absolute_for_tool(std::string const& path) {
  if (path.empty() || path[0] == '/') return path;
  return fs::absolute(path).string();
}

// The parent of a process, from /proc; 0 when it cannot be read.
pid_t parent_of(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat;
  if (!std::getline(in, stat)) return 0;
  // "pid (comm) state ppid ...": comm may hold blanks and parentheses.
  auto close = stat.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream rest(stat.substr(close + 1));
  std::string state;
  long ppid = 0;
  if (!(rest >> state >> ppid)) return 0;
  return static_cast<pid_t>(ppid);
}

// True when `pid` is `root` or runs below it. A tool started through ssh
// prints the id of a remote process, which must never be signalled here.
bool runs_below(pid_t pid, pid_t root) {
  for (int depth = 0; depth < 16 && pid > 1; ++depth) {
    if (pid == root) return true;
    pid = parent_of(pid);
  }
  return false;
}

// The number of a "KSFD PID: " line: optional leading blanks, then decimal
// digits (whatever follows them is ignored). Only a positive number that fits
// a pid is a process id; anything else is a malformed line.
pid_t parse_pid_line(std::string const& rest) {
  std::size_t i = rest.find_first_not_of(" \t");
  if (i == std::string::npos || rest[i] < '0' || rest[i] > '9')
    throw std::runtime_error("malformed KSFD PID line: no process id in '" + rest + "'");
  long long value = 0;
  for (; i < rest.size() && rest[i] >= '0' && rest[i] <= '9'; ++i) {
    value = value * 10 + (rest[i] - '0');
    if (value > INT_MAX) throw std::runtime_error("malformed KSFD PID line: process id out of range: '" + rest + "'");
  }
  if (value <= 0) throw std::runtime_error("malformed KSFD PID line: not a process id: '" + rest + "'");
  return static_cast<pid_t>(value);
}

using boost::algorithm::starts_with;

// The tool with its deduplication options, the start of every command that
// reads or writes an archive: " -a H -2  -b S" (" -5 " for other lengths).
std::string tool_with_dedup(std::string const& algorithm, int length, int block) {
  return std::string(kKsfd) + " -a " + q(algorithm) + (length == 256 ? " -2 " : " -5 ") + " -b " +
         std::to_string(static_cast<unsigned>(block));
}

// " -C <crypto> -k <key file>" when encryption is asked for. False, with an
// Error that begins with `prefix`, when the key file is not given or missing.
bool add_crypto_options(KsModuleOptions const& options, std::string const& prefix, bool absolute_key,
                        std::string& command) {
  if (options.crypto == "nocrypt") return true;
  if (options.key_file.empty()) {
    KsLogStream(KsLogLvl::Error) << prefix << "you must define key file" << std::endl;
    return false;
  }
  if (!fs::exists(options.key_file)) {
    KsLogStream(KsLogLvl::Error) << prefix << "there is no key file: " << options.key_file << std::endl;
    return false;
  }
  command += " -C " + q(options.crypto) + " -k " +
             q(absolute_key ? absolute_for_tool(options.key_file) : options.key_file);
  return true;
}

}  // namespace

void KsModuleUniversal::init_ksfd_flags() {
  ksfd_flag_names = {"worker_parallelism", "network_parallelism", "enable_multithreading", "enable_flexible_dedup"};
}

// ---- the runner --------------------------------------------------------------------

bool KsModuleUniversal::run_ksfd_command(std::string const& command, std::string& output, pid_t& pid,
                                         std::string& progress) {
  // However the runner leaves, its pid argument is 0 again.
  auto reset_pid = kestrova::on_scope_exit([&pid] { pid = 0; });
  try {
    KsLogStream(KsLogLvl::Info) << __PRETTY_FUNCTION__ << ":ksfd command: " << kestrova::as_one_line(command)
                                << std::endl;
    // Whoever leaves before the normal end (an exception, a malformed line)
    // gets the tool terminated, the pipe closed and the shell reaped on the
    // way out, so no caller ever continues while the tool still reads its
    // input.
    kestrova::child_process tool(command, kestrova::child_process::when_abandoned::terminate);
    if (!tool.started()) {
      KsLogStream(KsLogLvl::Error) << __PRETTY_FUNCTION__
                                   << ": couldn't start OS command: " << kestrova::as_one_line(command) << std::endl;
      return false;
    }
    auto handle_line = [&](std::string const& line) {
      if (starts_with(line, "KSFD PID: ")) {
        pid_t const reported = parse_pid_line(line.substr(10));
        if (runs_below(reported, tool.pid())) {
          pid = reported;
        } else {
          KsLogStream(KsLogLvl::Debug) << "ksfd process " << reported
                                       << " is not a local child process; signals are not forwarded to it."
                                       << std::endl;
        }
        std::cout << kestrova::as_one_line(line) << std::endl;
      } else if (starts_with(line, "Packed: ") || starts_with(line, "Transferred: ")) {
        progress = line.substr(line[0] == 'P' ? 8 : 13);
        std::cout << kestrova::as_one_line(line) << std::endl;
      } else if (starts_with(line, "Unpacked: ")) {
        progress = line.substr(10);
        std::cout << kestrova::as_one_line(line) << std::endl;
      } else {
        output += line;
        output += "\n";
      }
    };
    // "\r" and "\n" each end a line; a last line without an end is dropped.
    std::string line;
    char buffer[4096];
    for (ssize_t n; (n = tool.read(buffer, sizeof buffer)) > 0;) {
      for (char const* c = buffer; c != buffer + n; ++c) {
        if (*c == '\n' || *c == '\r') {
          handle_line(line);
          line.clear();
        } else {
          line += *c;
        }
      }
    }
    int const status = tool.wait();
    KsLogStream(KsLogLvl::Debug) << "ksfd process status 0x" << hex(static_cast<unsigned>(status)) << "."
                                 << std::endl;
    if (status != -1 && WIFSIGNALED(status)) {
      KsLogStream(KsLogLvl::Warning) << "ksfd process terminates with 0x" << hex(WTERMSIG(status)) << " signal."
                                     << std::endl;
      if (WCOREDUMP(status)) KsLogStream(KsLogLvl::Warning) << "core dump occured." << std::endl;
      return false;
    }
    if (status != -1 && WIFSTOPPED(status)) {
      KsLogStream(KsLogLvl::Warning) << "ksfd process stops with 0x" << hex(WSTOPSIG(status)) << " signal."
                                     << std::endl;
      return false;
    }
    if (status == -1 || !WIFEXITED(status)) {
      KsLogStream(KsLogLvl::Warning) << "ksfd process unknown exit." << std::endl;
      return false;
    }
    int const code = WEXITSTATUS(status);
    KsLogStream(KsLogLvl::Debug) << "ksfd process exits with 0x" << hex(code) << " status." << std::endl;
    if (code == 1) {
      KsLogStream(KsLogLvl::Warning) << "ksfd finished with an error flag" << std::endl;
      return false;
    }
    if (code == 100) {
      defect = true;
      KsLogStream(KsLogLvl::Warning) << "ksfd finished with a defect flag" << std::endl;
      return true;
    }
    return code == 0;
  } catch (std::exception const& e) {
    // The tool has been terminated and reaped by now (when_abandoned).
    KsLogStream(KsLogLvl::Error) << __PRETTY_FUNCTION__ << ": " << kestrova::as_one_line(e.what()) << std::endl;
    return false;
  }
}

// ---- backup command lines ---------------------------------------------------------------

bool KsModuleUniversal::make_backup() {
  if (!options_.remote_backup_host.empty()) return make_backup_remotely();
  return make_backup_locally();
}

bool KsModuleUniversal::make_backup_cmd_common(std::string& command) {
  // The tool runs in another directory than the module ("cd /", or the
  // directory being backed up), so every path it gets is absolute.
  options_.tmp_operation_directory = absolute_for_tool(options_.tmp_operation_directory);
  std::string const tool = tool_with_dedup(hash_algorithm, hash_length, block_size);
  std::string const prefix = "cd / && " + tool;
  if (!options_.resource_list_file.empty()) {
    std::string const& list = options_.resource_list_file;
    if (!fs::exists(list)) {
      KsLogStream(KsLogLvl::Error) << __PRETTY_FUNCTION__ << ": resource list file doesn't exist: " << list
                                   << std::endl;
      return false;
    }
    if (!fs::is_regular_file(list)) {
      KsLogStream(KsLogLvl::Error) << __PRETTY_FUNCTION__ << ": resource list file is not a regular file: " << list
                                   << std::endl;
      return false;
    }
    command = prefix + " -c " + q(absolute_for_tool(list));
  } else if (fs::is_directory(options_.resource)) {
    // " -c ." names the working directory: run the tool inside the directory
    // being backed up, never in "/", which would back up the whole machine.
    command = "cd " + q(absolute_for_tool(options_.resource)) + " && " + tool + " -c . ";
  } else {
    command = prefix + " -c " + q(options_.resource);
  }
  if (options_.parallelism != 1) command += " -p " + std::to_string(options_.parallelism);
  add_ksfd_options_to_command(command);
  std::string excluded = kKeysOption + 4;  // the value after " -x "
  if (options_.local_restrictions) {
    excluded += ",";
    std::vector<std::string> const lines = read_local_restrictions();
    for (std::size_t i = 0; i < lines.size(); ++i) excluded += (i ? "," : "") + lines[i];
  }
  command += " -x " + q(excluded);
  if (numeric_owner) command += " --numeric-owner";
  switch (options_.backup_type) {
    case 1:
      break;
    case 2:
      if (incremental_without_reference) break;
      [[fallthrough]];  // otherwise it needs its reference like a differential one
    case 3:
      if (options_.meta_file_path.empty()) {
        KsLogStream(KsLogLvl::Error) << __PRETTY_FUNCTION__
                                     << ": you must define reference snapshot name (-s option)" << std::endl;
        return false;
      }
      command += " -S " + q(absolute_for_tool(options_.meta_file_path));
      break;
    default:
      KsLogStream(KsLogLvl::Error) << __PRETTY_FUNCTION__ << ": wrong backup type: " << options_.backup_type
                                   << std::endl;
      return false;
  }
  if (options_.compress != 0)
    command += " -z " + q(compress_mode_str(static_cast<unsigned>(options_.compress)));
  if (options_.memory_threshold != 0) command += " --memory-threshold " + std::to_string(options_.memory_threshold);
  return true;
}

void KsModuleUniversal::add_ksfd_options_to_command(std::string& command) const {
  std::string collected;
  for (auto const& name : ksfd_flag_names) {
    auto found = ksfd_flags.find(name);
    if (found == ksfd_flags.end()) continue;
    if (!collected.empty()) collected += ",";
    collected += name + ":" + found->second;
  }
  if (!collected.empty()) command += " -e " + q(collected);
}

bool KsModuleUniversal::make_backup_locally() {
  std::string command;
  try {
    backup_succeeded = false;
    if (!make_backup_cmd_common(command)) return false;
    if (options_.autonomous) {
      command += " -n " + q(archive_filename()) + " -m " + q(meta_filename());
    } else {
      command += " -M " + q(options_.media_server) + " -N " + q(options_.archive_name) + " -T " +
                 q(options_.task_id) + " -s " + q(get_task_secret()) + " -m " + q(meta_filename());
    }
    if (options_.dgst) command += " -g " + q(archive_sign_filename()) + kSignOptions;
    if (options_.local_restrictions && fs::exists(options_.restriction_list_file))
      command += " -X " + q(absolute_for_tool(options_.restriction_list_file));
    // The tool runs after "cd /": a relative key file is made absolute.
    if (!add_crypto_options(options_, "", true, command)) return false;
    command += " 2>&1";

    std::string output, progress;
    ::umask(022);
    bool const ok = run_ksfd_command(command, output, ksfd_pid, progress);
    // From here on every file of the process is private to its owner.
    ::umask(077);
    if (!ok) {
      KsLogStream(KsLogLvl::Error) << __PRETTY_FUNCTION__ << ": " << kestrova::as_one_line(command) << std::endl;
      KsLogStream(KsLogLvl::Error) << "ksfd out: " << kestrova::as_one_line(output);
    }
    backup_succeeded = ok;
    return ok;
  } catch (fs::filesystem_error const& e) {
    KsLogStream(KsLogLvl::Error) << __PRETTY_FUNCTION__ << ": filesystem error: " << kestrova::as_one_line(e.what())
                                 << std::endl;
  } catch (std::exception const& e) {
    KsLogStream(KsLogLvl::Error) << __PRETTY_FUNCTION__ << ": exception: " << kestrova::as_one_line(e.what())
                                 << std::endl;
  }
  return false;
}

// ---- restore command line -------------------------------------------------------------------

bool KsModuleUniversal::make_restore(bool const& replica) {
  try {
    std::string command = tool_with_dedup(hash_algorithm, hash_length, block_size);
    if (options_.autonomous) {
      if (!client_defined_storages.empty()) {
        ClientDefinedArchiveInfo info;
        if (!split_client_defined_archive_name(options_.archive_name, info) || (info.type != 1 && info.type != 3)) {
          KsLogStream(KsLogLvl::Error) << __PRETTY_FUNCTION__
                                       << ": unsupported client defined storage here: " << options_.archive_name
                                       << std::endl;
          return false;
        }
        if (info.type == 3) {
          KsLogStream(KsLogLvl::Info) << "Module default storage. Skipping ksfd run." << std::endl;
          return true;
        }
        options_.archive_name = info.file;
        KsLogStream(KsLogLvl::Info) << "Rename restored object to: " << kestrova::as_one_line(options_.archive_name)
                                    << std::endl;
      }
      command += " -r " + q(options_.archive_name);
    } else {
      command += " -R " + q(options_.record_id) + " -M " + q(options_.media_server) + " -T " + q(options_.task_id) +
                 " -s " + q(get_task_secret()) + " -m " + kestrova::shielded_word(options_.meta_file_path);
    }
    command += " -d " + kestrova::shielded_word(options_.tmp_operation_directory);
    if (!add_crypto_options(options_, std::string(__PRETTY_FUNCTION__) + ": ", false, command)) return false;
    if (replica) command += " -E ";
    if (options_.parallelism != 1) command += " -p " + std::to_string(options_.parallelism);
    if (!options_.granular_list.empty()) command += " -f " + q(options_.granular_list);
    if (options_.set_to_numeric) command += " --set-to-numeric";
    add_ksfd_options_to_command(command);
    command += " 2>&1";

    std::string output, progress;
    bool const ok = run_ksfd_command(command, output, ksfd_pid, progress);
    if (!ok) {
      KsLogStream(KsLogLvl::Error) << __PRETTY_FUNCTION__ << ": " << kestrova::as_one_line(command) << std::endl;
      KsLogStream(KsLogLvl::Error) << "ksfd out: " << kestrova::as_one_line(output);
    } else if (!replica) {
      KsLogStream(KsLogLvl::Info) << "The archive '" << kestrova::as_one_line(options_.record_id)
                                  << "' has been unpacked successfully" << std::endl;
    }
    return ok;
  } catch (fs::filesystem_error const& e) {
    KsLogStream(KsLogLvl::Error) << __PRETTY_FUNCTION__ << ": filesystem error: " << kestrova::as_one_line(e.what())
                                 << std::endl;
  } catch (std::exception const& e) {
    KsLogStream(KsLogLvl::Error) << __PRETTY_FUNCTION__ << ": std exception: " << kestrova::as_one_line(e.what())
                                 << std::endl;
    KsLogStream(KsLogLvl::Error) << __PRETTY_FUNCTION__ << ": " << kestrova::as_one_line(e.what()) << std::endl;
  }
  return false;
}

bool KsModuleUniversal::apply_replica() { return make_restore(true); }

// ---- the list file ------------------------------------------------------------------------

bool KsModuleUniversal::add_to_ksfd_list_file(std::string const& path, std::map<std::string, std::string> const& entries,
                                              bool append) {
  // A line break or the separator inside a name would make the tool read
  // other items than the ones meant; an empty path names no item, and an
  // empty name would restore the item onto the restore directory itself.
  for (auto const& entry : entries) {
    for (std::string const* text : {&entry.first, &entry.second}) {
      if (text->find_first_of("\r\n") != std::string::npos || text->find(" : ") != std::string::npos ||
          text->empty()) {
        KsLogStream(KsLogLvl::Error) << __PRETTY_FUNCTION__ << ": "
                                     << "ksfd list entry can't be written unambiguously: "
                                     << kestrova::as_one_line_quoted(entry.first) << " : "
                                     << kestrova::as_one_line_quoted(entry.second) << std::endl;
        return false;
      }
    }
  }
  std::ofstream out(path, append ? std::ios::out | std::ios::app : std::ios::out | std::ios::trunc);
  if (!out.is_open()) {
    KsLogStream(KsLogLvl::Error) << __PRETTY_FUNCTION__ << ": " << "can't create ksfd list file" << std::endl;
    return false;
  }
  if (!append) {
    KsLogStream(KsLogLvl::Info) << "Adding record to ksfd file list: " << "KSFD file list:" << std::endl;
    out << "KSFD file list:" << "\n";
  }
  for (auto const& entry : entries) {
    KsLogStream(KsLogLvl::Info) << "Adding record to ksfd file list: " << kestrova::as_one_line(entry.first) << " : "
                                << kestrova::as_one_line(entry.second) << std::endl;
    out << "   " << entry.first << " : " << entry.second << "\n";
  }
  out.close();
  if (out.fail()) {
    // A list cut short would make the tool back up fewer items, silently.
    KsLogStream(KsLogLvl::Error) << __PRETTY_FUNCTION__ << ": " << "can't write ksfd list file " << path << ": "
                                 << std::strerror(errno) << std::endl;
    return false;
  }
  return true;
}

// ---- adding entries to an existing archive -------------------------------------------------------

bool KsModuleUniversal::append_some_special() {
  if (special_entries.empty()) return true;
  if (options_.resource_list_file.empty()) {
    KsLogStream(KsLogLvl::Debug) << __PRETTY_FUNCTION__ << ": options_.resource_list_file is empty" << std::endl;
    return false;
  }
  if (!add_to_ksfd_list_file(options_.resource_list_file, special_entries, false)) return false;
  std::string const directory = fs::path(archive_filename()).parent_path().string();
  std::string command =
      "cd " + kestrova::shell_quoted(directory) + " && " + tool_with_dedup(hash_algorithm, hash_length, block_size);
  if (options_.autonomous) {
    command += " -u " + q(archive_filename()) + " --add " + q(options_.resource_list_file);
  } else {
    command += " -U " + q(options_.archive_name) + " --add " + q(options_.resource_list_file) + " -M " +
               q(options_.media_server) + " -T " + q(options_.task_id) + " -s " + q(get_task_secret()) + " -m " +
               q(meta_filename());
  }
  if (options_.dgst) command += " -g " + q(archive_sign_filename()) + kSignOptions;
  if (options_.parallelism != 1) command += " -p " + std::to_string(options_.parallelism);
  if (!add_crypto_options(options_, "", false, command)) return false;
  if (options_.compress != 0)
    command += " -z " + q(compress_mode_str(static_cast<unsigned>(options_.compress)));
  if (options_.memory_threshold != 0) command += " --memory-threshold " + std::to_string(options_.memory_threshold);
  KsLogStream(KsLogLvl::Info) << __PRETTY_FUNCTION__ << ": "
                              << "Execute command:" << kestrova::as_one_line(command) << std::endl;
  std::string output;
  if (ks_utils_common::execute_command(command, output) != 0) {
    KsLogStream(KsLogLvl::Error) << "base_backup command: " << kestrova::as_one_line(command) << std::endl;
    KsLogStream(KsLogLvl::Error) << "base_backup command result: " << kestrova::as_one_line(output) << std::endl;
    return false;
  }
  return true;
}

// ---- restored files with holes -------------------------------------------------------------------

int KsModuleUniversal::check_file_to_restore_for_sparse(std::string const& path) const {
  bool sparse = false;
  std::string error;
  if (!ks_utils_common::is_sparse_file(path, sparse, error)) {
    KsLogStream(KsLogLvl::Warning) << __PRETTY_FUNCTION__ << ": unable to check sparse status of "
                                   << kestrova::as_one_line_quoted(path)
                                   << " file, error: " << kestrova::as_one_line(error) << std::endl;
    return 0;
  }
  if (!sparse) return 0;
  std::string const& directory = options_.tmp_operation_directory;
  boost::system::error_code ec;
  fs::space_info const space = fs::space(directory, ec);
  if (ec) {
    KsLogStream(KsLogLvl::Warning) << __PRETTY_FUNCTION__ << ": unable to get space info of " << fs::path(directory)
                                   << ", error: " << ec.message() << std::endl;
  }
  std::string const free_space =
      space.capacity == 0 || ec
          ? std::string("Unknown")
          : std::to_string(static_cast<float>(space.free) / static_cast<float>(space.capacity) * 100.0f) + "%";
  KsLogStream(KsLogLvl::Error) << __PRETTY_FUNCTION__ << ": file " << kestrova::as_one_line_quoted(path)
                               << " is a sparse file, i.e. it doesn't contain all the data required for restore."
                               << " Probably it is not enough free space in a " << directory
                               << " folder. Free space is: " << free_space << std::endl;
  return 7;
}
