// The current state of a word-processor document as the operation rules read it, for one call
// of the applier: blocks looked up by id through a DocMut's block caches (so a check costs what
// it reads, not the size of the document), and the whole document view, materialized on first
// use, for the rules that need more than single blocks (tables, comments, changes). Reads
// only; answers are those of the view of the document at the time of the call, as long as
// nothing is written while the DocState is in use. Same thread as the document.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "apps/word-processor/src/view.h"
#include "runtime/folio/doc_mut.h"

namespace quern::word_processor {

class DocState {
 public:
  explicit DocState(folio::model::DocMut& mut) : mut_(mut) {}
  DocState(const DocState&) = delete;
  DocState& operator=(const DocState&) = delete;

  const crdt::Document& document() const { return mut_.document(); }
  const folio::model::Schema& schema() const { return mut_.schema(); }

  using BlockInfo = folio::model::DocMut::BlockInfo;
  // The kind and length of the live block of `region` with exactly this id; nullptr when there
  // is none. The pointer stays valid for the DocState's life.
  const BlockInfo* block(Region region, std::string_view id);
  // All of that block (text, attributes, marks).
  std::optional<Block> whole_block(Region region, std::string_view id);
  // Its position in the region's list (compare two to tell which comes first).
  std::optional<std::size_t> position(Region region, std::string_view id);
  // The whole view; an error when the document cannot be materialized.
  Result<const DocumentView*> view();

 private:
  folio::model::DocMut& mut_;
  std::array<std::unordered_map<std::string, std::optional<BlockInfo>>, 3> blocks_;
  std::optional<DocumentView> view_;
};

}  // namespace quern::word_processor
