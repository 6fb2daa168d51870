#include "apps/word-processor/src/directory.h"

#include <set>
#include <utility>

#include "apps/word-processor/src/action_json.h"
#include "apps/word-processor/src/apply.h"
#include "apps/word-processor/src/command.h"
#include "apps/word-processor/src/hyperlink.h"
#include "apps/word-processor/src/view.h"
#include "runtime/folio/blobstore.h"
#include "runtime/folio/history.h"
#include "runtime/folio/lookup.h"
#include "runtime/folio/schema.h"
#include "runtime/util/unicode.h"

namespace quern::word_processor {
namespace {

using actions::ActionArgs;
using actions::ActionContract;
using actions::ActionError;
using actions::ActionParam;
using actions::ActionSpec;
using actions::Encoded;
using actions::EncodedAction;
using actions::Encoder;
using actions::Resource;

constexpr std::string_view kPathSummary = "path (omit to use the system file picker)";
constexpr std::string_view kPathDescription = "Direct filesystem path; omit to open the system file picker";

EncodedAction encode(const WordProcessorAction& action) {
  return EncodedAction{std::string(kActionOperationType), to_json(action)};
}
EncodedAction encode(const WordProcessorCommand& command) {
  return EncodedAction{std::string(kCommandOperationType), command_to_json(command)};
}

bool starts_with(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

// An edit decided when the directory is built; it can be undone, and one that deletes or
// removes is destructive.
ActionSpec fixed(std::string name, std::string label, const WordProcessorAction& action) {
  const bool destroys = starts_with(name, "delete") || starts_with(name, "remove");
  return ActionSpec(std::move(name), std::move(label), Encoder::fixed(encode(action)))
      .reversible()
      .destructive(destroys);
}

// A view command other than open, save and save as: read permission, no risk, safe to repeat.
ActionSpec view(std::string name, std::string label, const WordProcessorCommand& command) {
  return ActionSpec(std::move(name), std::move(label), Encoder::fixed(encode(command)))
      .with_contract(ActionContract{actions::Role::Read, actions::Risk::None, actions::Confirmation::none(),
                                    actions::Retry::Idempotent, false})
      .execution(actions::Execution::immediate())
      .returns(actions::ActionResult::none());
}

template <typename Command>
ActionSpec file_command(std::string name, std::string label) {
  return ActionSpec(std::move(name), std::move(label), Encoder::from_args([](const ActionArgs& args) -> Encoded {
                      return encode(WordProcessorCommand(Command{args.text("path")}));
                    }))
      .with_input_summary(std::string(kPathSummary))
      .with_param(ActionParam::text("path", false, std::string(kPathDescription)))
      .execution(actions::Execution::background(false))
      .returns(actions::ActionResult::job());
}

std::vector<std::string> distinct(const std::vector<std::string>& ids) {
  std::vector<std::string> out;
  std::set<std::string_view> seen;
  for (const std::string& id : ids) {
    if (seen.insert(id).second) out.push_back(id);
  }
  return out;
}

struct Alignment {
  std::string_view name, label, value;
};
constexpr Alignment kAlignments[] = {
    {"align-left", "Align left", "left"},
    {"align-center", "Align centre", "center"},
    {"align-right", "Align right", "right"},
    {"align-justify", "Justify", "justify"},
};

void add_alignments(Resource& resource, const std::vector<std::string>& blocks) {
  for (const Alignment& a : kAlignments) {
    resource.add_action(fixed(std::string(a.name), std::string(a.label),
                              SetBlockAttr{Region::Body, blocks, "align", AttrValue(std::string(a.value))}));
  }
}

// Comment and reply encoders: a trimmed, non-empty author and a text of bounded length.
Encoded author_text(const ActionArgs& args, std::string_view message, std::string& author, std::string& text,
                    std::string& date) {
  author = std::string(unicode::trim(args.text("author").value_or("")));
  text = args.text("text").value_or("");
  date = args.text("date").value_or("");
  if (author.empty() || unicode::char_count(text) > kMaxCommentTextChars) {
    return std::unexpected(ActionError::invalid_arguments(std::string(message)));
  }
  return EncodedAction{};
}

ActionSpec replace_action(std::string name, std::string label, std::string summary, std::string description,
                          ReplaceSelection target) {
  return ActionSpec(std::move(name), std::move(label),
                    Encoder::from_args([target = std::move(target)](const ActionArgs& args) -> Encoded {
                      auto text = args.text("text");
                      if (!text) return std::unexpected(ActionError::invalid_arguments("replacement text is required"));
                      ReplaceSelection op = target;
                      op.ins = std::move(*text);
                      return encode(op);
                    }))
      .with_input_summary(std::move(summary))
      .with_param(ActionParam::text("text", true, std::move(description)));
}

ReplaceSelection replace_target(Region region, const Selection& s) {
  return ReplaceSelection{region, s.start_block, s.start, s.end_block, s.end, {}};
}

// The content reference the place-image encoder receives: a bare hash or "content:{hash}".
std::string content_hash_of(std::string_view value) {
  value = unicode::trim(value);
  if (starts_with(value, "content:")) value.remove_prefix(8);
  return std::string(value);
}

ActionSpec place_image(const EditorContext& context) {
  std::string block = context.caret_block;
  const std::uint64_t at = context.caret_offset;
  return ActionSpec("place-image", "Place image", Encoder::from_text([block, at](std::string_view value) -> Encoded {
                      const std::string hash = content_hash_of(value);
                      auto bytes = folio::blobstore::get(hash);
                      if (!bytes) {
                        return std::unexpected(ActionError::invalid_arguments("content `" + std::string(value) +
                                                                              "` is not available on this machine"));
                      }
                      const auto info = folio::blobstore::sniff(*bytes);
                      InsertImage op{block, at, std::move(*bytes), std::nullopt, std::nullopt};
                      if (info.width != 0) op.width = info.width;
                      if (info.height != 0) op.height = info.height;
                      return encode(op);
                    }))
      .with_input_summary("Place the single content result of the immediately preceding action at the caret")
      .with_content_input(actions::ContentInput{"content hash", "Image content produced by the preceding action", true})
      .reversible();
}

// ---- The root's actions before the document is read.
void add_leading_actions(Resource& root, const EditorContext& context) {
  root.add_action(file_command<command::Open>("open", "Open document"));
  root.add_action(file_command<command::Save>("save", "Save document"));
  root.add_action(file_command<command::SaveAs>("save-as", "Save document as"));
  root.add_action(view("find", "Find in document", command::Find{}));
  root.add_action(view("zoom-in", "Zoom in", command::ZoomIn{}));
  root.add_action(view("zoom-out", "Zoom out", command::ZoomOut{}));
  root.add_action(view("zoom-reset", "Reset zoom to 100%", command::ZoomReset{}));
  root.add_action(view("spellcheck", "Toggle spellcheck", command::ToggleSpellcheck{}));
  root.add_action(view("markup", "Toggle review markup", command::ToggleMarkup{}));
  root.add_action(view("styles", "Toggle styles panel", command::ToggleStyles{}));
  root.add_action(view("ruler", "Toggle ruler", command::ToggleRuler{}));
  root.add_action(view("outline", "Toggle outline", command::ToggleOutline{}));
  root.add_action(view("history", "Toggle history", command::ToggleHistory{}));
  root.add_action(fixed("insert-table", "Insert table", InsertTable{context.caret_block, 2, 2}));

  if (!context.spans.empty()) {
    SetMark target{context.region, context.spans, "link", std::nullopt, {}};
    root.add_action(ActionSpec("set-hyperlink", "Add or change hyperlink",
                               Encoder::from_args([target = std::move(target)](const ActionArgs& args) -> Encoded {
                                 const std::string link(unicode::trim(args.text("target").value_or("")));
                                 if (!is_safe_hyperlink_target(link)) {
                                   return std::unexpected(ActionError::invalid_arguments(
                                       "hyperlink target must use https:, mailto:, or #bookmark"));
                                 }
                                 SetMark op = target;
                                 op.value = MarkValue(link);
                                 return encode(op);
                               }))
                        .with_input_summary("Web URL (https://… or mailto:…) or #bookmark")
                        .with_param(ActionParam::text(
                            "target", true, "A safe external URL, mail address, or document-local #bookmark target")));
  }
  if (context.selection) {
    root.add_action(replace_action("replace-selection", "Replace selection",
                                   "Replacement text for the selected document range",
                                   "Text that replaces the current selection (empty deletes it)",
                                   replace_target(context.region, *context.selection)));
  }
  const auto& s = context.selection;
  if (context.region == Region::Body && s && s->start_block == s->end_block && s->start < s->end) {
    AddComment target{s->start_block, s->start, s->end, {}, {}, {}};
    root.add_action(ActionSpec("add-comment", "Add comment",
                               Encoder::from_args([target = std::move(target)](const ActionArgs& args) -> Encoded {
                                 AddComment op = target;
                                 auto checked =
                                     author_text(args, "comment author is required and comment text is too long",
                                                 op.author, op.text, op.date);
                                 if (!checked) return checked;
                                 return encode(op);
                               }))
                        .with_input_summary("Comment text and author for the selected text…")
                        .with_params({ActionParam::text("author", true, "Comment author"),
                                      ActionParam::text("text", true, "Comment text"),
                                      ActionParam::text("date", false, "ISO-8601 comment date")}));
  }
}

// ---- Children.
Resource selection_child(const EditorContext& context) {
  const Selection& s = *context.selection;
  Resource r("word-processor.selection:" + s.start_block + ":" + std::to_string(s.start) + ":" + s.end_block + ":" +
                 std::to_string(s.end),
             "word_processor.selection", "Current selection");
  r.add_action(replace_action("replace", "Replace selection", "Replacement text for this exact selection",
                              "Replacement text", replace_target(context.region, s)));
  return r;
}

Resource search_results(const DocumentView& doc, const EditorContext& context) {
  Resource r("word-processor.search-results", "word_processor.search-results", "Search results");
  std::size_t n = 0;
  for (const SearchHit& hit : context.search_hits) {
    if (n == kMaxListedSearchHits) break;
    ++n;
    std::string label;
    if (auto found = find_block(doc, Region::Body, hit.block)) {
      const std::size_t count = hit.end > hit.start ? hit.end - hit.start : 0;
      label = "Result: " + excerpt(unicode::slice_chars(found->block->text, hit.start, count), "Empty match");
    } else {
      label = "Result " + std::to_string(n);
    }
    Resource child(
        "word-processor.search-hit:" + hit.block + ":" + std::to_string(hit.start) + ":" + std::to_string(hit.end),
        "word_processor.search-hit", std::move(label));
    child.add_action(view("go-to", "Go to result", command::NavigateTo{hit.block, hit.start, hit.end}));
    r.add_child(std::move(child));
  }
  return r;
}

Resource comment_resource(const folio::model::Comment& c) {
  Resource r("word-processor.comment:" + c.id, "word_processor.comment",
             "Comment by " + excerpt(c.author, kUnknownAuthor) + ": " + excerpt(c.text(), kEmptyComment));
  r.add_action(fixed("resolve", "Resolve comment", ResolveComment{c.id}));
  if (c.anchor) {
    r.add_action(view("go-to-anchor", "Go to commented text",
                      command::NavigateTo{c.anchor->block, c.anchor->start, c.anchor->end}));
  }
  ReplyToComment target{c.id, {}, {}, {}};
  r.add_action(ActionSpec("reply", "Reply to comment",
                          Encoder::from_args([target = std::move(target)](const ActionArgs& args) -> Encoded {
                            ReplyToComment op = target;
                            auto checked = author_text(args, "reply author is required and reply text is too long",
                                                       op.author, op.text, op.date);
                            if (!checked) return checked;
                            return encode(op);
                          }))
                   .with_input_summary("Reply text and author, stored in the shared comment thread")
                   .with_params({ActionParam::text("author", true, "Reply author"),
                                 ActionParam::text("text", true, "Reply text"),
                                 ActionParam::text("date", false, "ISO-8601 reply date")}));
  for (const folio::model::Reply& reply : c.replies) {
    r.add_child(
        Resource("word-processor.comment-reply:" + c.id + ":" + reply.id, "word_processor.comment-reply",
                 "Reply by " + excerpt(reply.author, kUnknownAuthor) + ": " + excerpt(reply.text(), kEmptyReply)));
  }
  return r;
}

Resource review(const DocumentView& doc) {
  Resource r("word-processor.review", "word_processor.review", "Review");
  if (!doc.changes.empty()) {
    r.add_action(fixed("accept-all", "Accept all changes", AcceptChanges{std::nullopt}));
    r.add_action(fixed("reject-all", "Reject all changes", RejectChanges{std::nullopt}));
  }
  for (const folio::model::Comment& c : doc.comments) r.add_child(comment_resource(c));
  for (const folio::model::TrackedChange& change : doc.changes) {
    const std::string_view what = change.kind == folio::model::ChangeKind::Insertion ? "Insertion" : "Deletion";
    Resource child("word-processor.change:" + change.id, "word_processor.change",
                   std::string(what) + " by " + excerpt(change.author, kUnknownAuthor));
    child.add_action(fixed("accept", "Accept change", AcceptChanges{change.id}));
    child.add_action(fixed("reject", "Reject change", RejectChanges{change.id}));
    r.add_child(std::move(child));
  }
  return r;
}

std::optional<Resource> revisions(const crdt::Document& document) {
  const auto versions = folio::history::versions(document, "");
  if (versions.empty()) return std::nullopt;
  Resource r("word-processor.revisions", "word_processor.revisions", "Revision history");
  const std::size_t first = versions.size() > kMaxListedRevisions ? versions.size() - kMaxListedRevisions : 0;
  for (std::size_t i = first; i < versions.size(); ++i) {
    const folio::history::Version& v = versions[i];
    std::string label = v.message ? excerpt(*v.message, "Revision") : "Revision " + std::to_string(i + 1);
    Resource child("word-processor.revision:" + v.hash_hex, "word_processor.revision", std::move(label));
    child.add_action(view("show", "Show revision", command::ShowRevision{i}));
    r.add_child(std::move(child));
  }
  return r;
}

Resource styles(const DocumentView& doc) {
  Resource r("word-processor.styles", "word_processor.styles", "Paragraph styles");
  for (const auto& [id, props] : doc.styles) {
    Resource child("word-processor.style:" + id, "word_processor.style", id);
    const bool bold = folio::model::attr_bool(props, "bold").value_or(false);
    child.add_action(
        fixed("toggle-bold", bold ? "Remove bold" : "Make bold", SetStyleProperty{id, "bold", AttrValue(!bold)}));
    if (!is_builtin_style(id)) {
      std::vector<std::string> fallback;
      for (const Block* b : blocks_with_style(doc, id)) fallback.push_back(b->id);
      child.add_action(fixed("delete", "Delete style", DeleteStyle{id, std::move(fallback)}));
    }
    r.add_child(std::move(child));
  }
  return r;
}

Resource image_resource(const Image& image) {
  const std::string& id = image.block->id;
  Resource r("word-processor.image:" + id, "word_processor.image", "Image");
  r.add_action(fixed("delete", "Delete image", RemoveBlocks{{id}}));
  if (image.crop_left + image.crop_right <= 8500 && image.crop_top + image.crop_bottom <= 8500) {
    r.add_action(fixed("crop-inset", "Crop image by 5%",
                       SetImageCrop{id, image.crop_left + 250, image.crop_top + 250, image.crop_right + 250,
                                    image.crop_bottom + 250}));
  }
  if (image.crop_left != 0 || image.crop_top != 0 || image.crop_right != 0 || image.crop_bottom != 0) {
    r.add_action(fixed("reset-crop", "Reset crop", SetImageCrop{id, 0, 0, 0, 0}));
  }
  r.add_action(fixed("free-position", "Place freely on page", SetImagePlacement{id, "page", "none", 0, 0, 0}));
  r.add_action(fixed("flow-left", "Wrap text on right", SetImagePlacement{id, "paragraph", "left", 0, 0, 0}));
  r.add_action(fixed("flow-right", "Wrap text on left", SetImagePlacement{id, "paragraph", "right", 0, 0, 0}));
  return r;
}

Resource table_resource(const Table& table) {
  Resource r("word-processor.table:" + table.id, "word_processor.table", "Table");
  r.add_action(fixed("append-row", "Add row",
                     EditTable{table.id, table_edit::InsertRow{static_cast<std::uint64_t>(table.rows)}}));
  r.add_action(fixed("append-column", "Add column",
                     EditTable{table.id, table_edit::InsertColumn{static_cast<std::uint64_t>(table.cols)}}));
  r.add_action(fixed("delete", "Delete table", EditTable{table.id, table_edit::Delete{}}));
  for (const TableCell& cell : table.cells) {
    const std::int64_t row = cell.row.value_or(0) < 0 ? 0 : cell.row.value_or(0);
    const std::int64_t col = cell.col.value_or(0) < 0 ? 0 : cell.col.value_or(0);
    Resource child("word-processor.cell:" + cell.block->id, "word_processor.table-cell",
                   "Cell " + std::to_string(row + 1) + ", " + std::to_string(col + 1));
    child.add_action(
        fixed("delete-row", "Delete row", EditTable{table.id, table_edit::DeleteRow{static_cast<std::uint64_t>(row)}}));
    child.add_action(fixed("delete-column", "Delete column",
                           EditTable{table.id, table_edit::DeleteColumn{static_cast<std::uint64_t>(col)}}));
    child.add_action(view("go-to", "Go to cell", command::NavigateTo{cell.block->id, 0, char_length(*cell.block)}));
    r.add_child(std::move(child));
  }
  return r;
}

}  // namespace

std::string excerpt(std::string_view text, std::string_view fallback) {
  std::string collapsed;
  collapsed.reserve(text.size());
  bool in_space = false;
  std::size_t pos = 0;
  while (pos < text.size()) {
    const char32_t c = unicode::next_char(text, pos);
    if (unicode::is_white_space(c)) {
      in_space = true;
      continue;
    }
    if (in_space && !collapsed.empty()) collapsed.push_back(' ');
    in_space = false;
    unicode::append_utf8(collapsed, c);
  }
  if (collapsed.empty()) return std::string(fallback);
  if (unicode::char_count(collapsed) <= kMaxExcerptChars) return collapsed;
  return std::string(unicode::first_chars(collapsed, kMaxExcerptChars - 3)) + "…";
}

Resource directory(const crdt::Document& document, const EditorContext& context) {
  auto loaded = load_view(document);
  if (!loaded) {
    Resource root(std::string(kDocumentResourceId), "word_processor.document", "Document");
    add_leading_actions(root, context);
    return root;
  }
  return directory(document, *loaded, context);
}

Resource directory(const crdt::Document& document, const DocumentView& doc, const EditorContext& context) {
  Resource root(std::string(kDocumentResourceId), "word_processor.document", "Document");
  add_leading_actions(root, context);

  root.add_action(place_image(context));
  root.add_action(fixed("insert-page-break", "Insert page break",
                        InsertPageBreak{Region::Body, context.caret_block, context.caret_offset}));
  add_alignments(root, distinct(context.blocks));

  if (context.selection) root.add_child(selection_child(context));
  if (!context.search_hits.empty()) root.add_child(search_results(doc, context));
  if (!doc.comments.empty() || !doc.changes.empty()) root.add_child(review(doc));
  if (auto history = revisions(document)) root.add_child(std::move(*history));
  if (!doc.notes.empty()) {
    Resource notes("word-processor.notes", "word_processor.notes", "Notes");
    for (const folio::model::Note& note : doc.notes) {
      notes.add_child(Resource("word-processor.note:" + note.id, "word_processor.note",
                               note.marker + ": " + excerpt(note.text(), kEmptyNote)));
    }
    root.add_child(std::move(notes));
  }
  if (!doc.bookmarks.empty()) {
    Resource marks("word-processor.bookmarks", "word_processor.bookmarks", "Bookmarks");
    for (const folio::model::Bookmark& b : doc.bookmarks) {
      marks.add_child(Resource("word-processor.bookmark:" + b.name, "word_processor.bookmark", b.name));
    }
    root.add_child(std::move(marks));
  }
  if (!doc.styles.empty()) root.add_child(styles(doc));
  for (const Image& image : images(doc)) root.add_child(image_resource(image));
  for (const Table& table : tables(doc)) root.add_child(table_resource(table));
  for (const Heading& heading : headings(doc)) {
    Resource section("word-processor.section:" + heading.block->id, "word_processor.section",
                     excerpt(heading.block->text, "Heading"));
    add_alignments(section, {heading.block->id});
    root.add_child(std::move(section));
  }
  return root;
}

Result<void> register_action_type(actions::ActionRegistry& registry) {
  return registry.register_type<WordProcessorAction>(
      std::string(kActionOperationType),
      [](const Json& payload) -> std::expected<WordProcessorAction, std::string> {
        auto action = action_from_json(payload);
        if (!action) return std::unexpected(action.error().to_string());
        return std::move(*action);
      },
      [](const WordProcessorAction& action, crdt::Document& document, std::string_view) -> Result<actions::Applied> {
        QUERN_TRY(apply_word_processor_action(action, document));
        return actions::Applied::Changed;
      });
}

Result<std::optional<std::string>> single_image_content(const crdt::Document& document) {
  auto view = load_view(document);
  if (!view) return std::optional<std::string>();
  return single_image_content(document, *view);
}

Result<std::optional<std::string>> single_image_content(const crdt::Document& document, const DocumentView& view) {
  const auto pictures = images(view);
  if (pictures.size() != 1 || !pictures.front().blob) return std::optional<std::string>();
  auto schema = folio::model::open(document);
  if (!schema) return std::optional<std::string>();
  const std::string& hash = *pictures.front().blob;
  if (auto bytes = folio::model::blob_bytes(document, *schema, hash)) {
    auto stored = folio::blobstore::put(*bytes);
    if (!stored) return std::unexpected(std::move(stored).error().with_context("store the document's image"));
    return std::optional<std::string>(*stored);
  }
  if (folio::blobstore::get(hash)) return std::optional<std::string>(hash);
  return std::optional<std::string>();
}

}  // namespace quern::word_processor
