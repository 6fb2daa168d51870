// bench=room: what the broker costs. A round trip of a small frame between two participants and
// the relay rate of 1 MiB document saves, through a real `quern-room serve` process and, in the
// same run, over a direct socket pair with the same framing and codec. Participants are separate
// processes on both paths (the other one is a forked child), as they are in a room. Also the
// round trip as the collaboration client sees it (its reader and writer threads included).
//
//   bench=room direct_rtt_us=.. broker_rtt_us=.. direct_mib_s=.. broker_mib_s=.. client_rtt_us=..
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "runtime/collab/codec.h"
#include "runtime/collab/collaboration_manager.h"
#include "runtime/collab/frame.h"
#include "runtime/collab/unix_socket.h"

extern char** environ;

namespace {

using namespace quern;
using namespace quern::collab;
using Clock = std::chrono::steady_clock;

constexpr const char* kRoom = "9b2f6c1e-4a7d-4f3e-8c1a-2d5e6f708192";
// The two paths are measured in alternating rounds, so that whatever else the machine does
// weighs on both alike; each figure is the median over all rounds.
constexpr int kRounds = 8;
constexpr int kRoundTrips = 500;  // per round
constexpr int kWarmup = 100;
constexpr int kSaves = 32;  // per round: 32 MiB
constexpr int kClientRoundTrips = 2000;

[[noreturn]] void die(const std::string& what) {
  std::fprintf(stderr, "bench-room: %s\n", what.c_str());
  std::exit(1);
}

template <typename T>
T must(Result<T> r, const char* what) {
  if (!r) die(std::string(what) + ": " + r.error().to_string());
  return std::move(*r);
}
void must(Result<void> r, const char* what) {
  if (!r) die(std::string(what) + ": " + r.error().to_string());
}

// One end of a connection speaking frames directly.
class Endpoint {
 public:
  Endpoint() = default;
  Endpoint(UniqueFd fd, Sender identity) : fd_(std::move(fd)), identity_(std::move(identity)) {}

  void send(Message m, std::optional<Route> to = std::nullopt) {
    must(write_frame(fd_.get(), encode(Delivery{identity_, std::move(to), std::move(m)})), "write");
  }
  Delivery receive() {
    while (pending_.empty()) {
      auto status = must(reader_.read_from(fd_.get(), pending_), "read");
      if (status == ReadStatus::Closed && pending_.empty()) die("the other end closed");
    }
    RawFrame f = std::move(pending_.front());
    pending_.erase(pending_.begin());
    return must(decode(f), "decode");
  }
  Sender& identity() { return identity_; }

 private:
  UniqueFd fd_;
  Sender identity_;
  FrameReader reader_;
  std::vector<RawFrame> pending_;
};

Route route_of(const std::string& app) { return Route{app, kRoom, std::nullopt}; }

// A participant of the broker: hello, welcome, join, joined.
Endpoint join_broker(const std::string& socket, const std::string& name, const std::string& app) {
  UniqueFd fd = must(connect_unix_socket(socket), "connect");
  set_socket_buffers(fd.get());
  Endpoint e(std::move(fd), Sender{0, name, ParticipantKind::App, route_of(app)});
  e.send(Hello{kProtocolVersion, name, ParticipantKind::App, route_of(app)});
  const Delivery welcome = e.receive();
  e.identity().participant = std::get<Welcome>(welcome.body).participant;
  e.send(Join{kRoom});
  if (!std::holds_alternative<Joined>(e.receive().body)) die("no joined answer");
  return e;
}

double median(std::vector<double> samples) {
  std::sort(samples.begin(), samples.end());
  return samples[samples.size() / 2];
}

InvocationAnnounced control(const char* what) {
  InvocationAnnounced c;
  c.invocation.invocation_id = what;
  return c;
}

std::string control_of(const Delivery& d) {
  const auto* c = std::get_if<InvocationAnnounced>(&d.body);
  return c ? c->invocation.invocation_id : "";
}

// The other participant, in a child process: answers each document request with a small frame
// addressed to the asker, and on "go" sends `kSaves` saves of 1 MiB, until "quit".
[[noreturn]] void remote(Endpoint e) {
  std::vector<std::uint8_t> bytes(1 << 20);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * 131);
  const Blob save = Blob::take(std::move(bytes));
  while (true) {
    const Delivery d = e.receive();
    if (std::holds_alternative<DocumentRequest>(d.body)) {
      e.send(RoomAnnouncement{kRoom}, d.sender.route);
    } else if (control_of(d) == "go") {
      for (int i = 0; i < kSaves; ++i) e.send(DocumentBytes{DocumentPayload::Whole, save});
    } else if (control_of(d) == "quit") {
      std::_Exit(0);
    }
  }
}

pid_t fork_remote(const std::function<Endpoint()>& make) {
  const pid_t pid = ::fork();
  if (pid < 0) die("fork");
  if (pid == 0) remote(make());
  return pid;
}

void stop_remote(Endpoint& a, const Route& remote_route, pid_t pid) {
  a.send(control("quit"), remote_route);
  int status = 0;
  ::waitpid(pid, &status, 0);
}

// Microseconds of a document request to the remote and its answer back, one sample each.
void round_trips(Endpoint& a, const std::string& remote_app, int count, std::vector<double>& samples) {
  for (int i = 0; i < count; ++i) {
    const auto t0 = Clock::now();
    a.send(DocumentRequest{remote_app, std::nullopt});
    a.receive();
    samples.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
  }
}

