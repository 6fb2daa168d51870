#include "tools/room/broker.h"

#include <signal.h>
#include <sys/epoll.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <iostream>
#include <map>
#include <optional>
#include <utility>
#include <vector>

#include "runtime/collab/codec.h"
#include "runtime/collab/messages.h"
#include "runtime/collab/unique_fd.h"
#include "runtime/collab/unix_socket.h"
#include "runtime/util/log.h"
#include "runtime/util/quote.h"
#include "runtime/util/uuid.h"

namespace quern::room {
namespace {

using namespace quern::collab;

constexpr std::string_view kTarget = "quern_room";
constexpr std::uint64_t kListenKey = 0;
constexpr std::uint64_t kSignalKey = ~std::uint64_t{0};
// Reads one participant gets before the others have their turn.
constexpr int kReadsPerTurn = 16;

template <class... Ts>
struct Overloaded : Ts... {
  using Ts::operator()...;
};
template <class... Ts>
Overloaded(Ts...) -> Overloaded<Ts...>;

enum class Stage { AwaitingHello, Welcomed, Joined };

struct Participant {
  std::uint64_t number = 0;
  UniqueFd fd;
  FrameReader reader;
  OutQueue out;
  Stage stage = Stage::AwaitingHello;
  Sender identity;
  bool watching_writes = false;
  bool close_when_flushed = false;
  std::optional<std::string> doomed;  // the reason it is to be closed

  explicit Participant(std::size_t max_frame_bytes) : reader(max_frame_bytes) {}
  std::string_view name() const { return identity.name.empty() ? std::string_view("(no hello yet)") : identity.name; }
};

struct PendingAnswer {
  std::uint64_t requester = 0;
  std::uint64_t requester_request = 0;
  std::uint64_t publisher = 0;
};

struct Task {
  std::string room;
  std::uint64_t run_id = 0;
  std::uint64_t agent = 0;
  std::uint64_t minter = 0;
  bool cancelled = false;
  std::vector<TaskStatusReport> reports;
};

struct RoomState {
  std::map<std::uint64_t, ParticipantRecord> catalogue;  // by participant number
};

std::string route_text(const Route& r) {
  return r.app + " " + r.room + " " + (r.record ? quote_escaped(*r.record) : std::string("(untitled)"));
}

ActionOutcome failed_outcome(std::uint64_t request, std::string message) {
  return ActionOutcome{request, ActionState{ActionStateKind::Failed, std::move(message)}, "", {}};
}

}  // namespace

struct Broker::State {
  BrokerOptions options;
  UniqueFd listener;
  UniqueFd epoll;
  UniqueFd signals;
  std::uint64_t next_participant = 1;
  std::uint64_t next_request = 1;
  std::map<std::uint64_t, std::unique_ptr<Participant>> participants;
  std::map<std::string, RoomState> rooms;
  std::map<std::uint64_t, PendingAnswer> pending;                          // by broker request number
  std::map<std::pair<std::uint64_t, std::string>, std::uint64_t> handles;  // (requester, handle) -> publisher
  std::map<std::string, Task> tasks;                                       // by lease
  std::vector<std::uint64_t> doomed;

  explicit State(BrokerOptions o) : options(std::move(o)) {}

  // --- connections ---

  Participant* find(std::uint64_t number) {
    auto it = participants.find(number);
    return it == participants.end() ? nullptr : it->second.get();
  }

  void doom(Participant& p, std::string reason) {
    if (p.doomed) return;
    p.doomed = std::move(reason);
    doomed.push_back(p.number);
  }

  void flush(Participant& p) {
    auto done = p.out.flush(p.fd.get());
    if (!done) {
      doom(p, "writing to it failed: " + done.error().to_string());
      return;
    }
    if (*done && p.close_when_flushed) {
      doom(p, "it was refused");
      return;
    }
    // Only a socket that took less than everything is watched for room again; watching all of
    // them would wake the loop each time a participant reads.
    watch_writes(p, !*done);
  }

  void watch_writes(Participant& p, bool on) {
    if (p.watching_writes == on) return;
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLRDHUP | (on ? EPOLLOUT : 0u);
    ev.data.u64 = p.number;
    ::epoll_ctl(epoll.get(), EPOLL_CTL_MOD, p.fd.get(), &ev);
    p.watching_writes = on;
  }

