// Stamped commits and the versions of a document: order, authors, genesis.
#include "runtime/folio/history.h"

#include <gtest/gtest.h>

#include "runtime/folio/doc_mut.h"
#include "tests/runtime/folio/replicas.h"

namespace quern::folio::history {
namespace {

using crdt::Document;
using folio::test::new_folio;
using folio::test::replica_of;
using folio::test::schema_of;

// A wall clock the test sets.
class WallClock final : public Clock {
 public:
  explicit WallClock(std::int64_t ms) : ms_(ms) {}
  Instant now() const override { return Instant(millis(static_cast<std::uint64_t>(ms_))); }
  WallTime wall_now() const override { return WallTime(std::chrono::milliseconds(ms_)); }
  void sleep_for(Duration d) override { ms_ += std::chrono::duration_cast<std::chrono::milliseconds>(d).count(); }

 private:
  std::int64_t ms_;
};

void write(Document& doc, std::string_view text) {
  model::DocMut mut(doc, schema_of(doc));
  const std::string id = *mut.insert_block(std::nullopt, "paragraph");
  ASSERT_TRUE(mut.splice_text(id, 0, 0, text).has_value());
}

TEST(CommitStamped, CarriesTheWallClockAndMessageAndSaysWhenNothingWasStamped) {
  WallClock clock(1'700'000'000'123);
  Document doc = new_folio("alice");
  EXPECT_EQ(commit_stamped(doc, clock), std::nullopt);  // nothing open
  write(doc, "x");
  const auto hash = commit_stamped_with_message(doc, "insert paragraph", clock);
  ASSERT_TRUE(hash.has_value());
  const auto change = doc.get_change_by_hash(*hash);
  EXPECT_EQ(change->time, 1'700'000'000'123);
  EXPECT_EQ(change->message, "insert paragraph");
  write(doc, "y");
  const auto plain = commit_stamped(doc, clock);
  ASSERT_TRUE(plain.has_value());
  EXPECT_EQ(doc.get_change_by_hash(*plain)->message, std::nullopt);

  // Writes that a save already committed leave nothing to stamp.
  write(doc, "z");
  doc.save_incremental();
  EXPECT_EQ(commit_stamped_with_message(doc, "late", clock), std::nullopt);
}

TEST(Versions, ListEveryChangeNewestLastWithAuthorsAndGenesis) {
  WallClock clock(1000);
  Document alice = new_folio("alice");
  Document bob = replica_of(alice, "bob");
  write(alice, "a1");
  commit_stamped(alice, clock);
  clock.sleep_for(millis(10));
  write(bob, "b1");
  commit_stamped(bob, clock);
  clock.sleep_for(millis(10));
  write(alice, "a2");
  commit_stamped(alice, clock);
  folio::test::sync({&alice, &bob});

  const std::string alice_hex = crdt::ActorId("alice").to_hex_string();
  const auto va = versions(alice, alice_hex);
  const auto vb = versions(bob, alice_hex);
  ASSERT_EQ(va.size(), 4u);
  ASSERT_EQ(vb.size(), 4u);
  for (std::size_t i = 0; i < va.size(); ++i) EXPECT_EQ(va[i].hash, vb[i].hash) << i;  // same order everywhere
  EXPECT_TRUE(is_schema_genesis(va[0]));
  EXPECT_EQ(va[0].author, alice_hex);
  EXPECT_EQ(va[1].actor, crdt::ActorId("alice"));
  EXPECT_EQ(va[2].actor, crdt::ActorId("bob"));
  EXPECT_FALSE(va[2].by_self);
  EXPECT_EQ(va[3].actor, crdt::ActorId("alice"));
  EXPECT_TRUE(va[3].by_self);
  EXPECT_EQ(va[3].time, 1020);
  EXPECT_EQ(va[3].hash_hex, va[3].hash.to_hex_string());
  for (std::size_t i = 1; i < va.size(); ++i) EXPECT_FALSE(is_schema_genesis(va[i])) << i;
}

TEST(Versions, TheNewestHumanEditIsFoundBySkippingTheGenesisAndOwnEdits) {
  Document doc = new_folio("ada");
  Document agent = replica_of(doc, "agent");
  const std::string agent_hex = crdt::ActorId("agent").to_hex_string();
  // Only the genesis and the agent's own edits: no human edit.
  write(agent, "by the agent");
  commit_stamped(agent);
  const auto find = [&](const Document& d) -> std::optional<std::string> {
    auto vs = versions(d, agent_hex);
    for (auto it = vs.rbegin(); it != vs.rend(); ++it)
      if (!is_schema_genesis(*it) && !it->by_self) return it->hash_hex;
    return std::nullopt;
  };
  EXPECT_EQ(find(agent), std::nullopt);
  write(doc, "by ada");
  const auto human = commit_stamped(doc);
  folio::test::sync({&doc, &agent});
  EXPECT_EQ(find(agent), human->to_hex_string());
}

TEST(Genesis, IsSharedByReplicasAndTellsUnrelatedDocumentsApart) {
  Document a = new_folio("alice");
  Document copy = replica_of(a, "bob");
  Document other = new_folio("alice");
  ASSERT_TRUE(genesis(a).has_value());
  EXPECT_EQ(genesis(a), genesis(copy));
  EXPECT_NE(genesis(a), genesis(other));
  Document plain;
  EXPECT_EQ(genesis(plain), std::nullopt);
}

}  // namespace
}  // namespace quern::folio::history
