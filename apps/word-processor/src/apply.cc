#include "apps/word-processor/src/apply.h"

#include <algorithm>
#include <charconv>
#include <unordered_set>

#include "apps/word-processor/src/block_tail.h"
#include "apps/word-processor/src/doc_state.h"
#include "apps/word-processor/src/hyperlink.h"
#include "apps/word-processor/src/table_edit.h"
#include "runtime/folio/codecs/markdown.h"
#include "runtime/folio/lookup.h"
#include "runtime/util/log.h"
#include "runtime/util/unicode.h"

namespace quern::word_processor {

namespace {

using folio::model::DocMut;
using std::optional;
using std::string;
using std::string_view;

constexpr string_view kLogTarget = "quern_word_processor";

bool same_schema(const folio::model::Schema& a, const folio::model::Schema& b) {
  return a.document_id == b.document_id && a.marker == b.marker && a.regions == b.regions && a.notes == b.notes &&
         a.comments == b.comments && a.changes == b.changes && a.bookmarks == b.bookmarks && a.styles == b.styles &&
         a.meta == b.meta && a.blobs == b.blobs;
}

crdt::ScalarValue to_scalar(const MarkValue& value) {
  return std::visit([](const auto& v) { return crdt::ScalarValue(v); }, value);
}

// The shortest decimal text that reads back as `value` ("72", "12.5").
string shortest_decimal(double value) {
  char buf[64];
  const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed);
  return ec == std::errc() ? string(buf, end) : std::to_string(value);
}

// What the check phase prepared for the changes: the state before the first write, and what
// an operation computed while being checked.
struct Run {
  DocMut& mut;
  DocState& state;
  optional<folio::model::Fragment> fragment;  // ReplaceBody: the imported markdown
};

// The block as it is now (re-read after earlier writes of the same call).
Result<folio::model::Block> current(Run& run, Region region, string_view id) {
  auto b = run.mut.block(region, id);
  if (!b) return fail("no block \"" + string(id) + "\" in the " + string(folio::model::to_string(region)));
  return std::move(*b);
}

// Deletes [start of `start_block` .. `end` of `end_block`) and inserts `ins` at the start. Across
// blocks the end block's tail joins the start block after `ins`, and the blocks after the start
// block up to the end block are removed.
Result<void> replace_range(Run& run, Region region, const string& start_block, std::size_t start,
                           const string& end_block, std::size_t end, string_view ins) {
  DocMut& mut = run.mut;
  if (start_block == end_block) return mut.splice_text_in(region, start_block, start, end - start, ins);
  const BlockTail tail = tail_of(QUERN_TRY(current(run, region, end_block)), end);
  const std::size_t start_length = unicode::char_count(QUERN_TRY(current(run, region, start_block)).text);
  QUERN_TRY(mut.splice_text_in(region, start_block, start, start_length - start, ins));
  QUERN_TRY(put_tail(mut, region, start_block, start + unicode::char_count(ins), tail));
  const std::vector<string> order = folio::model::blocks_in_order(mut.document(), mut.schema(), region);
  auto first = std::find(order.begin(), order.end(), start_block);
  auto last = std::find(first, order.end(), end_block);
  if (first == order.end() || last == order.end()) return fail("the selected blocks are no longer in order");
  for (auto it = std::next(first); it <= last; ++it) QUERN_TRY(mut.tombstone_block_in(region, *it));
  return {};
}

// Moves the text after `at` into a new block of `kind` right after `block`; returns its id.
Result<string> split_off(Run& run, Region region, const string& block, std::size_t at, string_view kind) {
  const BlockTail tail = tail_of(QUERN_TRY(current(run, region, block)), at);
  if (!tail.empty()) QUERN_TRY(run.mut.splice_text_in(region, block, at, tail.chars, ""));
  string id = QUERN_TRY(run.mut.insert_block_in(region, block, kind));
  QUERN_TRY(put_tail(run.mut, region, id, 0, tail));
  return id;
}

Result<void> set_level_and_order(DocMut& mut, Region region, const string& block, const optional<std::int64_t>& level,
                                 const optional<bool>& ordered) {
  if (level) QUERN_TRY(mut.set_attr(region, block, "level", *level));
  if (ordered) QUERN_TRY(mut.set_attr(region, block, "ordered", *ordered));
  return {};
}

// ---- The changes of each operation (the check has passed).

Result<void> perform(const SpliceText& a, Run& run) {
  return run.mut.splice_text_in(a.region, a.block, a.at, a.del, a.ins);
}

Result<void> perform(const ReplaceSelection& a, Run& run) {
  return replace_range(run, a.region, a.start_block, a.start, a.end_block, a.end, a.ins);
}

Result<void> perform(const SetMark& a, Run& run) {
  for (const Span& s : a.spans) {
    for (const string& name : a.also_clear) QUERN_TRY(run.mut.remove_mark(a.region, s.block, s.start, s.end, name));
    if (a.value)
      QUERN_TRY(run.mut.add_mark(a.region, s.block, s.start, s.end, a.name, to_scalar(*a.value)));
    else
      QUERN_TRY(run.mut.remove_mark(a.region, s.block, s.start, s.end, a.name));
  }
  return {};
}

Result<void> perform(const SetParagraphStyle& a, Run& run) {
  for (const string& b : a.blocks) {
    QUERN_TRY(run.mut.set_kind(a.region, b, a.kind));
    QUERN_TRY(set_level_and_order(run.mut, a.region, b, a.level, a.ordered));
  }
  return {};
}

Result<void> perform(const ApplyNamedStyle& a, Run& run) {
  for (const string& b : a.blocks) {
    if (a.kind) QUERN_TRY(run.mut.set_kind(a.region, b, *a.kind));
    QUERN_TRY(set_level_and_order(run.mut, a.region, b, a.level, a.ordered));
    QUERN_TRY(run.mut.set_attr(a.region, b, "style", a.style));
  }
  return {};
}

Result<void> perform(const SetBlockAttr& a, Run& run) {
  for (const string& b : a.blocks) QUERN_TRY(run.mut.set_attr(a.region, b, a.key, a.value));
  return {};
}

Result<void> perform(const SetPageMargins& a, Run& run) {
  QUERN_TRY(run.mut.set_meta_str("page_margin_top", shortest_decimal(a.top)));
  QUERN_TRY(run.mut.set_meta_str("page_margin_right", shortest_decimal(a.right)));
  QUERN_TRY(run.mut.set_meta_str("page_margin_bottom", shortest_decimal(a.bottom)));
  return run.mut.set_meta_str("page_margin_left", shortest_decimal(a.left));
}

Result<void> perform(const SetStyleProperty& a, Run& run) { return run.mut.set_style(a.style, {{a.key, a.value}}); }

Result<void> perform(const DeleteStyle& a, Run& run) {
  std::unordered_set<string_view> done;
  for (const string& b : a.fallback_blocks)
    if (done.insert(b).second) QUERN_TRY(run.mut.set_attr(Region::Body, b, "style", string()));
  return run.mut.tombstone_style(a.style);
}

Result<void> perform(const SetImageCrop& a, Run& run) {
  QUERN_TRY(run.mut.set_attr(Region::Body, a.block, "crop_left", a.left));
  QUERN_TRY(run.mut.set_attr(Region::Body, a.block, "crop_top", a.top));
  QUERN_TRY(run.mut.set_attr(Region::Body, a.block, "crop_right", a.right));
  return run.mut.set_attr(Region::Body, a.block, "crop_bottom", a.bottom);
}

Result<void> perform(const SetImageSize& a, Run& run) {
  QUERN_TRY(run.mut.set_attr(Region::Body, a.block, "width", a.width));
  return run.mut.set_attr(Region::Body, a.block, "height", a.height);
}

Result<void> perform(const SetImagePlacement& a, Run& run) {
  QUERN_TRY(run.mut.set_attr(Region::Body, a.block, "anchor", a.anchor));
  QUERN_TRY(run.mut.set_attr(Region::Body, a.block, "wrap", a.wrap));
  QUERN_TRY(run.mut.set_attr(Region::Body, a.block, "offset_x", a.x));
  QUERN_TRY(run.mut.set_attr(Region::Body, a.block, "offset_y", a.y));
  return run.mut.set_attr(Region::Body, a.block, "page", a.page);
}

Result<void> perform(const InsertTable& a, Run& run) {
  const string table = run.mut.ids().mint();
  string prev = a.after;
  for (std::uint64_t r = 0; r < a.rows; ++r)
    for (std::uint64_t c = 0; c < a.cols; ++c) {
      string cell = QUERN_TRY(run.mut.insert_block(prev, "cell"));
      QUERN_TRY(number_cell(run.mut, cell, table, static_cast<std::int64_t>(r), static_cast<std::int64_t>(c)));
      prev = std::move(cell);
    }
  return {};
}

Result<void> perform(const EditTable& a, Run& run) {
  const DocumentView* view = QUERN_TRY(run.state.view());  // read by the check, before any write
  const auto table = find_table(*view, a.table);
  if (!table) return fail("the table is gone");
  return edit_table(run.mut, *view, *table, a.edit);
}

Result<void> perform(const InsertImage& a, Run& run) {
  const BlockTail tail = tail_of(QUERN_TRY(current(run, Region::Body, a.block)), a.at);
  auto hash = run.mut.put_blob(a.bytes);
  if (!hash) {
    log::warn(kLogTarget, "the blob store did not take the image; nothing was inserted",
              {{"block", a.block}, {"bytes", a.bytes.size()}, {"reason", hash.error().to_string()}});
    return {};
  }
  if (!tail.empty()) QUERN_TRY(run.mut.splice_text(a.block, a.at, tail.chars, ""));
  const string image = QUERN_TRY(run.mut.insert_block(a.block, "image"));
  QUERN_TRY(run.mut.set_attr(Region::Body, image, "blob", *hash));
  if (a.width) QUERN_TRY(run.mut.set_attr(Region::Body, image, "width", *a.width));
  if (a.height) QUERN_TRY(run.mut.set_attr(Region::Body, image, "height", *a.height));
  const string paragraph = QUERN_TRY(run.mut.insert_block(image, "paragraph"));
  return put_tail(run.mut, Region::Body, paragraph, 0, tail);
}

Result<void> perform(const InsertPageBreak& a, Run& run) {
  const string id = QUERN_TRY(split_off(run, a.region, a.block, a.at, "paragraph"));
  return run.mut.set_attr(a.region, id, "page_break_before", true);
}

Result<void> perform(const SplitBlock& a, Run& run) {
  const string id = QUERN_TRY(split_off(run, a.region, a.block, a.at, a.kind));
  if (a.ordered) QUERN_TRY(run.mut.set_attr(a.region, id, "ordered", *a.ordered));
  return {};
}

Result<void> perform(const InsertField& a, Run& run) {
  return run.mut.insert_page_number_field(a.region, a.block, a.at);
}

string toc_text(const TocTarget& e) {
  string out;
  for (std::int64_t i = 1; i < e.level; ++i) out += "  ";
  out += unicode::trim(e.text);
  if (e.page) out += " .......... " + std::to_string(*e.page);
  return out;
}

Result<void> perform(const GenerateToc& a, Run& run) {
  const DocumentView* view = QUERN_TRY(run.state.view());  // before the first write
  for (const TocLine& line : toc_lines(*view)) QUERN_TRY(run.mut.tombstone_block_in(Region::Body, line.block->id));
  optional<string> prev;
  for (const TocTarget& e : a.entries) {
    string id = QUERN_TRY(run.mut.insert_block(prev ? optional<string_view>(*prev) : std::nullopt, "paragraph"));
    QUERN_TRY(run.mut.set_attr(Region::Body, id, "toc", true));
    QUERN_TRY(run.mut.set_attr(Region::Body, id, "toc_level", e.level));
    QUERN_TRY(run.mut.set_attr(Region::Body, id, "toc_heading", e.heading));
    QUERN_TRY(run.mut.splice_text(id, 0, 0, toc_text(e)));
    prev = std::move(id);
  }
  return {};
}

Result<void> clip_style(DocMut& mut, Region region, const string& block, const ClipBlock& clip) {
  QUERN_TRY(mut.set_kind(region, block, clip.kind));
  QUERN_TRY(set_level_and_order(mut, region, block, clip.level, clip.ordered));
  if (clip.align) QUERN_TRY(mut.set_attr(region, block, "align", *clip.align));
  return {};
}

Result<void> perform(const PasteFragment& a, Run& run) {
  DocMut& mut = run.mut;
  QUERN_TRY(replace_range(run, a.region, a.start_block, a.start, a.end_block, a.end, ""));
  // The blocks the clip blocks go into: the start block, then a new block for each further one.
  std::vector<string> targets{a.start_block};
  BlockTail rest;
  if (a.blocks.size() > 1) {
    rest = tail_of(QUERN_TRY(current(run, a.region, a.start_block)), a.start);
    if (!rest.empty()) QUERN_TRY(mut.splice_text_in(a.region, a.start_block, a.start, rest.chars, ""));
  }
  QUERN_TRY(mut.splice_text_in(a.region, a.start_block, a.start, 0, a.blocks.front().text));
  for (std::size_t i = 1; i < a.blocks.size(); ++i) {
    string id = QUERN_TRY(mut.insert_block_in(a.region, targets.back(), "paragraph"));
    QUERN_TRY(mut.set_kind(a.region, id, a.blocks[i].kind));
    QUERN_TRY(mut.splice_text_in(a.region, id, 0, 0, a.blocks[i].text));
    targets.push_back(std::move(id));
  }
  if (a.blocks.size() > 1)
    QUERN_TRY(put_tail(mut, a.region, targets.back(), unicode::char_count(a.blocks.back().text), rest));
  for (std::size_t i = 0; i < a.blocks.size(); ++i) {
    const std::size_t shift = i == 0 ? a.start : 0;
    for (const MarkSpan& m : a.blocks[i].marks)
      QUERN_TRY(mut.add_mark(a.region, targets[i], shift + m.start, shift + m.end, m.name, to_scalar(m.value)));
  }
  for (std::size_t i = 0; i < a.blocks.size(); ++i)
    if (i > 0 || a.adopt_first_style) QUERN_TRY(clip_style(mut, a.region, targets[i], a.blocks[i]));
  return {};
}

Result<void> perform(const InsertParagraph& a, Run& run) {
  const string id = QUERN_TRY(run.mut.insert_block(a.after, "paragraph"));
  return run.mut.splice_text(id, 0, 0, a.text);
}

Result<void> perform(const RemoveBlocks& a, Run& run) {
  for (const string& b : a.blocks) QUERN_TRY(run.mut.tombstone_block_in(Region::Body, b));
  return {};
}

Result<void> perform(const ReplaceBody&, Run& run) {
  // The new body goes in first and the old one is removed after, so that a fragment the library
  // refuses leaves the body as it was.
  const std::vector<string> old = folio::model::blocks_in_order(run.mut.document(), run.mut.schema());
  QUERN_TRY(run.mut.insert_fragment(Region::Body, std::nullopt, *run.fragment));
  for (const string& id : old) QUERN_TRY(run.mut.tombstone_block_in(Region::Body, id));
  return {};
}

Result<void> resolve_changes(Run& run, const optional<string>& id, bool accept) {
  const auto resolve = [&](const string& change) {
    return accept ? run.mut.accept_change(change) : run.mut.reject_change(change);
  };
  if (id) return resolve(*id);
  const crdt::Document& doc = run.mut.document();
  std::vector<string> ids;
  std::unordered_set<string> seen;
  for (const string& block : folio::model::blocks_in_order(doc, run.mut.schema()))
    for (string& change : folio::model::change_ids(doc, run.mut.schema(), block))
      if (seen.insert(change).second) ids.push_back(std::move(change));
  for (const string& change : ids) QUERN_TRY(resolve(change));
  return {};
}

Result<void> perform(const AcceptChanges& a, Run& run) { return resolve_changes(run, a.id, true); }
Result<void> perform(const RejectChanges& a, Run& run) { return resolve_changes(run, a.id, false); }

Result<void> perform(const ResolveComment& a, Run& run) {
  crdt::Document& doc = run.mut.document();
  const folio::model::Schema& schema = run.mut.schema();
  QUERN_TRY(run.mut.tombstone_comment(a.id));
  // Resolving already took the comment off its anchor; this only matters for documents whose
  // comments carry an anchor the library still reports.
  if (auto anchor = folio::model::comment_range(doc, schema, a.id); anchor && anchor->start < anchor->end)
    QUERN_TRY(
        run.mut.remove_mark(Region::Body, anchor->block, anchor->start, anchor->end, folio::model::keys::kCommentMark));
  for (const string& reply : folio::model::comment_reply_ids(doc, schema, a.id))
    QUERN_TRY(doc.delete_key(schema.comments, reply));
  return doc.delete_key(schema.comments, a.id);
}

Result<void> perform(const AddComment& a, Run& run) {
  const string comment = QUERN_TRY(run.mut.insert_comment(a.author, a.date));
  const string block = QUERN_TRY(run.mut.insert_comment_block(comment));
  QUERN_TRY(run.mut.splice_comment_text(comment, block, 0, 0, a.text));
  return run.mut.add_comment_mark(comment, a.block, a.start, a.end);
}

Result<void> perform(const ReplyToComment& a, Run& run) {
  QUERN_TRY(run.mut.add_comment_reply(a.comment, a.author, a.date, a.text));
  return {};
}

// What some operations need prepared before the first write; a failure here is a rejection.
Result<void> prepare(const WordProcessorAction& action, Run& run) {
  if (const auto* body = std::get_if<ReplaceBody>(&action)) {
    folio::model::Fragment fragment =
        QUERN_TRY_CTX(folio::codecs::markdown::MarkdownCodec().import(body->markdown), "import the markdown");
    // Links in the markdown pass the same check as links set directly; the others stay text.
    for (folio::model::FragmentBlock& b : fragment.blocks)
      std::erase_if(b.marks, [](const folio::model::FragmentMark& m) {
        if (m.name != folio::model::keys::kLinkMark) return false;
        const string* target = m.value.as_str();
        return !target || !is_safe_hyperlink_target(*target);
      });
    run.fragment = std::move(fragment);
  }
  if (std::holds_alternative<GenerateToc>(action)) QUERN_TRY(run.state.view());
  return {};
}

Error rejection(string_view message) { return Error(string(message)); }

}  // namespace