  void deliver(Participant& p, const OutFrame& frame) {
    if (p.doomed) return;
    if (p.out.queued_bytes() + frame.size() > options.max_queued_bytes) {
      doom(p,
           "it does not read what the room sends it (" + std::to_string(p.out.queued_bytes()) + " bytes are waiting)");
      return;
    }
    const bool was_empty = p.out.empty();
    p.out.push(frame);
    if (was_empty) flush(p);
  }

  void send_from_broker(Participant& p, Message body) {
    Sender broker{0, "quern-room", ParticipantKind::Broker, Route{"", p.identity.route.room, std::nullopt}};
    deliver(p, encode(Delivery{std::move(broker), std::nullopt, std::move(body)}));
  }

  void drop(const Participant& p, std::string_view what, std::string reason) {
    log::info(kTarget, "dropped a frame",
              {{"participant", p.number}, {"name", p.name()}, {"message", what}, {"reason", reason}});
  }

  void accept_all() {
    while (true) {
      const int fd = ::accept4(listener.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (fd < 0) {
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
          log::warn(kTarget, "could not accept a connection", {{"reason", os_error_text(errno)}});
        }
        return;
      }
      auto p = std::make_unique<Participant>(options.max_frame_bytes);
      p->number = next_participant++;
      p->fd.reset(fd);
      set_socket_buffers(fd);
      epoll_event ev{};
      ev.events = EPOLLIN | EPOLLRDHUP;
      ev.data.u64 = p->number;
      if (::epoll_ctl(epoll.get(), EPOLL_CTL_ADD, fd, &ev) != 0) {
        log::warn(kTarget, "could not watch a connection", {{"reason", os_error_text(errno)}});
        continue;
      }
      log::info(kTarget, "accepted a connection", {{"participant", p->number}});
      participants.emplace(p->number, std::move(p));
    }
  }

  void close_doomed() {
    while (!doomed.empty()) {
      const std::uint64_t number = doomed.back();
      doomed.pop_back();
      auto it = participants.find(number);
      if (it == participants.end()) continue;
      std::unique_ptr<Participant> p = std::move(it->second);
      participants.erase(it);
      ::epoll_ctl(epoll.get(), EPOLL_CTL_DEL, p->fd.get(), nullptr);
      log::info(kTarget, "closed a connection",
                {{"participant", p->number}, {"name", p->name()}, {"reason", p->doomed.value_or("")}});
      forget(*p);
    }
  }

  // What the room knew of a participant that is gone.
  void forget(const Participant& p) {
    const std::uint64_t n = p.number;
    if (p.stage == Stage::Joined) {
      auto room = rooms.find(p.identity.route.room);
      if (room != rooms.end() && room->second.catalogue.erase(n) > 0) send_catalogue_to_agents(room->first);
    }
    for (auto it = pending.begin(); it != pending.end();) {
      if (it->second.requester == n) {
        it = pending.erase(it);
      } else if (it->second.publisher == n) {
        if (Participant* requester = find(it->second.requester)) {
          send_from_broker(*requester, failed_outcome(it->second.requester_request,
                                                      "participant " + std::to_string(n) + " left the room"));
        }
        it = pending.erase(it);
      } else {
        ++it;
      }
    }
    for (auto it = handles.begin(); it != handles.end();) {
      it = (it->first.first == n || it->second == n) ? handles.erase(it) : std::next(it);
    }
    for (auto& [lease, task] : tasks) {
      if (task.agent == n) task.agent = 0;
      if (task.minter == n) task.minter = 0;
    }
  }

  // --- reading ---

  // Reads what the participant sent, a bounded number of reads at a time (the socket is
  // level-triggered: what is left wakes the loop again). A read that did not fill its buffer
  // most likely emptied the socket, so the loop does not ask again only to hear "nothing".
  void readable(Participant& p) {
    std::vector<RawFrame> frames;
    for (int i = 0; i < kReadsPerTurn; ++i) {
      frames.clear();
      auto status = p.reader.read_from(p.fd.get(), frames);
      for (const auto& f : frames) {
        if (p.doomed) return;
        handle(p, f);
      }
      if (p.doomed) return;
      if (!status) return doom(p, status.error().to_string());
      if (*status == ReadStatus::Closed) return doom(p, "it closed the connection");
      if (*status == ReadStatus::Drained || !p.reader.last_read_filled()) return;
    }
  }

