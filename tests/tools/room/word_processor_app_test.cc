// The scripted word-processor participant as tests and the demo drive it: a real `quern-room app
// word-processor` process in a real room, with a member holding its own folio replica of the
// same document next to it.
#include <gtest/gtest.h>

#include <signal.h>

#include "runtime/collab/collab_event.h"
#include "runtime/crdt/document.h"
#include "runtime/folio/doc_mut.h"
#include "runtime/folio/history.h"
#include "runtime/folio/lookup.h"
#include "runtime/folio/materialize.h"
#include "runtime/folio/schema.h"
#include "runtime/util/json.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"
#include "tests/tools/room/room_fixture.h"

namespace quern::room::test {
namespace {

using quern::test::Child;
using quern::test::TempDir;
using quern::test::write_file;

const std::string kTool = quern::test::built_program("quern-room");
const collab::Route kWordProcessor{"ix.quern.word-processor", kRoomA, std::nullopt};
constexpr std::string_view kBrief = "# Brief\n\n- one\n- two\n\nSome text.\n";

std::vector<Json> lines(Child& c, std::string_view event) {
  std::vector<Json> found;
  const std::string& out = c.out();
  std::size_t at = 0;
  while (at < out.size()) {
    const std::size_t nl = out.find('\n', at);
    if (nl == std::string::npos) break;
    auto j = parse_json(std::string_view(out).substr(at, nl - at));
    if (j && j->value("event", "") == event) found.push_back(*j);
    at = nl + 1;
  }
  return found;
}

// The `n`-th line (1-based) of `event` the participant printed, waiting for it.
Json nth_line(Child& c, std::string_view event, std::size_t n = 1) {
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (true) {
    if (auto found = lines(c, event); found.size() >= n) return found[n - 1];
    if (std::chrono::steady_clock::now() > deadline) {
      ADD_FAILURE() << "no " << event << " line #" << n << " in:\n" << c.out() << c.err();
      return Json();
    }
    c.wait_for_stdout("\x01", 20ms);
  }
}

std::vector<std::string> texts_of(const Json& document) {
  std::vector<std::string> out;
  for (const auto& b : document.value("blocks", Json::array())) out.push_back(b.value("text", ""));
  return out;
}

std::vector<std::string> body_texts(const crdt::Document& doc) {
  std::vector<std::string> out;
  auto schema = folio::model::open(doc);
  if (!schema) return out;
  auto view = folio::model::materialize(doc, *schema);
  if (!view) return out;
  for (const auto& b : view->body()) out.push_back(b.text);
  return out;
}

Child writer(const BrokerProcess& broker, std::vector<std::string> extra) {
  std::vector<std::string> argv{kTool, "app", "word-processor", "--socket", broker.socket(), "--room", kRoomA};
  argv.insert(argv.end(), extra.begin(), extra.end());
  Child c = Child::spawn(argv);
  EXPECT_TRUE(c.wait_for_stdout("\"event\":\"joined\"", 5s)) << c.out() << c.err();
  return c;
}

// A member of the room that asks for the document and keeps a replica of it.
struct Reader {
  explicit Reader(const BrokerProcess& broker) : member(Member::join(broker.socket(), "bob", "app", kWordProcessor)) {}

  crdt::Document fetch() {
    EXPECT_TRUE(member.client().send(collab::DocumentRequest{"ix.quern.word-processor", std::nullopt}));
    auto bytes = member.expect<collab::DocumentBytes>();
    EXPECT_EQ(bytes.payload, collab::DocumentPayload::Whole);
    auto doc = crdt::Document::load(bytes.bytes.bytes());
    EXPECT_TRUE(doc.has_value());
    return doc ? std::move(*doc) : crdt::Document();
  }
  // The next change set the participant sends, loaded into `doc`.
  void take_changes(crdt::Document& doc) {
    auto bytes = member.expect<collab::DocumentBytes>();
    EXPECT_EQ(bytes.payload, collab::DocumentPayload::Incremental);
    EXPECT_TRUE(doc.load_incremental(bytes.bytes.bytes()).has_value());
  }
  void send(collab::DocumentPayload payload, crdt::Bytes bytes) {
    EXPECT_TRUE(member.client().send(collab::DocumentBytes{payload, collab::Blob::take(std::move(bytes))}));
  }

