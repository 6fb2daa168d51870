// SHA-256 digests: raw 32 bytes, or the 64 lower-case hex digits used for change hashes and
// content references.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace quern {

using Sha256Digest = std::array<std::uint8_t, 32>;

Sha256Digest sha256(std::span<const std::uint8_t> bytes);
Sha256Digest sha256(std::string_view bytes);
std::string sha256_hex(std::string_view bytes);

std::string to_hex(std::span<const std::uint8_t> bytes);
// False (and `out` untouched) when the text has an odd length or a non-hex character.
bool from_hex(std::string_view hex, std::string& out);

// Incremental hashing for data that arrives in pieces.
class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;
  void update(std::span<const std::uint8_t> bytes);
  void update(std::string_view bytes);
  Sha256Digest finish();

 private:
  void* ctx_;
};

}  // namespace quern