  void handle(Participant& p, const RawFrame& raw) {
    auto decoded = decode(raw);
    if (!decoded) {
      doom(p, decoded.error().to_string());
      return;
    }
    Delivery& d = *decoded;
    if (p.stage == Stage::AwaitingHello) {
      if (const auto* hello = std::get_if<Hello>(&d.body)) {
        greet(p, *hello);
      } else {
        doom(p, "its first frame was " + std::string(message_name(d.body)) + ", not a hello");
      }
      return;
    }
    const std::string_view what = message_name(d.body);
    if (const auto* join = std::get_if<Join>(&d.body)) {
      joined(p, *join);
      return;
    }
    if (p.stage != Stage::Joined) {
      drop(p, what, "it has not joined its room yet");
      return;
    }
    std::visit(Overloaded{
                   [&](const Hello&) { drop(p, what, "it said hello before"); },
                   [&](const DocumentRequest& r) { to_document_holders(p, d, raw, r); },
                   [&](const DocumentBytes&) { to_room(p, d, raw); },
                   [&](const RoomAnnouncement& a) {
                     const auto room = Uuid::parse(a.room);
                     if (!room || room->to_string() != p.identity.route.room) {
                       drop(p, what, "it names " + quote_escaped(a.room) + ", not the participant's room");
                       return;
                     }
                     log::info(kTarget, "listed a participant in the room",
                               {{"participant", p.number},
                                {"name", p.identity.name},
                                {"kind", participant_kind_name(p.identity.kind)},
                                {"room", p.identity.route.room}});
                     to_room(p, d, raw);
                   },
                   [&](const InvocationAnnounced&) { to_room(p, d, raw); },
                   [&](const InvocationOutcome&) { to_room(p, d, raw); },
                   [&](const StepReport&) { to_room(p, d, raw); },
                   [&](const CataloguePublish& c) { publish(p, c); },
                   [&](const ActionRequest& r) {
                     forward_request(p, r, r.participant, r.request, r.resource_id, r.action_name, nullptr);
                   },
                   [&](const TaskActionRequest& r) {
                     forward_request(p, r, r.participant, r.request, r.resource_id, r.action_name, &r);
                   },
                   [&](const ActionAccepted& a) { answer(p, a, a.request, &a.handle); },
                   [&](const ActionOutcome& o) { answer(p, o, o.request, nullptr); },
                   [&](const ActionStatusQuery& q) { follow_handle(p, q, q.request, q.handle); },
                   [&](const ActionCancel& q) { follow_handle(p, q, q.request, q.handle); },
                   [&](const TaskStatusReport& r) { task_report(p, raw, d, r); },
                   [&](const CancellationStatusQuery& q) { cancellation_status(p, q); },
                   [&](const TaskMint& m) { mint(p, m); },
                   [&](const TaskCancel& c) { cancel_task(p, c); },
                   [&](const auto&) { drop(p, what, "only the broker sends this"); },
               },
               d.body);
  }

  void greet(Participant& p, const Hello& hello) {
    std::string refusal;
    const auto room = Uuid::parse(hello.route.room);
    if (hello.version != kProtocolVersion) {
      refusal = "protocol version " + std::to_string(hello.version) + " is not spoken here (" +
                std::to_string(kProtocolVersion) + " is)";
    } else if (hello.name.empty()) {
      refusal = "a participant needs a name";
    } else if (hello.kind == ParticipantKind::Broker) {
      refusal = "a participant cannot be a broker";
    } else if (hello.route.app.empty()) {
      refusal = "the route names no app";
    } else if (!room) {
      refusal = "the route's room is not a UUID: " + quote_escaped(hello.route.room);
    }
    if (!refusal.empty()) {
      log::warn(kTarget, "refused a participant", {{"participant", p.number}, {"reason", refusal}});
      p.close_when_flushed = true;
      send_from_broker(p, Refused{refusal});
      return;
    }
    p.identity = Sender{p.number, hello.name, hello.kind, hello.route};
    p.identity.route.room = room->to_string();
    p.stage = Stage::Welcomed;
    log::info(kTarget, "welcomed a participant",
              {{"participant", p.number},
               {"name", p.identity.name},
               {"kind", participant_kind_name(p.identity.kind)},
               {"app", p.identity.route.app},
               {"room", p.identity.route.room},
               {"record", p.identity.route.record}});
    send_from_broker(p, Welcome{p.number});
  }

