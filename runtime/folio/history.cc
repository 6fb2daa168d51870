#include "runtime/folio/history.h"

#include <chrono>
#include <queue>
#include <tuple>
#include <unordered_map>

#include "runtime/folio/schema.h"

namespace quern::folio::history {

namespace {

std::int64_t wall_ms(const Clock& clock) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(clock.wall_now().time_since_epoch()).count();
}

}  // namespace

std::optional<crdt::ChangeHash> commit_stamped(crdt::Document& doc, const Clock& clock) {
  return doc.commit(std::nullopt, wall_ms(clock));
}

std::optional<crdt::ChangeHash> commit_stamped_with_message(crdt::Document& doc, std::string_view message,
                                                            const Clock& clock) {
  return doc.commit(std::string(message), wall_ms(clock));
}

std::vector<Version> versions(const crdt::Document& doc, std::string_view actor_hex) {
  std::string asker(actor_hex);
  for (char& c : asker)
    if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
  std::vector<crdt::Change> changes = doc.get_changes();
  std::unordered_map<crdt::ChangeHash, std::size_t, crdt::ChangeHashHasher> index;
  index.reserve(changes.size());
  for (std::size_t i = 0; i < changes.size(); ++i) index.emplace(changes[i].hash, i);
  // Kahn's algorithm over the dependency graph, taking the earliest ready change each time.
  std::vector<std::size_t> waiting(changes.size(), 0);
  std::vector<std::vector<std::size_t>> children(changes.size());
  for (std::size_t i = 0; i < changes.size(); ++i)
    for (const crdt::ChangeHash& d : changes[i].deps)
      if (auto it = index.find(d); it != index.end()) {
        ++waiting[i];
        children[it->second].push_back(i);
      }
  const auto later = [&](std::size_t a, std::size_t b) {
    const crdt::Change& x = changes[a];
    const crdt::Change& y = changes[b];
    return std::tie(x.time, x.actor, x.seq) > std::tie(y.time, y.actor, y.seq);
  };
  std::priority_queue<std::size_t, std::vector<std::size_t>, decltype(later)> ready(later);
  for (std::size_t i = 0; i < changes.size(); ++i)
    if (waiting[i] == 0) ready.push(i);
  std::vector<Version> out;
  out.reserve(changes.size());
  while (!ready.empty()) {
    const std::size_t i = ready.top();
    ready.pop();
    for (std::size_t c : children[i])
      if (--waiting[c] == 0) ready.push(c);
    crdt::Change& c = changes[i];
    Version v;
    v.hash = c.hash;
    v.hash_hex = c.hash.to_hex_string();
    v.author = c.actor.to_hex_string();
    v.by_self = v.author == asker;
    v.actor = std::move(c.actor);
    v.seq = c.seq;
    v.time = c.time;
    v.message = std::move(c.message);
    v.deps = std::move(c.deps);
    out.push_back(std::move(v));
  }
  return out;
}

bool is_schema_genesis(const Version& version) {
  return version.deps.empty() && version.seq == 1 && version.message == model::kGenesisMessage;
}

std::optional<crdt::ChangeHash> genesis(const crdt::Document& doc) {
  for (const crdt::Change& c : doc.get_changes())
    if (c.deps.empty() && c.seq == 1 && c.message == model::kGenesisMessage) return c.hash;
  return std::nullopt;
}

}  // namespace quern::folio::history
