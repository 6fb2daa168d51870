// Replicas edit at random and exchange changes in random order, with duplicates and delayed
// dependencies; after a full exchange they must agree on everything a reader can see.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "runtime/crdt/document.h"

namespace quern::crdt {
namespace {

const ObjId kRoot = ObjId::root();

// Everything a reader can see, as one text: values, concurrent values, marks, nested objects.
void dump(const Document& d, const ObjId& obj, std::ostringstream& out, int depth = 0) {
  const ObjType type = *d.object_type(obj);
  const auto dump_values = [&](const std::vector<Value>& values) {
    for (const Value& v : values) {
      out << v.to_string() << ";";
      if (const ObjectValue* o = v.object(); o && depth < 8) dump(d, o->id, out, depth + 1);
    }
  };
  if (type == ObjType::Map) {
    out << "{";
    const auto keys = *d.keys(obj);
    for (const auto& k : keys) {
      out << k << ":";
      dump_values(*d.get_all(obj, k));
    }
    out << "}";
  } else if (type == ObjType::List) {
    out << "[";
    for (std::size_t i = 0; i < *d.length(obj); ++i) dump_values(*d.get_all(obj, i));
    out << "]";
  } else {
    out << "'" << *d.text(obj) << "'";
    const auto marks = *d.marks(obj);
    for (const MarkSpan& m : marks) out << m.name << "=" << m.value.to_string() << m.start << "-" << m.end;
  }
}

std::string state(const Document& d) {
  std::ostringstream out;
  dump(d, kRoot, out);
  return out.str();
}

class Fuzzer {
 public:
  // `text_heavy`: mostly text edits of longer words, so that sequences grow to many runs.
  Fuzzer(std::uint32_t seed, bool text_heavy) : rng_(seed), text_heavy_(text_heavy) {}

  std::size_t pick(std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng_); }
  bool chance(int percent) { return pick(100) < static_cast<std::size_t>(percent); }

  // Every object reachable from the root, by kind.
  void objects(const Document& d, const ObjId& obj, std::vector<ObjId>& maps, std::vector<ObjId>& lists,
               std::vector<ObjId>& texts, int depth = 0) {
    const ObjType type = *d.object_type(obj);
    (type == ObjType::Map ? maps : type == ObjType::List ? lists : texts).push_back(obj);
    if (depth > 4) return;
    std::vector<Value> children;
    if (type == ObjType::Map) {
      const auto keys = *d.keys(obj);
      for (const auto& k : keys) {
        auto values = *d.get_all(obj, k);
        children.insert(children.end(), values.begin(), values.end());
      }
    } else if (type == ObjType::List) {
      for (std::size_t i = 0; i < *d.length(obj); ++i) {
        auto values = *d.get_all(obj, i);
        children.insert(children.end(), values.begin(), values.end());
      }
    }
    for (const Value& v : children)
      if (const ObjectValue* o = v.object()) objects(d, o->id, maps, lists, texts, depth + 1);
  }

  ScalarValue scalar() {
    switch (pick(7)) {
      case 0: return static_cast<std::int64_t>(pick(100));
      case 1: return chance(50);
      case 2: return std::string(1, static_cast<char>('a' + pick(26)));
      case 3: return Null{};
      case 4: return Counter{static_cast<std::int64_t>(pick(10))};
      case 5: return 0.5 * static_cast<double>(pick(9));
      default: return Timestamp{static_cast<std::int64_t>(pick(1000))};
    }
  }
  std::string key() { return std::string(1, static_cast<char>('a' + pick(5))); }
  std::string word() {
    static const char* words[] = {"x", "yz", "héllo", "😀", "abc def", "\n", "ü"};
    if (text_heavy_ && chance(50)) return std::string(1 + pick(40), static_cast<char>('a' + pick(26)));
    return words[pick(7)];
  }
  ObjType obj_type() { return static_cast<ObjType>(pick(3)); }

  void edit(Document& d) {
    std::vector<ObjId> maps, lists, texts;
    objects(d, kRoot, maps, lists, texts);
    const int kind = text_heavy_ && !texts.empty() && chance(90) ? 9 : static_cast<int>(pick(10));
    if (kind <= 2) {
      const ObjId& m = maps[pick(maps.size())];
      const std::string k = key();
      switch (pick(5)) {
        case 0: ASSERT_TRUE(d.put_object(m, k, obj_type())); break;
        case 1: ASSERT_TRUE(d.delete_key(m, k)); break;
        case 2: {
          auto v = *d.get(m, k);
          if (v && v->scalar() && v->scalar()->as_counter()) {
            ASSERT_TRUE(d.increment(m, k, 1 + pick(5)));
          }
          break;
        }
        default: ASSERT_TRUE(d.put(m, k, scalar()));
      }
    } else if (kind <= 5 && !lists.empty()) {
      const ObjId& l = lists[pick(lists.size())];
      const std::size_t len = *d.length(l);
      switch (len == 0 ? 0 : pick(6)) {
        case 0: ASSERT_TRUE(d.insert(l, pick(len + 1), scalar())); break;
        case 1: ASSERT_TRUE(d.insert_object(l, pick(len + 1), obj_type())); break;
        case 2: ASSERT_TRUE(d.set(l, pick(len), scalar())); break;
        case 3: ASSERT_TRUE(d.delete_at(l, pick(len))); break;
        case 4: {
          const std::size_t i = pick(len);
          auto v = *d.get(l, i);
          if (v && v->scalar() && v->scalar()->as_counter()) {
            ASSERT_TRUE(d.increment(l, i, 2));
          }
          break;
        }
        default: {
          const std::size_t pos = pick(len + 1);
          const std::vector<ScalarValue> values = {scalar(), scalar()};
          ASSERT_TRUE(d.splice(l, pos, pick(len - pos + 1), values));
        }
      }
    } else if (!texts.empty()) {
      const ObjId& t = texts[pick(texts.size())];
      const std::size_t len = *d.length(t);
      if (len > 0 && chance(25)) {
        const std::size_t s = pick(len), e = s + pick(len - s) + 1;
        const auto expand = static_cast<ExpandMark>(pick(4));
        if (chance(25))
          ASSERT_TRUE(d.unmark(t, s, e, chance(50) ? "bold" : "link", expand));
        else
          ASSERT_TRUE(
              d.mark(t, s, e, chance(50) ? "bold" : "link", chance(50) ? ScalarValue(true) : ScalarValue("u"), expand));
      } else {
        const std::size_t pos = pick(len + 1);
        const std::size_t del = chance(30) ? pick(std::min<std::size_t>(len - pos, 4) + 1) : 0;
        ASSERT_TRUE(d.splice_text(t, pos, del, chance(80) ? word() : ""));
      }
    } else {
      ASSERT_TRUE(d.put_object(maps[0], key(), chance(50) ? ObjType::Text : ObjType::List));
    }
  }