  void joined(Participant& p, const Join& join) {
    const auto room = Uuid::parse(join.room);
    if (!room || room->to_string() != p.identity.route.room) {
      drop(p, "join", "it names " + quote_escaped(join.room) + ", not the room of its hello");
      return;
    }
    if (p.stage == Stage::Joined) {
      drop(p, "join", "it has joined already");
      return;
    }
    p.stage = Stage::Joined;
    RoomState& state = rooms[p.identity.route.room];
    log::info(kTarget, "joined the room", {{"participant", p.number}, {"name", p.identity.name}, {"room", join.room}});
    send_from_broker(p, Joined{p.identity.route.room});
    if (p.identity.kind == ParticipantKind::Agent) send_catalogue(p, state);
  }

  // --- room traffic ---

  // The frame as received when its sender stamp is right, otherwise re-encoded with the
  // sender the broker knows.
  OutFrame relayed(const Participant& from, const Delivery& d, const RawFrame& raw) {
    if (d.sender == from.identity) return OutFrame::of(raw);
    return encode(Delivery{from.identity, d.to, d.body});
  }

  template <typename Match>
  std::size_t fan_out(Participant& from, const OutFrame& frame, Match&& match) {
    std::size_t n = 0;
    for (auto& [number, q] : participants) {
      if (number == from.number || q->stage != Stage::Joined || q->doomed) continue;
      if (q->identity.route.room != from.identity.route.room || !match(*q)) continue;
      deliver(*q, frame);
      ++n;
    }
    return n;
  }

  // A frame addressed to a route: only that route's participants, and only in the sender's room.
  bool addressed(Participant& p, const Delivery& d, const RawFrame& raw) {
    if (!d.to) return false;
    const std::string_view what = message_name(d.body);
    Route to = *d.to;
    if (to.room != p.identity.route.room) {
      const auto room = Uuid::parse(to.room);
      if (!room || room->to_string() != p.identity.route.room) {
        drop(p, what, "it is addressed to a route outside the participant's room");
        return true;
      }
      to.room = room->to_string();
    }
    const std::size_t n = fan_out(p, relayed(p, d, raw), [&](const Participant& q) { return q.identity.route == to; });
    if (n == 0) drop(p, what, "no participant is on the route " + route_text(to));
    return true;
  }

  void to_room(Participant& p, const Delivery& d, const RawFrame& raw) {
    if (addressed(p, d, raw)) return;
    const std::size_t n = fan_out(p, relayed(p, d, raw), [](const Participant&) { return true; });
    if (n == 0)
      log::debug(kTarget, "nobody else is in the room", {{"participant", p.number}, {"message", message_name(d.body)}});
  }

  void to_document_holders(Participant& p, const Delivery& d, const RawFrame& raw, const DocumentRequest& r) {
    if (addressed(p, d, raw)) return;
    const std::size_t n = fan_out(p, relayed(p, d, raw), [&](const Participant& q) {
      return q.identity.route.app == r.app && q.identity.route.record == r.record;
    });
    if (n == 0) {
      drop(p, "document_request",
           "no participant is on the route " + route_text(Route{r.app, p.identity.route.room, r.record}));
    }
  }

  // --- catalogue ---

  CatalogueUpdate catalogue_of(const RoomState& state) {
    CatalogueUpdate update;
    for (const auto& [number, record] : state.catalogue) update.records.push_back(record);
    return update;
  }

  void send_catalogue(Participant& agent, const RoomState& state) { send_from_broker(agent, catalogue_of(state)); }

  void send_catalogue_to_agents(const std::string& room) {
    const RoomState& state = rooms[room];
    const CatalogueUpdate update = catalogue_of(state);
    for (auto& [number, q] : participants) {
      if (q->stage != Stage::Joined || q->identity.kind != ParticipantKind::Agent || q->identity.route.room != room) {
        continue;
      }
      send_from_broker(*q, update);
    }
  }

  void publish(Participant& p, const CataloguePublish& c) {
    ParticipantRecord record;
    record.app = c.app.empty() ? p.identity.route.app : c.app;
    record.participant = p.number;
    record.admitted = !options.unadmitted.contains(p.identity.name);
    record.offers = c.offers;
    log::info(kTarget, "published offers",
              {{"participant", p.number},
               {"app", record.app},
               {"offers", record.offers.size()},
               {"admitted", record.admitted}});
    rooms[p.identity.route.room].catalogue[p.number] = std::move(record);
    send_catalogue_to_agents(p.identity.route.room);
  }

