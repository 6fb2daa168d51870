// The word processor's action directory over real documents: which actions and resources it
// publishes under which conditions, their labels and contracts, the encoders' argument errors,
// the view command JSON, and actions invoked end to end and applied to the document.
#include "apps/word-processor/src/directory.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "apps/word-processor/src/action_json.h"
#include "apps/word-processor/src/command.h"
#include "apps/word-processor/src/editor_context.h"
#include "runtime/actions/door.h"
#include "runtime/folio/blobstore.h"
#include "runtime/folio/history.h"
#include "tests/apps/word-processor/writer_doc.h"

namespace quern::word_processor {
namespace {

using actions::Resource;
using test::WriterDoc;

std::vector<std::string> action_names(const Resource& r) {
  std::vector<std::string> out;
  for (const auto& a : r.actions()) out.push_back(a.name());
  return out;
}

std::vector<std::string> child_ids(const Resource& r) {
  std::vector<std::string> out;
  for (const auto& c : r.children()) out.push_back(c.id());
  return out;
}

const Resource* child(const Resource& r, std::string_view id) {
  for (const auto& c : r.children()) {
    if (c.id() == id) return &c;
  }
  return nullptr;
}

bool has_action(const Resource& r, std::string_view name) { return r.find_action(name) != nullptr; }

// The payload an action encodes when it takes no arguments.
Json payload_of(const Resource& r, std::string_view name) {
  const auto* a = r.find_action(name);
  EXPECT_NE(a, nullptr) << name;
  if (a == nullptr) return Json();
  auto encoded = a->encoder()(actions::ActionArgs());
  EXPECT_TRUE(encoded.has_value()) << name;
  return encoded ? encoded->payload : Json();
}

const std::vector<std::string> kLeading = {"open",     "save",       "save-as",    "find",        "zoom-in",
                                           "zoom-out", "zoom-reset", "spellcheck", "markup",      "styles",
                                           "ruler",    "outline",    "history",    "insert-table"};

std::vector<std::string> with(std::vector<std::string> head, const std::vector<std::string>& tail) {
  head.insert(head.end(), tail.begin(), tail.end());
  return head;
}

TEST(Excerpt, CollapsesTrimsFallsBackAndCuts) {
  struct Case {
    std::string text, want;
  };
  const std::string fifty(50, 'x');
  for (const Case& c : std::vector<Case>{
           {"  Hello \n\t world  ", "Hello world"},
           {" \n ", "Fallback"},
           {"", "Fallback"},
           {std::string(48, 'a'), std::string(48, 'a')},
           {std::string(49, 'a'), std::string(45, 'a') + "…"},
           {"é" + fifty, "é" + std::string(44, 'x') + "…"},  // counts characters, not bytes
       }) {
    EXPECT_EQ(excerpt(c.text, "Fallback"), c.want) << c.text;
  }
}

TEST(WordProcessorCommandJson, RoundTripsEveryVariantInItsForm) {
  struct Case {
    WordProcessorCommand command;
    std::string json;
  };
  for (const Case& c : std::vector<Case>{
           {command::Open{}, R"({"Open":{"path":null}})"},
           {command::Save{"/tmp/a.doc"}, R"({"Save":{"path":"/tmp/a.doc"}})"},
           {command::SaveAs{}, R"({"SaveAs":{"path":null}})"},
           {command::Find{}, R"("Find")"},
           {command::ZoomIn{}, R"("ZoomIn")"},
           {command::ToggleHistory{}, R"("ToggleHistory")"},
           {command::NavigateTo{"b1", 2, 5}, R"({"NavigateTo":{"block":"b1","start":2,"end":5}})"},
           {command::ShowRevision{6}, R"({"ShowRevision":{"index":6}})"},
       }) {
    EXPECT_EQ(dump_json(command_to_json(c.command)), c.json);
    auto back = command_from_json(*parse_json(c.json));
    ASSERT_TRUE(back.has_value()) << c.json << ": " << back.error().to_string();
    EXPECT_EQ(*back, c.command) << c.json;
  }
  EXPECT_EQ(*command_from_json(*parse_json(R"({"Open":{}})")), WordProcessorCommand(command::Open{}));
  for (const char* bad : {R"("Zoom")", R"("Open")", R"({"NavigateTo":{"block":"b","start":-1,"end":2}})",
                          R"({"Save":{"path":3}})", R"({"ShowRevision":{}})", R"(7)", R"({"Find":{},"ZoomIn":{}})"}) {
    EXPECT_FALSE(command_from_json(*parse_json(bad)).has_value()) << bad;
  }
}

TEST(Directory, UnopenableDocumentHasTheLeadingActionsOnlyAndNoChildren) {
  const crdt::Document blank;
  EditorContext context;
  context.caret_block = "b1";
  context.spans = {Span{"b1", 0, 3}};
  context.selection = Selection{"b1", 0, "b1", 3};
  const Resource root = directory(blank, context);
  EXPECT_EQ(root.id(), "word-processor.document");
  EXPECT_EQ(root.kind(), "word_processor.document");
  EXPECT_EQ(root.label(), "Document");
  EXPECT_EQ(action_names(root), with(kLeading, {"set-hyperlink", "replace-selection", "add-comment"}));
  EXPECT_TRUE(root.children().empty());
  EXPECT_EQ(with_agent_defaults(blank, {}).caret_block, "");
  EXPECT_TRUE(with_agent_defaults(blank, {}).blocks.empty());
}

TEST(Directory, SelectionDecidesTheContextActions) {
  const WriterDoc w = WriterDoc::make();
  const crdt::Document doc = w.fresh();
  struct Case {
    std::string what;
    Region region;
    std::optional<Selection> selection;
    bool replace, comment;
  };
  for (const Case& c : std::vector<Case>{
           {"no selection", Region::Body, std::nullopt, false, false},
           {"one block", Region::Body, Selection{w.accents, 0, w.accents, 4}, true, true},
           {"two blocks", Region::Body, Selection{w.accents, 0, w.styled, 4}, true, false},
           {"collapsed", Region::Body, Selection{w.accents, 2, w.accents, 2}, true, false},
           {"in the header", Region::Header, Selection{w.header, 0, w.header, 6}, true, false},
       }) {
    EditorContext context = with_agent_defaults(doc, {});
    context.region = c.region;
    context.selection = c.selection;
    const Resource root = directory(doc, context);
    EXPECT_EQ(has_action(root, "replace-selection"), c.replace) << c.what;
    EXPECT_EQ(has_action(root, "add-comment"), c.comment) << c.what;
    EXPECT_EQ(
        child(root, "word-processor.selection:" + (c.selection ? c.selection->start_block : "")) != nullptr ||
            (c.selection && !root.children().empty() && root.children().front().kind() == "word_processor.selection"),
        c.selection.has_value())
        << c.what;
    EXPECT_FALSE(has_action(root, "set-hyperlink")) << c.what << ": no spans";
  }
}

TEST(Directory, AgentDefaultsPutTheCaretOnTheFirstBodyBlock) {
  const WriterDoc w = WriterDoc::make();
  const crdt::Document doc = w.fresh();
  EditorContext given;
  given.search_hits = {SearchHit{w.accents, 0, 4}};
  const EditorContext context = with_agent_defaults(doc, given);
  EXPECT_EQ(context.caret_block, w.title);
  EXPECT_EQ(context.blocks, std::vector<std::string>{w.title});
  EXPECT_TRUE(context.search_hits.empty());

  const Resource root = directory(doc, context);
  EXPECT_EQ(action_names(root), with(kLeading, {"place-image", "insert-page-break", "align-left", "align-center",
                                                "align-right", "align-justify"}));
  EXPECT_EQ(dump_json(payload_of(root, "insert-table")),
            R"({"InsertTable":{"after":")" + w.title + R"(","rows":2,"cols":2}})");
  EXPECT_EQ(dump_json(payload_of(root, "align-center")), R"({"SetBlockAttr":{"region":"Body","blocks":[")" + w.title +
                                                             R"("],"key":"align","value":{"Str":"center"}}})");
  EXPECT_EQ(dump_json(payload_of(root, "zoom-reset")), R"("ZoomReset")");
}

