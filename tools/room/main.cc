// quern-room: the local room broker and its companions.
//   quern-room serve  --socket PATH                       the broker
//   quern-room launch --socket PATH -- PROGRAM ARGS...    run an agent with an inherited connection
//   quern-room peer   --socket PATH --room UUID ...       a scripted participant
//   quern-room app word-processor --socket PATH --room UUID --markdown FILE ...
//                                                         a word processor holding a real document
// Usage errors exit 2; failures print "Error: " and the chain and exit 1.
#include <malloc.h>
#include <CLI/CLI.hpp>

#include <iostream>
#include <string>
#include <vector>

#include "runtime/util/log.h"
#include "runtime/util/uuid.h"
#include "tools/room/broker.h"
#include "tools/room/launcher.h"
#include "tools/room/peer.h"
#include "tools/room/word_processor_app.h"

namespace {

int report(const quern::Error& e) {
  std::cerr << "Error: " << e.report() << "\n";
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (auto installed = quern::log::install_from_environment(); !installed) return report(installed.error());

  // Everything after "--" belongs to the launched program, untouched by the parser.
  std::vector<std::string> args(argv + 1, argv + argc);
  std::vector<std::string> program;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--") {
      program.assign(args.begin() + static_cast<std::ptrdiff_t>(i) + 1, args.end());
      args.resize(i);
      break;
    }
  }

  CLI::App app{"The local room broker, its launcher and scripted participants", "quern-room"};
  app.require_subcommand(1);

  quern::room::BrokerOptions broker;
  std::vector<std::string> unadmitted;
  auto* serve = app.add_subcommand("serve", "Serve a room broker on a Unix socket");
  serve->add_option("--socket", broker.socket_path, "The socket path to listen on")->required();
  serve->add_option("--unadmitted", unadmitted, "A participant name whose published offers are not admitted");
  std::size_t max_queued_mib = broker.max_queued_bytes >> 20;
  serve
      ->add_option("--max-queued-mib", max_queued_mib,
                   "Close a participant once this much is waiting for it unread, in MiB")
      ->capture_default_str();

  std::string launch_socket;
  auto* launch = app.add_subcommand("launch", "Run a program with a broker connection in QUERN_SVC_COLLAB_FD");
  launch->add_option("--socket", launch_socket, "The broker's socket")->required();

  quern::room::PeerOptions peer;
  std::string room_text;
  std::string record;
  std::uint64_t exit_after = 0;
  bool no_join = false, no_announce = false, no_stdin = false;
  auto* p = app.add_subcommand("peer", "Join a room as a scripted participant; print every frame as a JSON line");
  p->add_option("--socket", peer.socket, "The broker's socket")->required();
  p->add_option("--room", room_text, "The room's UUID")->required();
  p->add_option("--app", peer.app, "The app id of the route")->capture_default_str();
  p->add_option("--record", record, "The record of the route (absent: an untitled document)");
  p->add_option("--name", peer.name, "The participant's name")->capture_default_str();
  p->add_option("--kind", peer.kind, "\"app\" or \"agent\"")->capture_default_str();
  p->add_option("--state", peer.state_file, "A saved document state to answer document requests with");
  p->add_flag("--send-state", peer.send_state, "Also send the --state to the room once joined");
  p->add_option("--changes", peer.changes_file, "A change set to send to the room once joined");
  p->add_option("--publish", peer.publish_file, "Catalogue offers (JSON) to publish once joined");
  p->add_option("--actions", peer.actions_file, "An action script (JSON) answering brokered action requests");
  p->add_option("--mint", peer.mint_file, "A task (JSON) to mint through the Task Center once joined");
  p->add_option("--mint-for", peer.mint_to, "The agent the task is minted for (default Claude)");
  p->add_flag("--no-join", no_join, "Say hello but do not join the room");
  p->add_flag("--no-announce", no_announce, "Do not send a room announcement on joining");
  p->add_flag("--no-stdin", no_stdin, "Do not read commands from standard input");
  p->add_option("--exit-after-ms", exit_after, "Leave after this many milliseconds");

  quern::room::WordProcessorAppOptions writer;
  std::string writer_room, writer_record, writer_markdown, writer_state;
  std::vector<std::string> writer_appends;
  bool writer_no_stdin = false;
  auto* apps = app.add_subcommand("app", "Join a room as a scripted app participant");
  apps->require_subcommand(1);
  auto* wp =
      apps->add_subcommand("word-processor",
                           "A word processor holding a folio document: answers document requests, merges what it "
                           "receives, makes the edits it is told to and prints its document as it changes");
  wp->add_option("--socket", writer.socket, "The broker's socket")->required();
  wp->add_option("--room", writer_room, "The room's UUID")->required();
  wp->add_option("--app", writer.app, "The app id of the route")->capture_default_str();
  wp->add_option("--record", writer_record, "The record of the route (absent: an untitled document)");
  wp->add_option("--name", writer.name, "The participant's name, also its actor")->capture_default_str();
  auto* markdown = wp->add_option("--markdown", writer_markdown, "Markdown the document is built from");
  auto* state = wp->add_option("--state", writer_state, "A saved folio document to start from instead");
  markdown->excludes(state);
  wp->add_option("--append", writer_appends, "A paragraph appended once joined (repeatable)");
  wp->add_option("--command", writer.commands, "A command of the line protocol run once joined (repeatable)");
  wp->add_flag("--print-final", writer.print_final, "Print the document only once, when leaving");
  wp->add_flag("--no-stdin", writer_no_stdin, "Read no commands from standard input (and run until a signal)");

  std::vector<std::string> reversed(args.rbegin(), args.rend());
  try {
    app.parse(reversed);
  } catch (const CLI::ParseError& e) {
    return app.exit(e) == 0 ? 0 : 2;
  }

  if (serve->parsed()) {
    // Frames up to the bound come from the heap and the heap keeps what a relayed save freed, so
    // a stream of large saves does not map and fault in fresh pages for each one.
    ::mallopt(M_MMAP_THRESHOLD, static_cast<int>(quern::collab::kMaxFrameBytes) + (1 << 20));
    ::mallopt(M_TRIM_THRESHOLD, 64 << 20);
    broker.unadmitted.insert(unadmitted.begin(), unadmitted.end());
    broker.max_queued_bytes = max_queued_mib << 20;
    quern::room::Broker b(std::move(broker));
    if (auto r = b.listen(); !r) return report(r.error());
    if (auto r = b.run(); !r) return report(r.error());
    return 0;
  }
  if (launch->parsed()) {
    auto status = quern::room::launch(launch_socket, program);
    if (!status) return report(status.error());
    return *status;
  }
  if (wp->parsed()) {
    const auto room = quern::Uuid::parse(writer_room);
    if (!room) {
      std::cerr << "error: --room: '" << writer_room << "' is not a UUID\n";
      return 2;
    }
    if (wp->count("--markdown") == 0 && wp->count("--state") == 0) {
      std::cerr << "error: give the document with --markdown FILE or --state FILE\n";
      return 2;
    }
    writer.room = *room;
    if (wp->count("--record") > 0) writer.record = writer_record;
    if (wp->count("--markdown") > 0) writer.markdown_file = writer_markdown;
    if (wp->count("--state") > 0) writer.state_file = writer_state;
    // Appends run first, in order, then the commands.
    std::vector<std::string> commands;
    for (const auto& text : writer_appends) commands.push_back("append " + text);
    commands.insert(commands.end(), writer.commands.begin(), writer.commands.end());
    writer.commands = std::move(commands);
    writer.read_stdin = !writer_no_stdin;
    return quern::room::run_word_processor_app(writer);
  }
  const auto room = quern::Uuid::parse(room_text);
  if (!room) {
    std::cerr << "error: --room: '" << room_text << "' is not a UUID\n";
    return 2;
  }
  peer.room = *room;
  if (p->count("--record") > 0) peer.record = record;
  if (p->count("--exit-after-ms") > 0) peer.exit_after_ms = exit_after;
  peer.join = !no_join;
  peer.announce = !no_announce;
  peer.read_stdin = !no_stdin;
  return quern::room::run_peer(peer);
}
