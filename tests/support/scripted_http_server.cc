#include "tests/support/scripted_http_server.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace quern::test {
namespace {

constexpr std::size_t kMaxHeadBytes = 64 * 1024;
constexpr std::size_t kMaxBodyBytes = 64 * 1024 * 1024;

bool iequals(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

std::string_view reason_phrase(int status) {
  switch (status) {
    case 200: return "OK";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 429: return "Too Many Requests";
    case 500: return "Internal Server Error";
    case 503: return "Service Unavailable";
    case 529: return "Site Overloaded";
    default: return "Status";
  }
}

std::optional<std::string> find_header(const std::vector<std::pair<std::string, std::string>>& headers,
                                       std::string_view name) {
  for (const auto& [k, v] : headers) {
    if (iequals(k, name)) return v;
  }
  return std::nullopt;
}

}  // namespace

ScriptedResponse ScriptedResponse::json(std::string body, int status) {
  ScriptedResponse r;
  r.status = status;
  r.headers.emplace_back("content-type", "application/json");
  r.body = std::move(body);
  return r;
}

ScriptedResponse ScriptedResponse::json_value(const Json& body, int status) { return json(dump_json(body), status); }

ScriptedResponse ScriptedResponse::hang_up_after_request() {
  ScriptedResponse r;
  r.hang_up = true;
  return r;
}

ScriptedResponse ScriptedResponse::with_header(std::string name, std::string value) && {
  headers.emplace_back(std::move(name), std::move(value));
  return std::move(*this);
}

ScriptedResponse ScriptedResponse::after(std::chrono::milliseconds wait) && {
  delay = wait;
  return std::move(*this);
}

std::optional<std::string> RecordedRequest::header(std::string_view name) const { return find_header(headers, name); }

Json RecordedRequest::json() const {
  auto parsed = parse_json(body);
  if (!parsed) {
    ADD_FAILURE() << "the request body is not JSON (" << parsed.error().message() << "): " << body;
    return Json();
  }
  return std::move(*parsed);
}

struct ScriptedHttpServer::State {
  int listen_fd = -1;
  int wake[2] = {-1, -1};  // written on shutdown; every poll watches the read end
  std::uint16_t port = 0;
  std::thread acceptor;

  mutable std::mutex mu;
  mutable std::condition_variable changed;
  bool stopping = false;
  std::deque<ScriptedResponse> script;
  ScriptedResponse fallback = ScriptedResponse::json(
      R"({"error":{"type":"test_script","message":"the test script has no response left"}})", 500);
  std::vector<RecordedRequest> recorded;
  std::vector<std::thread> connections;
  std::vector<int> connection_fds;
  std::size_t accepted = 0;

  // Waits for the fd to be readable; false when the server stops.
  bool wait_readable(int fd) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {wake[0], POLLIN, 0}};
    while (true) {
      const int n = ::poll(fds, 2, -1);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return false;
      if (fds[1].revents != 0) return false;
      return true;
    }
  }

  void accept_loop() {
    while (wait_readable(listen_fd)) {
      const int fd = ::accept(listen_fd, nullptr, nullptr);
      if (fd < 0) continue;
      std::lock_guard lock(mu);
      if (stopping) {
        ::close(fd);
        return;
      }
      const std::size_t number = ++accepted;
      connection_fds.push_back(fd);
      connections.emplace_back([this, fd, number] { serve(fd, number); });
    }
  }

  // Reads until `buffer` holds at least `n` bytes; false on end of stream or shutdown.
  bool fill(int fd, std::string& buffer, std::size_t n) {
    char chunk[16384];
    while (buffer.size() < n) {
      if (!wait_readable(fd)) return false;
      const ssize_t got = ::recv(fd, chunk, sizeof chunk, 0);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) return false;
      buffer.append(chunk, static_cast<std::size_t>(got));
    }
    return true;
  }

  // Reads one request from the connection; nothing at end of stream, shutdown or bad input.
  std::optional<RecordedRequest> read_request(int fd, std::string& buffer) {
    std::size_t head_end;
    while ((head_end = buffer.find("\r\n\r\n")) == std::string::npos) {
      if (buffer.size() > kMaxHeadBytes) return std::nullopt;
      if (!fill(fd, buffer, buffer.size() + 1)) return std::nullopt;
    }
    RecordedRequest r;
    const std::string_view head(buffer.data(), head_end);
    std::size_t line_end = head.find("\r\n");
    const std::string_view request_line = head.substr(0, line_end);
    const auto sp1 = request_line.find(' ');
    const auto sp2 = request_line.rfind(' ');
    if (sp1 == std::string_view::npos || sp2 == sp1) return std::nullopt;
    r.method = std::string(request_line.substr(0, sp1));
    r.path = std::string(request_line.substr(sp1 + 1, sp2 - sp1 - 1));
    r.version = std::string(request_line.substr(sp2 + 1));
    while (line_end != std::string_view::npos) {
      const std::size_t start = line_end + 2;
      line_end = head.find("\r\n", start);
      const std::string_view line =
          head.substr(start, line_end == std::string_view::npos ? head.npos : line_end - start);
      const auto colon = line.find(':');
      if (colon == std::string_view::npos) continue;
      r.headers.emplace_back(std::string(line.substr(0, colon)), std::string(trim(line.substr(colon + 1))));
    }
    buffer.erase(0, head_end + 4);

    const auto encoding = find_header(r.headers, "transfer-encoding");
    if (encoding && iequals(*encoding, "chunked")) {
      while (true) {
        std::size_t size_end;
        while ((size_end = buffer.find("\r\n")) == std::string::npos) {
          if (!fill(fd, buffer, buffer.size() + 1)) return std::nullopt;
        }
        const std::size_t size = std::stoul(buffer.substr(0, size_end), nullptr, 16);
        if (r.body.size() + size > kMaxBodyBytes) return std::nullopt;
        if (!fill(fd, buffer, size_end + 2 + size + 2)) return std::nullopt;
        r.body.append(buffer, size_end + 2, size);
        buffer.erase(0, size_end + 2 + size + 2);
        if (size == 0) break;  // no trailers are expected
      }
    } else if (const auto length = find_header(r.headers, "content-length")) {
      const std::size_t n = std::stoul(*length);
      if (n > kMaxBodyBytes) return std::nullopt;
      if (!fill(fd, buffer, n)) return std::nullopt;
      r.body = buffer.substr(0, n);
      buffer.erase(0, n);
    }
    r.received = std::chrono::steady_clock::now();
    return r;
  }

  static bool send_all(int fd, std::string_view data) {
    while (!data.empty()) {
      const ssize_t sent = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
      if (sent < 0 && errno == EINTR) continue;
      if (sent <= 0) return false;
      data.remove_prefix(static_cast<std::size_t>(sent));
    }
    return true;
  }

  void serve(int fd, std::size_t number) {
    std::string buffer;
    while (true) {
      std::optional<RecordedRequest> request;
      try {
        request = read_request(fd, buffer);
      } catch (const std::exception&) {
        request.reset();  // a size field that does not parse
      }
      if (!request) break;
      request->connection = number;
      const bool client_closes =
          request->version == "HTTP/1.0" || iequals(find_header(request->headers, "connection").value_or(""), "close");
      ScriptedResponse response;
      {
        std::unique_lock lock(mu);
        recorded.push_back(std::move(*request));
        if (!script.empty()) {
          response = std::move(script.front());
          script.pop_front();
        } else {
          response = fallback;
        }
        changed.notify_all();
        if (response.delay.count() > 0) {
          changed.wait_for(lock, response.delay, [this] { return stopping; });
          if (stopping) break;
        }
      }
      if (response.hang_up) break;
      std::string out =
          "HTTP/1.1 " + std::to_string(response.status) + " " + std::string(reason_phrase(response.status)) + "\r\n";
      for (const auto& [k, v] : response.headers) out += k + ": " + v + "\r\n";
      if (!find_header(response.headers, "content-length"))
        out += "content-length: " + std::to_string(response.body.size()) + "\r\n";
      const bool closing = response.close || client_closes;
      if (closing) out += "connection: close\r\n";
      out += "\r\n";
      out += response.body;
      if (!send_all(fd, out) || closing) break;
    }
    ::shutdown(fd, SHUT_RDWR);
  }
};

