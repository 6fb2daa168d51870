#include "tools/room/peer.h"

#include <signal.h>

#include <atomic>
#include <deque>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <mutex>
#include <thread>

#include "runtime/collab/collaboration_manager.h"
#include "runtime/collab/unix_socket.h"
#include "runtime/util/json.h"
#include "runtime/util/sha256.h"
#include "tools/room/message_json.h"
#include "tools/room/stdin_lines.h"

namespace quern::room {
namespace {

using namespace quern::collab;

std::atomic<bool> g_stop{false};

void on_signal(int) { g_stop = true; }

Result<std::string> read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return fail("cannot read " + path);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

Result<Json> read_json_file(const std::string& path) {
  const std::string text = QUERN_TRY(read_file(path));
  return QUERN_TRY_CTX(parse_json(text), "read " + path);
}

void print(const Json& line) { std::cout << dump_json(line) << std::endl; }

void print_error(const Error& e) { print(Json{{"peer", "error"}, {"message", e.to_string()}}); }

// One scripted answer: the states an action goes through, one per answer.
struct Script {
  std::vector<ActionState> states;
  std::string output;
  std::vector<std::string> resources;
};

struct Running {
  Script script;
  std::size_t at = 0;
};

class ActionScripts {
 public:
  Result<void> load(const Json& json) {
    if (!json.is_object()) return fail("an action script is an object of \"resource#action\" (or \"*\") entries");
    for (const auto& [key, entry] : json.items()) {
      Script s;
      const Json* states = member(entry, "states");
      if (states == nullptr || !states->is_array() || states->empty()) {
        return fail("the script for " + key + " needs a non-empty list of states");
      }
      for (const auto& st : *states) {
        ActionState state;
        const std::string name = st.is_string() ? st.get<std::string>() : string_member(st, "state").value_or("");
        auto kind = action_state_from_name(name);
        if (!kind) return fail("the script for " + key + " names no known state: " + name);
        state.kind = *kind;
        state.message = string_member(st, "message").value_or("");
        s.states.push_back(std::move(state));
      }
      if (const Json* out = member(entry, "output")) s.output = dump_json(*out);
      if (const Json* res = member(entry, "resources"); res != nullptr && res->is_array()) {
        for (const auto& r : *res) {
          if (r.is_string()) s.resources.push_back(r.get<std::string>());
        }
      }
      scripts_[key] = std::move(s);
    }
    return {};
  }

  // The first answer to a request: accepted with a handle while the first state is unfinished,
  // otherwise the outcome at once.
  Message first_answer(std::uint64_t request, const std::string& resource, const std::string& action) {
    auto it = scripts_.find(resource + "#" + action);
    if (it == scripts_.end()) it = scripts_.find("*");
    if (it == scripts_.end()) {
      return ActionOutcome{
          request, {ActionStateKind::Failed, "the peer has no script for " + resource + "#" + action}, "", {}};
    }
    const Script& s = it->second;
    if (!s.states.front().unfinished()) return outcome(request, s, 0);
    const std::string handle = "h" + std::to_string(++handles_);
    running_[handle] = Running{s, 0};
    return ActionAccepted{request, handle, s.states.front()};
  }

  Message status(std::uint64_t request, const std::string& handle) {
    auto it = running_.find(handle);
    if (it == running_.end())
      return ActionOutcome{request, {ActionStateKind::Failed, "unknown handle " + handle}, "", {}};
    Running& r = it->second;
    if (r.at + 1 < r.script.states.size()) ++r.at;
    return outcome(request, r.script, r.at);
  }

  Message cancel(std::uint64_t request, const std::string& handle) {
    auto it = running_.find(handle);
    if (it == running_.end())
      return ActionOutcome{request, {ActionStateKind::Failed, "unknown handle " + handle}, "", {}};
    it->second.script.states = {ActionState{ActionStateKind::Cancelled, ""}};
    it->second.at = 0;
    return ActionOutcome{request, {ActionStateKind::Cancelled, ""}, "", {}};
  }

