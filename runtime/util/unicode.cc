#include "runtime/util/unicode.h"

#include <unicode/locid.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

namespace quern::unicode {

namespace {

// Decodes one well-formed sequence at `pos`: its scalar value and length, or length 0 when the
// bytes there do not form one.
std::size_t decode_at(std::string_view text, std::size_t pos, char32_t& out) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char b0 = byte(pos);
  if (b0 < 0x80) {
    out = b0;
    return 1;
  }
  std::size_t len = 0;
  char32_t c = 0;
  char32_t min = 0;
  if ((b0 & 0xE0) == 0xC0) {
    len = 2, c = b0 & 0x1F, min = 0x80;
  } else if ((b0 & 0xF0) == 0xE0) {
    len = 3, c = b0 & 0x0F, min = 0x800;
  } else if ((b0 & 0xF8) == 0xF0) {
    len = 4, c = b0 & 0x07, min = 0x10000;
  } else {
    return 0;
  }
  if (pos + len > text.size()) return 0;
  for (std::size_t i = 1; i < len; ++i) {
    const unsigned char b = byte(pos + i);
    if ((b & 0xC0) != 0x80) return 0;
    c = (c << 6) | (b & 0x3F);
  }
  if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return 0;
  out = c;
  return len;
}

}  // namespace

char32_t next_char(std::string_view text, std::size_t& pos) {
  char32_t c = 0;
  const std::size_t len = decode_at(text, pos, c);
  if (len == 0) {
    ++pos;
    return 0xFFFD;
  }
  pos += len;
  return c;
}

void append_utf8(std::string& out, char32_t c) {
  if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = 0xFFFD;
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

std::u32string decode(std::string_view text) {
  std::u32string out;
  out.reserve(text.size());
  for (std::size_t pos = 0; pos < text.size();) out.push_back(next_char(text, pos));
  return out;
}

std::string encode(std::u32string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char32_t c : text) append_utf8(out, c);
  return out;
}

bool is_valid_utf8(std::string_view text) {
  char32_t c = 0;
  for (std::size_t pos = 0; pos < text.size();) {
    const std::size_t len = decode_at(text, pos, c);
    if (len == 0) return false;
    pos += len;
  }
  return true;
}

bool is_white_space(char32_t c) { return u_isUWhiteSpace(static_cast<UChar32>(c)) != 0; }

bool is_letter(char32_t c) { return u_hasBinaryProperty(static_cast<UChar32>(c), UCHAR_ALPHABETIC) != 0; }

bool is_digit(char32_t c) {
  const auto mask = U_GET_GC_MASK(static_cast<UChar32>(c));
  return (mask & (U_GC_ND_MASK | U_GC_NL_MASK | U_GC_NO_MASK)) != 0;
}

std::string_view trim(std::string_view text) {
  std::size_t begin = 0;
  while (begin < text.size()) {
    std::size_t next = begin;
    if (!is_white_space(next_char(text, next))) break;
    begin = next;
  }
  std::size_t end = begin;
  for (std::size_t pos = begin; pos < text.size();) {
    const char32_t c = next_char(text, pos);
    if (!is_white_space(c)) end = pos;
  }
  return text.substr(begin, end - begin);
}

std::string to_lower(std::string_view text) {
  bool ascii = true;
  for (char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80) {
      ascii = false;
      break;
    }
  }
  std::string out;
  if (ascii) {
    out.assign(text);
    for (auto& c : out) {
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
  }
  // Malformed sequences become U+FFFD first, so ICU always sees well-formed text.
  const std::string clean = encode(decode(text));
  icu::UnicodeString u =
      icu::UnicodeString::fromUTF8(icu::StringPiece(clean.data(), static_cast<int32_t>(clean.size())));
  u.toLower(icu::Locale::getRoot());
  u.toUTF8String(out);
  return out;
}

std::size_t char_count(std::string_view text) {
  std::size_t n = 0;
  for (std::size_t pos = 0; pos < text.size(); ++n) next_char(text, pos);
  return n;
}

std::optional<std::size_t> byte_offset(std::string_view text, std::size_t chars) {
  std::size_t pos = 0;
  for (std::size_t i = 0; i < chars; ++i) {
    if (pos >= text.size()) return std::nullopt;
    next_char(text, pos);
  }
  return pos;
}

std::optional<std::size_t> char_offset(std::string_view text, std::size_t bytes) {
  if (bytes > text.size()) return std::nullopt;
  std::size_t pos = 0;
  std::size_t n = 0;
  while (pos < bytes) {
    next_char(text, pos);
    ++n;
  }
  if (pos != bytes) return std::nullopt;
  return n;
}

std::string_view slice_chars(std::string_view text, std::size_t start, std::size_t count) {
  std::size_t pos = 0;
  for (std::size_t i = 0; i < start && pos < text.size(); ++i) next_char(text, pos);
  std::size_t end = pos;
  for (std::size_t i = 0; i < count && end < text.size(); ++i) next_char(text, end);
  return text.substr(pos, end - pos);
}

}  // namespace quern::unicode
