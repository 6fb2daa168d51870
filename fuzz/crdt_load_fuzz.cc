// Document::load on any bytes: it loads or returns an error; a loaded document can be read
// whole, saved, and loaded again to the same state.
#include <cstdlib>

#include "fuzz/fuzz_input.h"
#include "fuzz/read_all.h"
#include "runtime/crdt/document.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quern::crdt;
  const Bytes input = fuzz::loader_input(data, size);
  auto doc = Document::load(input);
  if (!doc) return 0;
  const std::string before = fuzz::read_all(*doc);
  auto again = Document::load(doc->save());
  if (!again || fuzz::read_all(*again) != before || again->heads() != doc->heads()) std::abort();
  return 0;
}
