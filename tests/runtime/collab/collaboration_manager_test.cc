// The collaboration client against a broker played by the test over a real socket pair: the
// handshake, both directions of traffic, the end of the connection, and closing.
#include "runtime/collab/collaboration_manager.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>
#include <future>
#include <thread>

#include "runtime/collab/codec.h"
#include "runtime/collab/frame.h"
#include "tests/runtime/collab/socket_pair.h"

namespace quern::collab {
namespace {

using namespace std::chrono_literals;

const Uuid kRoom = *Uuid::parse("9b2f6c1e-4a7d-4f3e-8c1a-2d5e6f708192");

// The broker's end of the connection.
class FakeBroker {
 public:
  explicit FakeBroker(UniqueFd fd) : fd_(std::move(fd)) {}

  // The next frame the client sent, decoded; nothing when the client closed.
  std::optional<Delivery> next() {
    while (pending_.empty()) {
      auto status = reader_.read_from(fd_.get(), pending_);
      if (!status || *status == ReadStatus::Closed) break;
    }
    if (pending_.empty()) return std::nullopt;
    RawFrame f = pending_.front();
    pending_.erase(pending_.begin());
    auto d = decode(f);
    EXPECT_TRUE(d) << d.error().to_string();
    if (!d) return std::nullopt;
    return *d;
  }
  void send(Message m) {
    auto w =
        write_frame(fd_.get(), encode(Delivery{Sender{0, "broker", ParticipantKind::Broker, {}}, std::nullopt, m}));
    ASSERT_TRUE(w) << w.error().to_string();
  }
  void write_raw(std::string_view bytes) {
    ASSERT_EQ(::write(fd_.get(), bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  void close() { fd_.reset(); }

 private:
  UniqueFd fd_;
  FrameReader reader_;
  std::vector<RawFrame> pending_;
};

struct Connected {
  CollaborationManager manager;
  FakeBroker broker;
};

Connected connect_with_welcome(std::optional<std::string> record = std::nullopt, ClientOptions options = {}) {
  auto pair = test::socket_pair();
  FakeBroker broker(std::move(pair.b));
  auto pending = std::async(std::launch::async, [fd = std::move(pair.a), record, options]() mutable {
    return CollaborationManager::for_route_from(ConnectedSocket{std::move(fd)}, "ix.quern.word-processor", kRoom,
                                                record, "Claude", "agent", options);
  });
  auto hello = broker.next();
  EXPECT_TRUE(hello && std::holds_alternative<Hello>(hello->body));
  broker.send(Welcome{7});
  auto manager = pending.get();
  EXPECT_TRUE(manager) << manager.error().to_string();
  return Connected{std::move(*manager), std::move(broker)};
}

// Polls until `count` events have arrived or the connection reports its end.
Result<std::vector<CollabEvent>> poll_for(CollaborationManager& m, std::size_t count) {
  std::vector<CollabEvent> got;
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (got.size() < count && std::chrono::steady_clock::now() < deadline) {
    m.wait(50ms);
    auto batch = m.poll();
    if (!batch) {
      if (got.empty()) return fail(batch.error());
      break;
    }
    for (auto& e : *batch) got.push_back(std::move(e));
  }
  return got;
}

TEST(CollaborationManager, SaysHelloAndReturnsOnlyOnceWelcomed) {
  auto pair = test::socket_pair();
  FakeBroker broker(std::move(pair.b));
  auto pending = std::async(std::launch::async, [fd = std::move(pair.a)]() mutable {
    return CollaborationManager::for_route_from(ConnectedSocket{std::move(fd)}, "ix.quern.word-processor", kRoom,
                                                "file:/tmp/a.docx", "Claude", "agent");
  });
  auto hello = broker.next();
  ASSERT_TRUE(hello);
  EXPECT_EQ(std::get<Hello>(hello->body),
            (Hello{kProtocolVersion, "Claude", ParticipantKind::Agent,
                   Route{"ix.quern.word-processor", "9b2f6c1e-4a7d-4f3e-8c1a-2d5e6f708192", "file:/tmp/a.docx"}}));
  EXPECT_EQ(pending.wait_for(100ms), std::future_status::timeout) << "returned before the broker answered";
  broker.send(Welcome{7});
  auto manager = pending.get();
  ASSERT_TRUE(manager) << manager.error().to_string();
  EXPECT_EQ(manager->identity().participant, 7u);
  EXPECT_EQ(manager->transport(), "typed-endpoint");
}

TEST(CollaborationManager, HandshakeFailuresAreErrors) {
  struct Case {
    std::string_view name;
    std::string participant;
    std::string_view kind;
    std::function<void(FakeBroker&)> broker;
    std::string_view error;
  };
  const std::vector<Case> cases = {
      {"no name", "", "agent", nullptr, "agent connection needs an id"},
      {"unknown kind", "Claude", "robot", nullptr, "unknown participant kind \"robot\""},
      {"refused", "Claude", "agent",
       [](FakeBroker& b) {
         b.next();
         b.send(Refused{"the room is full"});
       },
       "the broker refused the participant: the room is full"},
      {"closed", "Claude", "agent",
       [](FakeBroker& b) {
         b.next();
         b.close();
       },
       "the broker closed the connection before welcoming the participant"},
      {"garbage", "Claude", "app",
       [](FakeBroker& b) {
         b.next();
         b.write_raw(std::string("\0\0\0\0\2\0\0\0garbage!!!!!!!!!", 24));
       },
       "does not decode"},
      {"silent", "Claude", "agent", [](FakeBroker& b) { b.next(); },
       "the broker did not welcome the participant within 300 ms"},
  };
  for (const auto& c : cases) {
    auto pair = test::socket_pair();
    FakeBroker broker(std::move(pair.b));
    std::thread play([&] {
      if (c.broker) c.broker(broker);
    });
    ClientOptions options;
    options.handshake_timeout = 300ms;
    auto m = CollaborationManager::for_route_from(ConnectedSocket{std::move(pair.a)}, "ix.quern.word-processor", kRoom,
                                                  std::nullopt, c.participant, c.kind, options);
    play.join();
    ASSERT_FALSE(m) << c.name;
    EXPECT_NE(m.error().to_string().find(c.error), std::string::npos) << c.name << ": " << m.error().to_string();
  }
}

TEST(CollaborationManager, CarriesCommandsAndEventsBothWays) {
  auto [manager, broker] = connect_with_welcome("file:/a");
  ASSERT_TRUE(manager.join_route(kRoom));
  ASSERT_TRUE(manager.send(DocumentRequest{"ix.quern.word-processor", "file:/a"}));
  const Route photos{"ix.quern.photos", kRoom.to_string(), std::nullopt};
  ASSERT_TRUE(
      manager.send_to_route(photos, DocumentBytes{DocumentPayload::Whole, Blob::copy_of(std::string_view("p"))}));

  auto join = broker.next();
  ASSERT_TRUE(join);
  EXPECT_EQ(std::get<Join>(join->body).room, kRoom.to_string());
  auto request = broker.next();
  ASSERT_TRUE(request);
  EXPECT_EQ(request->sender.participant, 7u);
  EXPECT_EQ(request->sender.name, "Claude");
  EXPECT_EQ(request->to, std::nullopt);
  auto bytes = broker.next();
  ASSERT_TRUE(bytes);
  EXPECT_EQ(bytes->to, photos);

  broker.send(DocumentBytes{DocumentPayload::Whole, Blob::copy_of(std::string_view("state"))});
  broker.send(CatalogueUpdate{{ParticipantRecord{"files", 3, true, {}}}});
  broker.send(DocumentBytes{DocumentPayload::Incremental, Blob::copy_of(std::string_view("delta"))});
  auto events = poll_for(manager, 3);
  ASSERT_TRUE(events) << events.error().to_string();
  ASSERT_EQ(events->size(), 3u);
  auto whole = (*events)[0].document_mutation();
  ASSERT_TRUE(whole);
  EXPECT_EQ(std::get<WholeState>(*whole).bytes.as_text(), "state");
  EXPECT_TRUE((*events)[1].is<CatalogueUpdate>());
  EXPECT_EQ(std::get<NoMutation>((*events)[1].document_mutation().value()), NoMutation{});
  EXPECT_EQ(std::get<ChangeSet>((*events)[2].document_mutation().value()).bytes.as_text(), "delta");
}

TEST(CollaborationManager, DeliversWhatCameBeforeTheBrokerWentAwayThenTheError) {
  auto [manager, broker] = connect_with_welcome();
  broker.send(RoomAnnouncement{"one"});
  broker.send(RoomAnnouncement{"two"});
  broker.close();
  std::vector<std::string> rooms;
  Result<std::vector<CollabEvent>> batch = std::vector<CollabEvent>{};
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (batch && std::chrono::steady_clock::now() < deadline) {
    manager.wait(50ms);
    batch = manager.poll();
    if (batch) {
      for (const auto& e : *batch) rooms.push_back(e.get<RoomAnnouncement>()->room);
    }
  }
  ASSERT_FALSE(batch);
  EXPECT_EQ(batch.error().to_string(), "the broker closed the connection");
  EXPECT_EQ(rooms, (std::vector<std::string>{"one", "two"}));
  EXPECT_FALSE(manager.poll()) << "the error stays";
  EXPECT_FALSE(manager.send(Join{"x"}));
}

TEST(CollaborationManager, AFrameThatDoesNotDecodeEndsTheConnection) {
  auto [manager, broker] = connect_with_welcome();
  broker.write_raw(std::string("\0\0\0\0\1\0\0\0\xff\xff\xff\xff\xff\xff\xff\xff", 16));
  auto events = poll_for(manager, 1);
  ASSERT_FALSE(events);
  EXPECT_NE(events.error().to_string().find("the broker sent a frame this client cannot read"), std::string::npos)
      << events.error().to_string();
}

TEST(CollaborationManager, ClosingSendsWhatIsStillQueued) {
  auto [manager, broker] = connect_with_welcome();
  const Blob chunk = Blob::copy_of(std::string(64 * 1024, 'c'));
  constexpr int kFrames = 200;  // far more than the socket buffers hold
  for (int i = 0; i < kFrames; ++i) ASSERT_TRUE(manager.send(DocumentBytes{DocumentPayload::Incremental, chunk}));
  std::thread closer([&] { manager.close(); });
  int received = 0;
  while (auto d = broker.next()) {
    if (std::holds_alternative<DocumentBytes>(d->body)) ++received;
  }
  closer.join();
  EXPECT_EQ(received, kFrames);
}

TEST(CollaborationManager, TakesTheDescriptorNamedInTheEnvironment) {
  int pipe_fds[2];
  ASSERT_EQ(::pipe(pipe_fds), 0);
  struct Case {
    std::optional<std::string> value;
    std::string_view error;
  };
  for (const auto& c : {Case{std::nullopt, "QUERN_SVC_COLLAB_FD is not set"},
                        Case{"three", "QUERN_SVC_COLLAB_FD does not name a descriptor: \"three\""},
                        Case{"-1", "does not name a descriptor"}, Case{"987", "descriptor 987 is not open"},
                        Case{std::to_string(pipe_fds[0]), "is not a socket"}}) {
    if (c.value) {
      ::setenv("QUERN_SVC_COLLAB_FD", c.value->c_str(), 1);
    } else {
      ::unsetenv("QUERN_SVC_COLLAB_FD");
    }
    auto m = CollaborationManager::for_route_from(InheritedDescriptor{}, "ix.quern.word-processor", kRoom, std::nullopt,
                                                  "Claude", "agent");
    ASSERT_FALSE(m) << c.error;
    EXPECT_NE(m.error().to_string().find(c.error), std::string::npos) << m.error().to_string();
  }
  ::close(pipe_fds[0]);
  ::close(pipe_fds[1]);

  auto pair = test::socket_pair();
  FakeBroker broker(std::move(pair.b));
  ::setenv("QUERN_SVC_COLLAB_FD", std::to_string(pair.a.release()).c_str(), 1);
  std::thread play([&] {
    broker.next();
    broker.send(Welcome{3});
  });
  auto m = CollaborationManager::for_route_from(InheritedDescriptor{}, "ix.quern.word-processor", kRoom, std::nullopt,
                                                "Claude", "agent");
  play.join();
  ::unsetenv("QUERN_SVC_COLLAB_FD");
  ASSERT_TRUE(m) << m.error().to_string();
  EXPECT_EQ(m->transport(), "QUERN_SVC_COLLAB_FD");
  EXPECT_EQ(m->identity().participant, 3u);
}

}  // namespace
}  // namespace quern::collab
