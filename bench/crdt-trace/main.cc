// Replays editing traces into the document engine and prints, per trace, one line:
//   bench=crdt-trace trace=<name> system=quern apply_ms= apply_per_change_ms= save_ms= bytes=
//     load_ms= save_per_change_ms= bytes_per_change= load_per_change_ms= peak_rss_kb=
// apply: every patch as a local edit in one transaction (then commit); per_change: one commit
// per patch, then that document saved and loaded. Each trace runs in its own process so that
// peak_rss_kb is that trace's. Then the growth check: random single-character edits on texts
// of 10,000 and 1,000,000 characters, in microseconds per edit.
// The lines are also written to BUILD/bench/crdt-trace.last for the peers script.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>

#include "runtime/crdt/document.h"
#include "tests/runtime/crdt/editing_trace.h"

using namespace quern::crdt;

namespace {

using Clock = std::chrono::steady_clock;
double ms_since(Clock::time_point t) { return std::chrono::duration<double, std::milli>(Clock::now() - t).count(); }

template <typename F>
double best_of(int runs, F&& f) {
  double best = 1e300;
  for (int i = 0; i < runs; ++i) best = std::min(best, f());
  return best;
}

long peak_rss_kb() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_maxrss;
}

std::string trace_line(const std::string& name) {
  auto trace = test::read_editing_trace(std::string(QUERN_TEST_DATA_DIR) + "/editing-traces/" + name + ".json.gz");
  if (!trace) return "bench=crdt-trace trace=" + name + " error=\"" + trace.error().to_string() + "\"";
  const ObjId root = ObjId::root();
  const auto replay = [&](bool per_change, Document& doc) {
    const ObjId text = *doc.put_object(root, "text", ObjType::Text);
    doc.commit();
    const auto t0 = Clock::now();
    for (const auto& txn : trace->txns)
      for (const auto& p : txn.patches) {
        (void)doc.splice_text(text, p.pos, p.del, p.insert);
        if (per_change) doc.commit(std::nullopt, 0);
      }
    doc.commit(std::nullopt, 0);
    const double ms = ms_since(t0);
    if (*doc.text(text) != trace->end_content) std::fprintf(stderr, "crdt-trace: %s replayed wrong\n", name.c_str());
    return ms;
  };
  const int runs = 3;
  Document single(ActorId(std::string_view("bench")));
  double apply_ms = replay(false, single);
  for (int i = 1; i < runs; ++i) {
    Document d(ActorId(std::string_view("bench")));
    apply_ms = std::min(apply_ms, replay(false, d));
  }
  Document per_change(ActorId(std::string_view("bench")));
  const double apply_per_change_ms = replay(true, per_change);

  Bytes saved, saved_pc;
  const double save_ms = best_of(runs, [&] {
    const auto t = Clock::now();
    saved = single.save();
    return ms_since(t);
  });
  const double load_ms = best_of(runs, [&] {
    const auto t = Clock::now();
    auto d = Document::load(saved);
    const double ms = ms_since(t);
    if (!d) std::fprintf(stderr, "crdt-trace: load failed: %s\n", d.error().to_string().c_str());
    return ms;
  });
  const double save_pc_ms = best_of(runs, [&] {
    const auto t = Clock::now();
    saved_pc = per_change.save();
    return ms_since(t);
  });
  const double load_pc_ms = best_of(runs, [&] {
    const auto t = Clock::now();
    auto d = Document::load(saved_pc);
    const double ms = ms_since(t);
    if (!d) std::fprintf(stderr, "crdt-trace: load failed: %s\n", d.error().to_string().c_str());
    return ms;
  });
  char line[512];
  std::snprintf(line, sizeof line,
                "bench=crdt-trace trace=%s system=quern apply_ms=%.1f apply_per_change_ms=%.1f save_ms=%.2f bytes=%zu "
                "load_ms=%.2f save_per_change_ms=%.2f bytes_per_change=%zu load_per_change_ms=%.2f peak_rss_kb=%ld",
                name.c_str(), apply_ms, apply_per_change_ms, save_ms, saved.size(), load_ms, save_pc_ms,
                saved_pc.size(), load_pc_ms, peak_rss_kb());
  return line;
}