TEST(Directory, ChildFamiliesOfAFullDocument) {
  const WriterDoc w = WriterDoc::make();
  const crdt::Document doc = w.fresh();
  const Resource root = directory(doc, with_agent_defaults(doc, {}));
  EXPECT_EQ(child_ids(root),
            (std::vector<std::string>{"word-processor.review", "word-processor.revisions", "word-processor.styles",
                                      "word-processor.image:" + w.image, "word-processor.table:tbl",
                                      "word-processor.section:" + w.title}));

  const Resource& review = *child(root, "word-processor.review");
  EXPECT_EQ(action_names(review), (std::vector<std::string>{"accept-all", "reject-all"}));
  EXPECT_EQ(child_ids(review),
            (std::vector<std::string>{"word-processor.comment:" + w.comment, "word-processor.change:" + w.change}));
  const Resource& comment = review.children()[0];
  EXPECT_EQ(comment.label(), "Comment by Ada: Check this");
  EXPECT_EQ(action_names(comment), (std::vector<std::string>{"resolve", "go-to-anchor", "reply"}));
  EXPECT_EQ(dump_json(payload_of(comment, "go-to-anchor")),
            R"({"NavigateTo":{"block":")" + w.styled + R"(","start":0,"end":6}})");
  EXPECT_EQ(review.children()[1].label(), "Insertion by Bob");
  EXPECT_EQ(dump_json(payload_of(review.children()[1], "reject")), R"({"RejectChanges":{"id":")" + w.change + "\"}}");

  const Resource& styles = *child(root, "word-processor.styles");
  EXPECT_EQ(styles.label(), "Paragraph styles");
  const Resource& custom = *child(styles, "word-processor.style:custom");
  EXPECT_EQ(custom.find_action("toggle-bold")->label(), "Make bold");
  EXPECT_EQ(dump_json(payload_of(custom, "delete")),
            R"({"DeleteStyle":{"style":"custom","fallback_blocks":[")" + w.styled + "\"]}}");
  const Resource& quote = *child(styles, "word-processor.style:quote");
  EXPECT_EQ(action_names(quote), std::vector<std::string>{"toggle-bold"});

  const Resource& image = *child(root, "word-processor.image:" + w.image);
  EXPECT_EQ(action_names(image),
            (std::vector<std::string>{"delete", "crop-inset", "free-position", "flow-left", "flow-right"}))
      << "an uncropped image offers no reset-crop";
  EXPECT_EQ(dump_json(payload_of(image, "flow-right")),
            R"({"SetImagePlacement":{"block":")" + w.image +
                R"(","anchor":"paragraph","wrap":"right","x":0,"y":0,"page":0}})");

  const Resource& table = *child(root, "word-processor.table:tbl");
  EXPECT_EQ(table.children().size(), 6u);
  EXPECT_EQ(table.children()[5].label(), "Cell 2, 3");
  EXPECT_EQ(table.children()[5].kind(), "word_processor.table-cell");
  EXPECT_EQ(dump_json(payload_of(table, "append-column")),
            R"({"EditTable":{"table":"tbl","edit":{"InsertColumn":{"at":3}}}})");
  EXPECT_EQ(dump_json(payload_of(table.children()[4], "go-to")),
            R"({"NavigateTo":{"block":")" + w.cells[4] + R"(","start":0,"end":4}})");

  const Resource& section = root.children().back();
  EXPECT_EQ(section.label(), "Title");
  EXPECT_EQ(section.kind(), "word_processor.section");
  EXPECT_EQ(action_names(section),
            (std::vector<std::string>{"align-left", "align-center", "align-right", "align-justify"}));
}

