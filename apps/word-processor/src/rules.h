// The rules that decide whether a WordProcessorAction may be applied to the current state of
// a document: ids that name live blocks, offsets within their texts, values within their
// ranges, the block attribute and style property tables, and the limits on texts and lists.
// The applier rejects an action that fails any rule with kStaleOrUnsafe, whichever rule it
// was; `check_action` also says which one, for logs and tests. Reads only; same thread as the
// document.
#pragma once

#include <cstddef>
#include <string_view>

#include "apps/word-processor/src/action.h"
#include "apps/word-processor/src/doc_state.h"
#include "runtime/util/error.h"

namespace quern::word_processor {

inline constexpr std::string_view kStaleOrUnsafe =
    "action targets are stale or its arguments are outside Writer's safe limits";

// Every inserted text (and every string mark value) is at most this many characters.
inline constexpr std::size_t kTextLimit = 1'000'000;
// The most spans, clip blocks and table-of-contents entries one operation carries.
inline constexpr std::size_t kMaxListItems = 10'000;
inline constexpr std::size_t kMaxAuthorChars = 256;
inline constexpr std::size_t kMaxDateChars = 128;
inline constexpr std::uint64_t kMaxTableSide = 100;

bool within_text_limit(std::string_view text);
// Not only white space, and at most kMaxAuthorChars characters.
bool is_valid_author(std::string_view author);
bool is_valid_date(std::string_view date);
// A value that SetBlockAttr may write under `key`; a value that SetStyleProperty may write.
bool block_attr_passes(std::string_view key, const AttrValue& value);
bool style_property_passes(std::string_view key, const AttrValue& value);

// Success when every rule of the action holds in `state`; otherwise the failed rule.
Result<void> check_action(const WordProcessorAction& action, DocState& state);

}  // namespace quern::word_processor
