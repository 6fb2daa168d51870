// The folio word-processor schema: how a document's content is laid out in a CRDT document,
// and the typed handle (`Schema`) that `open` returns once a document is known to follow it.
// Free functions; they hold no state. A Document is used by one thread at a time, so every call
// here runs on the thread that owns the document.
//
// Layout (every name below is a constant of this header; "Map", "List", "Text" are engine
// object types, "Str", "Bool", "Int", "Bytes" scalars):
//
//   root (Map)
//   ├─ "folio"      Map   the schema marker, written once by the genesis change:
//   │                     "schema" Str = "folio", "version" Int = 1, "document" Str (a random
//   │                     UUID naming this document; replicas of one document share it)
//   ├─ "body"       List  of block maps (below), in document order
//   ├─ "header"     List  of block maps
//   ├─ "footer"     List  of block maps
//   ├─ "notes"      List  of note maps: "id" Str, "marker" Str, "blocks" List of block maps,
//   │                     "tombstone" Bool
//   ├─ "comments"   Map   entry id -> comment or reply map. A comment: "type" Str = "comment",
//   │                     "id", "author", "date" Str, "blocks" List of block maps, "replies" List
//   │                     of reply ids (Str, in reply order), "anchor" Str (the body block the
//   │                     comment is attached to; absent: none), "tombstone" Bool. A reply:
//   │                     "type" Str = "reply", "id", "parent" (comment id), "author", "date",
//   │                     "blocks", "tombstone".
//   ├─ "changes"    Map   change id -> tracked-change map: "id", "kind" Str ("insertion" or
//   │                     "deletion"), "author", "date" Str, "tombstone" Bool
//   ├─ "bookmarks"  Map   name -> bookmark map: "name" Str, "block" Str (may be empty),
//   │                     "tombstone" Bool
//   ├─ "styles"     Map   style id -> style map: "props" Map (property name -> scalar),
//   │                     "tombstone" Bool. The built-in styles are written by the genesis.
//   ├─ "meta"       Map   metadata key -> Str
//   └─ "blobs"      Map   content hash (SHA-256 hex of the bytes) -> blob map: "bytes" Bytes,
//                         "media_type" Str, "width" Int, "height" Int, "size" Int
//
//   A block map: "id" Str (minted by IdGen, unique per document), "kind" Str, "text" Text,
//   "attrs" Map (attribute name -> Str, Bool, Int or F64), "tombstone" Bool (absent: live).
//
// Every container above is created by the genesis change and never replaced, so writers never
// create the same container concurrently (which would make one writer's content disappear
// under the other's). Other root keys are left to other components (run history, ...).
//
// Removal is by tombstone: a removed block, note, comment, reply, change, bookmark or style
// keeps its entry with "tombstone" true and no view shows it. Nothing ever writes "tombstone"
// false, so a removal wins over concurrent edits of the removed thing; those edits stay in the
// hidden entry.
//
// Marks live on the block texts:
//   "comment"    Str  the ids of the comments anchored on these characters, separated by single
//                     spaces (usually one id); the anchor of a comment is the hull of the spans
//                     naming it in its "anchor" block
//   "insertion"  Str  change id of a tracked insertion
//   "deletion"   Str  change id of a tracked deletion
//   "link"       Str  hyperlink target
//   "field"      Str  "page-number" on the placeholder character U+FFFC of a page-number field
//   formatting   Bool "bold", "italic", "strike", "code" (and whatever else callers add)
//
// Tracked changes: accepting an insertion keeps its text and drops its mark; rejecting it
// deletes the text. Accepting a deletion deletes the marked text; rejecting it drops the mark.
// Either way the change's entry is tombstoned.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "runtime/crdt/document.h"
#include "runtime/util/error.h"

