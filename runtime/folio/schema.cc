#include "runtime/folio/schema.h"

#include <algorithm>
#include <chrono>
#include <utility>
#include <variant>
#include <vector>

#include "runtime/util/uuid.h"

namespace quern::folio::model {

using crdt::ObjId;
using crdt::ObjType;
using crdt::ScalarValue;

bool is_builtin_style(std::string_view id) {
  return std::find(kBuiltinStyles.begin(), kBuiltinStyles.end(), id) != kBuiltinStyles.end();
}

std::string_view to_string(Region region) {
  switch (region) {
    case Region::Body: return "Body";
    case Region::Header: return "Header";
    case Region::Footer: return "Footer";
  }
  return "Body";
}

std::optional<Region> parse_region(std::string_view text) {
  for (Region r : kRegions)
    if (to_string(r) == text) return r;
  return std::nullopt;
}

namespace {

std::string in_quotes(std::string_view key) { return "\"" + std::string(key) + "\""; }

Result<ObjId> container(const crdt::Document& doc, std::string_view key, ObjType type) {
  auto value = doc.get(ObjId::root(), key);
  if (!value) return fail(value.error());
  if (!*value) return fail("the document has no " + in_quotes(key) + " " + std::string(crdt::to_string(type)));
  const crdt::ObjectValue* obj = (*value)->object();
  if (!obj || obj->type != type)
    return fail(in_quotes(key) + " is a " + (obj ? std::string(crdt::to_string(obj->type)) : std::string("scalar")) +
                ", not a " + std::string(crdt::to_string(type)));
  return obj->id;
}

struct StyleSeed {
  std::string_view id;
  std::vector<std::pair<std::string_view, ScalarValue>> props;
};

std::vector<StyleSeed> builtin_style_seeds() {
  return {
      {"body", {{"name", "Body"}, {"font", "serif"}, {"size", 11.0}}},
      {"heading1", {{"name", "Heading 1"}, {"font", "sans"}, {"size", 24.0}, {"bold", true}}},
      {"heading2", {{"name", "Heading 2"}, {"font", "sans"}, {"size", 18.0}, {"bold", true}}},
      {"heading3", {{"name", "Heading 3"}, {"font", "sans"}, {"size", 14.0}, {"bold", true}}},
      {"list", {{"name", "List"}, {"indent", 18.0}}},
      {"quote", {{"name", "Quote"}, {"italic", true}, {"indent", 24.0}}},
  };
}

Result<Schema> write_genesis(crdt::Document& doc) {
  Schema s;
  s.document_id = Uuid::new_v4().to_string();
  s.marker = QUERN_TRY(doc.put_object(ObjId::root(), keys::kMarker, ObjType::Map));
  QUERN_TRY(doc.put(s.marker, keys::kMarkerSchema, keys::kSchemaName));
  QUERN_TRY(doc.put(s.marker, keys::kMarkerVersion, kSchemaVersion));
  QUERN_TRY(doc.put(s.marker, keys::kMarkerDocument, s.document_id));
  s.regions[0] = QUERN_TRY(doc.put_object(ObjId::root(), keys::kBody, ObjType::List));
  s.regions[1] = QUERN_TRY(doc.put_object(ObjId::root(), keys::kHeader, ObjType::List));
  s.regions[2] = QUERN_TRY(doc.put_object(ObjId::root(), keys::kFooter, ObjType::List));
  s.notes = QUERN_TRY(doc.put_object(ObjId::root(), keys::kNotes, ObjType::List));
  s.comments = QUERN_TRY(doc.put_object(ObjId::root(), keys::kComments, ObjType::Map));
  s.changes = QUERN_TRY(doc.put_object(ObjId::root(), keys::kChanges, ObjType::Map));
  s.bookmarks = QUERN_TRY(doc.put_object(ObjId::root(), keys::kBookmarks, ObjType::Map));
  s.styles = QUERN_TRY(doc.put_object(ObjId::root(), keys::kStyles, ObjType::Map));
  s.meta = QUERN_TRY(doc.put_object(ObjId::root(), keys::kMeta, ObjType::Map));
  s.blobs = QUERN_TRY(doc.put_object(ObjId::root(), keys::kBlobs, ObjType::Map));
  for (const StyleSeed& seed : builtin_style_seeds()) {
    const ObjId style = QUERN_TRY(doc.put_object(s.styles, seed.id, ObjType::Map));
    const ObjId props = QUERN_TRY(doc.put_object(style, keys::kProps, ObjType::Map));
    for (const auto& [key, value] : seed.props) QUERN_TRY(doc.put(props, key, value));
  }
  return s;
}

}  // namespace

Result<Schema> open(const crdt::Document& doc, const OpenOptions& options) {
  auto marker_value = doc.get(ObjId::root(), keys::kMarker);
  if (!marker_value) return fail(marker_value.error());
  if (!*marker_value) return fail("the document has no " + in_quotes(keys::kMarker) + " schema marker");
  const crdt::ObjectValue* marker = (*marker_value)->object();
  if (!marker || marker->type != ObjType::Map)
    return fail("the " + in_quotes(keys::kMarker) + " schema marker is not a map");
  Schema s;
  s.marker = marker->id;
  const auto name = QUERN_TRY(doc.get(s.marker, keys::kMarkerSchema));
  const std::string* name_str = name && name->scalar() ? name->scalar()->as_str() : nullptr;
  if (!name_str || *name_str != keys::kSchemaName) return fail("the schema marker does not name the folio schema");
  const auto version = QUERN_TRY(doc.get(s.marker, keys::kMarkerVersion));
  const std::int64_t* v = version && version->scalar() ? version->scalar()->as_int() : nullptr;
  if (!v || *v < 1) return fail("the schema marker carries no valid version");
  if (*v > options.max_version)
    return fail("the document uses schema version " + std::to_string(*v) + ", newer than version " +
                std::to_string(options.max_version) + " that this library reads");
  s.version = *v;
  if (const auto id = QUERN_TRY(doc.get(s.marker, keys::kMarkerDocument)); id && id->scalar() && id->scalar()->as_str())
    s.document_id = *id->scalar()->as_str();
  s.regions[0] = QUERN_TRY(container(doc, keys::kBody, ObjType::List));
  s.regions[1] = QUERN_TRY(container(doc, keys::kHeader, ObjType::List));
  s.regions[2] = QUERN_TRY(container(doc, keys::kFooter, ObjType::List));
  s.notes = QUERN_TRY(container(doc, keys::kNotes, ObjType::List));
  s.comments = QUERN_TRY(container(doc, keys::kComments, ObjType::Map));
  s.changes = QUERN_TRY(container(doc, keys::kChanges, ObjType::Map));
  s.bookmarks = QUERN_TRY(container(doc, keys::kBookmarks, ObjType::Map));
  s.styles = QUERN_TRY(container(doc, keys::kStyles, ObjType::Map));
  s.meta = QUERN_TRY(container(doc, keys::kMeta, ObjType::Map));
  s.blobs = QUERN_TRY(container(doc, keys::kBlobs, ObjType::Map));
  return s;
}

Result<Schema> create_schema(crdt::Document& doc, std::int64_t time_ms) {
  if (doc.pending_ops() != 0) return fail("the document has an open transaction; commit or roll it back first");
  if (QUERN_TRY(doc.length(ObjId::root())) != 0) return fail("the document already holds data");
  auto s = write_genesis(doc);
  if (!s) {
    doc.rollback();
    return fail(std::move(s).error().with_context("write the folio schema"));
  }
  doc.commit(std::string(kGenesisMessage), time_ms);
  return s;
}

Result<crdt::Document> new_document(crdt::ActorId actor) {
  crdt::Document doc(std::move(actor));
  const auto now =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
          .count();
  QUERN_TRY(create_schema(doc, now));
  return doc;
}

}  // namespace quern::folio::model
