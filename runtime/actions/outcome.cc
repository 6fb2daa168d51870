#include "runtime/actions/outcome.h"

namespace quern::actions::outcome {
namespace {

bool is_hash(std::string_view text) {
  if (text.size() != 64) return false;
  for (char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

}  // namespace

ResourceRef content_ref(std::string_view hash) {
  return ResourceRef{"content:" + std::string(hash), std::string(kContentKind)};
}

std::optional<std::string> content_hash(const ResourceRef& ref) {
  if (ref.kind != kContentKind) return std::nullopt;
  std::string_view id = ref.id;
  if (id.starts_with("content:")) id.remove_prefix(8);
  if (!is_hash(id)) return std::nullopt;
  return std::string(id);
}

}  // namespace quern::actions::outcome
