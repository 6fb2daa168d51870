// A document fragment: blocks with their text, marks and attributes, detached from any
// document. Importers (codecs/markdown.h) produce fragments; DocMut::insert_fragment writes
// one into a region. Plain values.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "runtime/crdt/types.h"
#include "runtime/folio/document_view.h"

namespace quern::folio::model {

struct FragmentMark {
  std::size_t start = 0;  // characters of the block's text, [start, end)
  std::size_t end = 0;
  std::string name;
  crdt::ScalarValue value;  // a boolean, integer or string
  bool operator==(const FragmentMark&) const = default;
};

struct FragmentBlock {
  std::string kind = "paragraph";
  std::string text;
  std::vector<FragmentMark> marks;
  // Table cells carry "table" (a table id local to the fragment; insert_fragment replaces it
  // with a freshly minted id, the same for every cell of one table), "row" and "col".
  Attrs attrs;
  bool operator==(const FragmentBlock&) const = default;
};

struct Fragment {
  std::vector<FragmentBlock> blocks;
  bool operator==(const Fragment&) const = default;
};

}  // namespace quern::folio::model