 private:
  static Message outcome(std::uint64_t request, const Script& s, std::size_t at) {
    const ActionState& state = s.states[at];
    const bool done = state.kind == ActionStateKind::Succeeded;
    return ActionOutcome{request, state, done ? s.output : "", done ? s.resources : std::vector<std::string>{}};
  }

  std::map<std::string, Script> scripts_;
  std::map<std::string, Running> running_;
  std::uint64_t handles_ = 0;
};

class Peer {
 public:
  Peer(const PeerOptions& options, CollaborationManager manager) : options_(options), manager_(std::move(manager)) {}

  Result<void> prepare() {
    if (options_.state_file) state_ = Blob::copy_of(QUERN_TRY(read_file(*options_.state_file)));
    if (options_.actions_file) QUERN_TRY(scripts_.load(QUERN_TRY(read_json_file(*options_.actions_file))));
    return {};
  }

  int run() {
    StdinLines input;
    if (options_.read_stdin) input.start();
    const auto started = std::chrono::steady_clock::now();
    if (options_.join) {
      manager_.join_route(options_.room);
    }
    while (!g_stop && !quit_) {
      if (options_.exit_after_ms &&
          std::chrono::steady_clock::now() - started >= std::chrono::milliseconds(*options_.exit_after_ms)) {
        break;
      }
      manager_.wait(std::chrono::milliseconds(20));
      auto events = manager_.poll();
      if (!events) {
        print(Json{{"peer", "closed"}, {"reason", events.error().to_string()}});
        return 1;
      }
      for (const auto& e : *events) {
        Json line = event_to_json(e);
        line["at_ms"] =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started).count();
        print(line);
        react(e);
      }
      for (const auto& line : input.take()) command(line);
    }
    manager_.close();
    return 0;
  }

 private:
  void send(Message m) {
    if (auto r = manager_.send(std::move(m)); !r) print_error(r.error());
  }

  void once_joined() {
    if (options_.announce) send(RoomAnnouncement{options_.room.to_string()});
    if (options_.send_state && !state_.empty()) send(DocumentBytes{DocumentPayload::Whole, state_});
    if (options_.changes_file) {
      if (auto bytes = read_file(*options_.changes_file)) {
        send(DocumentBytes{DocumentPayload::Incremental, Blob::copy_of(*bytes)});
      } else {
        print_error(bytes.error());
      }
    }
    if (options_.publish_file) {
      auto published = publish_from(*options_.publish_file);
      if (!published) print_error(published.error());
    }
    if (options_.mint_file) {
      auto task = read_json_file(*options_.mint_file);
      if (!task) return print_error(task.error());
      auto m = message_from_json(
          Json{{"frame", "task_mint"}, {"agent", options_.mint_to.value_or("Claude")}, {"task", *task}});
      if (!m) return print_error(m.error());
      send(std::move(*m));
    }
  }

  Result<void> publish_from(const std::string& path) {
    const Json file = QUERN_TRY(read_json_file(path));
    Json message{{"frame", "catalogue_publish"}};
    if (file.is_array()) {
      message["offers"] = file;
    } else {
      message["app"] = string_member(file, "app").value_or("");
      message["offers"] = file.value("offers", Json::array());
    }
    send(QUERN_TRY(message_from_json(message)));
    return {};
  }