TEST(Directory, ContractsOfTheThreeFamilies) {
  const WriterDoc w = WriterDoc::make();
  const crdt::Document doc = w.fresh();
  const Resource root = directory(doc, with_agent_defaults(doc, {}));
  const auto offers = actions::door::survey(root);
  const auto offer = [&](std::string_view id) {
    for (const auto& o : offers) {
      if (o.operation_id() == id) return o;
    }
    ADD_FAILURE() << "no offer " << id;
    return actions::ActionOffer{};
  };
  const auto zoom = offer("word-processor.document#zoom-in");
  EXPECT_EQ(zoom.required_role, actions::Role::Read);
  EXPECT_EQ(zoom.risk, actions::Risk::None);
  EXPECT_EQ(zoom.retry, actions::Retry::Idempotent);
  EXPECT_FALSE(zoom.reversible);
  const auto save = offer("word-processor.document#save");
  EXPECT_EQ(save.execution, actions::Execution::background(false));
  EXPECT_EQ(save.result, actions::ActionResult::job());
  EXPECT_EQ(save.input_summary, "path (omit to use the system file picker)");
  ASSERT_EQ(save.parameters.size(), 1u);
  EXPECT_FALSE(save.parameters[0].required);
  const auto del = offer("word-processor.table:tbl#delete");
  EXPECT_TRUE(del.reversible);
  EXPECT_TRUE(del.destructive);
  EXPECT_EQ(del.risk, actions::Risk::Destructive);
  const auto row = offer("word-processor.table:tbl#append-row");
  EXPECT_TRUE(row.reversible);
  EXPECT_FALSE(row.destructive);
  const auto place = offer("word-processor.document#place-image");
  EXPECT_TRUE(place.reversible);
  EXPECT_TRUE(place.consumes_produced_content());
  EXPECT_EQ(place.content_input->name, "content hash");
  EXPECT_EQ(place.resource_kind, "word_processor.document");
}

