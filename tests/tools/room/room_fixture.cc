#include "tests/tools/room/room_fixture.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include "runtime/collab/codec.h"
#include "runtime/collab/unix_socket.h"

namespace quern::room::test {

BrokerProcess::BrokerProcess(std::vector<std::string> extra_args) : socket_(dir_.file("room.sock")) {
  std::vector<std::string> argv{quern::test::built_program("quern-room"), "serve", "--socket", socket_};
  argv.insert(argv.end(), extra_args.begin(), extra_args.end());
  child_.emplace(quern::test::Child::spawn(argv));
  if (!child_->wait_for_stdout("listening on", 5s)) ADD_FAILURE() << "the broker did not start: " << child_->err();
}

Member Member::join(const std::string& socket, const std::string& name, const std::string& kind,
                    const collab::Route& route) {
  auto fd = collab::connect_unix_socket(socket);
  EXPECT_TRUE(fd) << fd.error().to_string();
  const Uuid room = Uuid::parse(route.room).value_or(Uuid());
  auto client = collab::CollaborationManager::for_route_from(collab::ConnectedSocket{std::move(*fd)}, route.app, room,
                                                             route.record, name, kind);
  EXPECT_TRUE(client) << client.error().to_string();
  Member m(std::move(*client));
  EXPECT_TRUE(m.client().join_route(room));
  m.expect<collab::Joined>();
  if (kind == "agent") m.expect<collab::CatalogueUpdate>();
  return m;
}

bool Member::pump(std::chrono::milliseconds timeout) {
  client_.wait(timeout);
  auto batch = client_.poll();
  if (!batch) {
    ADD_FAILURE() << identity().name << " lost its connection: " << batch.error().to_string();
    return false;
  }
  for (auto& e : *batch) backlog_.push_back(std::move(e));
  return true;
}

std::optional<collab::CollabEvent> Member::next_matching(const std::function<bool(const collab::CollabEvent&)>& match,
                                                         std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (true) {
    for (auto it = backlog_.begin(); it != backlog_.end(); ++it) {
      if (match(*it)) {
        collab::CollabEvent e = std::move(*it);
        backlog_.erase(it);
        return e;
      }
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      ADD_FAILURE() << identity().name << " did not receive the frame it waited for";
      return std::nullopt;
    }
    if (!pump(20ms)) return std::nullopt;
  }
}

std::vector<collab::CollabEvent> Member::until(const std::function<bool(const collab::CollabEvent&)>& fence,
                                               std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::vector<collab::CollabEvent> before;
  while (true) {
    while (!backlog_.empty()) {
      collab::CollabEvent e = std::move(backlog_.front());
      backlog_.pop_front();
      if (fence(e)) return before;
      before.push_back(std::move(e));
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      ADD_FAILURE() << identity().name << " never saw the fence";
      return before;
    }
    if (!pump(20ms)) return before;
  }
}

std::vector<collab::CollabEvent> Member::drain() {
  pump(0ms);
  std::vector<collab::CollabEvent> out(std::make_move_iterator(backlog_.begin()),
                                       std::make_move_iterator(backlog_.end()));
  backlog_.clear();
  return out;
}

collab::InvocationAnnounced fence_frame(const std::string& marker) {
  collab::InvocationAnnounced a;
  a.invocation.invocation_id = marker;
  return a;
}

std::function<bool(const collab::CollabEvent&)> is_fence(const std::string& marker) {
  return [marker](const collab::CollabEvent& e) {
    const auto* a = e.get<collab::InvocationAnnounced>();
    return a != nullptr && a->invocation.invocation_id == marker;
  };
}

RawClient::RawClient(const std::string& socket) {
  auto fd = collab::connect_unix_socket(socket);
  EXPECT_TRUE(fd) << fd.error().to_string();
  if (fd) fd_ = std::move(*fd);
}

collab::Message RawClient::hello(const collab::Hello& hello) {
  send(collab::Delivery{collab::Sender{0, hello.name, hello.kind, hello.route}, std::nullopt, hello});
  return next();
}

collab::Message RawClient::next() {
  while (pending_.empty()) {
    auto status = reader_.read_from(fd_.get(), pending_);
    if (!status || *status == collab::ReadStatus::Closed) {
      ADD_FAILURE() << "the broker closed the connection instead of answering";
      return collab::Refused{"closed"};
    }
  }
  auto d = collab::decode(pending_.front());
  pending_.erase(pending_.begin());
  EXPECT_TRUE(d);
  return d ? d->body : collab::Message(collab::Refused{"undecodable"});
}

void RawClient::join(const std::string& room) {
  send(collab::Delivery{collab::Sender{}, std::nullopt, collab::Join{room}});
}

void RawClient::send(const collab::Delivery& d) {
  auto w = collab::write_frame(fd_.get(), collab::encode(d));
  EXPECT_TRUE(w) << w.error().to_string();
}

void RawClient::write(const std::string& bytes) {
  EXPECT_EQ(::write(fd_.get(), bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

bool RawClient::closed_by_broker(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  char buf[65536];
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd p{fd_.get(), POLLIN, 0};
    if (::poll(&p, 1, 20) <= 0) continue;
    const ssize_t n = ::read(fd_.get(), buf, sizeof buf);
    if (n == 0) return true;
    if (n < 0 && errno != EINTR && errno != EAGAIN) return true;  // reset by the broker
  }
  return false;
}

}  // namespace quern::room::test
