#include "runtime/folio/id_gen.h"

#include <algorithm>

#include "runtime/util/sha256.h"

namespace quern::folio::model {

namespace {

std::string base36(std::uint64_t v, std::size_t min_width = 1) {
  static constexpr char kDigits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
  std::string out;
  do {
    out.push_back(kDigits[v % 36]);
    v /= 36;
  } while (v != 0);
  while (out.size() < min_width) out.push_back('0');
  std::reverse(out.begin(), out.end());
  return out;
}

}  // namespace

IdGen IdGen::create(const crdt::ActorId& actor, std::uint64_t seed) {
  const Sha256Digest d = sha256(std::span<const std::uint8_t>(actor.bytes()));
  std::uint64_t tag = 0;
  for (int i = 0; i < 5; ++i) tag = (tag << 8) | d[i];
  return IdGen(base36(tag, 8), seed);
}

std::string IdGen::mint() { return tag_ + "-" + base36(seed_) + "-" + base36(next_++); }

IdGen seeded_id_gen(const crdt::Document& doc) {
  std::uint64_t max_op = 0;
  for (const crdt::ChangeHash& h : doc.heads())
    if (auto c = doc.get_change_by_hash(h)) max_op = std::max<std::uint64_t>(max_op, c->start_op + c->op_count - 1);
  return IdGen::create(doc.actor(), max_op + doc.pending_ops() + 1);
}

bool is_identifier_token(std::string_view text) {
  if (text.empty() || text.size() > 128) return false;
  return std::all_of(text.begin(), text.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
  });
}

}  // namespace quern::folio::model