// Applies one operation to a fresh copy and commits it.
crdt::Document with_applied(const WriterDoc& w, const WordProcessorAction& action) {
  crdt::Document doc = w.fresh();
  test::apply_ok(doc, action);
  return doc;
}

TEST(Directory, ConditionalChildActionsFollowTheDocument) {
  const WriterDoc w = WriterDoc::make();
  {
    const crdt::Document doc = with_applied(w, SetImageCrop{w.image, 4300, 0, 4300, 0});
    const Resource root = directory(doc, with_agent_defaults(doc, {}));
    const Resource& image = *child(root, "word-processor.image:" + w.image);
    EXPECT_FALSE(has_action(image, "crop-inset"));
    EXPECT_TRUE(has_action(image, "reset-crop"));
  }
  {
    const crdt::Document doc = with_applied(w, SetImageCrop{w.image, 4000, 100, 4500, 0});
    const Resource root = directory(doc, with_agent_defaults(doc, {}));
    EXPECT_EQ(dump_json(payload_of(*child(root, "word-processor.image:" + w.image), "crop-inset")),
              R"({"SetImageCrop":{"block":")" + w.image + R"(","left":4250,"top":350,"right":4750,"bottom":250}})");
  }
  {
    const crdt::Document doc = with_applied(w, SetStyleProperty{"custom", "bold", AttrValue(true)});
    const Resource root = directory(doc, with_agent_defaults(doc, {}));
    const Resource& custom = *child(*child(root, "word-processor.styles"), "word-processor.style:custom");
    EXPECT_EQ(custom.find_action("toggle-bold")->label(), "Remove bold");
    EXPECT_EQ(dump_json(payload_of(custom, "toggle-bold")),
              R"({"SetStyleProperty":{"style":"custom","key":"bold","value":{"Bool":false}}})");
  }
  {
    crdt::Document doc = with_applied(w, InsertTable{w.last, 3, 2});
    const Resource root = directory(doc, with_agent_defaults(doc, {}));
    const Resource* table = nullptr;
    for (const auto& c : root.children()) {
      if (c.kind() == "word_processor.table" && c.id() != "word-processor.table:tbl") table = &c;
    }
    ASSERT_NE(table, nullptr);
    std::vector<std::string> labels;
    for (const auto& c : table->children()) labels.push_back(c.label());
    EXPECT_EQ(labels,
              (std::vector<std::string>{"Cell 1, 1", "Cell 1, 2", "Cell 2, 1", "Cell 2, 2", "Cell 3, 1", "Cell 3, 2"}));
    const std::string id = table->id().substr(std::string("word-processor.table:").size());
    EXPECT_EQ(dump_json(payload_of(*table, "append-row")),
              R"({"EditTable":{"table":")" + id + R"(","edit":{"InsertRow":{"at":3}}}})");
  }
}

TEST(Directory, CommentRepliesNotesAndBookmarksAreListed) {
  WriterDoc w = WriterDoc::make();
  crdt::Document doc = w.fresh();
  {
    const auto schema = *folio::model::open(doc);
    folio::model::DocMut mut(doc, schema);
    ASSERT_TRUE(mut.add_comment_reply(w.comment, "", "", "  ").has_value());
    ASSERT_TRUE(mut.insert_note("1", "A   note\ntext").has_value());
    ASSERT_TRUE(mut.add_bookmark("intro", w.title).has_value());
    const std::string long_text(100, 'z');
    const std::string c2 = *mut.insert_comment("  ", "");
    const std::string body = *mut.insert_comment_block(c2);
    ASSERT_TRUE(mut.splice_comment_text(c2, body, 0, 0, long_text).has_value());
    doc.commit();
  }
  const Resource root = directory(doc, with_agent_defaults(doc, {}));
  const Resource& review = *child(root, "word-processor.review");
  const Resource& comment = *child(review, "word-processor.comment:" + w.comment);
  ASSERT_EQ(comment.children().size(), 1u);
  EXPECT_EQ(comment.children()[0].label(), "Reply by Unknown author: Empty reply");
  EXPECT_TRUE(comment.children()[0].actions().empty());
  EXPECT_EQ(comment.children()[0].kind(), "word_processor.comment-reply");
  bool found_long = false;
  for (const auto& c : review.children()) {
    if (c.label() == "Comment by Unknown author: " + std::string(45, 'z') + "…") {
      found_long = true;
      EXPECT_FALSE(has_action(c, "go-to-anchor")) << "an unanchored comment has no anchor to go to";
    }
  }
  EXPECT_TRUE(found_long);
  const Resource& notes = *child(root, "word-processor.notes");
  ASSERT_EQ(notes.children().size(), 1u);
  EXPECT_EQ(notes.children()[0].label(), "1: A note text");
  const Resource& marks = *child(root, "word-processor.bookmarks");
  ASSERT_EQ(marks.children().size(), 1u);
  EXPECT_EQ(marks.children()[0].id(), "word-processor.bookmark:intro");
  EXPECT_EQ(marks.children()[0].label(), "intro");
}

