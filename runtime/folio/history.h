// The history of a folio document: stamped commits, and the versions (changes) people and
// agents made, oldest first. Runs on the thread that owns the document.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/crdt/document.h"
#include "runtime/util/clock.h"

namespace quern::folio::history {

// Closes the open transaction as a change stamped with the clock's wall time (milliseconds
// since the Unix epoch) and, when given, a message. Nothing when there was nothing to stamp:
// no transaction was open or it made no operation (its writes were already committed, e.g. by
// a save or a merge, which commit without a message).
std::optional<crdt::ChangeHash> commit_stamped(crdt::Document& document, const Clock& clock = system_clock());
std::optional<crdt::ChangeHash> commit_stamped_with_message(crdt::Document& document, std::string_view message,
                                                            const Clock& clock = system_clock());

struct Version {
  crdt::ChangeHash hash;
  std::string hash_hex;
  crdt::ActorId actor;   // the author
  std::string author;    // the author's actor in hex
  bool by_self = false;  // the author is the actor `versions` was asked about
  std::uint64_t seq = 0;
  std::int64_t time = 0;  // ms since the Unix epoch; 0: not stamped
  std::optional<std::string> message;
  std::vector<crdt::ChangeHash> deps;
};

// Every change of the document, oldest first and newest last: parents before children, and
// among changes that do not depend on each other the earlier stamped first (then by actor and
// sequence number), so every replica lists the same history in the same order. `actor_hex`
// names the asking actor (see `Version::by_self`).
std::vector<Version> versions(const crdt::Document& document, std::string_view actor_hex);

// Whether the version is the genesis that only created the folio schema.
bool is_schema_genesis(const Version& version);

// The hash of the document's schema genesis, which every replica of one document shares and
// unrelated documents do not. Nothing when the document has none.
std::optional<crdt::ChangeHash> genesis(const crdt::Document& document);

}  // namespace quern::folio::history