  void react(const CollabEvent& e) {
    std::visit(
        [&](const auto& m) {
          using T = std::decay_t<decltype(m)>;
          if constexpr (std::is_same_v<T, Joined>) {
            if (!joined_) {
              joined_ = true;
              once_joined();
            }
          } else if constexpr (std::is_same_v<T, DocumentRequest>) {
            if (!state_.empty()) send(DocumentBytes{DocumentPayload::Whole, state_});
          } else if constexpr (std::is_same_v<T, ActionRequest> || std::is_same_v<T, TaskActionRequest>) {
            send(scripts_.first_answer(m.request, m.resource_id, m.action_name));
          } else if constexpr (std::is_same_v<T, ActionStatusQuery>) {
            send(scripts_.status(m.request, m.handle));
          } else if constexpr (std::is_same_v<T, ActionCancel>) {
            send(scripts_.cancel(m.request, m.handle));
          }
        },
        e.body);
  }

  void command(const std::string& line) {
    if (line.find_first_not_of(" \t\r") == std::string::npos) return;
    auto parsed = parse_json(line);
    if (!parsed) return print_error(parsed.error().with_context("read a command"));
    const Json& c = *parsed;
    const bool is_message = member(c, "frame") != nullptr || member(c, "message") != nullptr;
    if (!is_message && bool_member(c, "quit").value_or(false)) {
      quit_ = true;
      return;
    }
    if (auto state = string_member(c, "state"); state && !is_message) {
      auto bytes = read_file(*state);
      if (!bytes) return print_error(bytes.error());
      state_ = Blob::copy_of(*bytes);
      return;
    }
    std::optional<Route> to;
    if (const Json* t = member(c, "to")) {
      auto route = route_from_json(*t);
      if (!route) return print_error(route.error());
      to = std::move(*route);
    }
    auto dispatch = [&](Message m) {
      auto r = to ? manager_.send_to_route(*to, std::move(m)) : manager_.send(std::move(m));
      if (!r) print_error(r.error());
    };
    if (auto kind = string_member(c, "document"); kind && !is_message) {
      std::string bytes;
      if (auto file = string_member(c, "file")) {
        auto read = read_file(*file);
        if (!read) return print_error(read.error());
        bytes = std::move(*read);
      } else if (auto hex = string_member(c, "hex")) {
        if (!from_hex(*hex, bytes)) return print_error(Error("the hex member is not hex"));
      } else {
        bytes = string_member(c, "text").value_or("");
      }
      const DocumentPayload payload = *kind == "whole"         ? DocumentPayload::Whole
                                      : *kind == "incremental" ? DocumentPayload::Incremental
                                                               : DocumentPayload::None;
      return dispatch(DocumentBytes{payload, Blob::copy_of(bytes)});
    }
    if (auto file = string_member(c, "publish"); file && !is_message) {
      auto r = publish_from(*file);
      if (!r) print_error(r.error());
      return;
    }
    const Json& message = member(c, "message") != nullptr ? *member(c, "message") : c;
    auto m = message_from_json(message);
    if (!m) return print_error(m.error());
    dispatch(std::move(*m));
  }

  const PeerOptions& options_;
  CollaborationManager manager_;
  Blob state_;
  ActionScripts scripts_;
  bool joined_ = false;
  bool quit_ = false;
};

}  // namespace

int run_peer(const PeerOptions& options) {
  struct sigaction sa {};
  sa.sa_handler = on_signal;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  ::signal(SIGPIPE, SIG_IGN);

  auto fd = connect_unix_socket(options.socket);
  if (!fd) {
    std::cerr << "Error: " << fd.error().with_context("connect to the broker at " + options.socket).report() << "\n";
    return 1;
  }
  auto manager = CollaborationManager::for_route_from(ConnectedSocket{std::move(*fd)}, options.app, options.room,
                                                      options.record, options.name, options.kind);
  if (!manager) {
    std::cerr << "Error: " << manager.error().report() << "\n";
    return 1;
  }
  print(Json{{"peer", "welcome"}, {"participant", manager->identity().participant}, {"name", options.name}});
  Peer peer(options, std::move(*manager));
  if (auto prepared = peer.prepare(); !prepared) {
    std::cerr << "Error: " << prepared.error().report() << "\n";
    return 1;
  }
  return peer.run();
}

}  // namespace quern::room
