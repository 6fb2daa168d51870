// The blob store on real files in a temporary directory, and the media sniffer on pictures
// written by the real encoders.
#include "runtime/folio/blobstore.h"

#include <gif_lib.h>
#include <gtest/gtest.h>
#include <jpeglib.h>
#include <png.h>
#include <stdlib.h>
#include <webp/encode.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "tests/support/temp_dir.h"

namespace quern::folio::blobstore {
namespace {

namespace fs = std::filesystem;

Bytes bytes_of(std::string_view s) { return Bytes(s.begin(), s.end()); }

std::vector<fs::path> files_under(const fs::path& dir) {
  std::vector<fs::path> out;
  if (!fs::exists(dir)) return out;
  for (const auto& e : fs::recursive_directory_iterator(dir))
    if (e.is_regular_file()) out.push_back(e.path());
  return out;
}

TEST(BlobStore, PutThenGetGivesTheBytesBackUnderTheirSha256) {
  quern::test::TempDir tmp;
  Store store(tmp.path() + "/blobs");
  const Bytes data = bytes_of("hello blobs");
  const std::string hash = *store.put(data);
  EXPECT_EQ(hash, "0e4ab7734cca19155d6d73d4f04defe5381f3376d6c237ea52087aab31f2ccab");
  EXPECT_EQ(hash, hash_bytes(std::string_view("hello blobs")));
  EXPECT_TRUE(is_content_hash(hash));
  EXPECT_EQ(store.get(hash), data);
  // On disk under its hash, with no temporary file left behind.
  const auto files = files_under(tmp.path() + "/blobs");
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(files[0], store.path_of(hash));
  EXPECT_EQ(files[0].parent_path().filename(), hash.substr(0, 2));
  // A second store on the same directory (another process, say) reads it from the file.
  Store other(tmp.path() + "/blobs");
  EXPECT_EQ(other.get(hash), data);
  EXPECT_TRUE(other.contains(hash));
  EXPECT_EQ(*other.put(data), hash);
  EXPECT_EQ(files_under(tmp.path() + "/blobs").size(), 1u);
}

TEST(BlobStore, NeverReturnsCorruptOrTruncatedFilesAndRepairsThemOnPut) {
  quern::test::TempDir tmp;
  const Bytes data = bytes_of(std::string(10000, 'x') + "end");
  const std::string hash = *Store(tmp.path()).put(data);
  const fs::path path = Store(tmp.path()).path_of(hash);
  struct Case {
    std::string what;
    std::string content;
  };
  for (const Case& c : {Case{"truncated", std::string(5000, 'x')},
                        Case{"flipped byte", std::string(10000, 'x') + "enD"}, Case{"empty", ""}}) {
    quern::test::write_file(path.string(), c.content);
    Store fresh(tmp.path());
    EXPECT_EQ(fresh.get(hash), std::nullopt) << c.what;
    EXPECT_FALSE(fresh.contains(hash)) << c.what;
    EXPECT_EQ(*fresh.put(data), hash) << c.what;
    EXPECT_EQ(Store(tmp.path()).get(hash), data) << c.what;
  }
  fs::remove(path);
  EXPECT_EQ(Store(tmp.path()).get(hash), std::nullopt);
}

TEST(BlobStore, RefusesNamesThatAreNotContentHashes) {
  quern::test::TempDir tmp;
  quern::test::write_file(tmp.file("secret"), "do not read");
  Store store(tmp.path() + "/blobs");
  for (const std::string& bad :
       std::vector<std::string>{"", "../secret", "../../etc/passwd", "ABCDEF", std::string(64, 'g'),
                                std::string(63, 'a'), "../" + std::string(61, 'a')}) {
    EXPECT_FALSE(is_content_hash(bad)) << bad;
    EXPECT_EQ(store.get(bad), std::nullopt) << bad;
  }
  EXPECT_FALSE(is_content_hash(std::string(64, 'A')));
}

TEST(BlobStore, ConcurrentWritersOfTheSameBytesLeaveOneWholeFile) {
  quern::test::TempDir tmp;
  const Bytes data(1 << 20, 7);
  std::vector<std::thread> threads;
  std::vector<std::string> hashes(4);
  for (int i = 0; i < 4; ++i)
    threads.emplace_back([&, i] {
      Store store(tmp.path());
      hashes[i] = store.put(data).value_or("");
    });
  for (auto& t : threads) t.join();
  for (const std::string& h : hashes) EXPECT_EQ(h, hash_bytes(data));
  EXPECT_EQ(files_under(tmp.path()).size(), 1u);
  EXPECT_EQ(Store(tmp.path()).get(hashes[0]), data);
}

TEST(BlobStore, ReportsAWriteItCannotMake) {
  quern::test::TempDir tmp;
  quern::test::write_file(tmp.file("file"), "not a directory");
  Store store(tmp.file("file") + "/blobs");
  auto r = store.put(bytes_of("x"));
  ASSERT_FALSE(r.has_value());
  EXPECT_NE(r.error().message().find("cannot create the blob directory"), std::string::npos);
}

TEST(BlobStore, TheDefaultDirectoryFollowsTheEnvironment) {
  quern::test::TempDir tmp;
  ::setenv("QUERN_BLOB_DIR", tmp.file("explicit").c_str(), 1);
  EXPECT_EQ(default_dir(), fs::path(tmp.file("explicit")));
  const std::string hash = *put(bytes_of("via the default store"));
  EXPECT_EQ(get(hash), bytes_of("via the default store"));
  EXPECT_TRUE(fs::exists(fs::path(tmp.file("explicit")) / hash.substr(0, 2) / hash));
  ::unsetenv("QUERN_BLOB_DIR");
  ::setenv("XDG_DATA_HOME", tmp.file("data").c_str(), 1);
  EXPECT_EQ(default_dir(), fs::path(tmp.file("data")) / "quern" / "blobs");
  EXPECT_EQ(get(hash), std::nullopt);  // another directory
  ::unsetenv("XDG_DATA_HOME");
  ::setenv("HOME", tmp.path().c_str(), 1);
  EXPECT_EQ(default_dir(), fs::path(tmp.path()) / ".local" / "share" / "quern" / "blobs");
}

// ---- pictures from the real encoders

std::vector<std::uint8_t> rgb(int w, int h, int channels) {
  std::vector<std::uint8_t> px(static_cast<std::size_t>(w * h * channels));
  for (std::size_t i = 0; i < px.size(); ++i) px[i] = static_cast<std::uint8_t>(i * 37);
  if (channels == 4)
    for (std::size_t i = 3; i < px.size(); i += 4) px[i] = 128;  // translucent
  return px;
}

Bytes encode_png(int w, int h) {
  png_image img;
  std::memset(&img, 0, sizeof img);
  img.version = PNG_IMAGE_VERSION;
  img.width = static_cast<png_uint_32>(w);
  img.height = static_cast<png_uint_32>(h);
  img.format = PNG_FORMAT_RGB;
  const auto px = rgb(w, h, 3);
  png_alloc_size_t size = 0;
  EXPECT_TRUE(png_image_write_to_memory(&img, nullptr, &size, 0, px.data(), 0, nullptr));
  Bytes out(size);
  EXPECT_TRUE(png_image_write_to_memory(&img, out.data(), &size, 0, px.data(), 0, nullptr));
  out.resize(size);
  return out;
}

Bytes encode_jpeg(int w, int h, bool progressive) {
  jpeg_compress_struct c;
  jpeg_error_mgr err;
  c.err = jpeg_std_error(&err);
  jpeg_create_compress(&c);
  unsigned char* mem = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&c, &mem, &size);
  c.image_width = static_cast<JDIMENSION>(w);
  c.image_height = static_cast<JDIMENSION>(h);
  c.input_components = 3;
  c.in_color_space = JCS_RGB;
  jpeg_set_defaults(&c);
  if (progressive) jpeg_simple_progression(&c);
  jpeg_start_compress(&c, TRUE);
  auto px = rgb(w, h, 3);
  while (c.next_scanline < c.image_height) {
    JSAMPROW row = px.data() + c.next_scanline * static_cast<std::size_t>(w) * 3;
    jpeg_write_scanlines(&c, &row, 1);
  }
  jpeg_finish_compress(&c);
  jpeg_destroy_compress(&c);
  Bytes out(mem, mem + size);
  std::free(mem);
  return out;
}

Bytes encode_webp(int w, int h, int kind) {  // 0 lossy, 1 lossless, 2 lossy with alpha (extended)
  std::uint8_t* out = nullptr;
  std::size_t size = 0;
  if (kind == 0) {
    auto px = rgb(w, h, 3);
    size = WebPEncodeRGB(px.data(), w, h, w * 3, 80, &out);
  } else if (kind == 1) {
    auto px = rgb(w, h, 3);
    size = WebPEncodeLosslessRGB(px.data(), w, h, w * 3, &out);
  } else {
    auto px = rgb(w, h, 4);
    size = WebPEncodeRGBA(px.data(), w, h, w * 4, 80, &out);
  }
  Bytes bytes(out, out + size);
  WebPFree(out);
  return bytes;
}

int gif_write(GifFileType* gif, const GifByteType* data, int n) {
  auto* out = static_cast<Bytes*>(gif->UserData);
  out->insert(out->end(), data, data + n);
  return n;
}

Bytes encode_gif(int w, int h) {
  Bytes out;
  int err = 0;
  GifFileType* gif = EGifOpen(&out, gif_write, &err);
  GifColorType colors[2] = {{0, 0, 0}, {255, 255, 255}};
  ColorMapObject* map = GifMakeMapObject(2, colors);
  EGifSetGifVersion(gif, true);
  EGifPutScreenDesc(gif, w, h, 1, 0, map);
  EGifPutImageDesc(gif, 0, 0, w, h, false, nullptr);
  std::vector<GifPixelType> line(static_cast<std::size_t>(w));
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) line[static_cast<std::size_t>(x)] = static_cast<GifPixelType>((x + y) % 2);
    EGifPutLine(gif, line.data(), w);
  }
  EGifCloseFile(gif, &err);
  GifFreeMapObject(map);
  return out;
}