folio::model::DocMut& WriterHandle::bind(crdt::Document& document, const folio::model::Schema& schema) {
  if (mut_ && &mut_->document() == &document && same_schema(mut_->schema(), schema))
    mut_->refresh();
  else
    mut_.emplace(document, schema);
  return *mut_;
}

Result<void> apply_word_processor_action(const WordProcessorAction& action, crdt::Document& document,
                                         WriterHandle& handle) {
  auto schema = folio::model::open(document);
  if (!schema) {
    log::debug(kLogTarget, "refused an operation on a document that does not open",
               {{"operation", variant_name(action)}, {"reason", schema.error().to_string()}});
    return std::unexpected(rejection(kDocumentUnavailable));
  }
  DocMut& mut = handle.bind(document, *schema);
  Result<void> result;
  {
    DocState state(mut);
    Run run{mut, state, std::nullopt};
    auto checked = check_action(action, state);
    if (checked) checked = prepare(action, run);
    if (!checked) {
      log::debug(kLogTarget, "refused an operation",
                 {{"operation", variant_name(action)}, {"rule", checked.error().to_string()}});
      return std::unexpected(rejection(kStaleOrUnsafe));
    }
    result = std::visit([&](const auto& a) { return perform(a, run); }, action);
  }
  // Let the handle's writer see its own writes as its own next time.
  mut.refresh();
  if (!result) return std::unexpected(std::move(result).error().with_context("apply " + string(variant_name(action))));
  return {};
}

Result<void> apply_word_processor_action(const WordProcessorAction& action, crdt::Document& document) {
  WriterHandle handle;
  return apply_word_processor_action(action, document, handle);
}

bool is_rejection(const Error& error) {
  return error.chain().size() == 1 && (error.message() == kDocumentUnavailable || error.message() == kStaleOrUnsafe);
}

}  // namespace quern::word_processor
