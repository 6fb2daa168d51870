// A connected pair of Unix stream sockets for tests that play the other end of a connection.
#pragma once

#include <sys/socket.h>

#include <stdexcept>

#include "runtime/collab/unique_fd.h"

namespace quern::collab::test {

struct SocketPair {
  UniqueFd a;
  UniqueFd b;
};

inline SocketPair socket_pair(int flags = 0) {
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | flags, 0, fds) != 0) throw std::runtime_error("socketpair");
  return SocketPair{UniqueFd(fds[0]), UniqueFd(fds[1])};
}

}  // namespace quern::collab::test
