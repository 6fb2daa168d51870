#include "runtime/util/uuid.h"

#include <uuid/uuid.h>

#include "runtime/util/sha256.h"

namespace quern {

Uuid Uuid::new_v4() {
  uuid_t raw;
  uuid_generate_random(raw);
  std::array<std::uint8_t, 16> bytes{};
  for (std::size_t i = 0; i < 16; ++i) bytes[i] = raw[i];
  return Uuid(bytes);
}

std::optional<Uuid> Uuid::parse(std::string_view text) {
  if (text.starts_with("urn:uuid:")) {
    text.remove_prefix(9);
  } else if (text.size() >= 2 && text.front() == '{' && text.back() == '}') {
    text = text.substr(1, text.size() - 2);
  }
  std::string digits;
  if (text.size() == 36) {
    for (std::size_t i = 0; i < 36; ++i) {
      const bool hyphen_place = i == 8 || i == 13 || i == 18 || i == 23;
      if (hyphen_place != (text[i] == '-')) return std::nullopt;
      if (!hyphen_place) digits.push_back(text[i]);
    }
  } else if (text.size() == 32) {
    digits.assign(text);
  } else {
    return std::nullopt;
  }
  std::string raw;
  if (!from_hex(digits, raw)) return std::nullopt;
  std::array<std::uint8_t, 16> bytes{};
  for (std::size_t i = 0; i < 16; ++i) bytes[i] = static_cast<std::uint8_t>(raw[i]);
  return Uuid(bytes);
}

std::string Uuid::to_string() const {
  const std::string hex = to_hex(bytes_);
  return hex.substr(0, 8) + "-" + hex.substr(8, 4) + "-" + hex.substr(12, 4) + "-" + hex.substr(16, 4) + "-" +
         hex.substr(20);
}

}  // namespace quern
