// Runs real processes for integration tests: the agent, the broker, scripted peers.
// `run_process` waits for the child and captures its output; `Child` keeps it running and lets
// the test read its output as it comes, write to its standard input, and stop it.
#pragma once

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <sys/types.h>

namespace quern::test {

// Absolute path of a program built by this repository (in the build's bin directory).
std::string built_program(const std::string& name);
// Absolute path of a file under tests/data.
std::string test_data(const std::string& relative);

struct ProcessOptions {
  std::map<std::string, std::string> env;  // added to (or replacing in) the parent's environment
  std::vector<std::string> unset_env;
  std::optional<std::string> stdin_text;
  std::chrono::milliseconds timeout{30000};  // the child is killed past it
};

struct ProcessResult {
  int status = -1;  // exit status, or 128 + signal
  bool timed_out = false;
  std::string out;
  std::string err;
  std::chrono::milliseconds elapsed{0};
};

ProcessResult run_process(const std::vector<std::string>& argv, const ProcessOptions& options = {});

class Child {
 public:
  static Child spawn(const std::vector<std::string>& argv, const ProcessOptions& options = {});
  Child(Child&& other) noexcept;
  Child& operator=(Child&& other) noexcept;
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  ~Child();  // kills the child if it still runs

  pid_t pid() const { return pid_; }
  // Waits until the text captured so far on stdout (or stderr) contains `needle`, reading as
  // it arrives; false when the child exits or the timeout passes first.
  bool wait_for_stdout(const std::string& needle, std::chrono::milliseconds timeout);
  bool wait_for_stderr(const std::string& needle, std::chrono::milliseconds timeout);
  void write_stdin(const std::string& text);
  void close_stdin();
  // Sends a signal (SIGTERM by default) and waits for the exit; returns the status.
  int stop(int signal = 15, std::chrono::milliseconds timeout = std::chrono::milliseconds(10000));
  // Waits for the child to exit by itself; nothing on timeout (the child keeps running).
  std::optional<int> wait(std::chrono::milliseconds timeout);

  const std::string& out() {
    pump(std::chrono::milliseconds(0));
    return out_;
  }
  const std::string& err() {
    pump(std::chrono::milliseconds(0));
    return err_;
  }

 private:
  Child() = default;
  void pump(std::chrono::milliseconds timeout);  // reads what is available, up to timeout
  bool wait_for(const std::string& needle, std::chrono::milliseconds timeout, bool from_stdout);

  pid_t pid_ = -1;
  int in_fd_ = -1;
  int out_fd_ = -1;
  int err_fd_ = -1;
  std::optional<int> status_;
  std::string out_;
  std::string err_;
};

}  // namespace quern::test
