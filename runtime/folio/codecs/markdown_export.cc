// Markdown export of document views (see markdown.h for the conventions).
#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <unordered_set>

#include "runtime/folio/codecs/markdown.h"
#include "runtime/util/unicode.h"

namespace quern::folio::codecs::markdown {

using model::Block;

namespace {

// Grids larger than this are written as plain paragraphs (attributes may come from anyone).
constexpr std::int64_t kMaxGridSide = 1000;

bool is_space(char32_t c) { return c == ' ' || c == '\t' || c == '\n'; }

// Escapes characters that markdown would read as syntax. `line_start` is whether the text
// begins a line.
void escape_into(std::string& out, std::u32string_view text, bool in_table, bool line_start) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char32_t c = text[i];
    if (c == '\n') {
      out += "\\\n";
      line_start = true;
      continue;
    }
    if (line_start && (c == ' ' || c == '\t')) continue;  // would indent into a code block
    if (line_start) {
      // Block syntax at the start of a line: headings, quotes, list markers, setext lines.
      if (c == '#' || c == '>' || c == '+' || c == '-' || c == '=') out.push_back('\\');
      if (c >= '0' && c <= '9') {
        std::size_t j = i;
        while (j < text.size() && text[j] >= '0' && text[j] <= '9') ++j;
        if (j < text.size() && (text[j] == '.' || text[j] == ')')) {
          for (; i < j; ++i) out.push_back(static_cast<char>(text[i]));
          out.push_back('\\');
          out.push_back(static_cast<char>(text[j]));
          i = j;
          line_start = false;
          continue;
        }
      }
    }
    line_start = false;
    switch (c) {
      case '\\':
      case '`':
      case '*':
      case '_':
      case '[':
      case ']':
      case '<':
      case '~': out.push_back('\\'); break;
      case '|':
        if (in_table) out.push_back('\\');
        break;
      case '&':
        if (i + 1 < text.size() &&
            (text[i + 1] == '#' || (text[i + 1] < 0x80 && std::isalnum(static_cast<int>(text[i + 1])))))
          out.push_back('\\');
        break;
      default: break;
    }
    unicode::append_utf8(out, c);
  }
}

std::string code_span(std::u32string_view text) {
  std::size_t longest = 0, run = 0;
  for (char32_t c : text) {
    run = c == '`' ? run + 1 : 0;
    longest = std::max(longest, run);
  }
  const std::string fence(longest + 1, '`');
  std::string body = unicode::encode(text);
  for (char& ch : body)
    if (ch == '\n') ch = ' ';
  const bool pad = !body.empty() && (body.front() == '`' || body.back() == '`' || body.front() == ' ');
  return fence + (pad ? " " : "") + body + (pad ? " " : "") + fence;
}

std::string link_target(const std::string& url) {
  if (url.find_first_of(" ()<>") == std::string::npos && !url.empty()) return url;
  std::string out = "<";
  for (char c : url) {
    if (c == '<' || c == '>' || c == '\\') out.push_back('\\');
    out.push_back(c == '\n' ? ' ' : c);
  }
  return out + ">";
}

struct Format {
  std::string name;   // "link", "bold", "italic", "strike", "code"
  std::string value;  // the link target
  std::size_t start, end;
  std::size_t index = 0;  // which span it is
  std::string delim;      // the delimiter it was opened with
  bool operator==(const Format& o) const { return index == o.index; }
};

int rank(const std::string& name) {  // outermost first
  if (name == "link") return 0;
  if (name == "bold") return 1;
  if (name == "italic") return 2;
  if (name == "strike") return 3;
  return 4;  // code
}

std::string delimiter(const std::string& name, bool underscore) {
  if (name == "bold") return underscore ? "__" : "**";
  if (name == "italic") return underscore ? "_" : "*";
  if (name == "strike") return "~~";
  return "";
}

std::string closer(const Format& f) {
  if (f.name == "link") return "](" + link_target(f.value) + ")";
  return f.delim;
}