namespace quern::folio::model {

namespace keys {
inline constexpr std::string_view kMarker = "folio";
inline constexpr std::string_view kMarkerSchema = "schema";
inline constexpr std::string_view kMarkerVersion = "version";
inline constexpr std::string_view kMarkerDocument = "document";
inline constexpr std::string_view kSchemaName = "folio";

inline constexpr std::string_view kBody = "body";
inline constexpr std::string_view kHeader = "header";
inline constexpr std::string_view kFooter = "footer";
inline constexpr std::string_view kNotes = "notes";
inline constexpr std::string_view kComments = "comments";
inline constexpr std::string_view kChanges = "changes";
inline constexpr std::string_view kBookmarks = "bookmarks";
inline constexpr std::string_view kStyles = "styles";
inline constexpr std::string_view kMeta = "meta";
inline constexpr std::string_view kBlobs = "blobs";

// Keys shared by the maps of blocks, notes, comments, replies, changes, bookmarks and styles.
inline constexpr std::string_view kId = "id";
inline constexpr std::string_view kKind = "kind";
inline constexpr std::string_view kText = "text";
inline constexpr std::string_view kAttrs = "attrs";
inline constexpr std::string_view kTombstone = "tombstone";
inline constexpr std::string_view kBlocks = "blocks";
inline constexpr std::string_view kMarkerText = "marker";
inline constexpr std::string_view kType = "type";
inline constexpr std::string_view kAuthor = "author";
inline constexpr std::string_view kDate = "date";
inline constexpr std::string_view kReplies = "replies";
inline constexpr std::string_view kParent = "parent";
inline constexpr std::string_view kAnchor = "anchor";
inline constexpr std::string_view kName = "name";
inline constexpr std::string_view kBlock = "block";
inline constexpr std::string_view kProps = "props";
inline constexpr std::string_view kBytes = "bytes";
inline constexpr std::string_view kMediaType = "media_type";
inline constexpr std::string_view kWidth = "width";
inline constexpr std::string_view kHeight = "height";
inline constexpr std::string_view kSize = "size";

inline constexpr std::string_view kTypeComment = "comment";
inline constexpr std::string_view kTypeReply = "reply";
inline constexpr std::string_view kInsertion = "insertion";
inline constexpr std::string_view kDeletion = "deletion";

// Mark names.
inline constexpr std::string_view kCommentMark = "comment";
inline constexpr std::string_view kInsertionMark = "insertion";
inline constexpr std::string_view kDeletionMark = "deletion";
inline constexpr std::string_view kLinkMark = "link";
inline constexpr std::string_view kFieldMark = "field";
inline constexpr std::string_view kPageNumberField = "page-number";
}  // namespace keys

// The schema version this library writes and reads.
inline constexpr std::int64_t kSchemaVersion = 1;
// The commit message of the genesis change (see history.h, `is_schema_genesis`).
inline constexpr std::string_view kGenesisMessage = "folio: create the document schema";
// The placeholder character a page-number field occupies in a block's text.
inline constexpr char32_t kFieldChar = U'\uFFFC';

inline constexpr std::array<std::string_view, 6> kBuiltinStyles = {"body",     "heading1", "heading2",
                                                                   "heading3", "list",     "quote"};
bool is_builtin_style(std::string_view id);

// The three block lists of a document.
enum class Region : std::uint8_t { Body = 0, Header = 1, Footer = 2 };
inline constexpr std::array<Region, 3> kRegions = {Region::Body, Region::Header, Region::Footer};
// "Body", "Header", "Footer".
std::string_view to_string(Region region);
std::optional<Region> parse_region(std::string_view text);

struct OpenOptions {
  // Documents written under a newer schema version are refused unless the caller raises this.
  std::int64_t max_version = kSchemaVersion;
};

// The typed handle on an opened document: the ids of its containers. Containers are never
// replaced, so a handle stays valid for the life of the document (across edits and merges).
struct Schema {
  std::int64_t version = kSchemaVersion;
  std::string document_id;  // the marker's "document" (empty for documents that lack one)
  crdt::ObjId marker;
  std::array<crdt::ObjId, 3> regions;  // indexed by Region
  crdt::ObjId notes, comments, changes, bookmarks, styles, meta, blobs;

  const crdt::ObjId& region(Region r) const { return regions[static_cast<std::size_t>(r)]; }
};

// Checks that the document follows the schema and returns its handle. Reads only. The error's
// message says what is missing or wrong, e.g. "the document has no \"folio\" schema marker";
// callers show it after "the document has no folio schema: ".
Result<Schema> open(const crdt::Document& document, const OpenOptions& options = {});

// Writes the genesis into an empty document (no root keys, no open operations): the marker,
// every container and the built-in styles, committed as one change with `kGenesisMessage` and
// the wall-clock time `time_ms`. Refuses a document that already holds anything.
Result<Schema> create_schema(crdt::Document& document, std::int64_t time_ms);
// A new document under `actor` holding only the genesis, stamped with the current time.
Result<crdt::Document> new_document(crdt::ActorId actor);

}  // namespace quern::folio::model