ScriptedHttpServer::ScriptedHttpServer(std::vector<ScriptedResponse> script) : state_(std::make_shared<State>()) {
  State& s = *state_;
  for (auto& r : script) s.script.push_back(std::move(r));
  if (::pipe(s.wake) != 0) throw std::runtime_error("pipe failed");
  s.listen_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (s.listen_fd < 0) throw std::runtime_error("socket failed");
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  if (::bind(s.listen_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(s.listen_fd, 16) != 0) {
    throw std::runtime_error("bind or listen on 127.0.0.1 failed");
  }
  socklen_t len = sizeof addr;
  ::getsockname(s.listen_fd, reinterpret_cast<sockaddr*>(&addr), &len);
  s.port = ntohs(addr.sin_port);
  s.acceptor = std::thread([&s] { s.accept_loop(); });
}

ScriptedHttpServer::~ScriptedHttpServer() {
  State& s = *state_;
  {
    std::lock_guard lock(s.mu);
    s.stopping = true;
    s.changed.notify_all();
  }
  const char byte = 1;
  [[maybe_unused]] const auto written = ::write(s.wake[1], &byte, 1);
  s.acceptor.join();
  std::vector<std::thread> threads;
  {
    std::lock_guard lock(s.mu);
    threads.swap(s.connections);
  }
  for (auto& t : threads) t.join();
  for (int fd : s.connection_fds) ::close(fd);
  ::close(s.listen_fd);
  ::close(s.wake[0]);
  ::close(s.wake[1]);
}

void ScriptedHttpServer::push(ScriptedResponse response) {
  std::lock_guard lock(state_->mu);
  state_->script.push_back(std::move(response));
}

void ScriptedHttpServer::set_fallback(ScriptedResponse response) {
  std::lock_guard lock(state_->mu);
  state_->fallback = std::move(response);
}

std::uint16_t ScriptedHttpServer::port() const { return state_->port; }

std::string ScriptedHttpServer::url() const { return "http://127.0.0.1:" + std::to_string(state_->port); }

std::vector<RecordedRequest> ScriptedHttpServer::requests() const {
  std::lock_guard lock(state_->mu);
  return state_->recorded;
}

std::size_t ScriptedHttpServer::request_count() const {
  std::lock_guard lock(state_->mu);
  return state_->recorded.size();
}

RecordedRequest ScriptedHttpServer::request(std::size_t i) const {
  std::lock_guard lock(state_->mu);
  if (i >= state_->recorded.size()) {
    ADD_FAILURE() << "request " << i << " was never made; the server got " << state_->recorded.size();
    return {};
  }
  return state_->recorded[i];
}

bool ScriptedHttpServer::wait_for_requests(std::size_t n, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(state_->mu);
  return state_->changed.wait_for(lock, timeout, [&] { return state_->recorded.size() >= n; });
}

std::size_t ScriptedHttpServer::connections_accepted() const {
  std::lock_guard lock(state_->mu);
  return state_->accepted;
}

}  // namespace quern::test
