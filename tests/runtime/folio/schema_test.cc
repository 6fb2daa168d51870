// Opening documents under the folio schema: what a genesis writes, and how documents that do
// not follow the schema are refused without being touched.
#include <gtest/gtest.h>

#include <functional>

#include "runtime/folio/history.h"
#include "runtime/folio/lookup.h"
#include "tests/runtime/folio/replicas.h"

namespace quern::folio::model {
namespace {

using crdt::Document;
using crdt::ObjId;
using crdt::ObjType;
using test::new_folio;
using test::schema_of;

TEST(Genesis, WritesTheMarkerEveryContainerAndTheBuiltinStylesInOneChange) {
  Document doc = new_folio("alice");
  const auto changes = doc.get_changes();
  ASSERT_EQ(changes.size(), 1u);
  EXPECT_EQ(changes[0].message, std::string(kGenesisMessage));
  EXPECT_GT(changes[0].time, 0);

  const Schema s = schema_of(doc);
  EXPECT_EQ(s.version, kSchemaVersion);
  EXPECT_EQ(s.document_id.size(), 36u);
  const auto view = test::view_of(doc);
  for (Region r : kRegions) EXPECT_TRUE(view.region(r).empty());
  std::vector<std::string> styles;
  for (const auto& [id, props] : view.styles) styles.push_back(id);
  EXPECT_EQ(styles, (std::vector<std::string>{"body", "heading1", "heading2", "heading3", "list", "quote"}));
  EXPECT_EQ(attr_bool(view.styles.at("heading1"), "bold"), true);
  EXPECT_EQ(*attr_str(view.styles.at("quote"), "name"), "Quote");
  EXPECT_EQ(style_ids(doc, s).size(), 6u);
}

TEST(Genesis, RefusesADocumentThatAlreadyHoldsSomething) {
  Document doc(crdt::ActorId("alice"));
  ASSERT_TRUE(doc.put(ObjId::root(), "title", "mine").has_value());
  EXPECT_FALSE(create_schema(doc, 1).has_value());  // open transaction
  doc.commit();
  auto again = create_schema(doc, 1);
  ASSERT_FALSE(again.has_value());
  EXPECT_EQ(again.error().message(), "the document already holds data");
  EXPECT_EQ(doc.get_changes().size(), 1u);
}

// Each case breaks one part of a genuine genesis; `open` must say what is wrong and write
// nothing.
TEST(Open, RefusesDocumentsThatDoNotFollowTheSchemaAndNeverWritesToThem) {
  struct Case {
    std::string name;
    std::function<void(Document&)> damage;
    std::string error;
  };
  const auto put_root = [](std::string_view key, crdt::ScalarValue v) {
    return [key, v](Document& d) { ASSERT_TRUE(d.put(ObjId::root(), key, v).has_value()); };
  };
  const auto marker_put = [](std::string_view key, crdt::ScalarValue v) {
    return [key, v](Document& d) {
      const ObjId marker = d.get(ObjId::root(), keys::kMarker).value()->object()->id;
      ASSERT_TRUE(d.put(marker, key, v).has_value());
    };
  };
  const std::vector<Case> cases = {
      {"no marker", [](Document& d) { ASSERT_TRUE(d.delete_key(ObjId::root(), "folio").has_value()); },
       "the document has no \"folio\" schema marker"},
      {"marker is a scalar", put_root("folio", "yes"), "the \"folio\" schema marker is not a map"},
      {"another schema", marker_put("schema", "chat"), "the schema marker does not name the folio schema"},
      {"no version", marker_put("version", "one"), "the schema marker carries no valid version"},
      {"newer version", marker_put("version", 2),
       "the document uses schema version 2, newer than version 1 that this library reads"},
      {"body missing", [](Document& d) { ASSERT_TRUE(d.delete_key(ObjId::root(), "body").has_value()); },
       "the document has no \"body\" list"},
      {"styles is a list",
       [](Document& d) { ASSERT_TRUE(d.put_object(ObjId::root(), "styles", ObjType::List).has_value()); },
       "\"styles\" is a list, not a map"},
      {"footer is text",
       [](Document& d) { ASSERT_TRUE(d.put_object(ObjId::root(), "footer", ObjType::Text).has_value()); },
       "\"footer\" is a text, not a list"},
  };
  for (const Case& c : cases) {
    Document doc = new_folio();
    c.damage(doc);
    doc.commit();
    const auto heads = doc.heads();
    auto opened = open(doc);
    ASSERT_FALSE(opened.has_value()) << c.name;
    EXPECT_EQ(opened.error().to_string(), c.error) << c.name;
    EXPECT_EQ(doc.heads(), heads) << c.name;
    EXPECT_EQ(doc.pending_ops(), 0u) << c.name;
  }
}

TEST(Open, AnEmptyOrForeignDocumentHasNoSchema) {
  Document empty;
  auto r = open(empty);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().message(), "the document has no \"folio\" schema marker");

  Document chat(crdt::ActorId("bob"));
  const ObjId channels = *chat.put_object(ObjId::root(), "channels", ObjType::Map);
  ASSERT_TRUE(chat.put(channels, "general", "hello").has_value());
  chat.commit();
  EXPECT_FALSE(open(chat).has_value());
  EXPECT_EQ(chat.pending_ops(), 0u);
}

TEST(Open, ANewerVersionOpensWhenTheCallerAcceptsIt) {
  Document doc = new_folio();
  const ObjId marker = doc.get(ObjId::root(), keys::kMarker).value()->object()->id;
  ASSERT_TRUE(doc.put(marker, keys::kMarkerVersion, 3).has_value());
  doc.commit();
  EXPECT_FALSE(open(doc).has_value());
  auto r = open(doc, OpenOptions{.max_version = 3});
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->version, 3);
}

TEST(Open, ASavedAndReloadedDocumentOpensWithTheSameDocumentId) {
  Document doc = new_folio();
  test::add_paragraphs(doc, {"one"});
  auto loaded = Document::load(doc.save());
  ASSERT_TRUE(loaded.has_value());
  EXPECT_EQ(schema_of(*loaded).document_id, schema_of(doc).document_id);
  EXPECT_EQ(test::body_texts(*loaded), std::vector<std::string>{"one"});
  EXPECT_NE(schema_of(new_folio()).document_id, schema_of(doc).document_id);
}

TEST(Regions, ParseAndPrintTheirNames) {
  for (Region r : kRegions) EXPECT_EQ(parse_region(to_string(r)), r);
  EXPECT_EQ(parse_region("body"), std::nullopt);
}

}  // namespace
}  // namespace quern::folio::model
