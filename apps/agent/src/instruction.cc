#include "apps/agent/src/instruction.h"

#include "runtime/util/unicode.h"

namespace quern::agent {

std::optional<std::string> addressed_request(std::string_view text, std::string_view name) {
  const std::string lowered = unicode::to_lower(unicode::trim(text));
  const std::string prefix = unicode::to_lower(name) + ":";
  if (!lowered.starts_with(prefix)) return std::nullopt;
  return std::string(unicode::trim(std::string_view(lowered).substr(prefix.size())));
}

std::optional<Instruction> find_instruction(std::span<const folio::model::Block> paragraphs, std::string_view name) {
  for (std::size_t i = 0; i < paragraphs.size(); ++i) {
    const folio::model::Block& b = paragraphs[i];
    if (b.kind != "paragraph") continue;
    if (auto request = addressed_request(b.text, name)) return Instruction{i, b.id, std::move(*request)};
  }
  return std::nullopt;
}

}  // namespace quern::agent
