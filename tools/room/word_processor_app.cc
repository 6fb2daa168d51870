#include "tools/room/word_processor_app.h"

#include <signal.h>

#include <atomic>
#include <fstream>
#include <iostream>
#include <iterator>

#include "runtime/collab/collaboration_manager.h"
#include "runtime/collab/unix_socket.h"
#include "runtime/folio/codecs/markdown.h"
#include "runtime/folio/doc_mut.h"
#include "runtime/folio/history.h"
#include "runtime/folio/lookup.h"
#include "runtime/folio/materialize.h"
#include "runtime/folio/schema.h"
#include "runtime/util/json.h"
#include "runtime/util/unicode.h"
#include "tools/room/stdin_lines.h"

namespace quern::room {
namespace {

using namespace quern::collab;
namespace model = folio::model;

std::atomic<bool> g_stop{false};

void on_signal(int) { g_stop = true; }

void print(const Json& line) { std::cout << dump_json(line) << std::endl; }

void print_error(const Error& e) { print(Json{{"event", "error"}, {"message", e.to_string()}}); }

Result<std::string> read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return fail("cannot read " + path);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The document the participant holds, with the schema handle it was opened with.
class HeldDocument {
 public:
  static Result<HeldDocument> from_markdown(std::string_view text, const crdt::ActorId& actor) {
    const model::Fragment fragment =
        QUERN_TRY_CTX(folio::codecs::markdown::MarkdownCodec().import(text), "import the markdown");
    crdt::Document doc = QUERN_TRY(model::new_document(actor));
    const model::Schema schema = QUERN_TRY(model::open(doc));
    {
      model::DocMut mut(doc, schema);
      QUERN_TRY_CTX(mut.insert_fragment(model::Region::Body, std::nullopt, fragment), "write the markdown");
    }
    folio::history::commit_stamped(doc);
    return HeldDocument(std::move(doc), schema);
  }

  static Result<HeldDocument> from_state(std::string_view bytes, const crdt::ActorId& actor) {
    crdt::Document doc = QUERN_TRY_CTX(
        crdt::Document::load(crdt::ByteView(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size())),
        "load the state");
    const model::Schema schema = QUERN_TRY_CTX(model::open(doc), "the state has no folio schema");
    doc.set_actor(actor);
    return HeldDocument(std::move(doc), schema);
  }

  crdt::Document& document() { return doc_; }

  // A body block named by its 1-based position or by its id.
  Result<std::string> resolve(std::string_view ref) const {
    const auto ids = model::blocks_in_order(doc_, schema_);
    if (!ref.empty() && ref.find_first_not_of("0123456789") == std::string_view::npos) {
      const std::size_t at = ref.size() > 9 ? 0 : std::stoul(std::string(ref));
      if (at == 0 || at > ids.size()) {
        return fail("there is no block " + std::string(ref) + ": the body has " + std::to_string(ids.size()));
      }
      return ids[at - 1];
    }
    for (const auto& id : ids) {
      if (id == ref) return id;
    }
    return fail("no body block has the id " + std::string(ref));
  }

  Result<std::string> append(std::string_view text) {
    const auto ids = model::blocks_in_order(doc_, schema_);
    model::DocMut mut(doc_, schema_);
    std::optional<std::string_view> after;
    if (!ids.empty()) after = ids.back();
    const std::string id = QUERN_TRY(mut.insert_block(after, "paragraph"));
    QUERN_TRY(mut.splice_text(id, 0, 0, text));
    return id;
  }

  Result<std::string> edit(std::string_view ref, std::string_view text) {
    const std::string id = QUERN_TRY(resolve(ref));
    const std::string old = model::block_text(doc_, schema_, id).value_or("");
    model::DocMut mut(doc_, schema_);
    QUERN_TRY(mut.splice_text(id, 0, unicode::char_count(old), text));
    return id;
  }

  Result<std::string> remove(std::string_view ref) {
    const std::string id = QUERN_TRY(resolve(ref));
    model::DocMut mut(doc_, schema_);
    QUERN_TRY(mut.tombstone_block_in(model::Region::Body, id));
    return id;
  }

