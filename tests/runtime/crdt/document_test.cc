#include "runtime/crdt/document.h"

#include "runtime/crdt/codec.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quern::crdt {

void PrintTo(const MarkSpan& s, std::ostream* os) {
  *os << s.name << "=" << s.value.to_string() << "[" << s.start << "," << s.end << ")";
}
void PrintTo(const Value& v, std::ostream* os) { *os << v.to_string(); }
void PrintTo(const ScalarValue& v, std::ostream* os) { *os << v.to_string(); }

namespace {

const ObjId kRoot = ObjId::root();

ActorId actor(std::string_view name) { return ActorId(name); }

std::string text_of(const Document& d, const ObjId& obj) {
  auto t = d.text(obj);
  return t ? *t : "<" + t.error().to_string() + ">";
}

std::optional<ScalarValue> scalar(const Document& d, const ObjId& obj, std::string_view key) {
  auto v = d.get(obj, key);
  if (!v || !*v || !(**v).scalar()) return std::nullopt;
  return *(**v).scalar();
}

// Two documents sharing a text object created by `a`.
struct TextPair {
  Document a{actor("aa")}, b{actor("bb")};
  ObjId text;
  explicit TextPair(std::string_view initial = "") {
    text = *a.put_object(kRoot, "text", ObjType::Text);
    EXPECT_TRUE(a.splice_text(text, 0, 0, initial));
    a.commit();
    EXPECT_TRUE(b.merge(a));
  }
  void sync() {
    ASSERT_TRUE(a.merge(b));
    ASSERT_TRUE(b.merge(a));
  }
};

TEST(Map, PutGetDeleteAndKeysInByteOrder) {
  Document d(actor("a"));
  ASSERT_TRUE(d.put(kRoot, "b", 1));
  ASSERT_TRUE(d.put(kRoot, "a", "x"));
  ASSERT_TRUE(d.put(kRoot, "\xc3\xa9", true));
  ASSERT_TRUE(d.put(kRoot, "B", 2.5));
  ASSERT_TRUE(d.put(kRoot, "n", Null{}));
  EXPECT_EQ(*d.keys(kRoot), (std::vector<std::string>{"B", "a", "b", "n", "\xc3\xa9"}));
  EXPECT_EQ(scalar(d, kRoot, "b"), ScalarValue(1));
  EXPECT_EQ(scalar(d, kRoot, "a"), ScalarValue("x"));
  ASSERT_TRUE(d.put(kRoot, "b", std::uint64_t{7}));
  EXPECT_EQ(scalar(d, kRoot, "b"), ScalarValue(std::uint64_t{7}));
  ASSERT_TRUE(d.delete_key(kRoot, "a"));
  ASSERT_TRUE(d.delete_key(kRoot, "missing"));
  EXPECT_FALSE(d.get(kRoot, "a")->has_value());
  EXPECT_EQ(*d.length(kRoot), 4u);
  EXPECT_EQ(d.get_all(kRoot, "b")->size(), 1u);
}

TEST(Map, EveryScalarKindRoundTripsThroughSave) {
  Document d(actor("a"));
  const std::vector<std::pair<std::string, ScalarValue>> values = {
      {"null", Null{}},        {"bool", false},         {"int", std::int64_t{-5}},   {"uint", std::uint64_t{1} << 63},
      {"f64", -0.25},          {"str", "h\xc3\xa9llo"}, {"bytes", Bytes{0, 255, 7}}, {"ts", Timestamp{1700000000123}},
      {"counter", Counter{3}},
  };
  for (const auto& [k, v] : values) ASSERT_TRUE(d.put(kRoot, k, v));
  auto loaded = Document::load(d.save());
  ASSERT_TRUE(loaded) << loaded.error().to_string();
  for (const auto& [k, v] : values) EXPECT_EQ(scalar(*loaded, kRoot, k), v) << k;
}

TEST(Map, ConcurrentPutsKeepEveryValueInOneOrderAndTheSameWinner) {
  Document a(actor("aa")), b(actor("bb")), c(actor("cc"));
  ASSERT_TRUE(a.put(kRoot, "k", "a"));
  ASSERT_TRUE(b.put(kRoot, "k", "b"));
  ASSERT_TRUE(c.put(kRoot, "k", "c"));
  a.commit(), b.commit(), c.commit();
  ASSERT_TRUE(a.merge(b));
  ASSERT_TRUE(a.merge(c));
  ASSERT_TRUE(c.merge(b));
  ASSERT_TRUE(c.merge(a));
  const std::vector<Value> want = {ScalarValue("a"), ScalarValue("b"), ScalarValue("c")};
  EXPECT_EQ(*a.get_all(kRoot, "k"), want);
  EXPECT_EQ(*c.get_all(kRoot, "k"), want);
  EXPECT_EQ(scalar(a, kRoot, "k"), ScalarValue("c"));
  // A put that saw all of them replaces all of them.
  ASSERT_TRUE(a.put(kRoot, "k", "z"));
  a.commit();
  ASSERT_TRUE(c.merge(a));
  EXPECT_EQ(*c.get_all(kRoot, "k"), std::vector<Value>{ScalarValue("z")});
}

TEST(Map, DeleteConcurrentWithPutKeepsThePut) {
  Document a(actor("aa"));
  ASSERT_TRUE(a.put(kRoot, "k", 1));
  a.commit();
  Document b = a.fork();
  ASSERT_TRUE(a.delete_key(kRoot, "k"));
  ASSERT_TRUE(b.put(kRoot, "k", 2));
  a.commit(), b.commit();
  ASSERT_TRUE(a.merge(b));
  EXPECT_EQ(scalar(a, kRoot, "k"), ScalarValue(2));
}

TEST(Objects, NestedObjectsAndWrongKindsAreErrors) {
  Document d(actor("a"));
  const ObjId map = *d.put_object(kRoot, "m", ObjType::Map);
  const ObjId list = *d.put_object(map, "l", ObjType::List);
  const ObjId text = *d.insert_object(list, 0, ObjType::Text);
  ASSERT_TRUE(d.splice_text(text, 0, 0, "hi"));
  EXPECT_EQ(*d.object_type(list), ObjType::List);
  auto v = *d.get(map, "l");
  ASSERT_TRUE(v && v->object());
  EXPECT_EQ(v->object()->id, list);
  EXPECT_EQ(text_of(d, text), "hi");

  EXPECT_FALSE(d.put(list, "k", 1));
  EXPECT_FALSE(d.insert(map, 0, 1));
  EXPECT_FALSE(d.splice_text(list, 0, 0, "x"));
  EXPECT_FALSE(d.text(map));
  EXPECT_FALSE(d.get(ObjId(99, actor("zz")), "k"));
  EXPECT_FALSE(d.keys(list));
  EXPECT_FALSE(d.increment(map, "l", 1));
  EXPECT_EQ(ObjId::parse(text.to_string()), text);
  EXPECT_EQ(ObjId::parse("root"), kRoot);
  EXPECT_FALSE(ObjId::parse("7@zz"));
}

TEST(List, InsertSetDeleteSpliceAndRangeErrors) {
  Document d(actor("a"));
  const ObjId l = *d.put_object(kRoot, "l", ObjType::List);
  ASSERT_TRUE(d.insert(l, 0, "b"));
  ASSERT_TRUE(d.insert(l, 0, "a"));
  ASSERT_TRUE(d.insert(l, 2, "d"));
  ASSERT_TRUE(d.insert(l, 2, "c"));
  ASSERT_TRUE(d.set(l, 3, "D"));
  ASSERT_TRUE(d.delete_at(l, 0));
  const std::vector<ScalarValue> add = {"x", "y"};
  ASSERT_TRUE(d.splice(l, 1, 1, add));
  std::vector<std::string> got;
  for (std::size_t i = 0; i < *d.length(l); ++i) got.push_back(*(*d.get(l, i))->scalar()->as_str());
  EXPECT_EQ(got, (std::vector<std::string>{"b", "x", "y", "D"}));
  EXPECT_FALSE(d.get(l, 4)->has_value());
  EXPECT_FALSE(d.insert(l, 5, 1));
  EXPECT_FALSE(d.set(l, 4, 1));
  EXPECT_FALSE(d.delete_at(l, 4));
  EXPECT_FALSE(d.splice(l, 3, 2, {}));
  auto loaded = Document::load(d.save());
  ASSERT_TRUE(loaded);
  EXPECT_EQ(*loaded->length(l), 4u);
  EXPECT_EQ(*(*loaded->get(l, 3))->scalar(), ScalarValue("D"));
}

TEST(List, ConcurrentSetsAndSetAgainstDelete) {
  Document a(actor("aa"));
  const ObjId l = *a.put_object(kRoot, "l", ObjType::List);
  ASSERT_TRUE(a.insert(l, 0, 1));
  ASSERT_TRUE(a.insert(l, 1, 2));
  a.commit();
  Document b(actor("bb"));
  ASSERT_TRUE(b.merge(a));
  ASSERT_TRUE(a.set(l, 0, 10));
  ASSERT_TRUE(b.set(l, 0, 20));
  ASSERT_TRUE(a.delete_at(l, 1));
  ASSERT_TRUE(b.set(l, 1, 30));
  a.commit(), b.commit();
  ASSERT_TRUE(a.merge(b));
  ASSERT_TRUE(b.merge(a));
  for (Document* d : {&a, &b}) {
    EXPECT_EQ(*d->get_all(l, 0), (std::vector<Value>{ScalarValue(10), ScalarValue(20)}));
    EXPECT_EQ(*d->length(l), 2u);  // the set revives the deleted element
    EXPECT_EQ(*(*d->get(l, 1))->scalar(), ScalarValue(30));
  }
}

TEST(Counter, IncrementsFromEveryReplicaAddUp) {
  Document a(actor("aa"));
  ASSERT_TRUE(a.put(kRoot, "n", Counter{10}));
  const ObjId l = *a.put_object(kRoot, "l", ObjType::List);
  ASSERT_TRUE(a.insert(l, 0, Counter{0}));
  a.commit();
  Document b(actor("bb"));
  ASSERT_TRUE(b.merge(a));
  ASSERT_TRUE(a.increment(kRoot, "n", 5));
  ASSERT_TRUE(b.increment(kRoot, "n", -3));
  ASSERT_TRUE(b.increment(l, 0, 4));
  a.commit(), b.commit();
  ASSERT_TRUE(a.merge(b));
  EXPECT_EQ(scalar(a, kRoot, "n"), ScalarValue(Counter{12}));
  EXPECT_EQ(*(*a.get(l, 0))->scalar(), ScalarValue(Counter{4}));
  ASSERT_TRUE(a.put(kRoot, "s", "x"));
  EXPECT_FALSE(a.increment(kRoot, "s", 1));
  EXPECT_FALSE(a.increment(kRoot, "missing", 1));
  auto loaded = Document::load(a.save());
  EXPECT_EQ(scalar(*loaded, kRoot, "n"), ScalarValue(Counter{12}));
}

TEST(Text, SpliceCountsCharactersAndRejectsRangesPastTheEnd) {
  Document d(actor("a"));
  const ObjId t = *d.put_object(kRoot, "t", ObjType::Text);
  ASSERT_TRUE(d.splice_text(t, 0, 0, "h\xc3\xa9llo \xf0\x9f\x98\x80!"));
  EXPECT_EQ(*d.length(t), 8u);
  ASSERT_TRUE(d.splice_text(t, 1, 1, "e"));
  ASSERT_TRUE(d.splice_text(t, 6, 1, "world"));
  EXPECT_EQ(text_of(d, t), "hello world!");
  EXPECT_FALSE(d.splice_text(t, 13, 0, "x"));
  EXPECT_FALSE(d.splice_text(t, 10, 3, ""));
  EXPECT_EQ(*(*d.get(t, 4))->scalar(), ScalarValue("o"));
  EXPECT_EQ(text_of(d, t), "hello world!");
}

TEST(Text, ConcurrentTypingAtOnePlaceDoesNotInterleave) {
  struct Case {
    std::string name;
    bool backwards;
  };
  for (const Case& c : {Case{"forwards", false}, Case{"backwards", true}}) {
    TextPair p("[]");
    const std::string a_word = "alpha", b_word = "omega";
    for (std::size_t i = 0; i < a_word.size(); ++i) {
      ASSERT_TRUE(p.a.splice_text(p.text, 1 + (c.backwards ? 0 : i), 0,
                                  a_word.substr(c.backwards ? a_word.size() - 1 - i : i, 1)));
      ASSERT_TRUE(p.b.splice_text(p.text, 1 + (c.backwards ? 0 : i), 0,
                                  b_word.substr(c.backwards ? b_word.size() - 1 - i : i, 1)));
      p.a.commit(), p.b.commit();
    }
    p.sync();
    const std::string got = text_of(p.a, p.text);
    EXPECT_EQ(got, text_of(p.b, p.text)) << c.name;
    EXPECT_TRUE(got == "[alphaomega]" || got == "[omegaalpha]") << c.name << ": " << got;
  }
}

TEST(Text, ConcurrentEditsAroundDeletionsConverge) {
  TextPair p("hello world");
  ASSERT_TRUE(p.a.splice_text(p.text, 0, 6, "HELLO "));
  ASSERT_TRUE(p.b.splice_text(p.text, 5, 6, ", there"));
  ASSERT_TRUE(p.b.splice_text(p.text, 0, 0, ">"));
  p.a.commit(), p.b.commit();
  p.sync();
  EXPECT_EQ(text_of(p.a, p.text), text_of(p.b, p.text));
  // Both inserts at the start sit before the deleted "h"; b's ">" has the higher counter (b
  // made two ops before it) and concurrent inserts at one place go newest first.
  EXPECT_EQ(text_of(p.a, p.text), ">HELLO , there");
}

TEST(Marks, SpansFollowTheLaterMarkAndTheExpandRule) {
  Document d(actor("a"));
  const ObjId t = *d.put_object(kRoot, "t", ObjType::Text);
  ASSERT_TRUE(d.splice_text(t, 0, 0, "0123456789"));
  ASSERT_TRUE(d.mark(t, 2, 6, "bold", true, ExpandMark::None));
  ASSERT_TRUE(d.mark(t, 4, 8, "link", "x", ExpandMark::Both));
  ASSERT_TRUE(d.mark(t, 5, 7, "link", "y", ExpandMark::After));
  ASSERT_TRUE(d.unmark(t, 3, 4, "bold", ExpandMark::None));
  EXPECT_EQ(
      *d.marks(t),
      (std::vector<MarkSpan>{
          {"bold", true, 2, 3}, {"bold", true, 4, 6}, {"link", "x", 4, 5}, {"link", "y", 5, 7}, {"link", "x", 7, 8}}));
  // Typing at the edges: bold (None) does not grow, link x (Both) grows at its start.
  ASSERT_TRUE(d.splice_text(t, 6, 0, "_"));  // end of bold
  ASSERT_TRUE(d.splice_text(t, 2, 0, "_"));  // start of bold
  // Start of link x; also just after the removed range, which does not grow, so it is bold.
  ASSERT_TRUE(d.splice_text(t, 5, 0, "+"));
  EXPECT_EQ(*d.marks(t), (std::vector<MarkSpan>{{"bold", true, 3, 4},
                                                {"bold", true, 5, 8},
                                                {"link", "x", 5, 7},
                                                {"link", "y", 7, 10},
                                                {"link", "x", 10, 11}}));
  EXPECT_FALSE(d.mark(t, 5, 40, "bold", true, ExpandMark::None));
  EXPECT_FALSE(d.mark(t, 5, 4, "bold", true, ExpandMark::None));
  EXPECT_FALSE(d.mark(t, 1, 2, "bold", 1.5, ExpandMark::None));
  ASSERT_TRUE(d.mark(t, 3, 3, "bold", true, ExpandMark::None));
  auto loaded = Document::load(d.save());
  EXPECT_EQ(*loaded->marks(t), *d.marks(t));
}

TEST(Marks, DeletedTextShrinksSpansAndConcurrentMarksMerge) {
  TextPair p("abcdefgh");
  ASSERT_TRUE(p.a.mark(p.text, 0, 4, "em", true, ExpandMark::None));
  ASSERT_TRUE(p.b.mark(p.text, 2, 6, "strong", true, ExpandMark::None));
  ASSERT_TRUE(p.b.splice_text(p.text, 1, 2, ""));
  p.a.commit(), p.b.commit();
  p.sync();
  const std::vector<MarkSpan> want = {{"em", true, 0, 2}, {"strong", true, 1, 4}};
  EXPECT_EQ(*p.a.marks(p.text), want);
  EXPECT_EQ(*p.b.marks(p.text), want);
}

TEST(Transactions, CommitRollbackAndPendingOps) {
  Document d(actor("a"));
  EXPECT_EQ(d.commit(), std::nullopt);
  ASSERT_TRUE(d.put(kRoot, "k", 1));
  const ObjId t = *d.put_object(kRoot, "t", ObjType::Text);
  ASSERT_TRUE(d.splice_text(t, 0, 0, "abc"));
  EXPECT_EQ(d.pending_ops(), 5u);
  auto h = d.commit("first", 1234);
  ASSERT_TRUE(h);
  EXPECT_EQ(d.heads(), std::vector<ChangeHash>{*h});
  auto c = d.get_change_by_hash(*h);
  ASSERT_TRUE(c);
  EXPECT_EQ(c->message, "first");
  EXPECT_EQ(c->time, 1234);
  EXPECT_EQ(c->seq, 1u);
  EXPECT_EQ(c->start_op, 1u);
  EXPECT_EQ(c->op_count, 5u);
  EXPECT_EQ(c->actor, actor("a"));

  ASSERT_TRUE(d.put(kRoot, "k", 2));
  ASSERT_TRUE(d.splice_text(t, 1, 1, "XY"));
  ASSERT_TRUE(d.put_object(kRoot, "new", ObjType::Map));
  EXPECT_EQ(d.rollback(), 5u);
  EXPECT_EQ(d.pending_ops(), 0u);
  EXPECT_EQ(scalar(d, kRoot, "k"), ScalarValue(1));
  EXPECT_EQ(text_of(d, t), "abc");
  EXPECT_FALSE(d.get(kRoot, "new")->has_value());
  EXPECT_EQ(d.heads(), std::vector<ChangeHash>{*h});
  ASSERT_TRUE(d.put(kRoot, "k", 3));
  auto h2 = d.commit();
  ASSERT_TRUE(h2);
  EXPECT_EQ(d.get_change_by_hash(*h2)->seq, 2u);
  EXPECT_EQ(d.get_change_by_hash(*h2)->deps, std::vector<ChangeHash>{*h});
  EXPECT_EQ(d.get_changes().size(), 2u);
}

TEST(Actors, HexFormsAndSetActor) {
  EXPECT_EQ(ActorId("\x01\xab").to_hex_string(), "01ab");
  EXPECT_EQ(*ActorId::from_hex("01AB"), ActorId("\x01\xab"));
  EXPECT_FALSE(ActorId::from_hex("0g"));
  EXPECT_NE(ActorId::random(), ActorId::random());
  Document d;
  EXPECT_EQ(d.actor().bytes().size(), 16u);
  d.set_actor(actor("Claude"));
  ASSERT_TRUE(d.put(kRoot, "k", 1));
  EXPECT_EQ(d.get_changes().size(), 0u);
  d.set_actor(actor("other"));  // commits under the old actor
  ASSERT_EQ(d.get_changes().size(), 1u);
  EXPECT_EQ(d.get_changes()[0].actor, actor("Claude"));
  auto h = ChangeHash::from_hex(d.heads()[0].to_hex_string());
  EXPECT_EQ(*h, d.heads()[0]);
}

TEST(Sync, IncrementalSavesCarryOnlyNewChanges) {
  Document a(actor("aa"));
  EXPECT_TRUE(a.save_incremental().empty());
  ASSERT_TRUE(a.put(kRoot, "k", 1));
  const Bytes first = a.save_incremental();  // commits the open transaction
  EXPECT_FALSE(first.empty());
  EXPECT_TRUE(a.save_incremental().empty());
  ASSERT_TRUE(a.put(kRoot, "k", 2));
  a.commit();
  const Bytes second = a.save_incremental();

  Document b(actor("bb"));
  EXPECT_EQ(*b.load_incremental(second), 0u);  // waits for `first`
  EXPECT_EQ(b.get_missing_deps({}), std::vector<ChangeHash>{a.get_changes()[0].hash});
  EXPECT_EQ(*b.load_incremental(first), 2u);
  EXPECT_EQ(scalar(b, kRoot, "k"), ScalarValue(2));
  EXPECT_TRUE(b.get_missing_deps({}).empty());
  const auto heads = b.heads();
  EXPECT_EQ(*b.load_incremental(first), 0u);
  EXPECT_EQ(*b.load_incremental(a.save()), 0u);
  EXPECT_EQ(b.heads(), heads);
  EXPECT_EQ(heads, a.heads());
  EXPECT_EQ(b.get_missing_deps(a.heads()), std::vector<ChangeHash>{});
  ChangeHash unknown;
  unknown.bytes[0] = 1;
  EXPECT_EQ(b.get_missing_deps(std::vector<ChangeHash>{unknown}), std::vector<ChangeHash>{unknown});

  // After a load, the next incremental save is empty until the document is edited.
  auto c = Document::load(a.save());
  ASSERT_TRUE(c);
  EXPECT_TRUE(c->save_incremental().empty());
  ASSERT_TRUE(c->merge(b));
  ASSERT_TRUE(c->put(kRoot, "c", 1));
  EXPECT_FALSE(c->save_incremental().empty());
}

TEST(Sync, CorruptOrForeignBytesAreErrorsAndChangeNothing) {
  Document a(actor("aa"));
  const ObjId t = *a.put_object(kRoot, "t", ObjType::Text);
  ASSERT_TRUE(a.splice_text(t, 0, 0,
                            "some text that is long enough to be compressed by the saver, "
                            "repeated repeated repeated repeated repeated repeated repeated"));
  const Bytes saved = a.save();
  for (std::size_t i = 0; i < saved.size(); i += 7) {
    Bytes bad = saved;
    bad[i] ^= 0x20;
    EXPECT_FALSE(Document::load(bad)) << "flipped byte " << i;
  }
  for (std::size_t n : {std::size_t{0}, std::size_t{3}, saved.size() / 2, saved.size() - 1})
    EXPECT_FALSE(Document::load(ByteView(saved.data(), n))) << n;
  Document b(actor("bb"));
  ASSERT_TRUE(b.put(kRoot, "k", 1));
  b.commit();
  const auto heads = b.heads();
  Bytes bad = saved;
  bad[bad.size() / 2] ^= 1;
  EXPECT_FALSE(b.load_incremental(bad));
  const std::string junk = "{\"not\": \"a document\"}";
  EXPECT_FALSE(b.load_incremental(ByteView(reinterpret_cast<const std::uint8_t*>(junk.data()), junk.size())));
  EXPECT_EQ(b.heads(), heads);
  EXPECT_EQ(*b.keys(kRoot), std::vector<std::string>{"k"});
}

// A change set whose second change is well-formed but names an object that does not exist:
// the first change must not stay applied either.
TEST(Sync, AChangeThatDoesNotApplyUndoesTheWholeChangeSet) {
  Document a(actor("aa"));
  ASSERT_TRUE(a.put(kRoot, "x", 1));
  a.commit();
  const auto chunks = *detail::parse_chunks(a.save_incremental());
  detail::Reader r(chunks.at(0).payload);
  ASSERT_EQ(r.uleb(), 1u);
  const ByteView first = r.bytes();

  detail::DecodedChange bad;
  bad.actor = 0;
  bad.seq = 2;
  bad.start_op = 2;
  bad.deps = a.heads();
  detail::Op op;
  op.kind = detail::OpKind::MapPut;
  op.obj = detail::OpId{99, 0};
  op.key = "y";
  op.value = 2;
  bad.ops.push_back(op);
  const Bytes second = detail::encode_change(bad, {actor("aa")});
  detail::Writer w;
  w.uleb(2);
  w.bytes(first);
  w.bytes(second);
  const Bytes set = detail::frame_chunk(detail::ChunkKind::Changes, w.out());

  Document b(actor("bb"));
  ASSERT_TRUE(b.put(kRoot, "b", true));
  b.commit();
  const auto heads = b.heads();
  auto res = b.load_incremental(set);
  ASSERT_FALSE(res);
  EXPECT_NE(res.error().to_string().find("unknown object"), std::string::npos) << res.error().to_string();
  EXPECT_EQ(b.heads(), heads);
  EXPECT_EQ(*b.keys(kRoot), std::vector<std::string>{"b"});
  EXPECT_FALSE(Document::load(set));
  // The valid change alone still applies afterwards.
  EXPECT_EQ(*b.merge(a), 1u);
  EXPECT_EQ(*b.keys(kRoot), (std::vector<std::string>{"b", "x"}));
}

TEST(Sync, EmptyDocumentsSaveAndLoad) {
  Document a(actor("aa"));
  auto loaded = Document::load(a.save());
  ASSERT_TRUE(loaded) << loaded.error().to_string();
  EXPECT_TRUE(loaded->heads().empty());
  EXPECT_EQ(*loaded->length(kRoot), 0u);
  EXPECT_EQ(*a.load_incremental({}), 0u);
}

TEST(Sync, MergeIsIdempotentAndOrderFree) {
  Document a(actor("aa")), b(actor("bb")), c(actor("cc"));
  const ObjId l = *a.put_object(kRoot, "l", ObjType::List);
  a.commit();
  ASSERT_TRUE(b.merge(a));
  ASSERT_TRUE(c.merge(a));
  ASSERT_TRUE(a.insert(l, 0, "a"));
  ASSERT_TRUE(b.insert(l, 0, "b"));
  ASSERT_TRUE(c.insert(l, 0, "c"));
  ASSERT_TRUE(b.put(kRoot, "x", 1));
  a.commit(), b.commit(), c.commit();
  ASSERT_TRUE(a.merge(b));
  ASSERT_TRUE(a.merge(c));
  ASSERT_TRUE(c.merge(b));
  ASSERT_TRUE(c.merge(a));
  ASSERT_TRUE(b.merge(c));
  const auto heads = a.heads();
  EXPECT_EQ(*a.merge(b), 0u);
  EXPECT_EQ(a.heads(), heads);
  EXPECT_EQ(b.heads(), heads);
  EXPECT_EQ(c.heads(), heads);
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(*(*a.get(l, i))->scalar(), *(*b.get(l, i))->scalar());
    EXPECT_EQ(*(*a.get(l, i))->scalar(), *(*c.get(l, i))->scalar());
  }
}

}  // namespace
}  // namespace quern::crdt
