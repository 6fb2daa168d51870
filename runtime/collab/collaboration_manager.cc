#include "runtime/collab/collaboration_manager.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "runtime/collab/channel.h"
#include "runtime/collab/codec.h"
#include "runtime/collab/frame.h"
#include "runtime/collab/unix_socket.h"
#include "runtime/util/log.h"
#include "runtime/util/quote.h"

namespace quern::collab {
namespace {

constexpr std::string_view kTarget = "quern_collab";

struct Outgoing {
  std::optional<Route> to;
  Message body;
};

std::size_t cost(const Message& m) {
  if (const auto* d = std::get_if<DocumentBytes>(&m)) return d->bytes.size() + 64;
  return 64;
}

Result<UniqueFd> inherited_descriptor() {
  const char* value = std::getenv(std::string(kInheritedDescriptorVariable).c_str());
  if (value == nullptr) return fail("QUERN_SVC_COLLAB_FD is not set; the launcher passes the broker connection there");
  const std::string_view text(value);
  int fd = -1;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), fd);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size() || fd < 0) {
    return fail("QUERN_SVC_COLLAB_FD does not name a descriptor: " + quote_escaped(text));
  }
  QUERN_TRY(check_stream_socket(fd));
  return UniqueFd(fd);
}

int poll_timeout_ms(Duration left) {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(left).count() + 1;
  return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

}  // namespace

std::string_view transport_name(const Transport& transport) {
  return std::holds_alternative<InheritedDescriptor>(transport) ? "QUERN_SVC_COLLAB_FD" : "typed-endpoint";
}

struct CollaborationManager::Impl {
  Impl(UniqueFd socket, Sender who, std::string transport_name, ClientOptions opts)
      : fd(std::move(socket)),
        identity(std::move(who)),
        transport(std::move(transport_name)),
        options(opts),
        outgoing(opts.max_outgoing_frames, opts.max_outgoing_bytes),
        incoming(opts.max_incoming_events, opts.max_incoming_bytes) {}

  UniqueFd fd;
  Sender identity;
  std::string transport;
  ClientOptions options;
  BoundedChannel<Outgoing> outgoing;
  BoundedChannel<CollabEvent> incoming;
  FrameReader frames;  // the handshake's, then the reader thread's alone

  std::mutex mu;
  std::optional<Error> failure;
  bool closing = false;
  bool closed = false;
  std::thread reader;
  std::thread writer;

  // Ends the connection for good; the first reason wins, and none is kept when we closed it.
  void end(Error reason) {
    {
      std::lock_guard lock(mu);
      if (!closing && !failure) {
        log::warn(kTarget, "the room connection ended", {{"reason", reason.to_string()}});
        failure = std::move(reason);
      }
    }
    incoming.close();
    outgoing.close();
    ::shutdown(fd.get(), SHUT_RDWR);
  }

  Result<void> handshake(const Hello& hello, std::vector<CollabEvent>& early) {
    QUERN_TRY_CTX(write_frame(fd.get(), encode(Delivery{identity, std::nullopt, hello})), "send the hello");
    const Instant deadline = std::chrono::steady_clock::now() + options.handshake_timeout;
    bool welcomed = false;
    std::vector<RawFrame> raw;
    while (!welcomed) {
      const Instant now = std::chrono::steady_clock::now();
      if (now >= deadline) {
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(options.handshake_timeout).count();
        return fail("the broker did not welcome the participant within " + std::to_string(ms) + " ms");
      }
      pollfd p{fd.get(), POLLIN, 0};
      const int ready = ::poll(&p, 1, poll_timeout_ms(deadline - now));
      if (ready < 0 && errno != EINTR) return fail(os_error_text(errno));
      if (ready <= 0) continue;
      raw.clear();
      const ReadStatus status = QUERN_TRY_CTX(frames.read_from(fd.get(), raw), "read the broker's welcome");
      for (const auto& f : raw) {
        Delivery d = QUERN_TRY_CTX(decode(f), "read the broker's welcome");
        if (welcomed) {
          early.push_back(CollabEvent{std::move(d.sender), std::move(d.to), std::move(d.body)});
        } else if (const auto* w = std::get_if<Welcome>(&d.body)) {
          identity.participant = w->participant;
          welcomed = true;
        } else if (const auto* r = std::get_if<Refused>(&d.body)) {
          return fail("the broker refused the participant: " + r->reason);
        } else {
          return fail("the broker sent " + std::string(message_name(d.body)) + " before welcoming the participant");
        }
      }
      if (!welcomed && status == ReadStatus::Closed) {
        return fail("the broker closed the connection before welcoming the participant");
      }
    }
    return {};
  }

  void read_loop() {
    std::vector<RawFrame> raw;
    while (true) {
      raw.clear();
      auto status = frames.read_from(fd.get(), raw);
      for (const auto& f : raw) {
        auto d = decode(f);
        if (!d) {
          end(std::move(d).error().with_context("the broker sent a frame this client cannot read"));
          return;
        }
        if (const auto* r = std::get_if<Refused>(&d->body)) {
          end(Error("the broker closed the participant's connection: " + r->reason));
          return;
        }
        if (std::holds_alternative<Welcome>(d->body) || std::holds_alternative<Hello>(d->body)) continue;
        const std::size_t size = cost(d->body);
        if (!incoming.push(CollabEvent{std::move(d->sender), std::move(d->to), std::move(d->body)}, size)) return;
      }
      if (!status) {
        end(std::move(status).error().with_context("read from the broker"));
        return;
      }
      if (*status == ReadStatus::Closed) {
        end(Error("the broker closed the connection"));
        return;
      }
    }
  }

