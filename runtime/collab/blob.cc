#include "runtime/collab/blob.h"

#include <algorithm>
#include <cstring>

namespace quern::collab {

Blob Blob::copy_of(std::span<const std::uint8_t> bytes) {
  return take(std::vector<std::uint8_t>(bytes.begin(), bytes.end()));
}

Blob Blob::copy_of(std::string_view bytes) {
  const auto* p = reinterpret_cast<const std::uint8_t*>(bytes.data());
  return copy_of(std::span<const std::uint8_t>(p, bytes.size()));
}

Blob Blob::take(std::vector<std::uint8_t>&& bytes) {
  const std::size_t size = bytes.size();
  if (size == 0) return Blob();
  bytes.resize((size + 7) / 8 * 8, 0);  // operator new aligns to at least 16 bytes
  auto owner = std::make_shared<const std::vector<std::uint8_t>>(std::move(bytes));
  Blob b;
  b.data_ = owner->data();
  b.size_ = size;
  b.owner_ = std::move(owner);
  return b;
}

Blob Blob::view(std::shared_ptr<const void> owner, std::span<const std::uint8_t> bytes) {
  Blob b;
  if (bytes.empty()) return b;
  b.owner_ = std::move(owner);
  b.data_ = bytes.data();
  b.size_ = bytes.size();
  return b;
}

bool Blob::operator==(const Blob& other) const {
  return size_ == other.size_ && (size_ == 0 || std::memcmp(data_, other.data_, size_) == 0);
}

}  // namespace quern::collab
