// Immutable bytes shared cheaply between owners: a document save on its way into a frame, or
// the document bytes of a received frame, viewed in place. Copies share the same bytes; nothing
// can change them, so a Blob may be handed to another thread.
//
// The bytes start on an 8-byte boundary and may be read up to the next multiple of 8 (the
// padding is zero for bytes made here), which lets a frame refer to them without copying.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

namespace quern::collab {

class Blob {
 public:
  Blob() = default;

  static Blob copy_of(std::span<const std::uint8_t> bytes);
  static Blob copy_of(std::string_view bytes);
  // Takes the vector over (it may grow by up to 7 zero bytes of padding).
  static Blob take(std::vector<std::uint8_t>&& bytes);
  // Bytes owned by `owner`. Precondition: `bytes.data()` is 8-byte aligned and readable up to the
  // next multiple of 8.
  static Blob view(std::shared_ptr<const void> owner, std::span<const std::uint8_t> bytes);

  std::span<const std::uint8_t> bytes() const { return {data_, size_}; }
  const std::uint8_t* data() const { return data_; }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  std::string_view as_text() const { return {reinterpret_cast<const char*>(data_), size_}; }
  std::vector<std::uint8_t> to_vector() const { return {data_, data_ + size_}; }

  bool operator==(const Blob& other) const;

 private:
  std::shared_ptr<const void> owner_;
  const std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace quern::collab
