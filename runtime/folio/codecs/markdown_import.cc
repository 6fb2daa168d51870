// Markdown import: walks the cmark-gfm tree with its iterator (no recursion, so deeply nested
// input cannot exhaust the stack) and builds fragment blocks.
#include <cmark-gfm-core-extensions.h>
#include <cmark-gfm.h>

#include <memory>
#include <string>
#include <vector>

#include "runtime/folio/codecs/markdown.h"
#include "runtime/util/unicode.h"

namespace quern::folio::codecs::markdown {

using model::Fragment;
using model::FragmentBlock;
using model::FragmentMark;

namespace {

constexpr std::string_view kBlobScheme = "blob:";

struct NodeDeleter {
  void operator()(cmark_node* n) const { cmark_node_free(n); }
};
struct ParserDeleter {
  void operator()(cmark_parser* p) const { cmark_parser_free(p); }
};
struct IterDeleter {
  void operator()(cmark_iter* i) const { cmark_iter_free(i); }
};

std::string_view type_name(cmark_node* n) {
  const char* s = cmark_node_get_type_string(n);
  return s ? std::string_view(s) : std::string_view();
}
bool is_block(cmark_node* n) { return (cmark_node_get_type(n) & CMARK_NODE_TYPE_MASK) == CMARK_NODE_TYPE_BLOCK; }
std::string literal(cmark_node* n) {
  const char* s = cmark_node_get_literal(n);
  return s ? std::string(s) : std::string();
}

// The text of one block as it is being read, with the marks closed so far and those open.
class InlineText {
 public:
  void append(std::string_view s) {
    text_ += s;
    chars_ += unicode::char_count(s);
  }
  void open(std::string name, crdt::ScalarValue value) { open_.push_back({std::move(name), std::move(value), chars_}); }
  void close() {
    if (open_.empty()) return;
    Open o = std::move(open_.back());
    open_.pop_back();
    if (o.start < chars_) marks_.push_back(FragmentMark{o.start, chars_, std::move(o.name), std::move(o.value)});
  }
  bool empty() const { return text_.empty(); }

  // Ends the text into `block`: trims white space at both ends and moves the marks with it.
  // Marks still open are cut at the end and continue from 0 in what follows.
  void finish_into(FragmentBlock& block) {
    for (Open& o : open_)
      if (o.start < chars_) marks_.push_back(FragmentMark{o.start, chars_, o.name, o.value});
    std::string_view t = text_;
    std::size_t lead = 0;
    while (lead < t.size() && (t[lead] == ' ' || t[lead] == '\t' || t[lead] == '\n')) ++lead;
    std::size_t end = t.size();
    while (end > lead && (t[end - 1] == ' ' || t[end - 1] == '\t' || t[end - 1] == '\n')) --end;
    block.text = std::string(t.substr(lead, end - lead));
    const std::size_t len = unicode::char_count(block.text);
    for (FragmentMark& m : marks_) {
      const std::size_t s = m.start > lead ? m.start - lead : 0;
      const std::size_t e = std::min(m.end > lead ? m.end - lead : 0, len);
      if (s < e) block.marks.push_back(FragmentMark{s, e, std::move(m.name), std::move(m.value)});
    }
    text_.clear();
    chars_ = 0;
    marks_.clear();
    for (Open& o : open_) o.start = 0;
  }

 private:
  struct Open {
    std::string name;
    crdt::ScalarValue value;
    std::size_t start;
  };
  std::string text_;
  std::size_t chars_ = 0;
  std::vector<FragmentMark> marks_;
  std::vector<Open> open_;
};

enum class Container { List, Item, Quote, Other };

class Importer {
 public:
  Fragment run(cmark_node* root) {
    std::unique_ptr<cmark_iter, IterDeleter> iter(cmark_iter_new(root));
    cmark_event_type ev;
    while ((ev = cmark_iter_next(iter.get())) != CMARK_EVENT_DONE) {
      cmark_node* n = cmark_iter_get_node(iter.get());
      if (ev == CMARK_EVENT_ENTER)
        enter(n);
      else if (ev == CMARK_EVENT_EXIT)
        exit(n);
    }
    return std::move(out_);
  }

 private:
  struct Frame {
    Container kind;
    bool ordered = false;
    long item_block = -1;  // the list_item block an item's first paragraph became
  };

  int list_depth() const {
    int d = 0;
    for (const Frame& f : stack_) d += f.kind == Container::List;
    return d;
  }
  bool in_quote() const {
    for (const Frame& f : stack_)
      if (f.kind == Container::Quote) return true;
    return false;
  }
  bool ordered_list() const {
    for (auto it = stack_.rbegin(); it != stack_.rend(); ++it)
      if (it->kind == Container::List) return it->ordered;
    return false;
  }
  Frame* innermost() { return stack_.empty() ? nullptr : &stack_.back(); }