bool is_word_char(char32_t c) { return unicode::is_letter_or_digit(c); }

// The text with its formatting marks as markdown inline syntax. Marks nest in markdown, so a
// mark that overlaps another's end is closed and opened again. An opening delimiter right
// after a closing one of the same character would merge with it; there the underscore form is
// used, and where that cannot close either (inside a word) the rest of that mark is left out:
// formatting may be lost, the text never is.
std::string render_inline(const Block& block, bool in_table) {
  const std::u32string text = unicode::decode(block.text);
  std::vector<Format> spans;
  for (const crdt::MarkSpan& m : block.marks) {
    std::string value;
    if (m.name == "link") {
      if (!m.value.as_str()) continue;
      value = *m.value.as_str();
    } else if (m.name == "bold" || m.name == "italic" || m.name == "strike" || m.name == "code") {
      if (!m.value.as_bool() || !*m.value.as_bool()) continue;
    } else {
      continue;
    }
    std::size_t s = std::min(m.start, text.size()), e = std::min(m.end, text.size());
    // Delimiters must touch the text they enclose, so white space at the edges stays outside.
    if (m.name != "code") {
      while (s < e && is_space(text[s])) ++s;
      while (e > s && is_space(text[e - 1])) --e;
    }
    if (s < e) spans.push_back(Format{m.name, value, s, e, spans.size(), ""});
  }
  std::string out;
  if (spans.empty()) {
    escape_into(out, text, in_table, true);
    return out;
  }
  std::set<std::size_t> cuts{0, text.size()};
  for (const Format& f : spans) {
    cuts.insert(f.start);
    cuts.insert(f.end);
  }
  const std::vector<std::size_t> bounds(cuts.begin(), cuts.end());
  std::vector<Format> open;
  std::vector<bool> dropped(spans.size(), false);
  std::string held;  // white space held back until the marks closing after it are closed
  for (std::size_t k = 0; k + 1 < bounds.size(); ++k) {
    const std::size_t a = bounds[k], b = bounds[k + 1];
    std::vector<Format> active;
    for (const Format& f : spans)
      if (f.start <= a && f.end >= b && !dropped[f.index]) active.push_back(f);
    std::sort(active.begin(), active.end(), [](const Format& x, const Format& y) {
      return rank(x.name) != rank(y.name) ? rank(x.name) < rank(y.name) : x.end > y.end;
    });
    // Close from the innermost down to the first open mark that no longer applies.
    std::size_t keep = 0;
    while (keep < open.size() && std::find(active.begin(), active.end(), open[keep]) != active.end()) ++keep;
    const bool closing = keep < open.size();
    for (std::size_t i = open.size(); i > keep; --i) out += closer(open[i - 1]);
    open.resize(keep);
    out += held;
    held.clear();
    const std::size_t closed_end = closing ? out.size() : std::string::npos;
    std::size_t from = a;
    const bool opening = std::any_of(active.begin(), active.end(), [&](const Format& f) {
      return std::find(open.begin(), open.end(), f) == open.end();
    });
    if (opening)
      while (from < b && is_space(text[from]) && text[from] != '\n') unicode::append_utf8(out, text[from++]);
    bool in_code = false;
    for (Format f : active) {
      if (std::find(open.begin(), open.end(), f) != open.end()) continue;
      if (f.name == "code") {
        in_code = true;
        continue;
      }
      if (f.name == "link") {
        out += "[";
      } else {
        const std::string star = delimiter(f.name, false);
        const bool merges = out.size() == closed_end && out.back() == star.back();
        if (merges && f.name == "strike") {
          dropped[f.index] = true;
          continue;
        }
        if (merges && f.end < text.size() && is_word_char(text[f.end])) {
          dropped[f.index] = true;
          continue;
        }
        f.delim = delimiter(f.name, merges);
        out += f.delim;
      }
      open.push_back(f);
    }
    std::size_t to = b;
    while (to > from && is_space(text[to - 1]) && text[to - 1] != '\n') --to;
    const std::u32string_view piece(text.data() + from, to - from);
    if (in_code)
      out += code_span(piece);
    else
      escape_into(out, piece, in_table, from == 0);
    for (std::size_t i = to; i < b; ++i) unicode::append_utf8(held, text[i]);
  }
  for (std::size_t i = open.size(); i > 0; --i) out += closer(open[i - 1]);
  out += held;
  return out;
}

