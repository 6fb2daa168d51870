#include "runtime/util/sha256.h"

#include <openssl/evp.h>

namespace quern {

Sha256::Sha256() : ctx_(EVP_MD_CTX_new()) { EVP_DigestInit_ex(static_cast<EVP_MD_CTX*>(ctx_), EVP_sha256(), nullptr); }

Sha256::~Sha256() { EVP_MD_CTX_free(static_cast<EVP_MD_CTX*>(ctx_)); }

void Sha256::update(std::span<const std::uint8_t> bytes) {
  EVP_DigestUpdate(static_cast<EVP_MD_CTX*>(ctx_), bytes.data(), bytes.size());
}

void Sha256::update(std::string_view bytes) {
  EVP_DigestUpdate(static_cast<EVP_MD_CTX*>(ctx_), bytes.data(), bytes.size());
}

Sha256Digest Sha256::finish() {
  Sha256Digest out{};
  unsigned int len = 0;
  EVP_DigestFinal_ex(static_cast<EVP_MD_CTX*>(ctx_), out.data(), &len);
  return out;
}

Sha256Digest sha256(std::span<const std::uint8_t> bytes) {
  Sha256 h;
  h.update(bytes);
  return h.finish();
}

Sha256Digest sha256(std::string_view bytes) {
  Sha256 h;
  h.update(bytes);
  return h.finish();
}

std::string sha256_hex(std::string_view bytes) { return to_hex(sha256(bytes)); }

std::string to_hex(std::span<const std::uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (std::uint8_t b : bytes) {
    out.push_back(kDigits[b >> 4]);
    out.push_back(kDigits[b & 0xF]);
  }
  return out;
}

bool from_hex(std::string_view hex, std::string& out) {
  if (hex.size() % 2 != 0) return false;
  const auto nibble = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  std::string result;
  result.reserve(hex.size() / 2);
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    const int hi = nibble(hex[i]);
    const int lo = nibble(hex[i + 1]);
    if (hi < 0 || lo < 0) return false;
    result.push_back(static_cast<char>((hi << 4) | lo));
  }
  out = std::move(result);
  return true;
}

}  // namespace quern
