// Builds the local catalogue of a large word-processor document as planning does: the
// surface's directory over the replica (editor defaults, the document view, every resource
// family), its survey into offers, the permission filter and the synthetic open entries, then
// the merge with a small broker catalogue. The document has 10,000 body blocks, 200 of them
// headings, 50 tables of 2 x 2 cells and 100 comments. Prints the median over several runs
// (`ms`, wall clock; `cpu_ms`, this thread's CPU time, steadier on a busy machine) with its
// parts and the sizes:
//   bench=catalogue blocks=10000 ms=... cpu_ms=... view_ms=... directory_ms=... survey_filter_ms=... entries=...
//   items=...
// `bench-catalogue RUNS` sets the number of runs (default 7).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "apps/agent/src/catalogue.h"
#include "apps/word-processor/src/directory.h"
#include "apps/word-processor/src/editor_context.h"
#include "apps/word-processor/src/view.h"
#include "runtime/actions/door.h"
#include "runtime/folio/doc_mut.h"
#include "runtime/folio/schema.h"

namespace {

using namespace quern;

constexpr std::size_t kBlocks = 10'000;
constexpr std::size_t kHeadings = 200;
constexpr std::size_t kTables = 50;
constexpr std::size_t kComments = 100;

std::string sentence(std::size_t i) {
  static const char* words[] = {"quern",    "grinds", "the",   "grain",  "slowly", "while",   "people", "edit",
                                "together", "and",    "every", "change", "merges", "cleanly", "into",   "one"};
  std::string s;
  std::size_t k = i * 7919;
  while (s.size() < 80) {
    if (!s.empty()) s.push_back(' ');
    s += words[k % 16];
    k = k * 1103515245 + 12345;
  }
  s.push_back('.');
  return s;
}

crdt::Document build() {
  crdt::Document doc = *folio::model::new_document(crdt::ActorId("author"));
  const folio::model::Schema schema = *folio::model::open(doc);
  folio::model::DocMut mut(doc, schema);
  std::optional<std::string> prev;
  std::vector<std::string> paragraphs;
  const std::size_t cells = kTables * 4;
  const std::size_t heading_every = kBlocks / kHeadings;
  const std::size_t table_every = kBlocks / kTables;
  std::size_t made = 0, table = 0;
  while (made < kBlocks) {
    if (made % table_every == table_every / 2 && table < kTables && made + 4 <= kBlocks) {
      const std::string id = "t" + std::to_string(table++);
      for (std::int64_t r = 0; r < 2; ++r) {
        for (std::int64_t c = 0; c < 2; ++c) {
          const std::string cell = *mut.insert_block(prev, "cell");
          (void)mut.splice_text(cell, 0, 0, "cell");
          (void)mut.set_attr(folio::model::Region::Body, cell, "table", id);
          (void)mut.set_attr(folio::model::Region::Body, cell, "row", r);
          (void)mut.set_attr(folio::model::Region::Body, cell, "col", c);
          prev = cell;
          ++made;
        }
      }
      continue;
    }
    const bool heading = made % heading_every == 0;
    const std::string id = *mut.insert_block(prev, heading ? "heading" : "paragraph");
    (void)mut.splice_text(id, 0, 0, sentence(made));
    if (!heading) paragraphs.push_back(id);
    prev = id;
    ++made;
  }
  (void)cells;
  for (std::size_t i = 0; i < kComments; ++i) {
    const std::string c = *mut.insert_comment("Reviewer " + std::to_string(i % 7), "2026-12-11");
    const std::string body = *mut.insert_comment_block(c);
    (void)mut.splice_comment_text(c, body, 0, 0, "Please look at this sentence again, it reads oddly.");
    (void)mut.add_comment_mark(c, paragraphs[(i * 37) % paragraphs.size()], 0, 5);
  }
  doc.commit();
  return doc;
}

double cpu_ms() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

using Wall = std::chrono::steady_clock;
double ms_since(Wall::time_point t0) { return std::chrono::duration<double, std::milli>(Wall::now() - t0).count(); }

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 7;
  const crdt::Document doc = build();
  const auto permissions =
      ui::permissions::PermissionContext::from_capabilities({"agent"}, {{"agent", "room", "member"}});
  const std::vector<agent::RoomDocument> docs = {{&agent::word_processor_surface(), &doc, {}}};
  std::vector<collab::ParticipantRecord> records(1);
  records[0].app = "files";
  records[0].participant = 3;
  records[0].admitted = true;
  for (int i = 0; i < 20; ++i) {
    collab::BrokerOffer o;
    o.resource_id = "files.entry:" + std::to_string(i);
    o.action_name = "share";
    o.resource_kind = "files.entry";
    records[0].offers.push_back(o);
  }

  std::vector<double> total, cpu, view_ms, dir_ms, survey_ms;
  std::size_t entries = 0, items = 0;
  for (int run = 0; run < runs; ++run) {
    const double c0 = cpu_ms();
    const auto t0 = Wall::now();
    auto local = agent::build_local_entries(docs, permissions);
    auto catalogue = agent::planning_catalogue(agent::broker_entries(records, permissions), local);
    total.push_back(ms_since(t0));
    cpu.push_back(cpu_ms() - c0);
    entries = catalogue.size();

    // The parts: reading the document view, the directory alone, then its survey and filter.
    const auto tv = Wall::now();
    if (!word_processor::load_view(doc)) return 1;
    view_ms.push_back(ms_since(tv));
    const auto t1 = Wall::now();
    const auto directory = agent::word_processor_surface().document_directory(doc, {});
    dir_ms.push_back(ms_since(t1));
    const auto t2 = Wall::now();
    std::size_t kept = 0;
    for (const auto& offer : actions::door::survey(directory)) kept += agent::permitted(permissions, offer) ? 1 : 0;
    survey_ms.push_back(ms_since(t2));
    items = agent::document_items(directory).size();
    if (kept == 0) return 1;
  }
  std::printf(
      "bench=catalogue blocks=%zu headings=%zu tables=%zu comments=%zu ms=%.2f cpu_ms=%.2f view_ms=%.2f "
      "directory_ms=%.2f "
      "survey_filter_ms=%.2f entries=%zu items=%zu\n",
      kBlocks, kHeadings, kTables, kComments, median(total), median(cpu), median(view_ms), median(dir_ms),
      median(survey_ms), entries, items);
  return 0;
}