TEST(Directory, RevisionsListTheNewest64OldestFirst) {
  crdt::Document doc = *folio::model::new_document(crdt::ActorId("ann"));
  const auto schema = *folio::model::open(doc);
  std::string block;
  {
    folio::model::DocMut mut(doc, schema);
    block = *mut.insert_block(std::nullopt, "paragraph");
  }
  ASSERT_TRUE(folio::history::commit_stamped_with_message(doc, "  First\n edit ").has_value());
  while (folio::history::versions(doc, "").size() < 70) {
    folio::model::DocMut mut(doc, schema);
    ASSERT_TRUE(mut.splice_text(block, 0, 0, "x").has_value());
    doc.commit();
  }
  const auto all = folio::history::versions(doc, "");
  ASSERT_EQ(all.size(), 70u);
  const Resource root = directory(doc, with_agent_defaults(doc, {}));
  const Resource& revisions = *child(root, "word-processor.revisions");
  ASSERT_EQ(revisions.children().size(), 64u);
  EXPECT_EQ(revisions.children().front().label(), "Revision 7");
  EXPECT_EQ(revisions.children().front().id(), "word-processor.revision:" + all[6].hash_hex);
  EXPECT_EQ(dump_json(payload_of(revisions.children().front(), "show")), R"({"ShowRevision":{"index":6}})");
  EXPECT_EQ(revisions.children().back().label(), "Revision 70");

  // With fewer changes the message, excerpted, labels its revision.
  crdt::Document small = *folio::model::new_document(crdt::ActorId("ann"));
  {
    folio::model::DocMut mut(small, schema);
    (void)mut.insert_block(std::nullopt, "paragraph");
  }
  ASSERT_TRUE(folio::history::commit_stamped_with_message(small, "  First\n edit ").has_value());
  const Resource small_root = directory(small, with_agent_defaults(small, {}));
  const Resource& listed = *child(small_root, "word-processor.revisions");
  ASSERT_EQ(listed.children().size(), 2u);
  EXPECT_EQ(listed.children()[1].label(), "First edit");
}

TEST(Directory, SearchHitsAreListedUpTo64) {
  const WriterDoc w = WriterDoc::make();
  const crdt::Document doc = w.fresh();
  EditorContext context = with_agent_defaults(doc, {});
  context.search_hits = {SearchHit{w.accents, 0, 4}, SearchHit{w.header, 0, 6}, SearchHit{w.accents, 4, 5}};
  for (int i = 0; i < 70; ++i) context.search_hits.push_back(SearchHit{w.last, 0, 4});
  const Resource root = directory(doc, context);
  const Resource& results = *child(root, "word-processor.search-results");
  ASSERT_EQ(results.children().size(), 64u);
  EXPECT_EQ(results.children()[0].id(), "word-processor.search-hit:" + w.accents + ":0:4");
  EXPECT_EQ(results.children()[0].label(), "Result: café");
  EXPECT_EQ(results.children()[1].label(), "Result 2") << "a hit outside the body";
  EXPECT_EQ(results.children()[2].label(), "Result: Empty match") << "only white space";
  EXPECT_EQ(dump_json(payload_of(results.children()[0], "go-to")),
            R"({"NavigateTo":{"block":")" + w.accents + R"(","start":0,"end":4}})");
}