  std::mt19937 rng_;
  bool text_heavy_ = false;
};

int seed_count() {
  if (const char* s = std::getenv("QUERN_CRDT_SEEDS")) return std::max(1, std::atoi(s));
#if defined(__SANITIZE_ADDRESS__)
  return 40;
#else
  return 300;
#endif
}

// One run: `replicas` documents, `rounds` rounds of edits and random exchanges, then a full
// exchange. Returns a description of the first disagreement, or nothing.
void run_seed(std::uint32_t seed, int replicas, int rounds, bool text_heavy = false) {
  SCOPED_TRACE("seed " + std::to_string(seed));
  Fuzzer f(seed, text_heavy);
  std::vector<Document> docs;
  for (int i = 0; i < replicas; ++i) docs.emplace_back(ActorId(std::string("actor") + static_cast<char>('0' + i)));
  // Incremental saves in flight: (destination, bytes), delivered late, out of order, twice.
  std::vector<std::pair<std::size_t, Bytes>> in_flight;
  for (int round = 0; round < rounds; ++round) {
    for (Document& d : docs) {
      const std::size_t edits = f.pick(4);
      for (std::size_t e = 0; e < edits; ++e) {
        f.edit(d);
        if (::testing::Test::HasFatalFailure()) return;
      }
      if (f.chance(70)) d.commit(std::nullopt, round);
    }
    const std::size_t from = f.pick(docs.size());
    switch (f.pick(4)) {
      case 0: {
        const std::size_t to = f.pick(docs.size());
        if (to != from) {
          ASSERT_TRUE(docs[to].merge(docs[from]));
        }
        break;
      }
      case 1: {
        Bytes b = docs[from].save_incremental();
        if (!b.empty())
          for (std::size_t to = 0; to < docs.size(); ++to)
            if (to != from) in_flight.emplace_back(to, b);
        break;
      }
      default: break;
    }
    // Deliver a few messages in random order; some twice.
    for (std::size_t k = f.pick(3); k > 0 && !in_flight.empty(); --k) {
      const std::size_t i = f.pick(in_flight.size());
      auto r = docs[in_flight[i].first].load_incremental(in_flight[i].second);
      ASSERT_TRUE(r) << r.error().to_string();
      if (!f.chance(20)) in_flight.erase(in_flight.begin() + static_cast<std::ptrdiff_t>(i));
    }
  }
  for (auto& [to, b] : in_flight) ASSERT_TRUE(docs[to].load_incremental(b));
  for (int pass = 0; pass < 2; ++pass)
    for (std::size_t i = 1; i < docs.size(); ++i) {
      ASSERT_TRUE(docs[0].merge(docs[i]));
      ASSERT_TRUE(docs[i].merge(docs[0]));
    }
  const std::string want = state(docs[0]);
  for (std::size_t i = 0; i < docs.size(); ++i) {
    EXPECT_EQ(docs[i].heads(), docs[0].heads()) << "replica " << i;
    EXPECT_EQ(state(docs[i]), want) << "replica " << i;
    EXPECT_TRUE(docs[i].get_missing_deps({}).empty());
    auto loaded = Document::load(docs[i].save());
    ASSERT_TRUE(loaded) << loaded.error().to_string();
    EXPECT_EQ(state(*loaded), want) << "replica " << i << " after save and load";
    EXPECT_EQ(loaded->heads(), docs[0].heads());
  }
}

TEST(Convergence, RandomEditsOfEveryKindConverge) {
  const int n = seed_count();
  for (int seed = 1; seed <= n; ++seed) {
    run_seed(static_cast<std::uint32_t>(seed), 3 + seed % 2, 30);
    if (HasFailure()) break;
  }
}

TEST(Convergence, LongTextsEditedConcurrentlyConverge) {
  const int n = std::max(1, seed_count() / 30);
  for (int seed = 1; seed <= n; ++seed) {
    run_seed(static_cast<std::uint32_t>(1000 + seed), 3, 400, true);
    if (HasFailure()) break;
  }
}

}  // namespace
}  // namespace quern::crdt