  // Closes the edit as a stamped commit; the change set to send (empty when nothing changed).
  crdt::Bytes commit() {
    folio::history::commit_stamped(doc_);
    return doc_.save_incremental();
  }

  // Merges a whole state of the same document (the same schema genesis); nothing for a state of
  // another document. True when the heads moved.
  std::optional<bool> merge_state(crdt::ByteView bytes) {
    auto incoming = crdt::Document::load(bytes);
    if (!incoming) return std::nullopt;
    const auto mine = folio::history::genesis(doc_);
    if (!mine || folio::history::genesis(*incoming) != mine) return std::nullopt;
    return received([&] { return doc_.merge(*incoming).has_value(); });
  }

  // Loads a change set that continues this document: every dependency it lacks is here, and it
  // starts no history of its own. Nothing for a change set of another document.
  std::optional<bool> merge_changes(crdt::ByteView bytes) {
    crdt::Document scratch;
    if (!scratch.load_incremental(bytes)) return std::nullopt;
    for (const auto& dep : scratch.get_missing_deps({})) {
      if (!doc_.get_change_by_hash(dep)) return std::nullopt;
    }
    for (const auto& change : scratch.get_changes()) {
      if (change.deps.empty() && !doc_.get_change_by_hash(change.hash)) return std::nullopt;
    }
    return received([&] { return doc_.load_incremental(bytes).has_value(); });
  }

  Json describe(std::string_view reason) const {
    Json line{{"event", "document"}, {"reason", reason}};
    auto view = model::materialize(doc_, schema_);
    if (!view) {
      line["error"] = view.error().to_string();
      return line;
    }
    Json blocks = Json::array();
    for (const auto& b : view->body()) blocks.push_back(Json{{"id", b.id}, {"kind", b.kind}, {"text", b.text}});
    line["blocks"] = std::move(blocks);
    line["markdown"] = folio::codecs::markdown::MarkdownCodec().export_document(*view);
    return line;
  }

 private:
  HeldDocument(crdt::Document doc, model::Schema schema) : doc_(std::move(doc)), schema_(std::move(schema)) {
    (void)doc_.save_incremental();
  }

  template <typename Apply>
  std::optional<bool> received(Apply apply) {
    const auto heads = doc_.heads();
    if (!apply()) return std::nullopt;
    (void)doc_.save_incremental();  // what arrived is not ours to send again
    return doc_.heads() != heads;
  }

  crdt::Document doc_;
  model::Schema schema_;
};

class WordProcessorApp {
 public:
  WordProcessorApp(const WordProcessorAppOptions& options, CollaborationManager manager, HeldDocument held)
      : options_(options), manager_(std::move(manager)), held_(std::move(held)) {}

  int run() {
    StdinLines input;
    if (options_.read_stdin) input.start();
    manager_.join_route(options_.room);
    if (!options_.print_final) print(held_.describe("loaded"));
    int status = 0;
    while (!g_stop && !quit_) {
      manager_.wait(std::chrono::milliseconds(20));
      auto events = manager_.poll();
      if (!events) {
        print(Json{{"event", "closed"}, {"reason", events.error().to_string()}});
        status = 1;
        break;
      }
      for (const auto& e : *events) react(e);
      const bool ended = options_.read_stdin && input.ended();
      for (const auto& line : input.take()) command(line);
      if (ended) break;
    }
    if (options_.print_final) print(held_.describe("final"));
    manager_.close();
    return status;
  }

 private:
  void send(Message m) {
    if (auto r = manager_.send(std::move(m)); !r) print_error(r.error());
  }