  void begin_leaf(FragmentBlock block, bool keep_empty = false) {
    pending_ = std::move(block);
    keep_empty_ = keep_empty;
    in_leaf_ = true;
  }
  // Ends the leaf block being read; empty ones are dropped unless they must stay (cells).
  void end_leaf() {
    if (!in_leaf_) return;
    in_leaf_ = false;
    const long continued = continue_item_;
    continue_item_ = -1;
    FragmentBlock block = std::move(pending_);
    text_.finish_into(block);
    if (block.text.empty() && !keep_empty_) return;
    if (continued >= 0) {
      FragmentBlock& item = out_.blocks[static_cast<std::size_t>(continued)];
      const std::size_t shift = unicode::char_count(item.text) + 1;
      item.text += "\n" + block.text;
      for (FragmentMark& m : block.marks)
        item.marks.push_back(FragmentMark{m.start + shift, m.end + shift, m.name, m.value});
      return;
    }
    if (Frame* f = innermost(); f && f->kind == Container::Item && block.kind == "list_item" && f->item_block < 0)
      f->item_block = static_cast<long>(out_.blocks.size());
    out_.blocks.push_back(std::move(block));
  }

  void enter_paragraph() {
    FragmentBlock b;
    Frame* f = innermost();
    if (f && f->kind == Container::Item) {
      if (f->item_block >= 0) {
        continue_item_ = f->item_block;
      } else {
        b.kind = "list_item";
        b.attrs["level"] = static_cast<std::int64_t>(std::max(0, list_depth() - 1));
        b.attrs["ordered"] = ordered_list();
      }
    } else if (in_quote()) {
      b.kind = "quote";
    }
    begin_leaf(std::move(b));
  }

  void image(cmark_node* n) {
    const char* url = cmark_node_get_url(n);
    std::string src = url ? url : "";
    // The alt text is the image's children; read it and skip them.
    std::string alt;
    {
      std::unique_ptr<cmark_iter, IterDeleter> it(cmark_iter_new(n));
      cmark_event_type ev;
      while ((ev = cmark_iter_next(it.get())) != CMARK_EVENT_DONE)
        if (ev == CMARK_EVENT_ENTER && cmark_iter_get_node(it.get()) != n)
          alt += literal(cmark_iter_get_node(it.get()));
    }
    skip_until_exit_ = n;
    if (in_cell_) {
      text_.append(alt);
      return;
    }
    // Text before the image stays in its block; the image gets one; what follows gets another.
    FragmentBlock rest;
    rest.kind = pending_.kind == "list_item" ? "paragraph" : pending_.kind;
    const bool had_leaf = in_leaf_;
    end_leaf();
    FragmentBlock img;
    img.kind = "image";
    if (src.starts_with(kBlobScheme))
      img.attrs["blob"] = src.substr(kBlobScheme.size());
    else
      img.attrs["src"] = src;
    if (!alt.empty()) img.attrs["alt"] = alt;
    out_.blocks.push_back(std::move(img));
    if (had_leaf) begin_leaf(std::move(rest));
  }

