// Real editing histories replay to their recorded final text: sequential ones on one replica,
// concurrent ones with one replica per agent, each transaction made on a replica that holds
// exactly its parents, and everything merged at the end.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <vector>

#include "runtime/crdt/document.h"
#include "tests/runtime/crdt/editing_trace.h"
#include "tests/support/process.h"

namespace quern::crdt {
namespace {

using test::EditingTrace;

const ObjId kRoot = ObjId::root();

EditingTrace load(const std::string& name) {
  auto t = test::read_editing_trace(quern::test::test_data("editing-traces/" + name));
  EXPECT_TRUE(t) << t.error().to_string();
  return t ? std::move(*t) : EditingTrace{};
}

TEST(Trace, SequentialTracesReplayToTheirEndContent) {
  for (const char* name : {"automerge-paper.json.gz", "seph-blog1.json.gz", "friendsforever_flat.json.gz"}) {
    SCOPED_TRACE(name);
    const EditingTrace trace = load(name);
    ASSERT_FALSE(trace.txns.empty());
    Document doc(ActorId(std::string_view("trace")));
    const ObjId text = *doc.put_object(kRoot, "text", ObjType::Text);
    ASSERT_TRUE(doc.splice_text(text, 0, 0, trace.start_content));
    for (const auto& txn : trace.txns)
      for (const auto& p : txn.patches) ASSERT_TRUE(doc.splice_text(text, p.pos, p.del, p.insert));
    doc.commit();
    EXPECT_TRUE(*doc.text(text) == trace.end_content);
    auto loaded = Document::load(doc.save());
    ASSERT_TRUE(loaded) << loaded.error().to_string();
    EXPECT_TRUE(*loaded->text(text) == trace.end_content);
  }
}

TEST(Trace, OneChangePerPatchSavesLoadsAndMergesToTheEndContent) {
  const EditingTrace trace = load("friendsforever_flat.json.gz");
  Document doc(ActorId(std::string_view("trace")));
  const ObjId text = *doc.put_object(kRoot, "text", ObjType::Text);
  doc.commit();
  Document half = *Document::load(doc.save());
  std::size_t n = 0;
  for (const auto& txn : trace.txns)
    for (const auto& p : txn.patches) {
      ASSERT_TRUE(doc.splice_text(text, p.pos, p.del, p.insert));
      doc.commit(std::nullopt, static_cast<std::int64_t>(++n));
      if (n == trace.txns.size() / 2) {
        ASSERT_TRUE(half.merge(doc));
        (void)doc.save_incremental();
      }
    }
  auto loaded = Document::load(doc.save());
  ASSERT_TRUE(loaded) << loaded.error().to_string();
  EXPECT_TRUE(*loaded->text(text) == trace.end_content);
  EXPECT_EQ(loaded->heads(), doc.heads());
  EXPECT_EQ(loaded->get_changes().size(), doc.get_changes().size());
  // The second half arrives as one incremental change set.
  ASSERT_TRUE(half.load_incremental(doc.save_incremental()));
  EXPECT_TRUE(*half.text(text) == trace.end_content);
  EXPECT_EQ(half.heads(), doc.heads());
}

// One replica per agent. Before each transaction its agent's replica is brought to exactly the
// transaction's parents: it loads the changes of the parents' history it lacks, or, when it
// holds something the parents do not, it is rebuilt from the parents' history.
void replay_concurrent(const EditingTrace& trace) {
  Document setup(ActorId(std::string_view("setup")));
  const ObjId text = *setup.put_object(kRoot, "text", ObjType::Text);
  setup.commit();
  const Bytes base = setup.save();

  const std::size_t n = trace.txns.size();
  std::vector<Bytes> change(n);                    // each transaction's change
  std::vector<std::optional<ChangeHash>> hash(n);  // nothing: the transaction changed nothing
  std::vector<Document> replicas;
  for (std::size_t a = 0; a < trace.agents; ++a) {
    replicas.push_back(*Document::load(base));
    replicas.back().set_actor(ActorId("agent-" + std::to_string(a)));
  }
  std::size_t rebuilds = 0;
  // The history of `parents` that `doc` lacks, oldest first.
  const auto lacking = [&](const Document& doc, const std::vector<std::size_t>& parents) {
    std::vector<std::size_t> out, stack(parents.begin(), parents.end());
    std::vector<bool> seen(n, false);
    while (!stack.empty()) {
      const std::size_t t = stack.back();
      stack.pop_back();
      if (seen[t]) continue;
      seen[t] = true;
      if (hash[t] && doc.get_change_by_hash(*hash[t])) continue;  // and so is its history
      out.push_back(t);
      for (std::size_t p : trace.txns[t].parents) stack.push_back(p);
    }
    std::sort(out.begin(), out.end());
    return out;
  };
  const auto expected_heads = [&](const std::vector<std::size_t>& parents) {
    std::vector<ChangeHash> heads;
    for (std::size_t p : parents)
      if (hash[p]) heads.push_back(*hash[p]);
    if (parents.empty()) heads = Document::load(base)->heads();
    std::sort(heads.begin(), heads.end());
    return heads;
  };
  for (std::size_t i = 0; i < n; ++i) {
    const auto& txn = trace.txns[i];
    ASSERT_LT(txn.agent, replicas.size());
    Document* doc = &replicas[txn.agent];
    for (std::size_t t : lacking(*doc, txn.parents)) {
      if (hash[t]) {
        ASSERT_TRUE(doc->load_incremental(change[t]));
      }
    }
    if (doc->heads() != expected_heads(txn.parents)) {
      ++rebuilds;
      Document fresh = *Document::load(base);
      fresh.set_actor(doc->actor());
      for (std::size_t t : lacking(fresh, txn.parents)) {
        if (hash[t]) {
          ASSERT_TRUE(fresh.load_incremental(change[t]));
        }
      }
      *doc = std::move(fresh);
      ASSERT_EQ(doc->heads(), expected_heads(txn.parents)) << "transaction " << i;
    }
    (void)doc->save_incremental();
    for (const auto& p : txn.patches)
      ASSERT_TRUE(doc->splice_text(text, p.pos, p.del, p.insert)) << "transaction " << i;
    hash[i] = doc->commit();
    if (hash[i]) change[i] = doc->save_incremental();
  }
  for (std::size_t a = 1; a < replicas.size(); ++a) ASSERT_TRUE(replicas[0].merge(replicas[a]));
  for (std::size_t a = 1; a < replicas.size(); ++a) ASSERT_TRUE(replicas[a].merge(replicas[0]));
  for (std::size_t a = 0; a < replicas.size(); ++a) {
    EXPECT_TRUE(*replicas[a].text(text) == trace.end_content) << "replica " << a;
    EXPECT_EQ(replicas[a].heads(), replicas[0].heads());
  }
  ::testing::Test::RecordProperty("rebuilds", static_cast<int>(rebuilds));
}

TEST(Trace, ConcurrentTracesConvergeToTheirEndContentOnEveryReplica) {
  for (const char* name : {"concurrent-friendsforever.json.gz", "concurrent-clownschool.json.gz"}) {
    SCOPED_TRACE(name);
    const EditingTrace trace = load(name);
    ASSERT_TRUE(trace.concurrent);
    replay_concurrent(trace);
  }
}

}  // namespace
}  // namespace quern::crdt