  void react(const CollabEvent& e) {
    if (e.is<Joined>()) {
      if (joined_) return;
      joined_ = true;
      print(Json{{"event", "joined"}, {"room", e.get<Joined>()->room}});
      send(RoomAnnouncement{options_.room.to_string()});
      for (const auto& c : options_.commands) command(c);
      return;
    }
    if (e.is<DocumentRequest>()) {
      crdt::Bytes save = held_.document().save();
      print(Json{{"event", "answered"}, {"to", e.from.name}, {"bytes", save.size()}});
      send(DocumentBytes{DocumentPayload::Whole, Blob::take(std::move(save))});
      return;
    }
    const auto* doc = e.get<DocumentBytes>();
    if (doc == nullptr) return;
    std::optional<bool> merged;
    if (doc->payload == DocumentPayload::Whole) merged = held_.merge_state(doc->bytes.bytes());
    if (doc->payload == DocumentPayload::Incremental) merged = held_.merge_changes(doc->bytes.bytes());
    if (!merged) {
      print(Json{{"event", "ignored"},
                 {"reason", "not this document"},
                 {"from", e.from.name},
                 {"payload", doc->payload == DocumentPayload::Whole ? "whole" : "incremental"},
                 {"bytes", doc->bytes.size()}});
      return;
    }
    if (*merged && !options_.print_final) {
      Json line = held_.describe("merged");
      line["from"] = e.from.name;
      print(line);
    }
  }

  // One command of the line protocol (README.md).
  void command(const std::string& raw) {
    const std::string_view line = unicode::trim(raw);
    if (line.empty() || line.front() == '#') return;
    const std::size_t space = line.find(' ');
    const std::string_view verb = line.substr(0, space);
    const std::string_view rest = space == std::string_view::npos ? std::string_view() : line.substr(space + 1);
    const std::size_t ref_end = rest.find(' ');
    const std::string_view ref = rest.substr(0, ref_end);
    const std::string_view text = ref_end == std::string_view::npos ? std::string_view() : rest.substr(ref_end + 1);

    Result<std::string> edited = fail("");
    if (verb == "append") {
      edited = held_.append(rest);
    } else if (verb == "edit" && !ref.empty()) {
      edited = held_.edit(ref, text);
    } else if (verb == "remove" && !ref.empty() && ref_end == std::string_view::npos) {
      edited = held_.remove(ref);
    } else if (verb == "print" && rest.empty()) {
      print(held_.describe("asked"));
      return;
    } else if (verb == "quit" && rest.empty()) {
      quit_ = true;
      return;
    } else {
      print_error(Error("not a command: " + std::string(line)));
      return;
    }
    if (!edited) {
      held_.document().rollback();
      return print_error(edited.error().with_context(std::string(verb)));
    }
    crdt::Bytes changes = held_.commit();
    Json sent{{"event", "sent"}, {"command", verb}, {"block", *edited}, {"bytes", changes.size()}};
    if (!changes.empty()) send(DocumentBytes{DocumentPayload::Incremental, Blob::take(std::move(changes))});
    print(sent);
    if (!options_.print_final) print(held_.describe("edited"));
  }

  const WordProcessorAppOptions& options_;
  CollaborationManager manager_;
  HeldDocument held_;
  bool joined_ = false;
  bool quit_ = false;
};

}  // namespace

int run_word_processor_app(const WordProcessorAppOptions& options) {
  struct sigaction sa {};
  sa.sa_handler = on_signal;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  ::signal(SIGPIPE, SIG_IGN);

  const auto report = [](const Error& e) {
    std::cerr << "Error: " << e.report() << "\n";
    return 1;
  };
  const crdt::ActorId actor(options.name);
  Result<HeldDocument> held = fail("give the document with --markdown or --state");
  if (options.markdown_file) {
    auto text = read_file(*options.markdown_file);
    if (!text) return report(text.error());
    held = HeldDocument::from_markdown(*text, actor);
  } else if (options.state_file) {
    auto bytes = read_file(*options.state_file);
    if (!bytes) return report(bytes.error());
    held = HeldDocument::from_state(*bytes, actor);
  }
  if (!held) return report(held.error());

  auto fd = connect_unix_socket(options.socket);
  if (!fd) return report(fd.error().with_context("connect to the broker at " + options.socket));
  auto manager = CollaborationManager::for_route_from(ConnectedSocket{std::move(*fd)}, options.app, options.room,
                                                      options.record, options.name, "app");
  if (!manager) return report(manager.error());
  print(Json{{"event", "welcome"}, {"participant", manager->identity().participant}, {"name", options.name}});
  WordProcessorApp app(options, std::move(*manager), std::move(*held));
  return app.run();
}

}  // namespace quern::room