  void write_loop() {
    while (auto item = outgoing.pop_for_work()) {
      const OutFrame frame = encode(Delivery{identity, std::move(item->to), std::move(item->body)});
      int os_error = 0;
      auto written = write_frame(fd.get(), frame, &os_error);
      outgoing.done();
      if (!written) {
        if (os_error == EPIPE || os_error == ECONNRESET) {
          // The broker is gone; the reader sees the end and reports it.
          outgoing.close();
          return;
        }
        end(std::move(written).error().with_context("send to the broker"));
        return;
      }
    }
  }
};

Result<CollaborationManager> CollaborationManager::for_route_from(Transport transport, std::string app,
                                                                  const Uuid& room, std::optional<std::string> record,
                                                                  std::string name, std::string_view kind,
                                                                  ClientOptions options) {
  if (name.empty()) return fail("agent connection needs an id");
  const auto participant_kind = participant_kind_from_name(kind);
  if (!participant_kind || *participant_kind == ParticipantKind::Broker) {
    return fail("unknown participant kind " + quote_escaped(kind));
  }
  const std::string transport_text(transport_name(transport));
  UniqueFd fd;
  if (auto* socket = std::get_if<ConnectedSocket>(&transport)) {
    fd = std::move(socket->fd);
    QUERN_TRY(check_stream_socket(fd.get()));
  } else {
    fd = QUERN_TRY(inherited_descriptor());
  }
  QUERN_TRY(set_blocking(fd.get(), true));
  QUERN_TRY(set_close_on_exec(fd.get(), true));
  set_socket_buffers(fd.get());

  Route route{std::move(app), room.to_string(), std::move(record)};
  Sender who{0, std::move(name), *participant_kind, route};
  const Hello hello{kProtocolVersion, who.name, who.kind, route};
  auto impl = std::make_unique<Impl>(std::move(fd), std::move(who), transport_text, options);
  std::vector<CollabEvent> early;
  QUERN_TRY(impl->handshake(hello, early));
  for (auto& e : early) {
    const std::size_t size = cost(e.body);
    impl->incoming.push(std::move(e), size);
  }
  log::debug(kTarget, "welcomed by the broker",
             {{"participant", impl->identity.participant}, {"transport", impl->transport}});
  Impl* raw = impl.get();
  impl->reader = std::thread([raw] { raw->read_loop(); });
  impl->writer = std::thread([raw] { raw->write_loop(); });
  return CollaborationManager(std::move(impl));
}

CollaborationManager::CollaborationManager(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
CollaborationManager::CollaborationManager(CollaborationManager&&) noexcept = default;
CollaborationManager& CollaborationManager::operator=(CollaborationManager&& other) noexcept {
  if (this != &other) {
    close();
    impl_ = std::move(other.impl_);
  }
  return *this;
}
CollaborationManager::~CollaborationManager() { close(); }

const Sender& CollaborationManager::identity() const { return impl_->identity; }
std::string_view CollaborationManager::transport() const { return impl_->transport; }

Result<void> CollaborationManager::enqueue(std::optional<Route> to, Message command) {
  if (!impl_) return fail("the collaboration client is closed");
  {
    std::lock_guard lock(impl_->mu);
    if (impl_->failure) return fail(*impl_->failure);
    if (impl_->closed) return fail("the collaboration client is closed");
  }
  const std::size_t size = cost(command);
  Outgoing item{std::move(to), std::move(command)};
  if (!impl_->outgoing.try_push(item, size)) {
    log::warn(kTarget, "dropped a command: the outgoing queue is full", {{"message", message_name(item.body)}});
    return fail("the outgoing queue is full; the command was dropped");
  }
  return {};
}

Result<void> CollaborationManager::join_route(const Uuid& room) {
  return enqueue(std::nullopt, Join{room.to_string()});
}

Result<void> CollaborationManager::send(Message command) { return enqueue(std::nullopt, std::move(command)); }

Result<void> CollaborationManager::send_to_route(Route route, Message command) {
  return enqueue(std::move(route), std::move(command));
}

Result<std::vector<CollabEvent>> CollaborationManager::poll() {
  if (!impl_) return fail("the collaboration client is closed");
  // The reader queues every event before it records a failure, so a failure seen first means
  // the drain below holds everything that came before it.
  std::optional<Error> failure;
  {
    std::lock_guard lock(impl_->mu);
    failure = impl_->failure;
  }
  auto events = impl_->incoming.drain();
  if (events.empty() && failure) return fail(*failure);
  return events;
}

bool CollaborationManager::wait(Duration timeout) {
  if (!impl_) return true;
  return impl_->incoming.wait_for_item(timeout) || impl_->incoming.closed();
}

void CollaborationManager::close() {
  if (!impl_) return;
  Impl& s = *impl_;
  {
    std::lock_guard lock(s.mu);
    if (s.closed) return;
    s.closed = true;
  }
  if (!s.outgoing.wait_until_empty(s.options.close_timeout)) {
    log::warn(kTarget, "closed the room connection with commands still queued");
  }
  {
    std::lock_guard lock(s.mu);
    s.closing = true;
  }
  s.outgoing.close();
  s.incoming.close();
  ::shutdown(s.fd.get(), SHUT_RDWR);
  if (s.writer.joinable()) s.writer.join();
  if (s.reader.joinable()) s.reader.join();
  s.fd.reset();
}

}  // namespace quern::collab