  // --- brokered actions ---

  template <typename Request>
  void forward_request(Participant& p, Request request, std::uint64_t publisher, std::uint64_t number,
                       const std::string& resource, const std::string& action, const TaskActionRequest* task) {
    auto refuse = [&](std::string why) {
      log::info(kTarget, "refused an action request", {{"participant", p.number}, {"reason", why}});
      send_from_broker(p, failed_outcome(number, std::move(why)));
    };
    const RoomState& state = rooms[p.identity.route.room];
    auto record = state.catalogue.find(publisher);
    Participant* target = find(publisher);
    if (record == state.catalogue.end() || target == nullptr) {
      return refuse("participant " + std::to_string(publisher) + " publishes no actions in this room");
    }
    if (!record->second.admitted) {
      return refuse("participant " + std::to_string(publisher) + " is not admitted to the room's catalogue");
    }
    bool offered = false;
    for (const auto& o : record->second.offers) offered |= o.resource_id == resource && o.action_name == action;
    if (!offered) {
      return refuse("participant " + std::to_string(publisher) + " does not publish " +
                    quote_escaped(resource + "#" + action));
    }
    if (task != nullptr) {
      auto t = tasks.find(task->lease);
      if (t == tasks.end() || t->second.agent != p.number) return refuse("no task of this participant holds the lease");
      if (t->second.run_id != task->run_id) return refuse("the run id does not match the task's lease");
    }
    const std::uint64_t b = next_request++;
    pending[b] = PendingAnswer{p.number, number, publisher};
    request.request = b;
    deliver(*target, encode(Delivery{p.identity, std::nullopt, std::move(request)}));
  }

  template <typename Answer>
  void answer(Participant& p, Answer a, std::uint64_t number, const std::string* handle) {
    auto it = pending.find(number);
    if (it == pending.end() || it->second.publisher != p.number) {
      drop(p, message_name(Message(a)), "it answers request " + std::to_string(number) + ", which it was not asked");
      return;
    }
    const PendingAnswer pa = it->second;
    pending.erase(it);
    Participant* requester = find(pa.requester);
    if (requester == nullptr) {
      drop(p, message_name(Message(a)), "the requester has left the room");
      return;
    }
    if (handle != nullptr) handles[{pa.requester, *handle}] = p.number;
    a.request = pa.requester_request;
    deliver(*requester, encode(Delivery{p.identity, std::nullopt, std::move(a)}));
  }

  template <typename Query>
  void follow_handle(Participant& p, Query q, std::uint64_t number, const std::string& handle) {
    auto it = handles.find({p.number, handle});
    Participant* publisher = it == handles.end() ? nullptr : find(it->second);
    if (publisher == nullptr) {
      send_from_broker(
          p, failed_outcome(number, "no action of this participant holds the handle " + quote_escaped(handle)));
      return;
    }
    const std::uint64_t b = next_request++;
    pending[b] = PendingAnswer{p.number, number, publisher->number};
    q.request = b;
    deliver(*publisher, encode(Delivery{p.identity, std::nullopt, std::move(q)}));
  }

  // --- Task Center ---

  void mint(Participant& p, const TaskMint& m) {
    const std::string& lease = m.envelope.lease;
    auto reply = [&](bool ok, std::string message) {
      log::info(kTarget, ok ? "minted a task" : "refused to mint a task",
                {{"participant", p.number}, {"lease", lease}, {"agent", m.agent}, {"message", message}});
      send_from_broker(p, TaskCenterReply{lease, ok, std::move(message)});
    };
    if (tasks.contains(lease)) return reply(false, "a task already holds this lease");
    Participant* agent = nullptr;
    for (auto& [number, q] : participants) {
      if (q->stage == Stage::Joined && q->identity.kind == ParticipantKind::Agent && q->identity.name == m.agent &&
          q->identity.route.room == p.identity.route.room && !q->doomed) {
        agent = q.get();
        break;
      }
    }
    if (agent == nullptr) return reply(false, "no agent named " + quote_escaped(m.agent) + " is in the room");
    tasks[lease] = Task{p.identity.route.room, m.envelope.run_id, agent->number, p.number, false, {}};
    send_from_broker(*agent, m.envelope);
    reply(true, "minted for participant " + std::to_string(agent->number));
  }

