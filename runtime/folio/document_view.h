// The read-only view of a folio document that `materialize` builds: plain values, detached
// from the CRDT document, safe to keep and to read from any thread. A view is a snapshot; it
// never changes when the document does. Nothing tombstoned appears in it.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "runtime/crdt/types.h"
#include "runtime/folio/schema.h"

namespace quern::folio::model {

// A block attribute or style property. Integers of the engine (signed, unsigned that fit,
// counters, timestamps) read as `std::int64_t`; null, bytes and objects are not attributes.
using AttrValue = std::variant<bool, std::int64_t, double, std::string>;
using Attrs = std::map<std::string, AttrValue, std::less<>>;

// An attribute of the wanted type, or nothing when it is absent or of another type.
std::optional<bool> attr_bool(const Attrs& attrs, std::string_view key);
std::optional<std::int64_t> attr_int(const Attrs& attrs, std::string_view key);
std::optional<double> attr_float(const Attrs& attrs, std::string_view key);
const std::string* attr_str(const Attrs& attrs, std::string_view key);

// The scalar a value is stored as, and back (nothing for values that are not attributes).
crdt::ScalarValue to_scalar(const AttrValue& value);
std::optional<AttrValue> to_attr(const crdt::ScalarValue& value);

struct Block {
  std::string id;
  std::string kind;
  std::string text;                   // UTF-8; offsets into it count characters
  Attrs attrs;                        // ordered by key
  std::vector<crdt::MarkSpan> marks;  // the text's marks, ordered by start then name

  bool operator==(const Block&) const = default;
};

// The character range of one block that something (a comment, a change) covers.
struct TextRange {
  Region region = Region::Body;
  std::string block;
  std::size_t start = 0;
  std::size_t end = 0;
  bool operator==(const TextRange&) const = default;
};

struct Reply {
  std::string id;
  std::string author;  // may be empty
  std::string date;
  std::vector<Block> blocks;
  std::string text() const;  // the blocks' texts joined by single spaces
};

struct Comment {
  std::string id;
  std::string author;  // may be empty
  std::string date;
  std::vector<Block> blocks;
  std::vector<Reply> replies;
  std::optional<TextRange> anchor;  // nothing: not attached to any text (or its text is gone)
  std::string text() const;         // the blocks' texts joined by single spaces
};

enum class ChangeKind : std::uint8_t { Insertion, Deletion };
std::string_view to_string(ChangeKind kind);  // "insertion", "deletion"

struct TrackedChange {
  std::string id;
  ChangeKind kind = ChangeKind::Insertion;
  std::string author;  // may be empty
  std::string date;
};

struct Note {
  std::string id;
  std::string marker;
  std::vector<Block> blocks;
  std::string text() const;  // the blocks' texts joined by single spaces
};

struct Bookmark {
  std::string name;
  std::string block;  // the block it marks; may be empty
};

struct DocumentView {
  std::array<std::vector<Block>, 3> regions;  // indexed by Region: Body, Header, Footer
  std::vector<Note> notes;                    // in document order
  std::vector<Comment> comments;              // by anchor position in the body; comments without anchor last, by id
  std::vector<TrackedChange> changes;         // by first marked character (body, header, footer); unmarked last
  std::vector<Bookmark> bookmarks;            // by name
  std::map<std::string, Attrs, std::less<>> styles;      // style id -> properties, by id
  std::map<std::string, std::string, std::less<>> meta;  // metadata strings, by key

  const std::vector<Block>& region(Region r) const { return regions[static_cast<std::size_t>(r)]; }
  const std::vector<Block>& body() const { return region(Region::Body); }
};

// Joins the texts of blocks with single spaces.
std::string join_texts(const std::vector<Block>& blocks);

}  // namespace quern::folio::model
