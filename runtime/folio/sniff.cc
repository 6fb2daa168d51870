// Media type and picture size from the first bytes of a file (blobstore::sniff).
#include <cstring>

#include "runtime/folio/blobstore.h"

namespace quern::folio::blobstore {

namespace {

bool starts_with(ByteView b, std::string_view magic, std::size_t at = 0) {
  return b.size() >= at + magic.size() && std::memcmp(b.data() + at, magic.data(), magic.size()) == 0;
}
std::uint32_t be16(ByteView b, std::size_t at) { return (std::uint32_t{b[at]} << 8) | b[at + 1]; }
std::uint32_t le16(ByteView b, std::size_t at) { return b[at] | (std::uint32_t{b[at + 1]} << 8); }
std::uint32_t be32(ByteView b, std::size_t at) { return (be16(b, at) << 16) | be16(b, at + 2); }
std::uint32_t le24(ByteView b, std::size_t at) { return le16(b, at) | (std::uint32_t{b[at + 2]} << 16); }
std::uint32_t le32(ByteView b, std::size_t at) { return le16(b, at) | (le16(b, at + 2) << 16); }

MediaInfo png(ByteView b) {
  MediaInfo m{"image/png"};
  if (b.size() >= 24 && starts_with(b, "IHDR", 12)) {
    m.width = be32(b, 16);
    m.height = be32(b, 20);
  }
  return m;
}

// Walks the marker segments up to the first start-of-frame, which holds the size.
MediaInfo jpeg(ByteView b) {
  MediaInfo m{"image/jpeg"};
  std::size_t i = 2;
  while (i + 4 <= b.size()) {
    if (b[i] != 0xFF) return m;
    const std::uint8_t marker = b[i + 1];
    if (marker == 0xFF) {  // fill byte
      ++i;
      continue;
    }
    if (marker == 0xD8 || marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) {  // no length
      i += 2;
      continue;
    }
    if (marker == 0xD9 || marker == 0xDA) return m;  // end of image, start of scan
    const std::uint32_t len = be16(b, i + 2);
    if (len < 2) return m;
    const bool sof = marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
    if (sof) {
      if (i + 9 > b.size()) return m;
      m.height = be16(b, i + 5);
      m.width = be16(b, i + 7);
      return m;
    }
    i += 2 + len;
  }
  return m;
}

MediaInfo gif(ByteView b) {
  MediaInfo m{"image/gif"};
  if (b.size() >= 10) {
    m.width = le16(b, 6);
    m.height = le16(b, 8);
  }
  return m;
}

MediaInfo webp(ByteView b) {
  MediaInfo m{"image/webp"};
  if (starts_with(b, "VP8 ", 12) && b.size() >= 30 && b[23] == 0x9D && b[24] == 0x01 && b[25] == 0x2A) {
    m.width = le16(b, 26) & 0x3FFF;
    m.height = le16(b, 28) & 0x3FFF;
  } else if (starts_with(b, "VP8L", 12) && b.size() >= 25 && b[20] == 0x2F) {
    const std::uint32_t bits = le32(b, 21);
    m.width = (bits & 0x3FFF) + 1;
    m.height = ((bits >> 14) & 0x3FFF) + 1;
  } else if (starts_with(b, "VP8X", 12) && b.size() >= 30) {
    m.width = le24(b, 24) + 1;
    m.height = le24(b, 27) + 1;
  }
  return m;
}

// The sizes of the DIB headers BMP files use (core, info, v2 to v5).
bool is_bmp_header_size(std::uint32_t n) {
  return n == 12 || n == 40 || n == 52 || n == 56 || n == 64 || n == 108 || n == 124;
}

MediaInfo bmp(ByteView b) {
  MediaInfo m{"image/bmp"};
  if (b.size() < 18) return m;
  const std::uint32_t header = le32(b, 14);
  if (header == 12 && b.size() >= 22) {
    m.width = le16(b, 18);
    m.height = le16(b, 20);
  } else if (header >= 40 && b.size() >= 26) {
    const auto w = static_cast<std::int32_t>(le32(b, 18));
    const auto h = static_cast<std::int32_t>(le32(b, 22));  // negative: rows stored top-down
    m.width = w < 0 ? 0u : static_cast<std::uint32_t>(w);
    m.height = h == INT32_MIN ? 0u : static_cast<std::uint32_t>(h < 0 ? -h : h);
  }
  return m;
}

}  // namespace

MediaInfo sniff(ByteView b) {
  if (starts_with(b, "\x89PNG\r\n\x1a\n")) return png(b);
  if (b.size() >= 3 && b[0] == 0xFF && b[1] == 0xD8 && b[2] == 0xFF) return jpeg(b);
  if (starts_with(b, "GIF87a") || starts_with(b, "GIF89a")) return gif(b);
  if (starts_with(b, "RIFF") && starts_with(b, "WEBP", 8)) return webp(b);
  if (starts_with(b, "BM") && b.size() >= 26 && is_bmp_header_size(le32(b, 14))) return bmp(b);
  if (starts_with(b, "%PDF-")) return {"application/pdf"};
  return {"application/octet-stream"};
}

}  // namespace quern::folio::blobstore
