#include "e2e/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

namespace kstest::e2e {

bool ProcessResult::has_line(std::string const& line) const {
  for (auto const& l : out_lines)
    if (l == line) return true;
  return false;
}

std::string const* ProcessResult::line_starting(std::string const& prefix) const {
  for (auto const& l : out_lines)
    if (l.rfind(prefix, 0) == 0) return &l;
  return nullptr;
}

ChildProcess::ChildProcess(std::vector<std::string> const& argv, std::map<std::string, std::string> const& env) {
  if (argv.empty()) throw std::invalid_argument("ChildProcess: empty argv");
  // Everything the child needs is made before fork: after it only
  // async-signal-safe calls are allowed.
  std::vector<std::string> args = argv;
  std::vector<std::string> vars;
  for (auto const& [k, v] : env) vars.push_back(k + "=" + v);
  std::vector<char*> c_args, c_vars;
  for (auto& a : args) c_args.push_back(a.data());
  c_args.push_back(nullptr);
  for (auto& v : vars) c_vars.push_back(v.data());
  c_vars.push_back(nullptr);

  int out[2], err[2];
  if (::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("ChildProcess: pipe failed");
  if (::pipe2(err, O_CLOEXEC) != 0) {
    ::close(out[0]);
    ::close(out[1]);
    throw std::runtime_error("ChildProcess: pipe failed");
  }
  int const null = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  pid_ = ::fork();
  if (pid_ == 0) {
    ::setpgid(0, 0);
    ::dup2(null, 0);
    ::dup2(out[1], 1);
    ::dup2(err[1], 2);
    ::execve(c_args[0], c_args.data(), c_vars.data());
    ::_exit(127);
  }
  ::close(out[1]);
  ::close(err[1]);
  if (null >= 0) ::close(null);
  if (pid_ < 0) {
    ::close(out[0]);
    ::close(err[0]);
    throw std::runtime_error("ChildProcess: fork failed");
  }
  ::setpgid(pid_, pid_);  // also here, so a kill of the group cannot come before the child's own call
  out_fd_ = out[0];
  err_fd_ = err[0];
  reader_ = std::thread([this] { read_output(); });
}

ChildProcess::~ChildProcess() {
  if (!reaped_ && pid_ > 0) {
    ::kill(-pid_, SIGKILL);
    int st;
    while (::waitpid(pid_, &st, 0) < 0 && errno == EINTR) {
    }
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_reading_ = true;
  }
  if (reader_.joinable()) reader_.join();
  if (out_fd_ >= 0) ::close(out_fd_);
  if (err_fd_ >= 0) ::close(err_fd_);
}

void ChildProcess::read_output() {
  bool out_open = true, err_open = true;
  while (out_open || err_open) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stop_reading_) break;
    }
    pollfd p[2] = {{out_open ? out_fd_ : -1, POLLIN, 0}, {err_open ? err_fd_ : -1, POLLIN, 0}};
    int const r = ::poll(p, 2, 100);
    if (r < 0 && errno != EINTR) break;
    if (r <= 0) continue;
    char buf[65536];
    if (p[0].revents) {
      ssize_t const n = ::read(out_fd_, buf, sizeof buf);
      std::lock_guard<std::mutex> lock(mutex_);
      if (n > 0) {
        out_.append(buf, static_cast<size_t>(n));
        partial_.append(buf, static_cast<size_t>(n));
        for (size_t nl; (nl = partial_.find('\n')) != std::string::npos;) {
          lines_.push_back(partial_.substr(0, nl));
          partial_.erase(0, nl + 1);
        }
      } else if (n == 0 || errno != EINTR) {
        out_open = false;
      }
      changed_.notify_all();
    }
    if (p[1].revents) {
      ssize_t const n = ::read(err_fd_, buf, sizeof buf);
      std::lock_guard<std::mutex> lock(mutex_);
      if (n > 0) err_.append(buf, static_cast<size_t>(n));
      else if (n == 0 || errno != EINTR) err_open = false;
    }
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (!partial_.empty()) lines_.push_back(partial_);
  partial_.clear();
  out_ended_ = true;
  changed_.notify_all();
}

bool ChildProcess::wait_for_line(std::function<bool(std::string const&)> const& match,
                                 std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  size_t seen = 0;
  auto const deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    for (; seen < lines_.size(); ++seen)
      if (match(lines_[seen])) return true;
    if (out_ended_) return false;
    if (changed_.wait_until(lock, deadline) == std::cv_status::timeout) {
      for (; seen < lines_.size(); ++seen)
        if (match(lines_[seen])) return true;
      return false;
    }
  }
}

bool ChildProcess::wait_for_line_starting(std::string const& prefix, std::chrono::milliseconds timeout) {
  return wait_for_line([&](std::string const& l) { return l.rfind(prefix, 0) == 0; }, timeout);
}

std::vector<std::string> ChildProcess::lines_so_far() {
  std::lock_guard<std::mutex> lock(mutex_);
  return lines_;
}

void ChildProcess::send_signal(int signal) {
  if (!reaped_ && pid_ > 0) ::kill(pid_, signal);
}

ProcessResult ChildProcess::wait(std::chrono::seconds limit) {
  ProcessResult r;
  if (reaped_) throw std::logic_error("ChildProcess::wait called twice");
  auto const deadline = std::chrono::steady_clock::now() + limit;
  int st = 0;
  for (;;) {
    pid_t const got = ::waitpid(pid_, &st, WNOHANG);
    if (got == pid_) break;
    if (got < 0 && errno != EINTR) throw std::runtime_error("ChildProcess: waitpid failed");
    if (std::chrono::steady_clock::now() >= deadline) {
      r.timed_out = true;
      ::kill(-pid_, SIGKILL);
      while (::waitpid(pid_, &st, 0) < 0 && errno == EINTR) {
      }
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  reaped_ = true;
  if (WIFEXITED(st)) r.status = WEXITSTATUS(st);
  else if (WIFSIGNALED(st)) r.status = 128 + WTERMSIG(st);

  // A process the program left behind may still hold the pipes: give it a
  // moment, then end the whole group.
  {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!changed_.wait_for(lock, std::chrono::seconds(5), [this] { return out_ended_; })) {
      lock.unlock();
      ::kill(-pid_, SIGKILL);
      lock.lock();
      changed_.wait_for(lock, std::chrono::seconds(5), [this] { return out_ended_; });
    }
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_reading_ = true;
  }
  if (reader_.joinable()) reader_.join();
  std::lock_guard<std::mutex> lock(mutex_);
  r.out_lines = lines_;
  r.out = out_;
  r.err = err_;
  return r;
}

}  // namespace kstest::e2e