std::string indent_lines(const std::string& text, const std::string& prefix) {
  std::string out;
  for (char c : text) {
    out.push_back(c);
    if (c == '\n') out += prefix;
  }
  return out;
}

std::string fenced(const Block& b) {
  std::size_t longest = 0, run = 0;
  for (char c : b.text) {
    run = c == '`' ? run + 1 : 0;
    longest = std::max(longest, run);
  }
  const std::string fence(std::max<std::size_t>(3, longest + 1), '`');
  std::string lang;
  if (const std::string* l = model::attr_str(b.attrs, "language")) lang = *l;
  for (char& c : lang)
    if (c == '`' || c == '\n' || c == ' ') c = '_';
  return fence + lang + "\n" + b.text + (b.text.empty() ? "" : "\n") + fence;
}

std::string image(const Block& b) {
  std::string alt = "image";
  if (const std::string* a = model::attr_str(b.attrs, "alt"); a && !a->empty()) alt = *a;
  std::string escaped;
  escape_into(escaped, unicode::decode(alt), false, false);
  std::string target;
  if (const std::string* blob = model::attr_str(b.attrs, "blob"))
    target = "blob:" + *blob;
  else if (const std::string* src = model::attr_str(b.attrs, "src"))
    target = *src;
  return "![" + escaped + "](" + link_target(target) + ")";
}

struct Table {
  std::int64_t rows = 0, cols = 0;
  std::map<std::pair<std::int64_t, std::int64_t>, const Block*> cells;
};

// A cell's table id, when it belongs to a table: a string "table", integer "row" and "col".
const std::string* table_of(const Block& b) {
  if (b.kind != "cell") return nullptr;
  const std::string* id = model::attr_str(b.attrs, "table");
  const auto row = model::attr_int(b.attrs, "row"), col = model::attr_int(b.attrs, "col");
  if (!id || !row || !col || *row < 0 || *col < 0 || *row >= kMaxGridSide || *col >= kMaxGridSide) return nullptr;
  return id;
}

std::string render_table(const Table& t) {
  std::string out;
  const auto cell_text = [&](std::int64_t r, std::int64_t c) {
    auto it = t.cells.find({r, c});
    if (it == t.cells.end()) return std::string();
    std::string s = render_inline(*it->second, true);
    std::string flat;
    for (std::size_t i = 0; i < s.size(); ++i) {
      if (s[i] == '\\' && i + 1 < s.size() && s[i + 1] == '\n') {
        flat.push_back(' ');
        ++i;
      } else {
        flat.push_back(s[i] == '\n' ? ' ' : s[i]);
      }
    }
    return flat;
  };
  for (std::int64_t r = 0; r < t.rows; ++r) {
    out += "|";
    for (std::int64_t c = 0; c < t.cols; ++c) {
      const std::string s = cell_text(r, c);
      out += s.empty() ? " |" : " " + s + " |";
    }
    out += "\n";
    if (r == 0) {
      out += "|";
      for (std::int64_t c = 0; c < t.cols; ++c) {
        std::string align;
        if (auto it = t.cells.find({0, c}); it != t.cells.end())
          if (const std::string* a = model::attr_str(it->second->attrs, "align")) align = *a;
        out += align == "center" ? " :---: |" : align == "right" ? " ---: |" : align == "left" ? " :--- |" : " --- |";
      }
      out += "\n";
    }
  }
  if (!out.empty()) out.pop_back();
  return out;
}

}  // namespace

