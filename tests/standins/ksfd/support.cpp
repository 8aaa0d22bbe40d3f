#include "support.h"

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sstream>

namespace ksfd {

namespace {

std::string errno_text() { return std::strerror(errno); }

// Slots read by the signal handler: plain arrays, written only while the
// handled signals are blocked.
constexpr int kTempSlots = 8;
char g_temp_paths[kTempSlots][PATH_MAX];

void block_cleanup_signals(sigset_t& old) {
  sigset_t set;
  sigemptyset(&set);
  for (int s : {SIGTERM, SIGINT, SIGHUP, SIGPIPE}) sigaddset(&set, s);
  sigprocmask(SIG_BLOCK, &set, &old);
}

extern "C" void on_fatal_signal(int sig) {
  for (auto& p : g_temp_paths)
    if (p[0]) unlink(p);
  signal(sig, SIG_DFL);
  raise(sig);
}

// A job-control stop is dropped by the kernel when the process group is
// orphaned, which depends on how the caller was started; stopping with
// SIGSTOP always works and SIGCONT resumes as usual.
extern "C" void on_tstp(int) { kill(getpid(), SIGSTOP); }

Faults g_faults;

}  // namespace

Fd::~Fd() {
  if (fd_ >= 0) ::close(fd_);
}

Fd& Fd::operator=(Fd&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.release();
  }
  return *this;
}

void Fd::close_checked(std::string const& what) {
  int fd = release();
  if (fd >= 0 && ::close(fd) != 0) throw Failure("cannot close " + what + ": " + errno_text());
}

Fd open_or_fail(std::string const& path, int flags, mode_t mode) {
  int fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
  if (fd < 0) throw Failure("cannot open " + path + ": " + errno_text());
  return Fd(fd);
}

size_t read_some(int fd, void* buf, size_t n, std::string const& what) {
  size_t done = 0;
  auto* p = static_cast<char*>(buf);
  while (done < n) {
    ssize_t r = ::read(fd, p + done, n - done);
    if (r < 0) {
      if (errno == EINTR) continue;
      throw Failure("read error on " + what + ": " + errno_text());
    }
    if (r == 0) break;
    done += static_cast<size_t>(r);
  }
  return done;
}

void write_all(int fd, void const* buf, size_t n, std::string const& what) {
  auto const* p = static_cast<char const*>(buf);
  while (n > 0) {
    ssize_t w = ::write(fd, p, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      throw Failure("write error on " + what + ": " + errno_text());
    }
    p += w;
    n -= static_cast<size_t>(w);
  }
}

void pwrite_all(int fd, void const* buf, size_t n, off_t at, std::string const& what) {
  auto const* p = static_cast<char const*>(buf);
  while (n > 0) {
    ssize_t w = ::pwrite(fd, p, n, at);
    if (w < 0) {
      if (errno == EINTR) continue;
      throw Failure("write error on " + what + ": " + errno_text());
    }
    p += w;
    at += w;
    n -= static_cast<size_t>(w);
  }
}

std::string read_whole_file(std::string const& path) {
  Fd fd = open_or_fail(path, O_RDONLY);
  std::string data;
  char buf[65536];
  for (;;) {
    size_t n = read_some(fd.get(), buf, sizeof buf, path);
    data.append(buf, n);
    if (n < sizeof buf) break;
  }
  return data;
}

std::string first_line_of(std::string const& path) {
  std::string data = read_whole_file(path);
  return data.substr(0, data.find('\n'));
}

std::string escape(std::string const& raw) {
  static char const hex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : raw) {
    if (c > ' ' && c < 0x7f && c != '%') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out;
}

namespace {
int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}
}  // namespace

std::string unescape(std::string const& escaped) {
  std::string out;
  for (size_t i = 0; i < escaped.size(); ++i) {
    if (escaped[i] != '%') {
      out += escaped[i];
      continue;
    }
    int hi = i + 2 < escaped.size() ? hex_value(escaped[i + 1]) : -1;
    int lo = hi >= 0 ? hex_value(escaped[i + 2]) : -1;
    if (lo < 0) throw Failure("bad escape in name: " + escaped);
    out += static_cast<char>(hi * 16 + lo);
    i += 2;
  }
  return out;
}

std::string c_unescape(std::string const& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      out += text[i];
      continue;
    }
    char c = text[++i];
    switch (c) {
      case 'n': out += '\n'; break;
      case 'r': out += '\r'; break;
      case 't': out += '\t'; break;
      case '\\': out += '\\'; break;
      case 'x': {
        int hi = i + 1 < text.size() ? hex_value(text[i + 1]) : -1;
        int lo = hi >= 0 && i + 2 < text.size() ? hex_value(text[i + 2]) : -1;
        if (lo < 0) {
          out += "\\x";
        } else {
          out += static_cast<char>(hi * 16 + lo);
          i += 2;
        }
        break;
      }
      default: out += '\\'; out += c;
    }
  }
  return out;
}

