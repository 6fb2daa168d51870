#include "runtime/folio/blobstore.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <random>

#include "runtime/util/sha256.h"

namespace quern::folio::blobstore {

namespace fs = std::filesystem;

std::string hash_bytes(ByteView bytes) { return to_hex(sha256(bytes)); }
std::string hash_bytes(std::string_view bytes) { return sha256_hex(bytes); }

bool is_content_hash(std::string_view text) {
  if (text.size() != 64) return false;
  for (char c : text)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  return true;
}

namespace {

std::string errno_text() { return std::strerror(errno); }

// Writes all of `bytes` to `fd`; false on any failure.
bool write_all(int fd, ByteView bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

std::optional<Bytes> read_file(const fs::path& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  Bytes out;
  std::uint8_t buf[1 << 16];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      ::close(fd);
      return std::nullopt;
    }
    if (n == 0) break;
    out.insert(out.end(), buf, buf + n);
  }
  ::close(fd);
  return out;
}

std::string random_suffix() {
  static thread_local std::mt19937_64 rng{std::random_device{}()};
  return std::to_string(rng());
}

}  // namespace

Store::Store(fs::path dir, std::size_t cache_bytes) : dir_(std::move(dir)), cache_limit_(cache_bytes) {}

fs::path Store::path_of(std::string_view hash) const {
  return dir_ / std::string(hash.substr(0, 2)) / std::string(hash);
}

std::optional<Bytes> Store::cached(const std::string& hash) {
  std::lock_guard lock(mu_);
  auto it = by_hash_.find(hash);
  if (it == by_hash_.end()) return std::nullopt;
  lru_.splice(lru_.begin(), lru_, it->second);
  return it->second->second;
}

void Store::remember(const std::string& hash, const Bytes& bytes) {
  if (bytes.size() > cache_limit_) return;
  std::lock_guard lock(mu_);
  if (by_hash_.contains(hash)) return;
  lru_.emplace_front(hash, bytes);
  by_hash_[hash] = lru_.begin();
  cache_size_ += bytes.size();
  while (cache_size_ > cache_limit_ && !lru_.empty()) {
    cache_size_ -= lru_.back().second.size();
    by_hash_.erase(lru_.back().first);
    lru_.pop_back();
  }
}

Result<std::string> Store::put(ByteView bytes) {
  const std::string hash = hash_bytes(bytes);
  const fs::path final_path = path_of(hash);
  if (auto existing = read_file(final_path); existing && hash_bytes(*existing) == hash) {
    remember(hash, *existing);
    return hash;
  }
  std::error_code ec;
  fs::create_directories(final_path.parent_path(), ec);
  if (ec) return fail("cannot create the blob directory " + final_path.parent_path().string() + ": " + ec.message());
  const fs::path tmp = final_path.parent_path() / (".tmp-" + hash.substr(0, 16) + "-" + random_suffix());
  const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) return fail("cannot create " + tmp.string() + ": " + errno_text());
  const bool written = write_all(fd, bytes) && ::fsync(fd) == 0;
  const std::string write_error = written ? "" : errno_text();
  if (::close(fd) != 0 || !written) {
    ::unlink(tmp.c_str());
    return fail("cannot write the blob " + hash + ": " + write_error);
  }
  if (::rename(tmp.c_str(), final_path.c_str()) != 0) {
    const std::string why = errno_text();
    ::unlink(tmp.c_str());
    return fail("cannot move the blob " + hash + " into place: " + why);
  }
  remember(hash, Bytes(bytes.begin(), bytes.end()));
  return hash;
}

std::optional<Bytes> Store::get(std::string_view hash) {
  if (!is_content_hash(hash)) return std::nullopt;
  const std::string key(hash);
  if (auto hit = cached(key)) return hit;
  auto bytes = read_file(path_of(hash));
  if (!bytes || hash_bytes(*bytes) != hash) return std::nullopt;
  remember(key, *bytes);
  return bytes;
}

bool Store::contains(std::string_view hash) { return get(hash).has_value(); }

fs::path default_dir() {
  if (const char* dir = std::getenv("QUERN_BLOB_DIR"); dir && *dir) return fs::path(dir);
  if (const char* data = std::getenv("XDG_DATA_HOME"); data && *data) return fs::path(data) / "quern" / "blobs";
  const char* home = std::getenv("HOME");
  return fs::path(home && *home ? home : ".") / ".local" / "share" / "quern" / "blobs";
}

Store& default_store() {
  static std::mutex mu;
  static std::map<fs::path, std::unique_ptr<Store>> stores;
  const fs::path dir = default_dir();
  std::lock_guard lock(mu);
  auto& store = stores[dir];
  if (!store) store = std::make_unique<Store>(dir);
  return *store;
}

Result<std::string> put(ByteView bytes) { return default_store().put(bytes); }
std::optional<Bytes> get(std::string_view hash) { return default_store().get(hash); }

}  // namespace quern::folio::blobstore