// The BMP layout is small enough to write here: file header, info header, bottom-up rows.
Bytes encode_bmp(int w, int h, bool top_down) {
  const int row = (w * 3 + 3) / 4 * 4;
  Bytes out(54 + static_cast<std::size_t>(row * h), 0);
  const auto le = [&](std::size_t at, std::uint32_t v, int n) {
    for (int i = 0; i < n; ++i) out[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (8 * i));
  };
  out[0] = 'B';
  out[1] = 'M';
  le(2, static_cast<std::uint32_t>(out.size()), 4);
  le(10, 54, 4);
  le(14, 40, 4);
  le(18, static_cast<std::uint32_t>(w), 4);
  le(22, static_cast<std::uint32_t>(top_down ? -h : h), 4);
  le(26, 1, 2);
  le(28, 24, 2);
  return out;
}

TEST(Sniff, ReadsTheMediaTypeAndPictureSizeFromRealFiles) {
  struct Case {
    std::string what;
    Bytes bytes;
    MediaInfo want;
  };
  const std::vector<Case> cases = {
      {"png", encode_png(37, 21), {"image/png", 37, 21}},
      {"jpeg", encode_jpeg(64, 33, false), {"image/jpeg", 64, 33}},
      {"progressive jpeg", encode_jpeg(17, 90, true), {"image/jpeg", 17, 90}},
      {"gif", encode_gif(12, 7), {"image/gif", 12, 7}},
      {"lossy webp", encode_webp(50, 40, 0), {"image/webp", 50, 40}},
      {"lossless webp", encode_webp(33, 3, 1), {"image/webp", 33, 3}},
      {"extended webp", encode_webp(21, 19, 2), {"image/webp", 21, 19}},
      {"bmp", encode_bmp(5, 4, false), {"image/bmp", 5, 4}},
      {"top-down bmp", encode_bmp(6, 3, true), {"image/bmp", 6, 3}},
      {"pdf", bytes_of("%PDF-1.7\n..."), {"application/pdf", 0, 0}},
      {"text", bytes_of("just some text"), {"application/octet-stream", 0, 0}},
      {"empty", {}, {"application/octet-stream", 0, 0}},
  };
  for (const Case& c : cases) EXPECT_EQ(sniff(c.bytes), c.want) << c.what;
}

TEST(Sniff, TruncatedHeadersGiveTheTypeWithoutASizeAndNeverReadPastTheEnd) {
  for (const Bytes& full : {encode_png(9, 9), encode_jpeg(9, 9, false), encode_gif(9, 9), encode_webp(9, 9, 0),
                            encode_webp(9, 9, 1), encode_webp(9, 9, 2), encode_bmp(9, 9, false)}) {
    const std::string type = sniff(full).media_type;
    for (std::size_t n = 0; n < std::min<std::size_t>(full.size(), 700); ++n) {
      const Bytes cut(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(n));  // exact size: ASan sees overreads
      const MediaInfo m = sniff(cut);
      if (m.media_type == type && m.width != 0) {
        EXPECT_EQ(m.width, 9u) << type << " cut at " << n;
      }
    }
  }
}

}  // namespace
}  // namespace quern::folio::blobstore