  void enter(cmark_node* n) {
    if (skip_until_exit_) return;
    const std::string_view ext = type_name(n);
    switch (cmark_node_get_type(n)) {
      case CMARK_NODE_DOCUMENT: return;
      case CMARK_NODE_BLOCK_QUOTE: stack_.push_back({Container::Quote}); return;
      case CMARK_NODE_LIST:
        stack_.push_back({Container::List, cmark_node_get_list_type(n) == CMARK_ORDERED_LIST});
        return;
      case CMARK_NODE_ITEM: stack_.push_back({Container::Item}); return;
      case CMARK_NODE_PARAGRAPH: enter_paragraph(); return;
      case CMARK_NODE_HEADING: {
        FragmentBlock b;
        b.kind = "heading";
        b.attrs["level"] = static_cast<std::int64_t>(cmark_node_get_heading_level(n));
        begin_leaf(std::move(b));
        return;
      }
      case CMARK_NODE_CODE_BLOCK: {
        FragmentBlock b;
        b.kind = "code";
        b.text = literal(n);
        if (b.text.ends_with('\n')) b.text.pop_back();
        if (const char* info = cmark_node_get_fence_info(n); info && *info) {
          std::string lang(info);
          lang = lang.substr(0, lang.find(' '));
          if (!lang.empty()) b.attrs["language"] = lang;
        }
        out_.blocks.push_back(std::move(b));
        return;
      }
      case CMARK_NODE_HTML_BLOCK: {
        FragmentBlock b;
        b.text = std::string(unicode::trim(literal(n)));
        if (!b.text.empty()) out_.blocks.push_back(std::move(b));
        return;
      }
      case CMARK_NODE_THEMATIC_BREAK: {
        FragmentBlock b;
        b.kind = "rule";
        out_.blocks.push_back(std::move(b));
        return;
      }
      case CMARK_NODE_TEXT:
      case CMARK_NODE_HTML_INLINE: text_.append(literal(n)); return;
      case CMARK_NODE_SOFTBREAK: text_.append(" "); return;
      case CMARK_NODE_LINEBREAK: text_.append("\n"); return;
      case CMARK_NODE_CODE:
        text_.open("code", true);
        text_.append(literal(n));
        text_.close();
        return;
      case CMARK_NODE_EMPH: text_.open("italic", true); return;
      case CMARK_NODE_STRONG: text_.open("bold", true); return;
      case CMARK_NODE_LINK: {
        const char* url = cmark_node_get_url(n);
        text_.open("link", std::string(url ? url : ""));
        return;
      }
      case CMARK_NODE_IMAGE: image(n); return;
      case CMARK_NODE_FOOTNOTE_REFERENCE: text_.append("[^" + literal(n) + "]"); return;
      default: break;
    }
    if (ext == "strikethrough") {
      text_.open("strike", true);
    } else if (ext == "table") {
      table_ = "t" + std::to_string(tables_++);
      row_ = -1;
      cmark_node* parent = n;
      columns_ = cmark_gfm_extensions_get_table_columns(parent);
      const uint8_t* al = cmark_gfm_extensions_get_table_alignments(parent);
      align_.assign(al ? al : reinterpret_cast<const uint8_t*>(""),
                    al ? al + columns_ : reinterpret_cast<const uint8_t*>(""));
      stack_.push_back({Container::Other});
    } else if (ext == "table_row" || ext == "table_header") {
      ++row_;
      col_ = -1;
    } else if (ext == "table_cell") {
      ++col_;
      FragmentBlock b;
      b.kind = "cell";
      b.attrs["table"] = table_;
      b.attrs["row"] = static_cast<std::int64_t>(row_);
      b.attrs["col"] = static_cast<std::int64_t>(col_);
      if (col_ >= 0 && static_cast<std::size_t>(col_) < align_.size()) {
        const uint8_t a = align_[static_cast<std::size_t>(col_)];
        if (a == 'l') b.attrs["align"] = std::string("left");
        if (a == 'c') b.attrs["align"] = std::string("center");
        if (a == 'r') b.attrs["align"] = std::string("right");
      }
      in_cell_ = true;
      begin_leaf(std::move(b), true);
    } else if (is_block(n) && cmark_node_first_child(n)) {
      stack_.push_back({Container::Other});
    }
  }

  void exit(cmark_node* n) {
    if (skip_until_exit_) {
      if (n == skip_until_exit_) skip_until_exit_ = nullptr;
      return;
    }
    const std::string_view ext = type_name(n);
    switch (cmark_node_get_type(n)) {
      case CMARK_NODE_DOCUMENT: return;
      case CMARK_NODE_BLOCK_QUOTE:
      case CMARK_NODE_LIST:
      case CMARK_NODE_ITEM:
        if (!stack_.empty()) stack_.pop_back();
        return;
      case CMARK_NODE_PARAGRAPH:
      case CMARK_NODE_HEADING: end_leaf(); return;
      case CMARK_NODE_EMPH:
      case CMARK_NODE_STRONG:
      case CMARK_NODE_LINK: text_.close(); return;
      default: break;
    }
    if (ext == "strikethrough") {
      text_.close();
    } else if (ext == "table_cell") {
      end_leaf();
      in_cell_ = false;
    } else if (ext == "table" ||
               (is_block(n) && ext != "table_row" && ext != "table_header" && cmark_node_first_child(n))) {
      if (!stack_.empty()) stack_.pop_back();
    }
  }

  Fragment out_;
  std::vector<Frame> stack_;
  InlineText text_;
  FragmentBlock pending_;
  bool in_leaf_ = false;
  bool keep_empty_ = false;
  long continue_item_ = -1;
  cmark_node* skip_until_exit_ = nullptr;
  bool in_cell_ = false;
  std::string table_;
  int tables_ = 0;
  long row_ = -1, col_ = -1;
  unsigned columns_ = 0;
  std::vector<uint8_t> align_;
};

}  // namespace

Result<Fragment> MarkdownCodec::import(std::string_view text) const {
  cmark_gfm_core_extensions_ensure_registered();
  std::unique_ptr<cmark_parser, ParserDeleter> parser(cmark_parser_new(CMARK_OPT_VALIDATE_UTF8));
  if (!parser) return fail("the markdown parser could not be created");
  for (const char* name : {"table", "strikethrough"})
    if (cmark_syntax_extension* ext = cmark_find_syntax_extension(name))
      cmark_parser_attach_syntax_extension(parser.get(), ext);
  cmark_parser_feed(parser.get(), text.data(), text.size());
  std::unique_ptr<cmark_node, NodeDeleter> root(cmark_parser_finish(parser.get()));
  if (!root) return fail("the markdown could not be parsed");
  return Importer().run(root.get());
}

}  // namespace quern::folio::codecs::markdown