// The encoder's own refusals, given arguments the binding already let through.
TEST(DirectoryEncoders, RefuseBadArgumentsWithTheirMessages) {
  const WriterDoc w = WriterDoc::make();
  const crdt::Document doc = w.fresh();
  EditorContext context = with_agent_defaults(doc, {});
  context.spans = {Span{w.accents, 0, 4}};
  context.selection = Selection{w.accents, 0, w.accents, 4};
  const Resource root = directory(doc, context);
  const Resource& review = *child(root, "word-processor.review");
  const Resource& comment = *child(review, "word-processor.comment:" + w.comment);
  const std::string huge(1'000'001, 'a');
  struct Case {
    const Resource* resource;
    std::string action;
    Json args;
    std::optional<std::string> refusal;  // nothing: encodes
  };
  const std::string link = "hyperlink target must use https:, mailto:, or #bookmark";
  const std::string add = "comment author is required and comment text is too long";
  const std::string reply = "reply author is required and reply text is too long";
  for (const Case& c : std::vector<Case>{
           {&root, "set-hyperlink", {{"target", " https://example.com/a "}}, std::nullopt},
           {&root, "set-hyperlink", {{"target", "#intro"}}, std::nullopt},
           {&root, "set-hyperlink", {{"target", "mailto:ann@example.com"}}, std::nullopt},
           {&root, "set-hyperlink", {{"target", "http://example.com"}}, link},
           {&root, "set-hyperlink", {{"target", "https://user@example.com"}}, link},
           {&root, "set-hyperlink", {{"target", "javascript:alert(1)"}}, link},
           {&root, "set-hyperlink", Json::object(), link},
           {&root, "replace-selection", {{"text", ""}}, std::nullopt},
           {&root, "replace-selection", Json::object(), "replacement text is required"},
           {&root, "add-comment", {{"author", " Ann "}, {"text", "Fine"}}, std::nullopt},
           {&root, "add-comment", {{"author", "   "}, {"text", "Fine"}}, add},
           {&root, "add-comment", {{"author", "Ann"}, {"text", huge}}, add},
           {&comment, "reply", {{"author", "Bo"}, {"text", ""}}, std::nullopt},
           {&comment, "reply", {{"author", ""}, {"text", "x"}}, reply},
           {&root,
            "place-image",
            {{"value", std::string(64, 'f')}},
            "content `" + std::string(64, 'f') + "` is not available on this machine"},
       }) {
    const auto* action = c.resource->find_action(c.action);
    ASSERT_NE(action, nullptr) << c.action;
    auto encoded = action->encoder()(actions::ActionArgs::unchecked(c.args));
    if (!c.refusal) {
      EXPECT_TRUE(encoded.has_value()) << c.action << " " << dump_json(c.args) << ": "
                                       << (encoded ? "" : encoded.error().display());
      continue;
    }
    ASSERT_FALSE(encoded.has_value()) << c.action << " " << dump_json(c.args).substr(0, 80);
    EXPECT_EQ(encoded.error().code(), "quern.invalid_arguments");
    EXPECT_EQ(encoded.error().display(), *c.refusal) << c.action;
  }
  // The author is trimmed in what is sent; the hyperlink target too.
  auto comment_op =
      root.find_action("add-comment")->encoder()(actions::ActionArgs::unchecked({{"author", " Ann "}, {"text", "Hi"}}));
  EXPECT_EQ(dump_json(comment_op->payload), R"({"AddComment":{"block":")" + w.accents +
                                                R"(","start":0,"end":4,"author":"Ann","date":"","text":"Hi"}})");
  auto link_op =
      root.find_action("set-hyperlink")->encoder()(actions::ActionArgs::unchecked({{"target", " #intro\n"}}));
  EXPECT_EQ(dump_json(link_op->payload),
            R"({"SetMark":{"region":"Body","spans":[{"block":")" + w.accents +
                R"(","start":0,"end":4}],"name":"link","value":{"Str":"#intro"},"also_clear":[]}})");
}

// Arguments reach the encoders only through binding against the published parameters.
TEST(DirectoryBinding, AcceptsAndRefusesArgumentObjects) {
  const WriterDoc w = WriterDoc::make();
  const crdt::Document doc = w.fresh();
  EditorContext context = with_agent_defaults(doc, {});
  context.selection = Selection{w.accents, 0, w.accents, 4};
  const Resource root = directory(doc, context);
  struct Case {
    std::string action;
    std::string args;
    bool accepted;
  };
  for (const Case& c : std::vector<Case>{
           {"add-comment", R"({"author":"Ann","text":"Hi"})", true},
           {"add-comment", R"({"author":"Ann","text":"Hi","date":"2026-12-11"})", true},
           {"add-comment", R"({"author":"Ann","text":"Hi","date":null})", true},
           {"add-comment", R"({"author":"Ann"})", false},
           {"add-comment", R"({"author":"Ann","text":null})", false},
           {"add-comment", R"({"author":7,"text":"Hi"})", false},
           {"add-comment", R"({"author":"Ann","text":"Hi","colour":"red"})", false},
           {"add-comment", R"(["Ann","Hi"])", false},
           {"replace-selection", R"({"text":""})", true},
           {"replace-selection", R"({})", false},
           {"open", R"({})", true},
           {"open", R"({"path":"/tmp/x"})", true},
           {"open", R"({"path":false})", false},
           {"zoom-in", R"({})", true},
           {"zoom-in", R"({"level":2})", false},
           {"place-image", R"({})", false},
       }) {
    actions::LocalTransport transport;
    auto done = actions::door::invoke_json(root, "word-processor.document#" + c.action, *parse_json(c.args), "agent",
                                           transport);
    EXPECT_EQ(done.has_value(), c.accepted)
        << c.action << " " << c.args << ": " << (done ? "accepted" : done.error().display());
    if (!c.accepted && !done) {
      EXPECT_EQ(done.error().code(), "quern.invalid_arguments") << c.action << " " << c.args;
    }
    EXPECT_EQ(transport.changes().size(), c.accepted ? 1u : 0u) << c.action << " " << c.args;
  }
}

