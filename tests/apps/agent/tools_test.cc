#include "apps/agent/src/tools.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "runtime/actions/action_offer.h"

namespace quern::agent {
namespace {

using actions::ActionOffer;
using actions::ActionParam;
using actions::ParamType;

ActionOffer offer(std::string resource, std::string action, std::string kind, std::string label = "do it") {
  ActionOffer o;
  o.resource_id = std::move(resource);
  o.action_name = std::move(action);
  o.resource_kind = std::move(kind);
  o.resource_label = "the " + o.resource_kind;
  o.action_label = std::move(label);
  return o;
}

CatalogueEntry local(std::string app, ActionOffer o) {
  CatalogueEntry e;
  e.source = CatalogueSource::local();
  e.app = std::move(app);
  e.offer = std::move(o);
  return e;
}

CatalogueEntry broker(std::uint64_t participant, std::string app, ActionOffer o) {
  CatalogueEntry e = local(std::move(app), std::move(o));
  e.source = CatalogueSource::broker(participant);
  return e;
}

// A synthetic "open" entry as the catalogue makes them for an app that is not open.
CatalogueEntry opener(std::string app, std::string label) {
  ActionOffer o = offer(app + ".app", "open", "applications.app", "open " + label);
  o.resource_label = label;
  return local(std::move(app), std::move(o));
}

std::string run(std::string_view name, const Json& input, const std::vector<CatalogueEntry>& entries, ShownIds& shown,
                std::vector<std::string> open_apps = {}, std::vector<DocumentItem> items = {}) {
  ToolContext context{entries, items, open_apps};
  return run_tool(name, input, context, shown);
}

std::vector<std::string> keys(const Json& object) {
  std::vector<std::string> out;
  for (const auto& [k, v] : object.items()) out.push_back(k);
  return out;
}

using Keys = std::vector<std::string>;

TEST(ToolDefinitions, FourToolsWithFixedMemberOrderAndThePlanEnumFromTheShownIds) {
  ShownIds shown = initial_shown_ids();
  shown.insert("b#x");
  shown.insert("B#y");
  shown.insert("\xc3\xa9#z");  // é sorts after every ASCII byte
  const Json defs = tool_definitions(shown, 8);
  ASSERT_EQ(defs.size(), 4u);
  EXPECT_EQ(defs[0]["name"], "list_applications");
  EXPECT_EQ(defs[1]["name"], "list_operations");
  EXPECT_EQ(defs[2]["name"], "describe_operation");
  EXPECT_EQ(defs[3]["name"], "plan");
  for (const Json& d : defs) {
    EXPECT_EQ(keys(d), (Keys{"name", "description", "input_schema"}));
    EXPECT_EQ(d["input_schema"]["type"], "object");
    EXPECT_EQ(d["input_schema"]["additionalProperties"], false);
  }
  EXPECT_EQ(keys(defs[0]["input_schema"]), (Keys{"type", "properties", "additionalProperties"}));
  EXPECT_TRUE(defs[0]["input_schema"]["properties"].empty());
  EXPECT_EQ(keys(defs[1]["input_schema"]["properties"]), (Keys{"application", "resource", "kind", "search"}));
  for (const auto& [name, p] : defs[1]["input_schema"]["properties"].items()) {
    EXPECT_EQ(keys(p), (Keys{"type", "description"})) << name;
  }
  EXPECT_EQ(keys(defs[2]["input_schema"]), (Keys{"type", "properties", "required", "additionalProperties"}));
  EXPECT_EQ(defs[2]["input_schema"]["required"], Json::array({"operation"}));

  const Json& plan = defs[3]["input_schema"];
  EXPECT_EQ(keys(plan), (Keys{"type", "properties", "required", "additionalProperties"}));
  EXPECT_EQ(keys(plan["properties"]), (Keys{"steps", "why", "then"}));
  EXPECT_EQ(plan["required"], Json::array({"steps", "why", "then"}));
  const Json& items = plan["properties"]["steps"]["items"];
  EXPECT_EQ(keys(plan["properties"]["steps"]), (Keys{"type", "items"}));
  EXPECT_EQ(keys(items), (Keys{"type", "properties", "required", "additionalProperties"}));
  EXPECT_EQ(items["required"], Json::array({"operation", "arguments"}));
  EXPECT_EQ(keys(items["properties"]["operation"]), (Keys{"type", "enum", "description"}));
  EXPECT_EQ(items["properties"]["operation"]["enum"], Json::array({"B#y", "b#x", "none", "\xc3\xa9#z"}));
  EXPECT_EQ(keys(items["properties"]["arguments"]), (Keys{"type", "description"}));
  EXPECT_EQ(keys(plan["properties"]["then"]), (Keys{"anyOf", "description"}));
  EXPECT_EQ(plan["properties"]["then"]["anyOf"], Json::parse(R"([{"type":"string"},{"type":"null"}])"));
  EXPECT_NE(defs[3]["description"].get<std::string>().find("and at most 8. Call this exactly once"), std::string::npos);
  EXPECT_NE(tool_definitions(shown, 3)[3]["description"].get<std::string>().find("at most 3."), std::string::npos);
  EXPECT_NE(items["properties"]["operation"]["description"].get<std::string>().find("or \"none\" for a step"),
            std::string::npos);
}

TEST(RunTool, DispatchIsExactAndNamesUnknownTools) {
  ShownIds shown = initial_shown_ids();
  for (const std::string name : {"plan", "List_applications", "list_operations ", "", "describe"}) {
    EXPECT_EQ(run(name, Json::object(), {}, shown), "There is no tool called " + name + ".");
  }
  EXPECT_EQ(shown, initial_shown_ids());
}

TEST(ListApplications, AnEmptyRoomStillListsTheThreeKnownApplications) {
  ShownIds shown = initial_shown_ids();
  EXPECT_EQ(run("list_applications", Json::object(), {}, shown),
            "the conversation (chat) — not open, exporting 0 operations, and there is no opening it from here.\n"
            "the photo editor (photos) — not open, exporting 0 operations, and there is no opening it from here.\n"
            "the word processor (word-processor) — not open, exporting 0 operations, and there is no opening it from "
            "here.\n");
}

TEST(ListApplications, CountsOpennessAndOpenEntries) {
  ActionOffer with_content = offer("photos.app", "open", "applications.app", "open the photo editor");
  with_content.content_input = actions::ContentInput{"value", "The content to open it onto", true};
  const std::vector<CatalogueEntry> entries = {
      broker(7, "files", offer("files.entry:1", "rename", "files.entry")),
      broker(7, "files", offer("files.entry:1", "delete", "files.entry")),
      local("word-processor", offer("word-processor.document", "insert-table", "word_processor.document")),
      opener("chat", "the conversation"),
      local("photos", with_content),
      broker(9, "vault", offer("app.vault", "open", "applications.app")),
  };
  ShownIds shown = initial_shown_ids();
  const std::string reply = run("list_applications", Json{{"ignored", 1}}, entries, shown, {"word-processor"});
  EXPECT_EQ(reply,
            "the conversation (chat) — not open, exporting 0 operations. None of what it can do is here to be named "
            "yet — opening it is what puts its operations on the list: `chat.app#open`.\n"
            "files (files) — open, exporting 2 operations; ask `list_operations` with application=\"files\" for "
            "them.\n"
            "the photo editor (photos) — not open, exporting 0 operations. None of what it can do is here to be named "
            "yet — opening it is what puts its operations on the list: `photos.app#open`, which opens onto the "
            "content this room already denotes. Leave its argument null: that content is filled in from what is "
            "here.\n"
            "vault (vault) — not open, exporting 0 operations. None of what it can do is here to be named yet — "
            "opening it is what puts its operations on the list: `broker:9:app.vault#open`.\n"
            "the word processor (word-processor) — open, exporting 1 operation; ask `list_operations` with "
            "application=\"word-processor\" for them.\n");
  EXPECT_EQ(shown, (ShownIds{"broker:9:app.vault#open", "chat.app#open", "none", "photos.app#open"}));
}

TEST(ListApplications, AnOpenAppWithAnOpenEntrySaysNothingIsOpenInIt) {
  const std::vector<CatalogueEntry> entries = {opener("chat", "the conversation")};
  ShownIds shown = initial_shown_ids();
  EXPECT_TRUE(
      run("list_applications", Json::object(), entries, shown, {"chat"})
          .starts_with(
              "the conversation (chat) — open, exporting 0 operations. Nothing is open in it, so none of what it can "
              "do "
              "is here to be named yet — opening it is what puts its operations on the list: `chat.app#open`.\nthe "
              "photo"));
}

std::vector<CatalogueEntry> sample_catalogue() {
  ActionOffer rename = offer("files.entry:1", "rename", "files.entry", "Rename the file");
  rename.resource_label = "Report.pdf";
  rename.resource_note = "A PDF the person shared";
  rename.parameters = {ActionParam::text("name", true, "The new name")};
  ActionOffer move = offer("files.entry:1", "move", "files.entry", "Move the file");
  move.resource_label = "Report.pdf";
  move.parameters = {ActionParam::text("to", true, "Folder"), ActionParam::text("why", false, "Why")};
  move.availability = actions::Availability::unavailable("offline", "the file server is offline");
  ActionOffer table = offer("word-processor.document", "insert-table", "word_processor.document", "Insert a table");
  table.resource_label = "The document";
  ActionOffer place = offer("word-processor.document", "place-image", "word_processor.document", "Place an image");
  place.resource_label = "The document";
  place.content_input = actions::ContentInput{"value", "The image", true};
  place.parameters = {ActionParam::text("value", true, "The image")};
  return {broker(7, "files", rename), broker(7, "files", move), local("word-processor", table),
          local("word-processor", place)};
}

TEST(ListOperations, ListsGroupsByResourceAndAddsTheIdsItPrints) {
  ShownIds shown = initial_shown_ids();
  EXPECT_EQ(run("list_operations", Json::object(), sample_catalogue(), shown),
            "\nfiles.entry:1 — Report.pdf (files.entry)\n"
            "  broker:7:files.entry:1#rename — Rename the file; takes 1 structured argument (ask `describe_operation` "
            "for the schema)\n"
            "  broker:7:files.entry:1#move — Move the file; currently unavailable: the file server is offline; takes 2 "
            "structured arguments (ask `describe_operation` for the schema)\n"
            "\nword-processor.document — The document (word_processor.document)\n"
            "  word-processor.document#insert-table — Insert a table\n"
            "  word-processor.document#place-image — Place an image; takes what an earlier step produced, not words\n");
  EXPECT_EQ(shown, (ShownIds{"broker:7:files.entry:1#move", "broker:7:files.entry:1#rename", "none",
                             "word-processor.document#insert-table", "word-processor.document#place-image"}));
}

TEST(ListOperations, FiltersCombineAndOnlyStringsCount) {
  struct Case {
    const char* input;
    std::vector<std::string> listed;  // operation ids, in order; empty: the no-match text below
    const char* nothing = "";
  };
  const Case cases[] = {
      {R"({"application":"files"})", {"broker:7:files.entry:1#rename", "broker:7:files.entry:1#move"}},
      {R"({"application":"Files"})", {}, "Nothing matches application=Files."},
      {R"({"resource":"word-processor.document"})",
       {"word-processor.document#insert-table", "word-processor.document#place-image"}},
      {R"({"kind":"files.entry","search":"MOVE"})", {"broker:7:files.entry:1#move"}},
      {R"({"kind":5})",
       {"broker:7:files.entry:1#rename", "broker:7:files.entry:1#move", "word-processor.document#insert-table",
        "word-processor.document#place-image"}},
      {R"({"search":"  pdf   shared "})", {"broker:7:files.entry:1#rename"}},  // the note is searched
      {R"({"search":"table document"})", {"word-processor.document#insert-table"}},
      {R"({"search":"broker:7"})", {"broker:7:files.entry:1#rename", "broker:7:files.entry:1#move"}},
      {R"({"application":"files","resource":"x","kind":"y","search":"Zed Q"})",
       {},
       "Nothing matches application=files, resource=x, kind=y, search=zed q."},
      {R"({"search":"nowhere","application":null})", {}, "Nothing matches search=nowhere."},
  };
  for (const Case& c : cases) {
    ShownIds shown = initial_shown_ids();
    const std::string reply = run("list_operations", Json::parse(c.input), sample_catalogue(), shown);
    if (c.listed.empty()) {
      EXPECT_EQ(reply, c.nothing) << c.input;
      EXPECT_EQ(shown, initial_shown_ids()) << c.input;
      continue;
    }
    std::size_t at = 0;
    for (const auto& id : c.listed) {
      const auto found = reply.find("  " + id + " — ", at);
      ASSERT_NE(found, std::string::npos) << c.input << " lacks " << id << " in order:\n" << reply;
      at = found;
      EXPECT_TRUE(shown.contains(id)) << c.input;
    }
    EXPECT_EQ(shown.size(), c.listed.size() + 1) << c.input << "\n" << reply;
  }
}

TEST(ListOperations, AnEmptyCatalogueSaysSo) {
  ShownIds shown = initial_shown_ids();
  EXPECT_EQ(run("list_operations", Json::object(), {}, shown),
            "Nothing matches anything — this room exports nothing the agent may perform.");
  EXPECT_EQ(run("list_operations", Json::array({1, 2}), {}, shown),
            "Nothing matches anything — this room exports nothing the agent may perform.");
}

TEST(ListOperations, SixtyAreListedAndTheRestAreCounted) {
  for (const std::size_t n : {60u, 61u, 75u}) {
    std::vector<CatalogueEntry> entries;
    for (std::size_t i = 0; i < n; ++i) {
      entries.push_back(local("word-processor", offer("r" + std::to_string(i / 7), "a" + std::to_string(i), "k")));
    }
    ShownIds shown = initial_shown_ids();
    const std::string reply = run("list_operations", Json::object(), entries, shown);
    EXPECT_EQ(shown.size(), 61u) << n;
    EXPECT_FALSE(shown.contains("r8#a60")) << n;
    const std::string trailer = "\n… and " + std::to_string(n - 60) +
                                " more not listed. Ask again with a narrower application=, kind=, resource= or "
                                "search= to reach them — they are not out of reach, only out of this reply.\n";
    if (n == 60) {
      EXPECT_EQ(reply.find("more not listed"), std::string::npos);
      EXPECT_TRUE(reply.ends_with("  r8#a59 — do it\n"));
    } else {
      EXPECT_TRUE(reply.ends_with("  r8#a59 — do it\n" + trailer)) << reply.substr(reply.size() - 300);
    }
  }
}

TEST(DescribeOperation, DescribesContractArgumentsAndFacts) {
  ActionOffer o = offer("files.entry:1", "rename", "files.entry", "Rename the file");
  o.resource_label = "Report.pdf";
  o.resource_note = "Shared by Ada";
  o.availability = actions::Availability::unavailable("locked", "someone else holds it");
  o.confirmation = actions::Confirmation::with_phrase("rename \"it\"");
  o.execution = actions::Execution::background(true);
  o.result = actions::ActionResult::resource("files.entry");
  o.reversible = true;
  o.retry = actions::Retry::Idempotent;
  o.risk = actions::Risk::Destructive;
  o.required_role = actions::Role::Admin;
  ActionParam style = ActionParam::text("style", false, "How to name it");
  style.choices = {"kebab", "snake"};
  ActionParam count = ActionParam::of_type("count", ParamType::Integer, true, "How many");
  count.constraints = Json{{"minimum", 1}};
  o.parameters = {ActionParam::text("name", true, "The new name"), style, count};
  const std::vector<CatalogueEntry> entries = {broker(7, "files", o)};
  const std::vector<DocumentItem> items = {{"files.entry:2", "files.entry", "Other.pdf", {"not this"}},
                                           {"files.entry:1", "files.entry", "Report.pdf", {"12 pages", "in English"}},
                                           {"files.entry:1", "files.entry", "Again", {"not the second"}}};
  ShownIds shown = initial_shown_ids();
  EXPECT_EQ(run("describe_operation", Json{{"operation", "broker:7:files.entry:1#rename"}}, entries, shown, {}, items),
            "broker:7:files.entry:1#rename\n"
            "  does: Rename the file\n"
            "  to: Report.pdf (files.entry)\n"
            "  in: files\n"
            "  the application says: Shared by Ada\n"
            "  availability: unavailable (locked) — someone else holds it\n"
            "  contract: permission=Admin; risk=Destructive; confirmation=Phrase { phrase: \"rename \\\"it\\\"\" }; "
            "retry=Idempotent; reversible=true; execution=Background { cancellable: true }; result=Resource { "
            "resource_kind: \"files.entry\" }\n"
            "  structured arguments:\n"
            "    name: text (required) — The new name\n"
            "    style: text (optional) — How to name it; choices: kebab, snake\n"
            "    count: integer (required) — How many; constraints: {\"minimum\":1}\n"
            "  Pass one JSON object containing exactly the parameters above.\n"
            "  about Report.pdf: 12 pages\n"
            "  about Report.pdf: in English\n");
  EXPECT_EQ(shown, initial_shown_ids());
}

TEST(DescribeOperation, NullaryContentAndMissingOperations) {
  std::vector<CatalogueEntry> entries = sample_catalogue();
  ShownIds shown = initial_shown_ids();
  EXPECT_EQ(run("describe_operation", Json{{"operation", "word-processor.document#insert-table"}}, entries, shown),
            "word-processor.document#insert-table\n"
            "  does: Insert a table\n"
            "  to: The document (word_processor.document)\n"
            "  in: word-processor\n"
            "  availability: available\n"
            "  contract: permission=Write; risk=Low; confirmation=None; retry=AtMostOnce; reversible=false; "
            "execution=Immediate; result=None\n"
            "  arguments: none. Pass {}.\n");
  EXPECT_TRUE(run("describe_operation", Json{{"operation", "word-processor.document#place-image"}}, entries, shown)
                  .ends_with("  structured arguments:\n    value: text (required) — The image\n  arguments: produced "
                             "content, not words. It must be bound from the prior step.\n"));
  struct Case {
    Json input;
    const char* reply;
  };
  const Case cases[] = {
      {Json::object(), "describe_operation needs an `operation`."},
      {Json{{"operation", 3}}, "describe_operation needs an `operation`."},
      {Json("word-processor.document#insert-table"), "describe_operation needs an `operation`."},
      {Json{{"operation", "Word-processor.document#insert-table"}},
       "Nothing matches the operation Word-processor.document#insert-table."},
      {Json{{"operation", "files.entry:1#rename"}}, "Nothing matches the operation files.entry:1#rename."},
  };
  for (const Case& c : cases) EXPECT_EQ(run("describe_operation", c.input, entries, shown), c.reply) << c.input;
  EXPECT_EQ(shown, initial_shown_ids());
}

}  // namespace
}  // namespace quern::agent