// Random one-character edits (inserts and deletes) at random positions of a text of `size`.
std::string growth_line(std::size_t size) {
  Document doc(ActorId(std::string_view("bench")));
  const ObjId text = *doc.put_object(ObjId::root(), "text", ObjType::Text);
  std::mt19937_64 rng(42);
  // Build the text from many scattered inserts, so it is made of many runs as edited text is.
  std::string chunk(100, 'x');
  for (std::size_t len = 0; len < size; len += chunk.size()) {
    (void)doc.splice_text(text, std::uniform_int_distribution<std::size_t>(0, len)(rng), 0, chunk);
  }
  doc.commit();
  const std::size_t edits = 200000;
  const auto t0 = Clock::now();
  for (std::size_t i = 0; i < edits; ++i) {
    const std::size_t len = *doc.length(text);
    const std::size_t pos = std::uniform_int_distribution<std::size_t>(0, len - 1)(rng);
    if (i % 2)
      (void)doc.splice_text(text, pos, 1, "");
    else
      (void)doc.splice_text(text, pos, 0, "y");
    if (i % 100 == 99) doc.commit();
  }
  doc.commit();
  const double us = ms_since(t0) * 1000.0 / static_cast<double>(edits);
  char line[256];
  std::snprintf(line, sizeof line, "bench=crdt-trace trace=random-edits chars=%zu system=quern edit_us=%.3f", size, us);
  return line;
}

// Runs `f` in a child process and returns the line it printed.
template <typename F>
std::string in_child(F&& f) {
  int fds[2];
  if (pipe(fds) != 0) return f();
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    const std::string line = f() + "\n";
    if (write(fds[1], line.data(), line.size()) < 0) _exit(1);
    _exit(0);
  }
  close(fds[1]);
  std::string out;
  char buf[512];
  ssize_t n;
  while ((n = read(fds[0], buf, sizeof buf)) > 0) out.append(buf, static_cast<std::size_t>(n));
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

}  // namespace

// `--loop-load NAME N [per-change]`: saves the trace's document (one transaction, or one change
// per patch) and loads it N times (for a profiler).
int loop_load(const std::string& name, int n, bool per_change) {
  auto trace = test::read_editing_trace(std::string(QUERN_TEST_DATA_DIR) + "/editing-traces/" + name + ".json.gz");
  if (!trace) return 1;
  Document doc(ActorId(std::string_view("bench")));
  const ObjId text = *doc.put_object(ObjId::root(), "text", ObjType::Text);
  for (const auto& txn : trace->txns)
    for (const auto& p : txn.patches) {
      (void)doc.splice_text(text, p.pos, p.del, p.insert);
      if (per_change) doc.commit();
    }
  const Bytes saved = doc.save();
  const auto t = Clock::now();
  for (int i = 0; i < n; ++i)
    if (!Document::load(saved)) return 1;
  std::printf("load_ms=%.3f\n", ms_since(t) / n);
  return 0;
}

// `--apply NAME per-change|single`: one replay, for a profiler.
int apply_once(const std::string& name, bool per_change) {
  auto trace = test::read_editing_trace(std::string(QUERN_TEST_DATA_DIR) + "/editing-traces/" + name + ".json.gz");
  if (!trace) return 1;
  Document doc(ActorId(std::string_view("bench")));
  const ObjId text = *doc.put_object(ObjId::root(), "text", ObjType::Text);
  const auto t = Clock::now();
  for (const auto& txn : trace->txns)
    for (const auto& p : txn.patches) {
      (void)doc.splice_text(text, p.pos, p.del, p.insert);
      if (per_change) doc.commit(std::nullopt, 0);
    }
  doc.commit();
  std::printf("apply_ms=%.3f\n", ms_since(t));
  return 0;
}

int main(int argc, char** argv) {
  if (argc == 4 && std::string(argv[1]) == "--apply") return apply_once(argv[2], std::string(argv[3]) == "per-change");
  if (argc >= 4 && std::string(argv[1]) == "--loop-load")
    return loop_load(argv[2], std::atoi(argv[3]), argc > 4 && std::string(argv[4]) == "per-change");
  std::string last = std::string(QUERN_BIN_DIR) + "/../bench/crdt-trace.last";
  if (argc > 1) last = argv[1];
  std::ofstream out(last);
  for (const char* name : {"automerge-paper", "seph-blog1"}) {
    const std::string line = in_child([&] { return trace_line(name); });
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
    out << line << "\n";
  }
  for (std::size_t size : {std::size_t{10000}, std::size_t{1000000}}) {
    const std::string line = in_child([&] { return growth_line(size); });
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
    out << line << "\n";
  }
  return 0;
}
