// Unicode helpers for UTF-8 text. Offsets and lengths that people and operations use count
// Unicode scalar values ("characters"), never bytes; these functions convert between the two.
// Malformed UTF-8 is never trusted: each byte that does not start a valid sequence counts as one
// character (U+FFFD) so that counting and slicing stay consistent on any input.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace quern::unicode {

// Decodes the scalar value starting at `pos` and advances `pos` past it.
char32_t next_char(std::string_view text, std::size_t& pos);
void append_utf8(std::string& out, char32_t c);
std::u32string decode(std::string_view text);
std::string encode(std::u32string_view text);
bool is_valid_utf8(std::string_view text);

bool is_white_space(char32_t c);  // the White_Space property
bool is_letter(char32_t c);       // the Alphabetic property
bool is_digit(char32_t c);        // general categories Nd, Nl, No
inline bool is_letter_or_digit(char32_t c) { return is_letter(c) || is_digit(c); }

// Trims white space (the White_Space property) from both ends.
std::string_view trim(std::string_view text);
// Full lower-casing with the root locale (so a final capital sigma becomes a final sigma).
std::string to_lower(std::string_view text);

std::size_t char_count(std::string_view text);
// Byte offset of the `chars`-th character; nothing when the text is shorter than that.
std::optional<std::size_t> byte_offset(std::string_view text, std::size_t chars);
// Character offset of a byte offset; nothing when it is beyond the text or inside a character.
std::optional<std::size_t> char_offset(std::string_view text, std::size_t bytes);
// The characters [start, start + count) (clamped to the text).
std::string_view slice_chars(std::string_view text, std::size_t start, std::size_t count);
inline std::string_view first_chars(std::string_view text, std::size_t count) { return slice_chars(text, 0, count); }

}  // namespace quern::unicode