bool parse_uint(std::string const& text, uint64_t& value) {
  if (text.empty() || text.size() > 19) return false;
  uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  value = v;
  return true;
}

std::string absolute_path(std::string const& path) {
  if (!path.empty() && path[0] == '/') return path;
  char buf[PATH_MAX];
  if (!getcwd(buf, sizeof buf)) throw Failure("cannot get the working directory: " + errno_text());
  return std::string(buf) + "/" + path;
}

std::string dirname_of(std::string const& path) {
  auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string basename_of(std::string const& path) {
  std::string p = path;
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  auto slash = p.find_last_of('/');
  return slash == std::string::npos ? p : p.substr(slash + 1);
}

bool exists(std::string const& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

void rename_or_fail(std::string const& from, std::string const& to) {
  if (::rename(from.c_str(), to.c_str()) != 0)
    throw Failure("cannot rename " + from + " to " + to + ": " + errno_text());
}

void out_line(std::string const& line) { out_raw(line + "\n"); }

void out_raw(std::string const& text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

void install_signal_dispositions() {
  // Whatever the caller ignored or blocked, this process must stop, resume
  // and end on the usual signals.
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  for (int s : {SIGCONT, SIGTTIN, SIGTTOU, SIGQUIT}) signal(s, SIG_DFL);

  struct sigaction sa;
  std::memset(&sa, 0, sizeof sa);
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  sa.sa_handler = on_tstp;
  sigaction(SIGTSTP, &sa, nullptr);

  sa.sa_handler = on_fatal_signal;
  for (int s : {SIGTERM, SIGINT, SIGHUP, SIGPIPE}) sigaddset(&sa.sa_mask, s);
  for (int s : {SIGTERM, SIGINT, SIGHUP, SIGPIPE}) sigaction(s, &sa, nullptr);
}

void register_temp(std::string const& path) {
  if (path.size() >= PATH_MAX) throw Failure("path too long: " + path);
  sigset_t old;
  block_cleanup_signals(old);
  bool placed = false;
  for (auto& p : g_temp_paths) {
    if (!p[0]) {
      std::memcpy(p, path.c_str(), path.size() + 1);
      placed = true;
      break;
    }
  }
  sigprocmask(SIG_SETMASK, &old, nullptr);
  if (!placed) throw Failure("too many temporary files");
}

void unregister_temp(std::string const& path) {
  sigset_t old;
  block_cleanup_signals(old);
  for (auto& p : g_temp_paths)
    if (p[0] && path == p) p[0] = '\0';
  sigprocmask(SIG_SETMASK, &old, nullptr);
}

std::string temp_name_for(std::string const& final_path) {
  return dirname_of(final_path) + "/." + basename_of(final_path) + ".part-" + std::to_string(getpid());
}

Faults const& faults() { return g_faults; }

namespace {
char const* env(char const* name) {
  char const* v = std::getenv(name);
  return v && *v ? v : nullptr;
}
unsigned env_uint(char const* name) {
  uint64_t v = 0;
  if (char const* t = env(name)) {
    if (!parse_uint(t, v) || v > 3600000) throw Failure(std::string("bad value of ") + name + ": " + t);
  }
  return static_cast<unsigned>(v);
}
}  // namespace

void load_faults(std::string const& mode) {
  Faults f;
  f.active = true;
  if (char const* only = env("KSFD_STANDIN_ONLY")) {
    std::string list = std::string(",") + only + ",";
    f.active = list.find("," + mode + ",") != std::string::npos;
  }
  if (f.active) {
    if (char const* v = env("KSFD_STANDIN_EXIT")) {
      uint64_t code = 0;
      if (!parse_uint(v, code) || code > 255) throw Failure(std::string("bad value of KSFD_STANDIN_EXIT: ") + v);
      f.exit_status = static_cast<int>(code);
    }
    if (char const* v = std::getenv("KSFD_STANDIN_PID_TEXT")) {
      f.has_pid_text = true;
      f.pid_text = c_unescape(v);
    }
    f.no_pid = env("KSFD_STANDIN_NO_PID") != nullptr;
    if (char const* v = env("KSFD_STANDIN_OUTPUT")) f.output = c_unescape(v);
    if (char const* v = env("KSFD_STANDIN_TAIL")) f.tail = c_unescape(v);
    f.delay_item_ms = env_uint("KSFD_STANDIN_DELAY_ITEM_MS");
    f.delay_exit_ms = env_uint("KSFD_STANDIN_DELAY_EXIT_MS");
    unsigned sig = env_uint("KSFD_STANDIN_RAISE");
    if (sig >= 65) throw Failure("bad value of KSFD_STANDIN_RAISE");
    f.raise_signal = static_cast<int>(sig);
  }
  g_faults = f;
}

void sleep_ms(unsigned ms) {
  struct timespec left;
  left.tv_sec = ms / 1000;
  left.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

}  // namespace ksfd
