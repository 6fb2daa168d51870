// Runs stored in the document: what one replica records, another that merges it reads back,
// in order, with every field; and a document that holds no runs reads as none.
#include "runtime/ui/history_source.h"

#include <gtest/gtest.h>

namespace quern::ui::history_source {
namespace {

TEST(RunHistory, RecordedRunsTravelWithTheDocumentInOrder) {
  crdt::Document agent(crdt::ActorId(std::string_view("Claude")));
  crdt::Document person(crdt::ActorId(std::string_view("ada")));
  ASSERT_TRUE(runs::read_runs(agent).value().empty());

  const std::vector<runs::RunStep> steps{{"insert table 3x2", "entry:aa"}, {"remove 3 block(s)", "entry:bb"}};
  ASSERT_TRUE(runs::record_run_with_details(agent, "agent-run:b1", "436c61756465", std::string("entry:01"), steps));
  ASSERT_TRUE(runs::record_run_with_details(agent, "agent-run:b2", "436c61756465", std::nullopt, {}));
  agent.commit();
  ASSERT_TRUE(person.merge(agent));

  const auto read = runs::read_runs(person);
  ASSERT_TRUE(read) << read.error().to_string();
  ASSERT_EQ(read->size(), 2u);
  EXPECT_EQ((*read)[0], (runs::Run{"agent-run:b1", "436c61756465", "entry:01", steps}));
  EXPECT_EQ((*read)[1], (runs::Run{"agent-run:b2", "436c61756465", std::nullopt, {}}));
}

TEST(RunHistory, EntryIdsNameTheChangeHash) {
  crdt::ChangeHash hash;
  hash.bytes[0] = 0xab;
  hash.bytes[31] = 0x01;
  const std::string id = entry_id_from_hash(hash);
  EXPECT_EQ(id, "entry:" + hash.to_hex_string());
  EXPECT_NE(id, entry_id_from_hash(crdt::ChangeHash{}));
}

TEST(RunHistory, ARunMapOfAnotherShapeIsAnError) {
  crdt::Document doc;
  auto list = doc.put_object(crdt::ObjId::root(), kRunsKey, crdt::ObjType::List).value();
  ASSERT_TRUE(doc.insert(list, 0, "not a map"));
  EXPECT_FALSE(runs::read_runs(doc));
}

}  // namespace
}  // namespace quern::ui::history_source
