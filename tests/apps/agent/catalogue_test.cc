// The catalogue over real replicas and broker records: surveyed and synthetic entries in
// order, the content argument of the open entries, broker records and their mapping, merging,
// operation ids and look-up, open targets, the permission filter, and the document items.
#include "apps/agent/src/catalogue.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "runtime/folio/blobstore.h"
#include "tests/apps/agent/writer.h"
#include "tests/support/temp_dir.h"

namespace quern::agent {
namespace {

using test::Writer;
namespace perm = ui::permissions;

perm::PermissionContext member() {
  return perm::PermissionContext::from_capabilities({"agent"}, {{"agent", "room", "member"}});
}
perm::PermissionContext owner() {
  return perm::PermissionContext::from_capabilities({"agent"}, {{"agent", "room", "owner"}});
}
perm::PermissionContext nobody() { return perm::PermissionContext::from_capabilities({"agent"}, {}); }

std::vector<std::string> ids(const std::vector<CatalogueEntry>& entries) {
  std::vector<std::string> out;
  for (const auto& e : entries) out.push_back(entry_id(e));
  return out;
}

class BlobDir {
 public:
  BlobDir() { ::setenv("QUERN_BLOB_DIR", dir_.path().c_str(), 1); }
  ~BlobDir() { ::unsetenv("QUERN_BLOB_DIR"); }

