// A stand-in for the product's file backup tool, for tests only: it accepts
// exactly the command lines the module framework builds, really backs up,
// lists, verifies and restores, and lets a test force faults.
//
// Modes, chosen by the first of these options present:
//   --verify  -n FILE -g SIGNATURE --verify --public-key PEM [-a sha2 -2|-5]
//   -l        -l META [-v N]
//   --add     -a sha2 -2|-5 -b N (-u ARCHIVE | -U NAME -M SERVER -T TASK -s SECRET -m META)
//             --add LIST [-g SIG --passin FILE --sign PEM] [-p N] [-C ALG -k KEY] [-z MODE]
//             [--memory-threshold N]
//   -r / -R   -a sha2 -2|-5 -b N (-r ARCHIVE | -R RECORD -M SERVER -T TASK -s SECRET -m META)
//             -d DIR [-C ALG -k KEY] [-E] [-p N] [-f NAMES] [--set-to-numeric] [-e FLAGS]
//   -c        -a sha2 -2|-5 -b N -c SOURCE [-p N] [-e FLAGS] -x PATHS [--numeric-owner]
//             [-S REFERENCE_META] [-z MODE] [--memory-threshold N]
//             (-n ARCHIVE | -M SERVER -N NAME -T TASK -s SECRET) -m META
//             [-g SIG --passin FILE --sign PEM] [-X LIST] [-C ALG -k KEY]
// Anything else, a repeated option or a stray word ends the run with status 1.
//
// Environment:
//   KSFD_STANDIN_MEDIA_DIR     folder that stands for the media server
//   KSFD_STANDIN_ARGV_LOG      file to which each run appends its argv, one line
//   KSFD_STANDIN_ONLY          comma list of modes (backup, restore, list,
//                              verify, append) the faults below apply to
//   KSFD_STANDIN_EXIT          exit status after a run that succeeded
//   KSFD_STANDIN_PID_TEXT      text after "KSFD PID: " instead of the pid
//   KSFD_STANDIN_NO_PID        print no PID line
//   KSFD_STANDIN_OUTPUT        raw text right after the PID line (\n \r \t \\ \xHH)
//   KSFD_STANDIN_TAIL          raw text written last, before exit
//   KSFD_STANDIN_DELAY_ITEM_MS sleep before each item
//   KSFD_STANDIN_DELAY_EXIT_MS sleep before exit
//   KSFD_STANDIN_RAISE         signal raised just before the results are renamed
//                              into place (or before exit in other modes)
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "backup.h"
#include "options.h"
#include "restore.h"
#include "support.h"

namespace {

bool shell_safe(std::string const& s) {
  if (s.empty()) return false;
  for (char c : s)
    if (!(isalnum(static_cast<unsigned char>(c)) || std::string("_@%+=:,./-").find(c) != std::string::npos)) return false;
  return true;
}

std::string quoted(std::string const& s) {
  if (shell_safe(s)) return s;
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// One line per run, every word in the form a POSIX shell would read back.
void log_argv(int argc, char** argv) {
  char const* path = std::getenv("KSFD_STANDIN_ARGV_LOG");
  if (!path || !*path) return;
  std::string line;
  for (int i = 0; i < argc; ++i) line += (i ? " " : "") + quoted(argv[i]);
  line += "\n";
  int fd = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return;
  ssize_t w = ::write(fd, line.data(), line.size());
  (void)w;
  ::close(fd);
}

// The mode as the parser will decide it, known before parsing so that the
// faults of a test apply even to a command line that is refused.
std::string guess_mode(std::vector<std::string> const& args) {
  auto has = [&](char const* o) {
    for (auto const& a : args)
      if (a == o) return true;
    return false;
  };
  if (has("--verify")) return "verify";
  if (has("-l")) return "list";
  if (has("--add")) return "append";
  if (has("-r") || has("-R")) return "restore";
  return "backup";
}

}  // namespace

int main(int argc, char** argv) {
  ksfd::install_signal_dispositions();
  log_argv(argc, argv);
  std::vector<std::string> args(argv + 1, argv + argc);
  std::string mode = guess_mode(args);
  // The listing and the verification are read whole, not line by line.
  bool pid_line = mode != "list" && mode != "verify";

  int status = 1;
  try {
    ksfd::load_faults(mode);
    ksfd::Faults const& f = ksfd::faults();
    if (pid_line && !f.no_pid)
      ksfd::out_line("KSFD PID: " + (f.has_pid_text ? f.pid_text : std::to_string(getpid())));
    if (!f.output.empty()) ksfd::out_raw(f.output);

    ksfd::Options o = ksfd::parse_options(args);
    switch (o.mode) {
      case ksfd::Mode::Backup: status = ksfd::run_backup(o); break;
      case ksfd::Mode::Restore: status = ksfd::run_restore(o); break;
      case ksfd::Mode::List: status = ksfd::run_list(o); break;
      case ksfd::Mode::Verify: status = ksfd::run_verify(o); break;
      case ksfd::Mode::Append: status = ksfd::run_append(o); break;
    }
    if (status == 0 && f.exit_status >= 0) status = f.exit_status;
  } catch (std::exception const& e) {
    std::fflush(stdout);
    std::fprintf(stderr, "ksfd: error: %s\n", e.what());
    std::fflush(stderr);
    status = 1;
  }
  if (ksfd::faults().delay_exit_ms) ksfd::sleep_ms(ksfd::faults().delay_exit_ms);
  if (!ksfd::faults().tail.empty()) ksfd::out_raw(ksfd::faults().tail);
  return status;
}
