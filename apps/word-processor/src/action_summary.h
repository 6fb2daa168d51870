// What a WordProcessorAction is called and what it touches, for the announcements, logs and run
// steps of the code that carries operations out. Pure functions of the action; they read no
// document, so a target may name something that no longer exists.
#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "apps/word-processor/src/action.h"

namespace quern::word_processor {

// "splice text (+3 -1)" (characters inserted and removed), "set style heading" (the kind),
// "insert table 2x3" (rows, columns), "insert paragraph", "remove 2 block(s)" (the listed
// blocks), and the variant name ("ReplaceSelection", ...) for every other operation.
std::string operation_label(const WordProcessorAction& action);

// A range of characters of one block, a touched target of kind "document".
struct DocumentRange {
  std::string block;
  std::uint64_t start = 0;
  std::uint64_t end = 0;
  bool operator==(const DocumentRange&) const = default;
};
// Nothing, text ranges, or ids (of blocks, a table, a style, a comment or a change).
using TouchedTargets = std::variant<std::monostate, std::vector<DocumentRange>, std::vector<std::string>>;

TouchedTargets touched_targets(const WordProcessorAction& action);

}  // namespace quern::word_processor