// MiB per second of the remote's saves, from asking for them to decoding the last.
double relay_mib_s(Endpoint& a, const Route& remote_route) {
  const auto t0 = Clock::now();
  a.send(control("go"), remote_route);
  std::size_t received = 0;
  for (int i = 0; i < kSaves; ++i) received += std::get<DocumentBytes>(a.receive().body).bytes.size();
  const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
  if (received != static_cast<std::size_t>(kSaves) << 20) die("lost bytes");
  return kSaves / seconds;
}

// The same round trip through two collaboration clients.
double client_round_trip_us(const std::string& socket) {
  auto open = [&](const std::string& name, const std::string& app) {
    auto m = must(CollaborationManager::for_route_from(ConnectedSocket{must(connect_unix_socket(socket), "connect")},
                                                       app, *Uuid::parse(kRoom), std::nullopt, name, "app"),
                  "client");
    must(m.join_route(*Uuid::parse(kRoom)), "join");
    while (true) {
      m.wait(std::chrono::seconds(1));
      auto events = must(m.poll(), "poll");
      if (std::any_of(events.begin(), events.end(), [](const CollabEvent& e) { return e.is<Joined>(); })) break;
    }
    return m;
  };
  CollaborationManager a = open("client-a", "bench.a");
  CollaborationManager b = open("client-b", "bench.b");
  auto take_one = [](CollaborationManager& m) {
    while (true) {
      m.wait(std::chrono::seconds(1));
      auto events = must(m.poll(), "poll");
      if (!events.empty()) return;
    }
  };
  std::thread echo([&] {
    for (int i = 0; i < kWarmup + kClientRoundTrips; ++i) {
      take_one(b);
      must(b.send_to_route(route_of("bench.a"), RoomAnnouncement{kRoom}), "send");
    }
  });
  std::vector<double> samples;
  for (int i = 0; i < kWarmup + kClientRoundTrips; ++i) {
    const auto t0 = Clock::now();
    must(a.send(DocumentRequest{"bench.b", std::nullopt}), "send");
    take_one(a);
    if (i >= kWarmup) samples.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
  }
  echo.join();
  return median(std::move(samples));
}

class BrokerProcess {
 public:
  explicit BrokerProcess(const std::string& socket) {
    const std::string program = std::string(QUERN_BIN_DIR) + "/quern-room";
    std::vector<std::string> args{program, "serve", "--socket", socket};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    ::setenv("QUERN_LOG", "warn", 1);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    if (::posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ) != 0)
      die("cannot start " + program);
    posix_spawn_file_actions_destroy(&actions);
    for (int i = 0; i < 500; ++i) {
      if (connect_unix_socket(socket)) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    die("the broker did not start");
  }
  ~BrokerProcess() {
    ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
  }

 private:
  pid_t pid_ = -1;
};

}  // namespace

int main() {
  ::signal(SIGPIPE, SIG_IGN);
  char dir_template[] = "/tmp/quern-bench-XXXXXX";
  if (::mkdtemp(dir_template) == nullptr) die("mkdtemp");
  const std::string socket = std::string(dir_template) + "/room.sock";
  const Route remote_route = route_of("bench.b");

  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) die("socketpair");
  set_socket_buffers(fds[0]);
  set_socket_buffers(fds[1]);
  const pid_t direct_pid = fork_remote([&] {
    ::close(fds[0]);
    return Endpoint(UniqueFd(fds[1]), Sender{2, "b", ParticipantKind::App, remote_route});
  });
  ::close(fds[1]);
  Endpoint direct{UniqueFd{fds[0]}, Sender{1, "a", ParticipantKind::App, route_of("bench.a")}};

  double client_rtt = 0;
  std::vector<double> direct_rtt, broker_rtt, direct_rate, broker_rate;
  {
    BrokerProcess broker(socket);
    Endpoint brokered = join_broker(socket, "a", "bench.a");
    const pid_t broker_pid = fork_remote([&] {
      Endpoint b = join_broker(socket, "b", "bench.b");
      b.send(control("ready"), route_of("bench.a"));
      return b;
    });
    while (control_of(brokered.receive()) != "ready") {
    }
    std::vector<double> warmup;
    round_trips(direct, "bench.b", kWarmup, warmup);
    round_trips(brokered, "bench.b", kWarmup, warmup);
    for (int round = 0; round < kRounds; ++round) {
      round_trips(direct, "bench.b", kRoundTrips, direct_rtt);
      round_trips(brokered, "bench.b", kRoundTrips, broker_rtt);
      direct_rate.push_back(relay_mib_s(direct, remote_route));
      broker_rate.push_back(relay_mib_s(brokered, remote_route));
    }
    stop_remote(brokered, remote_route, broker_pid);
    client_rtt = client_round_trip_us(socket);
  }
  stop_remote(direct, remote_route, direct_pid);
  ::rmdir(dir_template);

  const double d_rtt = median(direct_rtt), b_rtt = median(broker_rtt);
  const double d_rate = median(direct_rate), b_rate = median(broker_rate);
  std::printf(
      "bench=room direct_rtt_us=%.1f broker_rtt_us=%.1f direct_mib_s=%.0f broker_mib_s=%.0f rtt_ratio=%.2f "
      "throughput_ratio=%.2f client_rtt_us=%.1f\n",
      d_rtt, b_rtt, d_rate, b_rate, b_rtt / d_rtt, b_rate / d_rate, client_rtt);
  return 0;
}