  void cancel_task(Participant& p, const TaskCancel& c) {
    auto t = tasks.find(c.lease);
    if (t == tasks.end() || t->second.room != p.identity.route.room) {
      send_from_broker(p, TaskCenterReply{c.lease, false, "no task holds this lease"});
      return;
    }
    t->second.cancelled = true;
    log::info(kTarget, "cancelled a task", {{"participant", p.number}, {"lease", c.lease}});
    send_from_broker(p, TaskCenterReply{c.lease, true, "cancelled"});
  }

  void cancellation_status(Participant& p, const CancellationStatusQuery& q) {
    auto t = tasks.find(q.lease);
    CancellationStatus status{q.request, false};
    if (t == tasks.end() || t->second.agent != p.number) {
      status.answer = CancellationError{"no task of this participant holds the lease"};
    } else if (t->second.run_id != q.run_id) {
      status.answer = CancellationError{"the run id does not match the task's lease"};
    } else {
      status.answer = t->second.cancelled;
    }
    send_from_broker(p, std::move(status));
  }

  void task_report(Participant& p, const RawFrame& raw, const Delivery& d, const TaskStatusReport& r) {
    auto t = tasks.find(r.lease);
    if (t == tasks.end() || t->second.agent != p.number) {
      drop(p, "task_status_report", "no task of this participant holds the lease");
      return;
    }
    log::info(kTarget, "task report",
              {{"lease", r.lease}, {"run_id", r.run_id}, {"state", task_state_name(r.state)}, {"text", r.text}});
    t->second.reports.push_back(r);
    if (Participant* minter = find(t->second.minter)) deliver(*minter, relayed(p, d, raw));
  }
};

Broker::Broker(BrokerOptions options) : state_(std::make_unique<State>(std::move(options))) {}
Broker::~Broker() = default;

Result<void> Broker::listen() {
  State& s = *state_;
  s.listener = QUERN_TRY_CTX(listen_unix_socket(s.options.socket_path), "listen on " + s.options.socket_path);
  return {};
}

Result<void> Broker::run() {
  State& s = *state_;
  if (!s.listener.valid()) QUERN_TRY(listen());
  ::signal(SIGPIPE, SIG_IGN);
  sigset_t mask;
  sigemptyset(&mask);
  sigaddset(&mask, SIGINT);
  sigaddset(&mask, SIGTERM);
  ::sigprocmask(SIG_BLOCK, &mask, nullptr);
  s.signals.reset(::signalfd(-1, &mask, SFD_NONBLOCK | SFD_CLOEXEC));
  s.epoll.reset(::epoll_create1(EPOLL_CLOEXEC));
  if (!s.signals.valid() || !s.epoll.valid()) return fail(os_error_text(errno));
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.u64 = kListenKey;
  ::epoll_ctl(s.epoll.get(), EPOLL_CTL_ADD, s.listener.get(), &ev);
  ev.data.u64 = kSignalKey;
  ::epoll_ctl(s.epoll.get(), EPOLL_CTL_ADD, s.signals.get(), &ev);

  log::info(kTarget, "listening", {{"socket", s.options.socket_path}});
  std::cout << "listening on " << s.options.socket_path << std::endl;

  bool running = true;
  epoll_event events[64];
  while (running) {
    const int n = ::epoll_wait(s.epoll.get(), events, 64, -1);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail(os_error_text(errno));
    }
    for (int i = 0; i < n; ++i) {
      const std::uint64_t key = events[i].data.u64;
      if (key == kListenKey) {
        s.accept_all();
        continue;
      }
      if (key == kSignalKey) {
        running = false;
        continue;
      }
      Participant* p = s.find(key);
      if (p == nullptr || p->doomed) continue;
      if ((events[i].events & EPOLLOUT) && !p->out.empty()) s.flush(*p);
      if (!p->doomed && (events[i].events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR))) s.readable(*p);
      s.close_doomed();
    }
  }
  log::info(kTarget, "stopping", {{"participants", s.participants.size()}});
  s.participants.clear();
  ::unlink(s.options.socket_path.c_str());
  return {};
}

}  // namespace quern::room
