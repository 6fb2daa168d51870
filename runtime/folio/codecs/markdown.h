// Markdown in and out of folio documents (GitHub-flavoured, with tables and strikethrough).
// Stateless and thread-safe.
//
// Import gives a fragment (fragment.h) that DocMut::insert_fragment writes into a region:
//   paragraph          -> "paragraph"
//   heading            -> "heading", "level" 1 to 6
//   list item          -> "list_item", "level" (0 at the top, one more per nesting),
//                         "ordered" (true for numbered lists); further paragraphs of the same
//                         item join its text after a line break
//   paragraph in a block quote -> "quote"
//   code block         -> "code" (text without the last line break), "language" when given
//   thematic break     -> "rule"
//   HTML block         -> "paragraph" holding the HTML as text
//   table              -> one "cell" per cell, row-major: "table" (a fragment-local id),
//                         "row", "col" (0-based; the header row is row 0), "align" when set
//   image              -> "image" block with "src" (the URL; for "blob:<hash>" the hash goes
//                         to "blob" instead) and "alt"; text before and after it stays in
//                         blocks of its own
// Inline: emphasis "italic", strong emphasis "bold", strikethrough "strike", code spans
// "code" (all Bool true), links "link" (the URL); soft line breaks read as spaces, hard ones as
// "\n".
//
// Export writes a document's body (then its notes as footnotes) as readable, deterministic
// markdown: headings with "#"s, list items indented four spaces a level and numbered per run,
// quotes, fenced code, tables as pipe tables in row-major order of their grid (at the place
// of their first cell), images as "![alt](blob:<hash>)". Empty paragraphs, white space at the
// start of a line (markdown would drop it or read it as code) and the attributes markdown has
// no syntax for (alignment, styles, page breaks, ...) are left out. Tombstoned blocks are not
// in a view, so they never appear.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "runtime/folio/document_view.h"
#include "runtime/folio/fragment.h"
#include "runtime/util/error.h"

namespace quern::folio::codecs {

// A document format that text can be imported from and a document exported to.
class FormatProvider {
 public:
  virtual ~FormatProvider() = default;
  virtual std::string_view name() const = 0;
  virtual Result<model::Fragment> import(std::string_view text) const = 0;
  virtual std::string export_document(const model::DocumentView& view) const = 0;
};

namespace markdown {

class MarkdownCodec final : public FormatProvider {
 public:
  std::string_view name() const override { return "markdown"; }
  Result<model::Fragment> import(std::string_view text) const override;
  std::string export_document(const model::DocumentView& view) const override;
  // The markdown of a list of blocks (a region, a comment body).
  std::string export_blocks(const std::vector<model::Block>& blocks) const;
};

}  // namespace markdown
}  // namespace quern::folio::codecs
