#include "runtime/collab/unix_socket.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <cerrno>
#include <cstring>

namespace quern::collab {
namespace {

Result<sockaddr_un> socket_address(std::string_view path) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.empty()) return fail("the socket path is empty");
  if (path.size() >= sizeof(addr.sun_path)) {
    return fail("the socket path is longer than " + std::to_string(sizeof(addr.sun_path) - 1) + " bytes");
  }
  std::memcpy(addr.sun_path, path.data(), path.size());
  return addr;
}

}  // namespace

std::string os_error_text(int error_number) {
  return std::string(std::strerror(error_number)) + " (os error " + std::to_string(error_number) + ")";
}

Result<UniqueFd> connect_unix_socket(std::string_view path) {
  const sockaddr_un addr = QUERN_TRY(socket_address(path));
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd.valid()) return fail(os_error_text(errno));
  while (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    if (errno == EINTR) continue;
    return fail(os_error_text(errno));
  }
  return fd;
}

Result<UniqueFd> listen_unix_socket(std::string_view path, int backlog) {
  const sockaddr_un addr = QUERN_TRY(socket_address(path));
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd.valid()) return fail(os_error_text(errno));
  if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    if (errno != EADDRINUSE) return fail(os_error_text(errno));
    // A socket file is there: replace it only when nobody answers on it any more.
    struct stat st {};
    const std::string p(path);
    if (::stat(p.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode)) return fail(os_error_text(EADDRINUSE));
    if (connect_unix_socket(path)) return fail("another broker is listening on " + p);
    ::unlink(p.c_str());
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
      return fail(os_error_text(errno));
    }
  }
  if (::listen(fd.get(), backlog) != 0) return fail(os_error_text(errno));
  return fd;
}

Result<void> check_stream_socket(int fd) {
  if (::fcntl(fd, F_GETFD) < 0) return fail("descriptor " + std::to_string(fd) + " is not open");
  int type = 0;
  socklen_t len = sizeof type;
  if (::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len) != 0) {
    return fail("descriptor " + std::to_string(fd) + " is not a socket");
  }
  if (type != SOCK_STREAM) return fail("descriptor " + std::to_string(fd) + " is not a stream socket");
  return {};
}

void set_socket_buffers(int fd, int bytes) {
  ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
  ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
}

Result<void> set_blocking(int fd, bool blocking) {
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0) return fail(os_error_text(errno));
  const int wanted = blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
  if (wanted != flags && ::fcntl(fd, F_SETFL, wanted) != 0) return fail(os_error_text(errno));
  return {};
}

Result<void> set_close_on_exec(int fd, bool close_on_exec) {
  const int flags = ::fcntl(fd, F_GETFD);
  if (flags < 0) return fail(os_error_text(errno));
  const int wanted = close_on_exec ? (flags | FD_CLOEXEC) : (flags & ~FD_CLOEXEC);
  if (wanted != flags && ::fcntl(fd, F_SETFD, wanted) != 0) return fail(os_error_text(errno));
  return {};
}

}  // namespace quern::collab
