// Writes a seed corpus for the loader fuzz targets into a directory: saves and incremental
// saves of small documents of every kind, raw and as the payloads the wrapping modes expect.
#include <cstdio>
#include <fstream>
#include <string>

#include "runtime/crdt/codec.h"
#include "runtime/crdt/document.h"

using namespace quern::crdt;

namespace {
int written = 0;
void write(const std::string& dir, std::uint8_t mode, quern::crdt::ByteView bytes) {
  std::ofstream out(dir + "/seed-" + std::to_string(written++), std::ios::binary);
  out.put(static_cast<char>(mode));
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}
void write_all(const std::string& dir, const Bytes& saved) {
  write(dir, 0, saved);
  auto chunks = detail::parse_chunks(saved);
  if (chunks)
    for (const auto& c : *chunks) write(dir, c.kind == detail::ChunkKind::Document ? 1 : 2, c.payload);
}
}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: fuzz-crdt-corpus DIR\n");
    return 2;
  }
  const std::string dir = argv[1];
  const ObjId root = ObjId::root();
  Document a(ActorId(std::string_view("alice")));
  (void)a.put(root, "n", 1);
  (void)a.put(root, "s", "text");
  (void)a.put(root, "c", Counter{2});
  write_all(dir, a.save());
  (void)a.increment(root, "c", 3);
  const ObjId t = *a.put_object(root, "t", ObjType::Text);
  (void)a.splice_text(t, 0, 0, "héllo");
  (void)a.mark(t, 0, 2, "b", true, ExpandMark::Both);
  write_all(dir, a.save_incremental());
  Document b(ActorId(std::string_view("bob")));
  (void)b.merge(a);
  const ObjId l = *b.put_object(root, "l", ObjType::List);
  (void)b.insert(l, 0, 1.5);
  (void)b.insert_object(l, 1, ObjType::Map);
  (void)b.set(l, 0, Timestamp{5});
  (void)b.splice_text(t, 1, 2, "EL");
  (void)b.unmark(t, 0, 1, "b", ExpandMark::None);
  (void)b.delete_key(root, "n");
  (void)b.put(root, "bytes", Bytes{1, 2, 3});
  write_all(dir, b.save_incremental());
  write_all(dir, b.save());
  std::printf("wrote %d seeds\n", written);
  return 0;
}
