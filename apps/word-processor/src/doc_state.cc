#include "apps/word-processor/src/doc_state.h"

#include "runtime/folio/materialize.h"

namespace quern::word_processor {

const DocState::BlockInfo* DocState::block(Region region, std::string_view id) {
  auto& cache = blocks_[static_cast<std::size_t>(region)];
  std::string key(id);
  auto it = cache.find(key);
  if (it == cache.end()) it = cache.emplace(std::move(key), mut_.block_info(region, id)).first;
  return it->second ? &*it->second : nullptr;
}

std::optional<Block> DocState::whole_block(Region region, std::string_view id) { return mut_.block(region, id); }

std::optional<std::size_t> DocState::position(Region region, std::string_view id) { return mut_.position(region, id); }

Result<const DocumentView*> DocState::view() {
  if (!view_) view_ = QUERN_TRY(folio::model::materialize(document(), schema()));
  return &*view_;
}

}  // namespace quern::word_processor
