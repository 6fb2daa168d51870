// Opens and materializes word-processor documents of 1,000, 10,000 and 100,000 blocks (about
// 100 characters of text a block, with headings, list items, formatting marks and attributes
// mixed in) and prints, per size, the median time of `open` + `materialize` of the loaded
// document (`ms`, wall clock; `cpu_ms`, the thread's CPU time, steadier on a busy machine), and
// of loading its saved bytes (`load_ms`).
//   bench=folio-materialize blocks=10000 ms=... cpu_ms=... load_ms=... bytes=... text_bytes=...
// `bench-folio-materialize N...` measures the given sizes instead.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "runtime/folio/doc_mut.h"
#include "runtime/folio/materialize.h"
#include "runtime/folio/schema.h"

namespace {

using namespace quern;
using folio::model::DocMut;
using folio::model::Region;

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

crdt::Bytes build(std::size_t blocks, std::size_t& text_bytes) {
  crdt::Document doc = *folio::model::new_document(crdt::ActorId("bench"));
  const folio::model::Schema schema = *folio::model::open(doc);
  DocMut mut(doc, schema);
  std::optional<std::string> prev;
  text_bytes = 0;
  for (std::size_t i = 0; i < blocks; ++i) {
    const bool heading = i % 25 == 0, item = i % 7 == 3;
    const std::string id = *mut.insert_block(prev, heading ? "heading" : item ? "list_item" : "paragraph");
    const std::string text = sentence(i);
    text_bytes += text.size();
    (void)mut.splice_text(id, 0, 0, text);
    if (heading) (void)mut.set_attr(Region::Body, id, "level", std::int64_t{1 + static_cast<std::int64_t>(i % 3)});
    if (item) (void)mut.set_attr(Region::Body, id, "level", std::int64_t{0});
    if (i % 5 == 0) (void)mut.add_mark(Region::Body, id, 4, 10, "bold", true);
    if (i % 11 == 0) (void)mut.set_attr(Region::Body, id, "align", std::string("center"));
    prev = id;
  }
  return doc.save();
}

// CPU time of this thread, which waiting for a core on a busy machine does not count.
double cpu_ms() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

double ms_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::size_t> sizes = {1000, 10000, 100000};
  if (argc > 1) {
    sizes.clear();
    for (int i = 1; i < argc; ++i) sizes.push_back(std::strtoull(argv[i], nullptr, 10));
  }
  for (std::size_t n : sizes) {
    std::size_t text_bytes = 0;
    const crdt::Bytes bytes = build(n, text_bytes);
    const int runs = n >= 100000 ? 3 : n >= 10000 ? 9 : 25;
    std::vector<double> load, view, view_cpu;
    std::size_t seen = 0;
    for (int r = 0; r < runs; ++r) {
      auto t0 = std::chrono::steady_clock::now();
      auto doc = crdt::Document::load(bytes);
      load.push_back(ms_since(t0));
      if (!doc) {
        std::fprintf(stderr, "load failed: %s\n", doc.error().to_string().c_str());
        return 1;
      }
      t0 = std::chrono::steady_clock::now();
      const double c0 = cpu_ms();
      auto schema = folio::model::open(*doc);
      auto v = schema ? folio::model::materialize(*doc, *schema) : quern::Result<folio::model::DocumentView>();
      view.push_back(ms_since(t0));
      view_cpu.push_back(cpu_ms() - c0);
      if (!schema || !v) {
        std::fprintf(stderr, "open or materialize failed\n");
        return 1;
      }
      seen = v->body().size();
    }
    if (seen != n) {
      std::fprintf(stderr, "materialized %zu blocks of %zu\n", seen, n);
      return 1;
    }
    std::printf(
        "bench=folio-materialize blocks=%zu ms=%.2f cpu_ms=%.2f load_ms=%.2f ms_per_1k_blocks=%.3f bytes=%zu "
        "text_bytes=%zu\n",
        n, median(view), median(view_cpu), median(load), median(view) * 1000.0 / static_cast<double>(n), bytes.size(),
        text_bytes);
    std::fflush(stdout);
  }
  return 0;
}