 private:
  quern::test::TempDir dir_;
};

TEST(LocalEntries, WithoutReplicasOneOpenEntryPerKnownApplication) {
  const auto entries = build_local_entries({}, member());
  EXPECT_EQ(ids(entries), (std::vector<std::string>{"word-processor.app#open", "chat.app#open", "photos.app#open"}));
  const CatalogueEntry& chat = entries[1];
  EXPECT_EQ(chat.source, CatalogueSource::local());
  EXPECT_EQ(chat.app, "chat");
  const ActionOffer& o = chat.offer;
  EXPECT_EQ(o.resource_kind, "applications.app");
  EXPECT_EQ(o.resource_label, "the conversation");
  EXPECT_EQ(o.action_label, "open the conversation");
  EXPECT_EQ(o.resource_note,
            "the conversation is not open in this room, so none of what it can do is here to be named "
            "yet. Opening it is what puts its own operations on this list.");
  EXPECT_EQ(o.confirmation, actions::Confirmation::none());
  EXPECT_EQ(o.execution, actions::Execution::immediate());
  EXPECT_EQ(o.result, actions::ActionResult::none());
  EXPECT_FALSE(o.reversible);
  EXPECT_EQ(o.retry, actions::Retry::AtMostOnce);
  EXPECT_EQ(o.risk, actions::Risk::Low);
  EXPECT_EQ(o.required_role, actions::Role::Write);
  EXPECT_TRUE(o.parameters.empty());
  EXPECT_FALSE(o.content_input.has_value());
  EXPECT_EQ(open_target(o), "chat");

  EXPECT_TRUE(build_local_entries({}, nobody()).empty()) << "the filter applies to the synthetic entries too";
}

TEST(LocalEntries, SurveyedEntriesComeFirstAndAnOpenDocumentGetsNoOpenEntry) {
  BlobDir blobs;
  Writer w;
  const std::string first = w.append("Intro", "heading");
  w.append("Body text");
  const crdt::Document chat = test::chat_document();
  const std::vector<RoomDocument> docs = {{&word_processor_surface(), &w.doc(), {}}, {&chat_surface(), &chat, {}}};
  const auto entries = build_local_entries(docs, member());
  ASSERT_GE(entries.size(), 3u);
  EXPECT_EQ(entry_id(entries.front()), "word-processor.document#open");
  EXPECT_EQ(entries.front().app, "word-processor");
  const auto all = ids(entries);
  EXPECT_NE(std::find(all.begin(), all.end(), "word-processor.section:" + first + "#align-center"), all.end());
  EXPECT_EQ(std::find(all.begin(), all.end(), "word-processor.app#open"), all.end()) << "it is open";
  // Chat has a replica, but its directory is empty, so it is not open.
  EXPECT_EQ(std::vector<std::string>(all.end() - 2, all.end()),
            (std::vector<std::string>{"chat.app#open", "photos.app#open"}));
  EXPECT_FALSE(entries.back().offer.content_input.has_value()) << "no surface denotes content";
}

TEST(LocalEntries, ContentTheRoomDenotesBecomesTheOpenEntriesArgument) {
  BlobDir blobs;
  Writer w;
  w.append("Caption");
  {
    auto schema = folio::model::open(w.doc());
    const std::string id = w.append("", "image");
    folio::model::DocMut mut(w.doc(), *schema);
    const std::string bytes = "picture-bytes";
    auto hash = mut.put_blob(crdt::ByteView(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
    ASSERT_TRUE(hash.has_value());
    ASSERT_TRUE(mut.set_attr(folio::model::Region::Body, id, "blob", *hash).has_value());
    w.doc().commit();
  }
  const std::vector<RoomDocument> docs = {{&word_processor_surface(), &w.doc(), {}}};
  const auto entries = build_local_entries(docs, member());
  const CatalogueEntry* photos = find_entry(entries, "photos.app#open");
  ASSERT_NE(photos, nullptr);
  ASSERT_TRUE(photos->offer.content_input.has_value());
  EXPECT_EQ(photos->offer.content_input->description, "The content to open it onto");
  EXPECT_TRUE(photos->offer.consumes_produced_content());
}

TEST(LocalEntries, PermissionFilterDropsWhatTheRoleDoesNotReach) {
  Writer w;
  w.append("Text");
  const std::vector<RoomDocument> docs = {{&word_processor_surface(), &w.doc(), {}}};
  EXPECT_TRUE(build_local_entries(docs, nobody()).empty()) << "no grant reaches even read";
  EXPECT_EQ(build_local_entries(docs, member()).size(), build_local_entries(docs, owner()).size());
}

collab::BrokerOffer broker_offer(std::string resource, std::string action,
                                 collab::RequiredRole role = collab::RequiredRole::Write) {
  collab::BrokerOffer o;
  o.resource_id = std::move(resource);
  o.action_name = std::move(action);
  o.resource_kind = "files.entry";
  o.resource_label = "Report";
  o.action_label = "Share";
  o.required_role = role;
  return o;
}

TEST(BrokerEntries, AdmittedRecordsOnlyInOrderAndFiltered) {
  const std::vector<collab::ParticipantRecord> records = {
      {"files",
       7,
       true,
       {broker_offer("files.entry:1", "share"), broker_offer("files.entry:1", "purge", collab::RequiredRole::Admin),
        broker_offer("files.entry:2", "share")}},
      {"spy", 8, false, {broker_offer("files.entry:3", "share")}},
      {"mail", 9, true, {broker_offer("mail.box:1", "send", collab::RequiredRole::Read)}},
  };
  const auto entries = broker_entries(records, member());
  EXPECT_EQ(ids(entries), (std::vector<std::string>{"broker:7:files.entry:1#share", "broker:7:files.entry:2#share",
                                                    "broker:9:mail.box:1#send"}));
  EXPECT_EQ(entries[0].app, "files");
  EXPECT_EQ(entries[0].source, CatalogueSource::broker(7));
  EXPECT_EQ(broker_entries(records, owner()).size(), 4u) << "the admin action reaches an owner";
}

TEST(BrokerEntries, OffersCarryEveryFieldInTheLibrarysTerms) {
  collab::BrokerOffer b = broker_offer("files.entry:1", "delete", collab::RequiredRole::Invite);
  b.availability = collab::Unavailable{"offline", "Reconnect the drive"};
  b.confirmation = collab::Phrase{"delete \"it\""};
  b.execution = collab::Streaming{true, R"({"type":"object"})"};
  b.result = collab::JsonResult{R"({"type":"array"})"};
  b.reversible = true;
  b.retry = collab::Retry::RetryWithInvocationId;
  b.risk = collab::Risk::Destructive;
  b.parameters = {collab::Parameter{"count", "How many", "integer", true, {}, R"({"minimum":1})"},
                  collab::Parameter{"mode", "Which", "text", false, {"a", "b"}, std::nullopt},
                  collab::Parameter{"odd", "Unknown type", "wibble", false, {}, "{not json"}};
  b.resource_note = "Kept for a year";
  b.content_input = collab::ContentInput{"file", "text", "The file", true};
  const ActionOffer o = offer_from_broker(b);
  EXPECT_EQ(o.availability, actions::Availability::unavailable("offline", "Reconnect the drive"));
  EXPECT_EQ(actions::to_string(o.confirmation), R"(Phrase { phrase: "delete \"it\"" })");
  EXPECT_EQ(actions::to_string(o.execution), R"(Streaming { cancellable: true, item_schema: {"type":"object"} })");
  EXPECT_EQ(actions::to_string(o.result), R"(Json { schema: {"type":"array"} })");
  EXPECT_TRUE(o.reversible);
  EXPECT_EQ(o.retry, actions::Retry::RetryWithInvocationId);
  EXPECT_EQ(o.risk, actions::Risk::Destructive);
  EXPECT_EQ(o.required_role, actions::Role::Invite);
  ASSERT_EQ(o.parameters.size(), 3u);
  EXPECT_EQ(o.parameters[0].type, actions::ParamType::Integer);
  EXPECT_EQ(o.parameters[0].constraints, Json({{"minimum", 1}}));
  EXPECT_EQ(o.parameters[1].choices, (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(o.parameters[2].type, actions::ParamType::Text);
  // A schema that is not JSON is kept so that it refuses every binding, never checks nothing.
  EXPECT_FALSE(actions::ActionArgs::bind_json(o.parameters, {{"count", 2}, {"odd", "x"}}).has_value());
  EXPECT_TRUE(actions::ActionArgs::bind_json(o.parameters, {{"count", 2}, {"mode", "a"}}).has_value());
  EXPECT_EQ(o.resource_note, "Kept for a year");
  ASSERT_TRUE(o.content_input.has_value());
  EXPECT_TRUE(o.consumes_produced_content());

  b.content_input->type = "bytes";
  EXPECT_FALSE(offer_from_broker(b).content_input.has_value()) << "only a text content argument is recognised";
}

TEST(PlanningCatalogue, BrokerFirstAndDuplicatesAppearOnceAsTheBrokerEntry) {
  std::vector<CatalogueEntry> local = {
      {CatalogueSource::local(), "word-processor", offer_from_broker(broker_offer("word-processor.document", "open"))},
      {CatalogueSource::local(), "word-processor", offer_from_broker(broker_offer("word-processor.document", "save"))},
  };
  std::vector<CatalogueEntry> broker = {
      {CatalogueSource::broker(7), "word-processor",
       offer_from_broker(broker_offer("word-processor.document", "save"))},
      {CatalogueSource::broker(7), "files", offer_from_broker(broker_offer("files.entry:1", "share"))},
  };
  const auto merged = planning_catalogue(broker, local);
  EXPECT_EQ(ids(merged), (std::vector<std::string>{"broker:7:word-processor.document#save",
                                                   "broker:7:files.entry:1#share", "word-processor.document#open"}));
  // A broker and a local entry of one action never share an id; look-up is exact.
  const auto both = planning_catalogue(
      {broker[1]}, std::vector<CatalogueEntry>{
                       {CatalogueSource::local(), "files", offer_from_broker(broker_offer("files.entry:1", "share"))}});
  EXPECT_EQ(ids(both), (std::vector<std::string>{"broker:7:files.entry:1#share"}));
  EXPECT_EQ(find_entry(merged, "broker:7:files.entry:1#share"), &merged[1]);
  EXPECT_EQ(find_entry(merged, "files.entry:1#share"), nullptr);
  EXPECT_EQ(find_entry(merged, "Word-processor.document#open"), nullptr);
  EXPECT_EQ(find_entry(merged, "word-processor.document#open "), nullptr);
  EXPECT_EQ(find_entry(merged, "word-processor.document#open"), &merged[2]);
}

TEST(OpenTarget, OpensAnApplicationOnlyThroughItsOpenAction) {
  struct Case {
    std::string resource, action;
    std::optional<std::string> want;
  };
  for (const Case& c : std::vector<Case>{
           {"app.photos", "open", "photos"},
           {"photos.app", "open", "photos"},
           {"app.photos", "close", std::nullopt},
           {"photos.app", "Open", std::nullopt},
           {"photos", "open", std::nullopt},
           {"photos.library", "open", std::nullopt},
           {"app.", "open", std::nullopt},
           {"ix.quern.app", "open", std::nullopt},  // split at the first ".": "ix" and "quern.app"
       }) {
    ActionOffer o;
    o.resource_id = c.resource;
    o.action_name = c.action;
    EXPECT_EQ(open_target(o), c.want) << c.resource << "#" << c.action;
  }
}

TEST(PermissionFilter, ScopeIsTheOpenedAppOrTheResource) {
  ActionOffer open;
  open.resource_id = "photos.app";
  open.action_name = "open";
  open.resource_kind = "applications.app";
  const auto scope = permission_scope(open);
  ASSERT_TRUE(std::holds_alternative<perm::AppScope>(scope));
  EXPECT_EQ(std::get<perm::AppScope>(scope).app, "photos");

  ActionOffer section;
  section.resource_id = "word-processor.section:b1";
  section.action_name = "align-left";
  section.resource_kind = "word_processor.section";
  const auto rs = permission_scope(section);
  ASSERT_TRUE(std::holds_alternative<perm::ResourceScope>(rs));
  EXPECT_EQ(std::get<perm::ResourceScope>(rs).app, "word_processor");
  EXPECT_EQ(std::get<perm::ResourceScope>(rs).id, "word-processor.section:b1");
  section.resource_kind = "plain";
  EXPECT_EQ(std::get<perm::ResourceScope>(permission_scope(section)).app, "plain");

  struct Case {
    actions::Role role;
    bool member_may, owner_may;
  };
  for (const Case& c : std::vector<Case>{{actions::Role::None, true, true},
                                         {actions::Role::Read, true, true},
                                         {actions::Role::Comment, true, true},
                                         {actions::Role::Write, true, true},
                                         {actions::Role::Invite, false, true},
                                         {actions::Role::Admin, false, true}}) {
    section.required_role = c.role;
    EXPECT_EQ(permitted(member(), section), c.member_may) << actions::to_string(c.role);
    EXPECT_EQ(permitted(owner(), section), c.owner_may) << actions::to_string(c.role);
    EXPECT_FALSE(permitted(nobody(), section)) << actions::to_string(c.role);
  }
}

TEST(DocumentItems, FlattenParentFirstWithActionlessChildrenAsFacts) {
  using actions::Resource;
  const actions::ActionSpec act("do", "Do", actions::Encoder());
  const Resource tree =
      Resource("root", "k.root", "Root")
          .with_action(act)
          .with_child(Resource("a", "k.a", "A").with_action(act).with_child(Resource("a1", "k.f", "Fact one")))
          .with_child(Resource("b", "k.f", "Fact two"))
          .with_child(Resource("c", "k.c", "C").with_action(act));
  const auto items = document_items(std::span<const Resource>(&tree, 1));
  std::vector<std::string> order;
  for (const auto& i : items) order.push_back(i.resource_id);
  EXPECT_EQ(order, (std::vector<std::string>{"root", "a", "a1", "b", "c"}));
  EXPECT_EQ(items[0].facts, std::vector<std::string>{"Fact two"});
  EXPECT_EQ(items[1].facts, std::vector<std::string>{"Fact one"});
  EXPECT_EQ(items[1].kind, "k.a");
  EXPECT_EQ(items[1].text, "A");
  EXPECT_TRUE(items[2].facts.empty());

  Writer w;
  w.append("Hello");
  const std::vector<RoomDocument> docs = {{&word_processor_surface(), &w.doc(), {}}};
  const auto real = document_items(docs);
  ASSERT_FALSE(real.empty());
  EXPECT_EQ(real.front().resource_id, "word-processor.document");
  EXPECT_EQ(real.front().text, "Document");
}

TEST(RoomDocuments, WatchedFirstThenOthersByKey) {
  Writer w;
  w.append("x");
  std::optional<Replica> watched =
      make_replica(crdt::Document::load(w.save()).value(), watched_actor("Claude"), word_processor_surface(), {});
  std::map<std::string, Replica, std::less<>> others;
  others.emplace("photos", make_replica(test::photos_document(), app_actor("Claude", "photos"), photos_surface(), {}));
  others.emplace("chat", make_replica(test::chat_document(), app_actor("Claude", "chat"), chat_surface(), {}));
  const auto docs = room_documents(watched, others);
  ASSERT_EQ(docs.size(), 3u);
  EXPECT_EQ(docs[0].surface, &word_processor_surface());
  EXPECT_EQ(docs[1].surface, &chat_surface());
  EXPECT_EQ(docs[2].surface, &photos_surface());
  EXPECT_EQ(docs[0].document, &watched->document);
}

}  // namespace
}  // namespace quern::agent
