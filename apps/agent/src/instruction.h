// Finding the paragraph a person addressed to the agent: a "paragraph" block whose text starts
// with the agent's name and a colon ("Claude: turn the bullets into a table"). Pure functions
// over a document view's blocks; no state.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "runtime/folio/document_view.h"

namespace quern::agent {

// An addressed paragraph: its block id and index in the list it was found in, and the request.
struct Instruction {
  std::size_t index = 0;
  std::string block;
  std::string request;  // what follows the name and colon, trimmed and lower-cased
  bool operator==(const Instruction&) const = default;
};

// The request when `text`, trimmed of white space and lower-cased, starts with the lower-cased
// `name` immediately followed by ":"; nothing otherwise. "  claude:Turn it " asks "turn it";
// "Claude : turn it" and "Hey Claude: turn it" ask nothing.
std::optional<std::string> addressed_request(std::string_view text, std::string_view name);

// The first block, in order, whose kind is exactly "paragraph" and whose text is addressed to
// `name`. Headings, list items, table cells and images never carry instructions.
std::optional<Instruction> find_instruction(std::span<const folio::model::Block> paragraphs, std::string_view name);

}  // namespace quern::agent
