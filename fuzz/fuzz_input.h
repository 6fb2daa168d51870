// Shared by the loader fuzz targets: turns the fuzzer's bytes into loader input. The first byte
// chooses how: as they are (the framing and checksum are attacked), or wrapped in a valid
// chunk frame, plain or compressed, so that the decoders behind the checksum are reached too.
#pragma once

#include <cstddef>
#include <cstdint>

#include "runtime/crdt/codec.h"

namespace quern::crdt::fuzz {

inline Bytes loader_input(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return {};
  const std::uint8_t mode = data[0] % 4;
  ByteView rest(data + 1, size - 1);
  switch (mode) {
    case 1: return detail::frame_chunk(detail::ChunkKind::Document, rest);
    case 2: return detail::frame_chunk(detail::ChunkKind::Changes, rest);
    default: return Bytes(rest.begin(), rest.end());
  }
}

}  // namespace quern::crdt::fuzz
