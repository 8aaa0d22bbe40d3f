// Small pieces every mode of the stand-in file backup tool shares: failures,
// file descriptors, whole reads and writes, name escaping, output lines,
// temporary files that a signal removes, and the test-controlled faults.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace ksfd {

// Any failure of a run: printed as "ksfd: error: " + what(), exit status 1.
struct Failure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Owns one file descriptor.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd();
  Fd(Fd const&) = delete;
  Fd& operator=(Fd const&) = delete;
  Fd(Fd&& other) noexcept : fd_(other.release()) {}
  Fd& operator=(Fd&& other) noexcept;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release() { int fd = fd_; fd_ = -1; return fd; }
  // Closes and reports a failing close (a lost delayed write) as a Failure.
  void close_checked(std::string const& what);

 private:
  int fd_ = -1;
};

Fd open_or_fail(std::string const& path, int flags, mode_t mode = 0666);
// Reads up to n bytes, retrying short reads; fewer only at end of file.
size_t read_some(int fd, void* buf, size_t n, std::string const& what);
void write_all(int fd, void const* buf, size_t n, std::string const& what);
void pwrite_all(int fd, void const* buf, size_t n, off_t at, std::string const& what);
std::string read_whole_file(std::string const& path);
std::string first_line_of(std::string const& path);

// Byte-safe names in text records: every byte outside '!'..'~' and '%' itself
// becomes %XX, so a name is one blank-free token.
std::string escape(std::string const& raw);
std::string unescape(std::string const& escaped);  // throws Failure on a bad %XX
// Backslash escapes of the test-controlled output texts: \n \r \t \\ \xHH.
std::string c_unescape(std::string const& text);

bool parse_uint(std::string const& text, uint64_t& value);
std::string absolute_path(std::string const& path);
std::string dirname_of(std::string const& path);
std::string basename_of(std::string const& path);
bool exists(std::string const& path);
void rename_or_fail(std::string const& from, std::string const& to);

// Output to the framework, each line flushed at once.
void out_line(std::string const& line);
void out_raw(std::string const& text);

// Temporary files are removed when SIGTERM, SIGINT, SIGHUP or SIGPIPE ends
// the run, so that nothing half-written stays behind; SIGKILL leaves them, but
// under a name that never looks like a finished file.
void install_signal_dispositions();
void register_temp(std::string const& path);
void unregister_temp(std::string const& path);
std::string temp_name_for(std::string const& final_path);

// Faults a test asks for through the environment (see ksfd.cpp).
struct Faults {
  bool active = false;  // false when KSFD_STANDIN_ONLY excludes this mode
  int exit_status = -1;
  bool has_pid_text = false;
  std::string pid_text;
  bool no_pid = false;
  std::string output;
  std::string tail;
  unsigned delay_item_ms = 0;
  unsigned delay_exit_ms = 0;
  int raise_signal = 0;
};
Faults const& faults();
void load_faults(std::string const& mode);
void sleep_ms(unsigned ms);  // resumes after interruptions until the time is spent

}  // namespace ksfd
