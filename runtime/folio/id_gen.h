// Mints the ids of blocks, tables, comments, replies, changes and notes. An id is short and
// identifier-safe (lower-case ASCII letters, digits and "-"): "<tag>-<seed>-<n>", where the tag
// is derived from the writer's actor, the seed from the document's operation counter when the
// generator was made, and n counts the ids this generator minted.
//
// Uniqueness per document, also across concurrent writers: writers have distinct actors, so
// their tags differ (a tag is 40 bits of the actor's SHA-256). One writer's generators differ
// in their seed as long as the writer changed the document between making them, which using
// any minted id does. So: make one generator per transaction (DocMut does) and do not keep
// using a generator after another one was seeded from the same document state.
//
// Plain value; use it from the thread that owns the document it was seeded from.
#pragma once

#include <cstdint>
#include <string>

#include "runtime/crdt/document.h"

namespace quern::folio::model {

class IdGen {
 public:
  // A generator for ids written under `actor`, with a seed of the caller's choice (tests pass
  // fixed seeds to get reproducible ids).
  static IdGen create(const crdt::ActorId& actor, std::uint64_t seed);

  std::string mint();
  const std::string& tag() const { return tag_; }

 private:
  IdGen(std::string tag, std::uint64_t seed) : tag_(std::move(tag)), seed_(seed) {}
  std::string tag_;
  std::uint64_t seed_ = 0;
  std::uint64_t next_ = 0;
};

// A generator for the document's current actor, seeded with the document's next operation
// counter (heads and open transaction included).
IdGen seeded_id_gen(const crdt::Document& document);

// Whether `text` is an identifier token: 1 to 128 bytes of ASCII letters, digits, "-", "_".
bool is_identifier_token(std::string_view text);

}  // namespace quern::folio::model
