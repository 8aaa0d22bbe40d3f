// A test program that needs the sandbox refuses to start outside it: the first
// log message of a process writes /opt/kestrova/etc/ks_logger.config and many
// tests write under /opt/kestrova, so a test program run by hand as root
// would change the machine's real one. tests/CMakeLists.txt links this file
// into every program that links ks_test_common (all but the PURE ones).
#include <errno.h>  // errno, program_invocation_name
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// The fields of a /proc/self/mountinfo line that identify a mount:
// "ID PARENT MAJ:MIN ROOT MOUNT-POINT OPTIONS [OPTIONAL...] - TYPE SOURCE ...".
struct MountLine {
  std::string device, mount_point, type, source;
};

bool parse_mount_line(std::string const& line, MountLine& m) {
  char device[64], point[4096];
  if (std::sscanf(line.c_str(), "%*s %*s %63s %*s %4095s", device, point) != 2) return false;
  size_t const dash = line.find(" - ");
  if (dash == std::string::npos) return false;
  char type[256], source[4096];
  if (std::sscanf(line.c_str() + dash + 3, "%255s %4095s", type, source) != 2) return false;
  m = MountLine{device, point, type, source};
  return true;
}

// Empty when this process runs inside the test sandbox, else why not.
std::string sandbox_problem() {
  char const* marker = std::getenv("KS_SANDBOX");
  if (marker == nullptr || std::strcmp(marker, "1") != 0) return "KS_SANDBOX=1 is not set";

  struct stat st;
  if (::stat("/opt/kestrova", &st) != 0) return std::string("/opt/kestrova: ") + std::strerror(errno);
  std::string const device = std::to_string(major(st.st_dev)) + ":" + std::to_string(minor(st.st_dev));

  FILE* f = std::fopen("/proc/self/mountinfo", "re");
  if (f == nullptr) return std::string("/proc/self/mountinfo: ") + std::strerror(errno);
  // The sandbox's own tmpfs on /opt, and /opt/kestrova on it rather than on
  // something mounted over it.
  bool found = false;
  char* buffer = nullptr;
  size_t size = 0;
  while (::getline(&buffer, &size, f) >= 0) {
    MountLine m;
    if (parse_mount_line(buffer, m) && m.mount_point == "/opt" && m.type == "tmpfs" && m.source == "ks-opt" &&
        m.device == device)
      found = true;
  }
  std::free(buffer);
  std::fclose(f);
  return found ? std::string() : "/opt/kestrova is not on the sandbox's private tmpfs";
}

// Priority 101 runs this before the ordinary static initialisers of the
// program, so no test file's global can log first.
__attribute__((constructor(101))) void refuse_to_run_outside_the_sandbox() {
  std::string const problem = sandbox_problem();
  if (problem.empty()) return;
  std::fprintf(stderr,
               "%s: refusing to run outside the test sandbox (%s).\n"
               "Test programs write under /opt/kestrova and must not touch the machine's own. Run them through\n"
               "ctest (as root), which starts each one in tests/sandbox/ks-sandbox; `ctest -R NAME -V` shows the\n"
               "full command line, with the files the sandbox puts in place.\n",
               program_invocation_name, problem.c_str());
  std::_Exit(2);
}

}  // namespace
