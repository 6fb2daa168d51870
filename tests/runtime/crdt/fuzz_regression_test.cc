// Inputs the loader fuzzers once failed on (tests/data/crdt-fuzz-regressions), replayed with the
// fuzzers' own checks: a loaded document survives save and load unchanged (hashes included).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "fuzz/fuzz_input.h"
#include "fuzz/read_all.h"
#include "runtime/crdt/document.h"
#include "tests/support/process.h"

namespace quern::crdt {
namespace {

TEST(FuzzRegressions, LoadedDocumentsSurviveSaveAndLoad) {
  const std::filesystem::path dir = quern::test::test_data("crdt-fuzz-regressions");
  std::size_t seen = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    SCOPED_TRACE(entry.path().filename().string());
    std::ifstream in(entry.path(), std::ios::binary);
    const Bytes data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const Bytes input = fuzz::loader_input(data.data(), data.size());
    ++seen;
    if (auto doc = Document::load(input)) {
      auto again = Document::load(doc->save());
      ASSERT_TRUE(again) << again.error().to_string();
      EXPECT_EQ(fuzz::read_all(*again), fuzz::read_all(*doc));
    }
    Document base(ActorId(std::string_view("base")));
    ASSERT_TRUE(base.put(ObjId::root(), "k", 1));
    base.commit();
    const std::string before = fuzz::read_all(base);
    if (base.load_incremental(input)) {
      auto again = Document::load(base.save());
      ASSERT_TRUE(again) << again.error().to_string();
      EXPECT_EQ(fuzz::read_all(*again), fuzz::read_all(base));
    } else {
      EXPECT_EQ(fuzz::read_all(base), before);
    }
  }
  EXPECT_GE(seen, 2u);
}

}  // namespace
}  // namespace quern::crdt