std::string MarkdownCodec::export_blocks(const std::vector<Block>& blocks) const {
  std::map<std::string, Table, std::less<>> tables;
  for (const Block& b : blocks) {
    const std::string* id = table_of(b);
    if (!id) continue;
    Table& t = tables[*id];
    const std::int64_t r = *model::attr_int(b.attrs, "row"), c = *model::attr_int(b.attrs, "col");
    t.cells.try_emplace({r, c}, &b);
    t.rows = std::max(t.rows, r + 1);
    t.cols = std::max(t.cols, c + 1);
  }
  std::unordered_set<std::string> written_tables;
  std::vector<std::pair<std::string, bool>> parts;  // text, whether it follows a list item of its list
  std::vector<std::int64_t> numbers(10, 0);
  std::vector<int> kinds(10, 0);  // per level: 0 none, 1 bullet, 2 numbered
  bool last_was_item = false;
  for (const Block& b : blocks) {
    const bool item = b.kind == "list_item";
    const bool after_item = last_was_item;
    last_was_item = item;
    if (!item) std::fill(kinds.begin(), kinds.end(), 0);
    if (const std::string* id = table_of(b)) {
      if (!written_tables.insert(*id).second) continue;
      parts.emplace_back(render_table(tables.at(*id)), false);
      continue;
    }
    if (b.kind == "image") {
      parts.emplace_back(image(b), false);
      continue;
    }
    if (b.kind == "rule") {
      parts.emplace_back("---", false);
      continue;
    }
    if (b.kind == "code") {
      parts.emplace_back(fenced(b), false);
      continue;
    }
    std::string text = render_inline(b, false);
    if (text.empty()) continue;
    if (b.kind == "heading") {
      const auto level = std::clamp<std::int64_t>(model::attr_int(b.attrs, "level").value_or(1), 1, 6);
      parts.emplace_back(std::string(static_cast<std::size_t>(level), '#') + " " + indent_lines(text, ""), false);
    } else if (item) {
      const auto level =
          static_cast<std::size_t>(std::clamp<std::int64_t>(model::attr_int(b.attrs, "level").value_or(0), 0, 9));
      const bool ordered = model::attr_bool(b.attrs, "ordered").value_or(false);
      for (std::size_t l = level + 1; l < kinds.size(); ++l) kinds[l] = 0;
      const int kind = ordered ? 2 : 1;
      // A top-level item of the other kind starts a list of its own, after a blank line.
      const bool same_list = after_item && !(level == 0 && kinds[0] != kind);
      if (kinds[level] != kind) numbers[level] = 0;
      kinds[level] = kind;
      const std::string marker = ordered ? std::to_string(++numbers[level]) + ". " : "- ";
      const std::string indent(4 * level, ' ');
      parts.emplace_back(indent + marker + indent_lines(text, indent + std::string(marker.size(), ' ')), same_list);
    } else if (b.kind == "quote") {
      parts.emplace_back("> " + indent_lines(text, "> "), false);
    } else {
      parts.emplace_back(text, false);
    }
  }
  std::string out;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (i > 0) out += parts[i].second ? "\n" : "\n\n";
    out += parts[i].first;
  }
  if (!out.empty()) out += "\n";
  return out;
}

std::string MarkdownCodec::export_document(const model::DocumentView& view) const {
  std::string out = export_blocks(view.body());
  std::string notes;
  for (const model::Note& n : view.notes) {
    std::string marker = n.marker.empty() ? n.id : n.marker;
    for (char& c : marker)
      if (c == ' ' || c == ']' || c == '\n') c = '_';
    std::string text;
    escape_into(text, unicode::decode(n.text()), false, false);
    notes += "[^" + marker + "]: " + text + "\n";
  }
  if (!notes.empty()) out += (out.empty() ? "" : "\n") + notes;
  return out;
}

}  // namespace quern::folio::codecs::markdown
