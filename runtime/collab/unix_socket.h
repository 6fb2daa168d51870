// Unix stream sockets: connecting to a path, listening on one, and the checks an inherited
// descriptor must pass before it is spoken to. Errors carry the operating system's reason.
#pragma once

#include <string>
#include <string_view>

#include "runtime/collab/unique_fd.h"
#include "runtime/util/error.h"

namespace quern::collab {

// A connected, blocking, close-on-exec stream socket. Fails with the system's reason
// ("No such file or directory (os error 2)") or when the path does not fit a socket address.
Result<UniqueFd> connect_unix_socket(std::string_view path);

// A listening, non-blocking, close-on-exec socket bound to `path`. A stale socket file left at
// the path by a broker that is gone is replaced; a path someone still listens on is an error.
Result<UniqueFd> listen_unix_socket(std::string_view path, int backlog = 128);

// Checks that `fd` is an open stream socket.
Result<void> check_stream_socket(int fd);

Result<void> set_blocking(int fd, bool blocking);
// Asks for send and receive buffers of `bytes` (the system may grant less): a large document
// save then crosses in few system calls.
void set_socket_buffers(int fd, int bytes = 4 << 20);
Result<void> set_close_on_exec(int fd, bool close_on_exec);

// "{strerror} (os error {errno})".
std::string os_error_text(int error_number);

}  // namespace quern::collab
