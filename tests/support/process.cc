#include "tests/support/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <utility>

extern char** environ;

namespace quern::test {
namespace {

using Clock = std::chrono::steady_clock;

int decode_status(int raw) {
  if (WIFEXITED(raw)) return WEXITSTATUS(raw);
  if (WIFSIGNALED(raw)) return 128 + WTERMSIG(raw);
  return -1;
}

std::vector<std::string> build_env(const ProcessOptions& options) {
  std::map<std::string, std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string entry(*e);
    const auto eq = entry.find('=');
    if (eq == std::string::npos) continue;
    env[entry.substr(0, eq)] = entry.substr(eq + 1);
  }
  for (const auto& name : options.unset_env) env.erase(name);
  for (const auto& [k, v] : options.env) env[k] = v;
  std::vector<std::string> out;
  for (const auto& [k, v] : env) out.push_back(k + "=" + v);
  return out;
}

void set_nonblocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

// Reads what is available on `fd` into `out`; false once the fd reached end of file.
bool drain(int fd, std::string& out) {
  char buf[65536];
  while (true) {
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n > 0) {
      out.append(buf, static_cast<size_t>(n));
      continue;
    }
    if (n == 0) return false;
    if (errno == EINTR) continue;
    return true;  // EAGAIN
  }
}

}  // namespace

std::string built_program(const std::string& name) { return std::string(QUERN_BIN_DIR) + "/" + name; }

std::string test_data(const std::string& relative) { return std::string(QUERN_TEST_DATA_DIR) + "/" + relative; }

Child Child::spawn(const std::vector<std::string>& argv, const ProcessOptions& options) {
  int in_pipe[2], out_pipe[2], err_pipe[2];
  if (pipe2(in_pipe, O_CLOEXEC) != 0 || pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe failed");
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in_pipe[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err_pipe[1], 2);

  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const auto env_strings = build_env(options);
  std::vector<char*> env;
  for (const auto& e : env_strings) env.push_back(const_cast<char*>(e.c_str()));
  env.push_back(nullptr);

  Child child;
  const int rc = posix_spawn(&child.pid_, args[0], &actions, nullptr, args.data(), env.data());
  posix_spawn_file_actions_destroy(&actions);
  close(in_pipe[0]);
  close(out_pipe[1]);
  close(err_pipe[1]);
  if (rc != 0) {
    close(in_pipe[1]);
    close(out_pipe[0]);
    close(err_pipe[0]);
    throw std::runtime_error("cannot start " + argv.at(0) + ": " + std::strerror(rc));
  }
  child.in_fd_ = in_pipe[1];
  child.out_fd_ = out_pipe[0];
  child.err_fd_ = err_pipe[0];
  set_nonblocking(child.out_fd_);
  set_nonblocking(child.err_fd_);
  if (options.stdin_text) {
    child.write_stdin(*options.stdin_text);
    child.close_stdin();
  }
  return child;
}

Child::Child(Child&& other) noexcept { *this = std::move(other); }

Child& Child::operator=(Child&& other) noexcept {
  if (this != &other) {
    pid_ = std::exchange(other.pid_, -1);
    in_fd_ = std::exchange(other.in_fd_, -1);
    out_fd_ = std::exchange(other.out_fd_, -1);
    err_fd_ = std::exchange(other.err_fd_, -1);
    status_ = std::exchange(other.status_, std::nullopt);
    out_ = std::move(other.out_);
    err_ = std::move(other.err_);
  }
  return *this;
}

Child::~Child() {
  if (pid_ > 0 && !status_) stop(SIGKILL, std::chrono::milliseconds(5000));
  for (int fd : {in_fd_, out_fd_, err_fd_}) {
    if (fd >= 0) close(fd);
  }
}

void Child::pump(std::chrono::milliseconds timeout) {
  pollfd fds[2];
  nfds_t n = 0;
  if (out_fd_ >= 0) fds[n++] = {out_fd_, POLLIN, 0};
  if (err_fd_ >= 0) fds[n++] = {err_fd_, POLLIN, 0};
  if (n == 0) return;
  if (poll(fds, n, static_cast<int>(timeout.count())) <= 0) return;
  if (out_fd_ >= 0 && !drain(out_fd_, out_)) {
    close(out_fd_);
    out_fd_ = -1;
  }
  if (err_fd_ >= 0 && !drain(err_fd_, err_)) {
    close(err_fd_);
    err_fd_ = -1;
  }
}

bool Child::wait_for(const std::string& needle, std::chrono::milliseconds timeout, bool from_stdout) {
  const auto deadline = Clock::now() + timeout;
  while (true) {
    const std::string& text = from_stdout ? out_ : err_;
    if (text.find(needle) != std::string::npos) return true;
    const auto now = Clock::now();
    if (now >= deadline) return false;
    if (out_fd_ < 0 && err_fd_ < 0) return false;
    pump(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now) + std::chrono::milliseconds(1));
  }
}

bool Child::wait_for_stdout(const std::string& needle, std::chrono::milliseconds timeout) {
  return wait_for(needle, timeout, true);
}

bool Child::wait_for_stderr(const std::string& needle, std::chrono::milliseconds timeout) {
  return wait_for(needle, timeout, false);
}

void Child::write_stdin(const std::string& text) {
  size_t done = 0;
  while (in_fd_ >= 0 && done < text.size()) {
    const ssize_t n = write(in_fd_, text.data() + done, text.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    done += static_cast<size_t>(n);
  }
}

void Child::close_stdin() {
  if (in_fd_ >= 0) close(in_fd_);
  in_fd_ = -1;
}

std::optional<int> Child::wait(std::chrono::milliseconds timeout) {
  if (status_) return status_;
  const auto deadline = Clock::now() + timeout;
  while (true) {
    int raw = 0;
    const pid_t r = waitpid(pid_, &raw, WNOHANG);
    if (r == pid_) {
      status_ = decode_status(raw);
      // Collect what is left in the pipes.
      while (out_fd_ >= 0 || err_fd_ >= 0) pump(std::chrono::milliseconds(100));
      return status_;
    }
    if (Clock::now() >= deadline) return std::nullopt;
    pump(std::chrono::milliseconds(10));
  }
}

int Child::stop(int signal, std::chrono::milliseconds timeout) {
  if (status_) return *status_;
  kill(pid_, signal);
  if (auto s = wait(timeout)) return *s;
  kill(pid_, SIGKILL);
  return wait(std::chrono::milliseconds(5000)).value_or(-1);
}

ProcessResult run_process(const std::vector<std::string>& argv, const ProcessOptions& options) {
  const auto start = Clock::now();
  Child child = Child::spawn(argv, options);
  ProcessResult result;
  if (auto status = child.wait(options.timeout)) {
    result.status = *status;
  } else {
    result.timed_out = true;
    result.status = child.stop(SIGKILL);
  }
  result.out = child.out();
  result.err = child.err();
  result.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
  return result;
}

}  // namespace quern::test
