// The hyperlink target check: which targets a "link" mark may carry. Used by the operation
// rules and by the action directory's "set-hyperlink". Stateless and thread-safe.
//
// A target passes when it is non-empty, has no white space at either end, is at most 2048
// characters, and is one of:
//   - a bookmark: "#" followed by an identifier token (1 to 128 ASCII letters, digits, "-", "_");
//   - an https URL with a host and with neither user name nor password;
//   - a mailto URL whose address has a non-empty part before an "@" and something after it.
// Every other scheme fails (http, javascript, data, file, ...).
#pragma once

#include <cstddef>
#include <string_view>

namespace quern::word_processor {

inline constexpr std::size_t kMaxHyperlinkChars = 2048;

bool is_safe_hyperlink_target(std::string_view target);

}  // namespace quern::word_processor
