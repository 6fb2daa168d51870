// UUIDs: random version 4 ids, parsing, and the hyphenated lower-case text form.
#pragma once

#include <array>
#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quern {

class Uuid {
 public:
  Uuid() = default;  // the nil UUID
  explicit Uuid(const std::array<std::uint8_t, 16>& bytes) : bytes_(bytes) {}

  static Uuid new_v4();
  // Accepts the hyphenated form, the 32-digit form, and either wrapped in braces or prefixed
  // by "urn:uuid:"; hex digits in either case.
  static std::optional<Uuid> parse(std::string_view text);

  std::string to_string() const;  // hyphenated, lower case
  const std::array<std::uint8_t, 16>& bytes() const { return bytes_; }
  bool is_nil() const { return bytes_ == std::array<std::uint8_t, 16>{}; }

  auto operator<=>(const Uuid&) const = default;

 private:
  std::array<std::uint8_t, 16> bytes_{};
};

}  // namespace quern
