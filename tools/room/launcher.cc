#include "tools/room/launcher.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "runtime/collab/collaboration_manager.h"
#include "runtime/collab/unix_socket.h"

extern char** environ;

namespace quern::room {
namespace {

volatile sig_atomic_t g_child = 0;

void pass_on(int signal) {
  if (g_child > 0) ::kill(g_child, signal);
}

}  // namespace

Result<int> launch(const std::string& socket, const std::vector<std::string>& program) {
  if (program.empty()) return fail("nothing to launch: name a program after --");
  collab::UniqueFd fd = QUERN_TRY_CTX(collab::connect_unix_socket(socket), "connect to the broker at " + socket);
  QUERN_TRY(collab::set_close_on_exec(fd.get(), false));
  const std::string variable(collab::kInheritedDescriptorVariable);
  ::setenv(variable.c_str(), std::to_string(fd.get()).c_str(), 1);

  std::vector<char*> argv;
  for (const auto& a : program) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  struct sigaction sa {};
  sa.sa_handler = pass_on;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);

  pid_t pid = -1;
  const int rc = ::posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ);
  ::unsetenv(variable.c_str());
  fd.reset();  // the program holds the connection now
  if (rc != 0) return fail("cannot start " + program[0] + ": " + collab::os_error_text(rc));
  g_child = pid;

  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return fail("waiting for " + program[0] + ": " + collab::os_error_text(errno));
  }
  g_child = 0;
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return 1;
}

}  // namespace quern::room