  Member member;
};

std::string append_paragraph(crdt::Document& doc, std::string_view text) {
  auto schema = folio::model::open(doc);
  const auto ids = folio::model::blocks_in_order(doc, *schema);
  folio::model::DocMut mut(doc, *schema);
  auto id = mut.insert_block(ids.empty() ? std::nullopt : std::optional<std::string_view>(ids.back()), "paragraph");
  EXPECT_TRUE(mut.splice_text(*id, 0, 0, text).has_value());
  folio::history::commit_stamped(doc);
  return *id;
}

TEST(WordProcessorApp, HoldsTheMarkdownAnswersRequestsAndMergesChangesOfItsOwnDocumentOnly) {
  BrokerProcess broker;
  TempDir dir;
  write_file(dir.file("brief.md"), std::string(kBrief));
  Child app = writer(broker, {"--markdown", dir.file("brief.md")});

  const Json loaded = nth_line(app, "document");
  EXPECT_EQ(loaded["reason"], "loaded");
  EXPECT_EQ(loaded["markdown"], "# Brief\n\n- one\n- two\n\nSome text.\n");
  ASSERT_EQ(loaded["blocks"].size(), 4u);
  EXPECT_EQ(loaded["blocks"][0]["kind"], "heading");
  EXPECT_EQ(loaded["blocks"][1]["kind"], "list_item");

  Reader bob(broker);
  crdt::Document replica = bob.fetch();
  EXPECT_EQ(body_texts(replica), (std::vector<std::string>{"Brief", "one", "two", "Some text."}));
  EXPECT_EQ(nth_line(app, "answered")["to"], "bob");

  (void)replica.save_incremental();
  replica.set_actor(crdt::ActorId(std::string_view("bob")));
  append_paragraph(replica, "Claude: make a table");
  const crdt::Bytes change = replica.save_incremental();
  bob.send(collab::DocumentPayload::Incremental, change);
  const Json merged = nth_line(app, "document", 2);
  EXPECT_EQ(merged["reason"], "merged");
  EXPECT_EQ(merged["from"], "bob");
  EXPECT_EQ(texts_of(merged).back(), "Claude: make a table");
  EXPECT_NE(merged["markdown"].get<std::string>().find("Claude: make a table\n"), std::string::npos);

  bob.send(collab::DocumentPayload::Incremental, change);  // a duplicate changes nothing, prints nothing
  auto stranger = folio::model::new_document(crdt::ActorId(std::string_view("zoe")));
  ASSERT_TRUE(stranger.has_value());
  append_paragraph(*stranger, "another document");
  bob.send(collab::DocumentPayload::Whole, stranger->save());
  bob.send(collab::DocumentPayload::Incremental, stranger->save());
  const Json ignored_state = nth_line(app, "ignored", 1);
  const Json ignored_changes = nth_line(app, "ignored", 2);
  EXPECT_EQ(ignored_state["payload"], "whole");
  EXPECT_EQ(ignored_changes["payload"], "incremental");
  EXPECT_EQ(lines(app, "document").size(), 2u) << app.out();

  append_paragraph(replica, "a later paragraph");
  bob.send(collab::DocumentPayload::Whole, replica.save());
  EXPECT_EQ(texts_of(nth_line(app, "document", 3)).back(), "a later paragraph")
      << "a whole state of its own document merges";
}

TEST(WordProcessorApp, MakesTheEditsItIsToldAndSendsEachAsAChangeSet) {
  BrokerProcess broker;
  TempDir dir;
  write_file(dir.file("brief.md"), std::string(kBrief));
  Reader bob(broker);
  Child app = writer(broker, {"--markdown", dir.file("brief.md"), "--append", "From the command line"});
  bob.member.expect<collab::DocumentBytes>();  // the command line's append, before bob has the document
  crdt::Document replica = bob.fetch();
  EXPECT_EQ(body_texts(replica).back(), "From the command line");

  app.write_stdin("append Claude: turn the bullets into a table\n");
  bob.take_changes(replica);
  EXPECT_EQ(body_texts(replica).back(), "Claude: turn the bullets into a table");
  const Json sent = nth_line(app, "sent", 2);
  EXPECT_EQ(sent["command"], "append");
  const std::string id = sent["block"];

  app.write_stdin("edit 6 Claude: something else\n");
  bob.take_changes(replica);
  EXPECT_EQ(body_texts(replica).back(), "Claude: something else");
  app.write_stdin("edit " + id + " by its id\n");
  bob.take_changes(replica);
  EXPECT_EQ(body_texts(replica).back(), "by its id");
  app.write_stdin("remove 2\n");
  bob.take_changes(replica);
  EXPECT_EQ(body_texts(replica),
            (std::vector<std::string>{"Brief", "two", "Some text.", "From the command line", "by its id"}));
  const Json edited = nth_line(app, "document", 6);
  EXPECT_EQ(edited["reason"], "edited");
  EXPECT_EQ(texts_of(edited), body_texts(replica));

  app.write_stdin("edit 99 nowhere\nremove no-such-id\nfrobnicate\nremove 1 2\n\n# a comment\n");
  const Json e1 = nth_line(app, "error", 1);
  EXPECT_EQ(e1["message"], "edit: there is no block 99: the body has 5");
  EXPECT_EQ(nth_line(app, "error", 2)["message"], "remove: no body block has the id no-such-id");
  EXPECT_EQ(nth_line(app, "error", 3)["message"], "not a command: frobnicate");
  EXPECT_EQ(nth_line(app, "error", 4)["message"], "not a command: remove 1 2");
  app.write_stdin("print\n");
  EXPECT_EQ(texts_of(nth_line(app, "document", 7)), body_texts(replica)) << "failed commands changed nothing";
  EXPECT_EQ(lines(app, "error").size(), 4u) << "blank and comment lines are no commands";
}

TEST(WordProcessorApp, WithPrintFinalPrintsTheDocumentOnceAtTheEndOfInputOrOnATerminationSignal) {
  BrokerProcess broker;
  TempDir dir;
  write_file(dir.file("brief.md"), "Hello\n");
  {
    Child app = writer(broker, {"--markdown", dir.file("brief.md"), "--print-final"});
    app.write_stdin("append Claude: hi\nedit 1 Hello, world\n");
    app.close_stdin();
    EXPECT_EQ(app.wait(5s), 0);
    const auto docs = lines(app, "document");
    ASSERT_EQ(docs.size(), 1u) << app.out();
    EXPECT_EQ(docs[0]["reason"], "final");
    EXPECT_EQ(docs[0]["markdown"], "Hello, world\n\nClaude: hi\n");
    EXPECT_EQ(lines(app, "sent").size(), 2u);
  }
  {
    Child app = writer(broker, {"--markdown", dir.file("brief.md"), "--print-final", "--no-stdin"});
    EXPECT_EQ(app.wait(300ms), std::nullopt) << "without standard input it runs until told to stop";
    EXPECT_EQ(app.stop(SIGTERM), 0);
    const auto docs = lines(app, "document");
    ASSERT_EQ(docs.size(), 1u) << app.out();
    EXPECT_EQ(docs[0]["markdown"], "Hello\n");
  }
}

TEST(WordProcessorApp, StartsFromASavedStateOrRefusesOne) {
  BrokerProcess broker;
  TempDir dir;
  auto doc = folio::model::new_document(crdt::ActorId(std::string_view("ann")));
  ASSERT_TRUE(doc.has_value());
  append_paragraph(*doc, "saved before");
  const crdt::Bytes saved = doc->save();
  write_file(dir.file("state.bin"), std::string(saved.begin(), saved.end()));
  Child app = writer(broker, {"--state", dir.file("state.bin")});
  EXPECT_EQ(texts_of(nth_line(app, "document")), std::vector<std::string>{"saved before"});

  crdt::Document plain;
  ASSERT_TRUE(plain.put(crdt::ObjId::root(), "seeded", true).has_value());
  const crdt::Bytes chat = plain.save();
  write_file(dir.file("chat.bin"), std::string(chat.begin(), chat.end()));
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string_view err;
  };
  for (const auto& c : {Case{{"--state", dir.file("chat.bin")}, 1, "Error: the state has no folio schema"},
                        Case{{"--state", dir.file("missing.bin")}, 1, "Error: cannot read"},
                        Case{{}, 2, "--markdown FILE or --state FILE"},
                        Case{{"--markdown", dir.file("chat.bin"), "--state", dir.file("chat.bin")}, 2, "excludes"}}) {
    std::vector<std::string> argv{kTool, "app", "word-processor", "--socket", broker.socket(), "--room", kRoomA};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    const auto r = quern::test::run_process(argv);
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
  }
}

}  // namespace
}  // namespace quern::room::test
