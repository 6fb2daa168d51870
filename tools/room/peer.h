// The scripted participant behind `quern-room peer`: joins a room with a given route, plays an
// app for tests and diagnostics, and prints every frame it receives on standard output as one
// JSON line (tools/room/message_json.h gives the form). tools/room/README.md documents the
// command line, the action scripts and the commands it reads from standard input.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "runtime/util/uuid.h"

namespace quern::room {

struct PeerOptions {
  std::string socket;
  Uuid room;
  std::string app = "ix.quern.word-processor";
  std::optional<std::string> record;
  std::string name = "peer";
  std::string kind = "app";
  std::optional<std::string> state_file;    // answers document requests with it
  bool send_state = false;                  // also sends it to the room once joined
  std::optional<std::string> changes_file;  // sent to the room once joined
  std::optional<std::string> publish_file;  // catalogue offers published once joined
  std::optional<std::string> actions_file;  // how brokered action requests are answered
  std::optional<std::string> mint_file;     // a task minted once joined ...
  std::optional<std::string> mint_to;       // ... for the agent of this name
  bool join = true;
  bool announce = true;
  bool read_stdin = true;
  std::optional<std::uint64_t> exit_after_ms;
};

// Runs until a stop signal, a "quit" command, `exit_after_ms`, or the broker going away (status
// 1, with the reason printed as a `{"peer":"closed",...}` line).
int run_peer(const PeerOptions& options);

}  // namespace quern::room
