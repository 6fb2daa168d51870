// Applies InsertTable 100 x 100 (10,000 cells) in the middle of a 1,000-block document, then
// fills every cell with one SpliceText each, through apply_word_processor_action with one
// WriterHandle, as the agent does on its replica. Prints the median over several runs of the
// whole sequence including the stamped commits and incremental saves (`ms`, wall clock;
// `cpu_ms`, this thread's CPU time, steadier on a busy machine), and its parts:
//   bench=wp-table mode=batch ms=... cpu_ms=... table_ms=... fill_ms=... commit_save_ms=... bytes=...
// mode=batch commits and saves once after the table and once after the filling;
// mode=per-op commits and saves after every operation, as carrying out a plan does.
// Finding the cell ids between the two steps is not counted (`find_ms` shows its cost).
// `bench-wp-table RUNS` sets the number of runs (default 5).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "apps/word-processor/src/apply.h"
#include "runtime/folio/doc_mut.h"
#include "runtime/folio/history.h"
#include "runtime/folio/lookup.h"
#include "runtime/folio/schema.h"

namespace {

using namespace quern;
using namespace quern::word_processor;

constexpr std::size_t kBlocks = 1000;
constexpr std::uint64_t kSide = 100;

std::string sentence(std::size_t i) {
  static const char* words[] = {"quern",    "grinds", "the",   "grain",  "slowly", "while",   "people", "edit",
                                "together", "and",    "every", "change", "merges", "cleanly", "into",   "one"};
  std::string s;
  std::size_t k = i * 7919;
  while (s.size() < 96) {
    if (!s.empty()) s.push_back(' ');
    s += words[k % 16];
    k = k * 1103515245 + 12345;
  }
  s.push_back('.');
  return s;
}

struct Source {
  crdt::Bytes bytes;
  std::string middle;  // the block the table goes after
};

Source build() {
  crdt::Document doc = *folio::model::new_document(crdt::ActorId("author"));
  const folio::model::Schema schema = *folio::model::open(doc);
  folio::model::DocMut mut(doc, schema);
  std::optional<std::string> prev;
  Source s;
  for (std::size_t i = 0; i < kBlocks; ++i) {
    const std::string id = *mut.insert_block(prev, i % 25 == 0 ? "heading" : "paragraph");
    (void)mut.splice_text(id, 0, 0, sentence(i));
    if (i == kBlocks / 2) s.middle = id;
    prev = id;
  }
  doc.commit();
  s.bytes = doc.save();
  return s;
}

double cpu_ms() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

using Clock = std::chrono::steady_clock;
double ms_since(Clock::time_point t0) { return std::chrono::duration<double, std::milli>(Clock::now() - t0).count(); }

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

struct Sample {
  double ms = 0, cpu = 0, table = 0, fill = 0, commit_save = 0, find = 0;
  std::size_t bytes = 0;
};

bool fail(const char* what, const Error& e) {
  std::fprintf(stderr, "bench-wp-table: %s: %s\n", what, e.to_string().c_str());
  return false;
}

bool run(const Source& src, bool per_op, Sample& out) {
  auto loaded = crdt::Document::load(src.bytes);
  if (!loaded) return fail("load", loaded.error());
  crdt::Document doc = std::move(*loaded);
  doc.set_actor(crdt::ActorId("agent"));
  WriterHandle handle;
  double commit_save = 0;
  std::size_t bytes = 0;
  const auto commit_and_save = [&] {
    const auto t = Clock::now();
    folio::history::commit_stamped(doc);
    bytes += doc.save_incremental().size();
    commit_save += ms_since(t);
  };

  const auto t0 = Clock::now();
  const double c0 = cpu_ms();
  if (auto r = apply_word_processor_action(InsertTable{src.middle, kSide, kSide}, doc, handle); !r)
    return fail("InsertTable", r.error());
  commit_and_save();
  out.table = ms_since(t0);

  // The cells are the 10,000 blocks after the middle one (not timed).
  const auto tf = Clock::now();
  const double cf = cpu_ms();
  const std::vector<std::string> order = folio::model::blocks_in_order(doc, *folio::model::open(doc));
  const auto at = std::find(order.begin(), order.end(), src.middle) - order.begin();
  const std::vector<std::string> cells(order.begin() + at + 1, order.begin() + at + 1 + kSide * kSide);
  out.find = ms_since(tf);
  const double find_cpu = cpu_ms() - cf;

  const auto t1 = Clock::now();
  for (std::size_t i = 0; i < cells.size(); ++i) {
    const std::string text = "r" + std::to_string(i / kSide) + "c" + std::to_string(i % kSide);
    if (auto r = apply_word_processor_action(SpliceText{Region::Body, cells[i], 0, 0, text}, doc, handle); !r)
      return fail("SpliceText", r.error());
    if (per_op) commit_and_save();
  }
  if (!per_op) commit_and_save();
  out.fill = ms_since(t1);
  out.ms = out.table + out.fill;
  out.cpu = cpu_ms() - c0 - find_cpu;
  out.commit_save = commit_save;
  out.bytes = bytes;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  const Source src = build();
  for (const bool per_op : {false, true}) {
    std::vector<Sample> samples;
    for (int r = 0; r < runs; ++r) {
      Sample s;
      if (!run(src, per_op, s)) return 1;
      samples.push_back(s);
    }
    const auto med = [&](double Sample::*field) {
      std::vector<double> v;
      for (const Sample& s : samples) v.push_back(s.*field);
      return median(v);
    };
    std::printf(
        "bench=wp-table mode=%s blocks=%zu cells=%llu ms=%.1f cpu_ms=%.1f table_ms=%.1f fill_ms=%.1f "
        "commit_save_ms=%.1f find_ms=%.1f bytes=%zu\n",
        per_op ? "per-op" : "batch", kBlocks, static_cast<unsigned long long>(kSide * kSide), med(&Sample::ms),
        med(&Sample::cpu), med(&Sample::table), med(&Sample::fill), med(&Sample::commit_save), med(&Sample::find),
        samples.front().bytes);
    std::fflush(stdout);
  }
  return 0;
}