// ---- End to end: invoke through the door, apply what the transport collected with the
// registry, commit, and read the document back.

// A real 4 x 2 RGB PNG.
const std::vector<std::uint8_t> kPng4x2 = {
    0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a, 0x00, 0x00, 0x00, 0x0d, 0x49, 0x48, 0x44, 0x52, 0x00, 0x00, 0x00,
    0x04, 0x00, 0x00, 0x00, 0x02, 0x08, 0x02, 0x00, 0x00, 0x00, 0xf0, 0xca, 0xea, 0x34, 0x00, 0x00, 0x00, 0x10, 0x49,
    0x44, 0x41, 0x54, 0x78, 0x9c, 0x63, 0xf8, 0xcf, 0xc0, 0x00, 0x47, 0x0c, 0xc8, 0x1c, 0x00, 0x6f, 0xaa, 0x07, 0xf9,
    0x80, 0xdc, 0x00, 0x28, 0x00, 0x00, 0x00, 0x00, 0x49, 0x45, 0x4e, 0x44, 0xae, 0x42, 0x60, 0x82};

struct Invoker {
  crdt::Document doc;
  actions::ActionRegistry registry;

  explicit Invoker(crdt::Document d) : doc(std::move(d)) { EXPECT_TRUE(register_action_type(registry).has_value()); }

  actions::door::Invoked invoke(const EditorContext& context, std::string_view operation, const Json& args) {
    const Resource root = directory(doc, context);
    actions::LocalTransport transport;
    auto outcome = actions::door::invoke_json(root, operation, args, "agent", transport);
    if (!outcome) return outcome;
    for (const auto& change : transport.take_changes()) {
      auto applied = registry.apply(change.action, doc, change.actor);
      EXPECT_TRUE(applied.has_value()) << operation << ": " << (applied ? "" : applied.error().to_string());
    }
    doc.commit();
    return outcome;
  }
};

TEST(DirectoryEndToEnd, SetHyperlinkMarksTheSelectedText) {
  const WriterDoc w = WriterDoc::make();
  Invoker in(w.fresh());
  EditorContext context = with_agent_defaults(in.doc, {});
  context.spans = {Span{w.last, 5, 10}};
  auto done = in.invoke(context, "word-processor.document#set-hyperlink", {{"target", "https://example.com/words"}});
  ASSERT_TRUE(done.has_value()) << done.error().display();
  EXPECT_EQ(done->action.operation_type, "word-processor.action");
  const Block& last = test::body_block(test::view_of(in.doc), w.last);
  bool linked = false;
  for (const auto& m : last.marks) {
    if (m.name == "link") {
      linked = true;
      EXPECT_EQ(m.start, 5u);
      EXPECT_EQ(m.end, 10u);
    }
  }
  EXPECT_TRUE(linked);
  EXPECT_NE(test::markdown_of(in.doc).find("(https://example.com/words)"), std::string::npos)
      << test::markdown_of(in.doc);

  // A binding failure reaches nothing.
  const auto heads = in.doc.heads();
  auto refused = in.invoke(context, "word-processor.document#set-hyperlink", {{"target", 5}});
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error().code(), "quern.invalid_arguments");
  auto unsafe = in.invoke(context, "word-processor.document#set-hyperlink", {{"target", "http://example.com"}});
  ASSERT_FALSE(unsafe.has_value());
  EXPECT_EQ(unsafe.error().display(), "hyperlink target must use https:, mailto:, or #bookmark");
  EXPECT_EQ(in.doc.heads(), heads);
}

