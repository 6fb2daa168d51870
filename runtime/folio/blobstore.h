// The blob store: bytes kept by their content hash (SHA-256, 64 lower-case hex digits) in a
// directory shared by the participants of one machine, with an in-process cache. Steps hand
// produced content (rendered photographs, images) to each other by hash.
//
// Files live at <dir>/<first two hex digits>/<hash>. A write goes to a temporary file in the
// same folder which is flushed and then renamed over the final name, so readers see either
// nothing or the whole blob. Every read checks the bytes against their hash: a corrupt or
// truncated file is never returned as content (and the next put of those bytes repairs it).
//
// The directory is $QUERN_BLOB_DIR, else $XDG_DATA_HOME/quern/blobs, else
// ~/.local/share/quern/blobs, resolved at each call of the free functions. A Store may be used
// from several threads at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <list>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "runtime/util/error.h"

namespace quern::folio::blobstore {

using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;

// The content hash of the bytes (without storing them).
std::string hash_bytes(ByteView bytes);
std::string hash_bytes(std::string_view bytes);
// Whether `text` has the form of a content hash: 64 lower-case hex digits.
bool is_content_hash(std::string_view text);

class Store {
 public:
  // `cache_bytes` bounds the memory the cache of recently read or written blobs holds.
  explicit Store(std::filesystem::path dir, std::size_t cache_bytes = 128u << 20);

  const std::filesystem::path& dir() const { return dir_; }
  // Stores the bytes (creating the directory when needed) and returns their hash. Storing
  // bytes the store already holds intact writes nothing.
  Result<std::string> put(ByteView bytes);
  // The bytes with this hash, or nothing when the store does not hold them intact or `hash`
  // is not a content hash.
  std::optional<Bytes> get(std::string_view hash);
  bool contains(std::string_view hash);
  // The path a blob is kept at (whether or not it exists); `hash` must be a content hash.
  std::filesystem::path path_of(std::string_view hash) const;

 private:
  std::optional<Bytes> cached(const std::string& hash);
  void remember(const std::string& hash, const Bytes& bytes);

  std::filesystem::path dir_;
  std::size_t cache_limit_;
  std::mutex mu_;
  std::list<std::pair<std::string, Bytes>> lru_;  // most recent first
  std::unordered_map<std::string, std::list<std::pair<std::string, Bytes>>::iterator> by_hash_;
  std::size_t cache_size_ = 0;
};

// The directory of the machine's blob store, from the environment as described above.
std::filesystem::path default_dir();
// The process's store for `default_dir()` (one per directory, kept for the process's life).
Store& default_store();

Result<std::string> put(ByteView bytes);
std::optional<Bytes> get(std::string_view hash);

// What kind of content the bytes are: the media type ("image/png", "image/jpeg", "image/gif",
// "image/webp", "image/bmp", ... "application/octet-stream" when unknown) and, for pictures,
// the width and height in pixels read from the header (0 when the header does not say).
struct MediaInfo {
  std::string media_type;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  bool operator==(const MediaInfo&) const = default;
};
MediaInfo sniff(ByteView bytes);

}  // namespace quern::folio::blobstore
