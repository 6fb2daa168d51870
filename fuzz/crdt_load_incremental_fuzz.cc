// Document::load_incremental on any bytes, into a document that already holds edits: it applies
// what it can or returns an error and leaves the document as it was.
#include <cstdlib>

#include "fuzz/fuzz_input.h"
#include "fuzz/read_all.h"
#include "runtime/crdt/document.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quern::crdt;
  Document doc(ActorId(std::string_view("base")));
  const ObjId text = *doc.put_object(ObjId::root(), "text", ObjType::Text);
  (void)doc.splice_text(text, 0, 0, "hello world");
  (void)doc.mark(text, 1, 4, "bold", true, ExpandMark::After);
  const ObjId list = *doc.put_object(ObjId::root(), "list", ObjType::List);
  (void)doc.insert(list, 0, Counter{1});
  doc.commit();
  const std::string before = fuzz::read_all(doc);
  const auto heads = doc.heads();

  const Bytes input = fuzz::loader_input(data, size);
  auto r = doc.load_incremental(input);
  if (!r) {
    if (fuzz::read_all(doc) != before || doc.heads() != heads) std::abort();
    return 0;
  }
  (void)doc.get_missing_deps({});
  const std::string after = fuzz::read_all(doc);
  auto again = Document::load(doc.save());
  if (!again || fuzz::read_all(*again) != after) std::abort();
  return 0;
}