TEST(DirectoryEndToEnd, AddCommentAnchorsANewComment) {
  const WriterDoc w = WriterDoc::make();
  Invoker in(w.fresh());
  EditorContext context = with_agent_defaults(in.doc, {});
  context.selection = Selection{w.last, 5, w.last, 10};
  auto done = in.invoke(context, "word-processor.document#add-comment",
                        {{"author", "  Agent "}, {"text", "Say more"}, {"date", "2026-12-11"}});
  ASSERT_TRUE(done.has_value()) << done.error().display();
  const DocumentView view = test::view_of(in.doc);
  ASSERT_EQ(view.comments.size(), 2u);
  const folio::model::Comment* added = nullptr;
  for (const auto& c : view.comments) {
    if (c.id != w.comment) added = &c;
  }
  ASSERT_NE(added, nullptr);
  EXPECT_EQ(added->author, "Agent");
  EXPECT_EQ(added->date, "2026-12-11");
  EXPECT_EQ(added->text(), "Say more");
  ASSERT_TRUE(added->anchor.has_value());
  EXPECT_EQ(added->anchor->block, w.last);
  EXPECT_EQ(added->anchor->start, 5u);
  EXPECT_EQ(added->anchor->end, 10u);
  // The new comment is listed in the next directory.
  const Resource root = directory(in.doc, with_agent_defaults(in.doc, {}));
  EXPECT_NE(child(*child(root, "word-processor.review"), "word-processor.comment:" + added->id), nullptr);
}

TEST(DirectoryEndToEnd, AppendRowGrowsTheTable) {
  const WriterDoc w = WriterDoc::make();
  Invoker in(w.fresh());
  auto done = in.invoke(with_agent_defaults(in.doc, {}), "word-processor.table:tbl#append-row", Json::object());
  ASSERT_TRUE(done.has_value()) << done.error().display();
  auto table = find_table(test::view_of(in.doc), "tbl");
  ASSERT_TRUE(table.has_value());
  EXPECT_EQ(table->rows, 3);
  EXPECT_EQ(table->cols, 3);
  EXPECT_TRUE(table->well_formed());
  // Unknown members are refused by the binding, so nothing is sent.
  auto refused = in.invoke(with_agent_defaults(in.doc, {}), "word-processor.table:tbl#append-row", {{"rows", 1}});
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(find_table(test::view_of(in.doc), "tbl")->rows, 3);
}

TEST(DirectoryEndToEnd, PlaceImageInsertsStoredContentAtTheCaret) {
  const WriterDoc w = WriterDoc::make();
  Invoker in(w.fresh());
  const std::string hash = *folio::blobstore::put(kPng4x2);
  EditorContext context;
  context.caret_block = w.last;
  context.caret_offset = 5;
  context = with_agent_defaults(in.doc, context);
  auto done = in.invoke(context, "word-processor.document#place-image", {{"value", hash}});
  ASSERT_TRUE(done.has_value()) << done.error().display();
  const DocumentView view = test::view_of(in.doc);
  const auto pictures = images(view);
  ASSERT_EQ(pictures.size(), 2u);
  const Image& placed = pictures[1];
  EXPECT_EQ(placed.blob, hash);
  EXPECT_EQ(placed.width, 4);
  EXPECT_EQ(placed.height, 2);
  const auto texts = test::body_texts(in.doc);
  ASSERT_GE(texts.size(), 3u);
  EXPECT_EQ(texts[texts.size() - 3], "Last ");
  EXPECT_EQ(texts.back(), "words");

  // Content that is not in the store is refused before anything is sent.
  auto missing = in.invoke(context, "word-processor.document#place-image", {{"value", std::string(64, '0')}});
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error().display(), "content `" + std::string(64, '0') + "` is not available on this machine");
}

TEST(DirectoryRegistry, RegistersTheActionTypeOnceAndDecodesItsPayload) {
  actions::ActionRegistry registry;
  ASSERT_TRUE(register_action_type(registry).has_value());
  EXPECT_EQ(registry.types(), std::vector<std::string>{"word-processor.action"});
  EXPECT_FALSE(register_action_type(registry).has_value()) << "one type has one meaning";
  EXPECT_TRUE(
      registry.decode({"word-processor.action", to_json(WordProcessorAction(RemoveBlocks{{"b"}}))}).has_value());
  EXPECT_FALSE(registry.decode({"word-processor.action", Json{{"Nope", Json::object()}}}).has_value());
  EXPECT_FALSE(registry.knows("word-processor.operation")) << "view commands are the application's";
}

TEST(SingleImageContent, StoresTheOneImage) {
  const WriterDoc w = WriterDoc::make();
  const crdt::Document doc = w.fresh();
  auto content = single_image_content(doc);
  ASSERT_TRUE(content.has_value());
  ASSERT_TRUE(content->has_value());
  EXPECT_TRUE(folio::blobstore::get(**content).has_value());
  const crdt::Document two = with_applied(w, InsertImage{w.last, 0, kPng4x2, std::nullopt, std::nullopt});
  EXPECT_EQ(*single_image_content(two), std::nullopt);
  EXPECT_EQ(*single_image_content(crdt::Document()), std::nullopt);
}

}  // namespace
}  // namespace quern::word_processor
