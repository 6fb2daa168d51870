#include "apps/word-processor/src/view.h"

#include <limits>
#include <map>
#include <set>

#include "runtime/folio/materialize.h"
#include "runtime/util/unicode.h"

namespace quern::word_processor {

using folio::model::attr_bool;
using folio::model::attr_int;
using folio::model::attr_str;

Result<DocumentView> load_view(const crdt::Document& document) {
  auto schema = folio::model::open(document);
  if (!schema) return fail(std::move(schema).error().with_context(std::string(kDocumentUnavailable)));
  auto view = folio::model::materialize(document, *schema);
  if (!view) return fail(std::move(view).error().with_context(std::string(kDocumentUnavailable)));
  return std::move(*view);
}

std::size_t char_length(const Block& block) { return unicode::char_count(block.text); }

std::optional<BlockRef> find_block(const DocumentView& view, Region region, std::string_view id) {
  const std::vector<Block>& blocks = view.region(region);
  for (std::size_t i = 0; i < blocks.size(); ++i)
    if (blocks[i].id == id) return BlockRef{&blocks[i], i, char_length(blocks[i])};
  return std::nullopt;
}

const Block* block_above(const DocumentView& view, Region region, std::string_view id) {
  auto ref = find_block(view, region, id);
  if (!ref || ref->index == 0) return nullptr;
  return &view.region(region)[ref->index - 1];
}

const Block* block_below(const DocumentView& view, Region region, std::string_view id) {
  auto ref = find_block(view, region, id);
  if (!ref || ref->index + 1 >= view.region(region).size()) return nullptr;
  return &view.region(region)[ref->index + 1];
}

std::vector<const Block*> body_blocks_of_kind(const DocumentView& view, std::string_view kind) {
  std::vector<const Block*> out;
  for (const Block& b : view.body())
    if (b.kind == kind) out.push_back(&b);
  return out;
}

std::vector<ListItem> list_items(const DocumentView& view) {
  std::vector<ListItem> out;
  for (const Block& b : view.body())
    if (b.kind == "list_item")
      out.push_back(
          ListItem{&b, attr_int(b.attrs, "level").value_or(0), attr_bool(b.attrs, "ordered").value_or(false)});
  return out;
}

std::vector<Heading> headings(const DocumentView& view) {
  std::vector<Heading> out;
  for (const Block& b : view.body())
    if (b.kind == "heading") out.push_back(Heading{&b, attr_int(b.attrs, "level")});
  return out;
}

std::vector<TocLine> toc_lines(const DocumentView& view) {
  std::vector<TocLine> out;
  for (const Block& b : view.body()) {
    if (attr_bool(b.attrs, "toc") != true) continue;
    TocLine line{&b, attr_int(b.attrs, "toc_level"), std::nullopt};
    if (const std::string* h = attr_str(b.attrs, "toc_heading")) line.heading = *h;
    out.push_back(std::move(line));
  }
  return out;
}

std::vector<Image> images(const DocumentView& view) {
  std::vector<Image> out;
  for (const Block& b : view.body()) {
    if (b.kind != "image") continue;
    Image img;
    img.block = &b;
    if (const std::string* blob = attr_str(b.attrs, "blob")) img.blob = *blob;
    img.width = attr_int(b.attrs, "width");
    img.height = attr_int(b.attrs, "height");
    img.crop_left = attr_int(b.attrs, "crop_left").value_or(0);
    img.crop_top = attr_int(b.attrs, "crop_top").value_or(0);
    img.crop_right = attr_int(b.attrs, "crop_right").value_or(0);
    img.crop_bottom = attr_int(b.attrs, "crop_bottom").value_or(0);
    if (const std::string* a = attr_str(b.attrs, "anchor")) img.anchor = *a;
    if (const std::string* w = attr_str(b.attrs, "wrap")) img.wrap = *w;
    out.push_back(std::move(img));
  }
  return out;
}

bool Table::well_formed() const {
  if (cells.empty() || rows <= 0 || cols <= 0) return false;
  if (static_cast<std::int64_t>(cells.size()) / rows != cols || static_cast<std::int64_t>(cells.size()) % rows != 0)
    return false;
  std::set<std::pair<std::int64_t, std::int64_t>> places;
  for (const TableCell& c : cells) {
    if (!c.row || !c.col || *c.row < 0 || *c.col < 0) return false;
    if (!places.emplace(*c.row, *c.col).second) return false;
  }
  return true;
}

const TableCell* Table::cell_at(std::int64_t row, std::int64_t col) const {
  for (const TableCell& c : cells)
    if (c.row == row && c.col == col) return &c;
  return nullptr;
}

std::vector<Table> tables(const DocumentView& view) {
  std::vector<Table> out;
  std::map<std::string, std::size_t, std::less<>> by_id;
  const std::vector<Block>& body = view.body();
  for (std::size_t i = 0; i < body.size(); ++i) {
    const Block& b = body[i];
    if (b.kind != "cell") continue;
    const std::string* id = attr_str(b.attrs, "table");
    if (!id) continue;
    auto [it, added] = by_id.try_emplace(*id, out.size());
    if (added) out.push_back(Table{*id, i, {}, 0, 0});
    Table& t = out[it->second];
    TableCell cell{&b, i, attr_int(b.attrs, "row"), attr_int(b.attrs, "col")};
    constexpr std::int64_t kTop = std::numeric_limits<std::int64_t>::max();
    if (cell.row && *cell.row >= 0 && *cell.row < kTop) t.rows = std::max(t.rows, *cell.row + 1);
    if (cell.col && *cell.col >= 0 && *cell.col < kTop) t.cols = std::max(t.cols, *cell.col + 1);
    t.cells.push_back(cell);
  }
  return out;
}

std::optional<Table> find_table(const DocumentView& view, std::string_view id) {
  for (Table& t : tables(view))
    if (t.id == id) return std::move(t);
  return std::nullopt;
}

const folio::model::Comment* find_comment(const DocumentView& view, std::string_view id) {
  for (const auto& c : view.comments)
    if (c.id == id) return &c;
  return nullptr;
}

const folio::model::TrackedChange* find_change(const DocumentView& view, std::string_view id) {
  for (const auto& c : view.changes)
    if (c.id == id) return &c;
  return nullptr;
}

std::string display_author(std::string_view author) {
  return unicode::trim(author).empty() ? std::string(kUnknownAuthor) : std::string(author);
}

namespace {
std::string or_fallback(std::string text, std::string_view fallback) {
  return unicode::trim(text).empty() ? std::string(fallback) : text;
}
}  // namespace

std::string display_text(const folio::model::Comment& comment) { return or_fallback(comment.text(), kEmptyComment); }
std::string display_text(const folio::model::Reply& reply) { return or_fallback(reply.text(), kEmptyReply); }
std::string display_text(const folio::model::Note& note) { return or_fallback(note.text(), kEmptyNote); }

bool is_builtin_style(std::string_view id) { return folio::model::is_builtin_style(id); }

std::vector<const Block*> blocks_with_style(const DocumentView& view, std::string_view style) {
  std::vector<const Block*> out;
  for (const Block& b : view.body())
    if (const std::string* s = attr_str(b.attrs, "style"); s && *s == style) out.push_back(&b);
  return out;
}

}  // namespace quern::word_processor
