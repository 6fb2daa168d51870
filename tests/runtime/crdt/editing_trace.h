// Reads the editing traces of tests/data/editing-traces (gzip'd JSON): sequential traces (every
// patch in order) and concurrent ones (transactions with parents and an agent). Shared by the
// trace tests and the trace benchmark.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "runtime/util/error.h"

namespace quern::crdt::test {

struct Patch {
  std::size_t pos = 0;  // in characters
  std::size_t del = 0;
  std::string insert;
};

struct TraceTxn {
  std::vector<std::size_t> parents;  // indexes of earlier transactions
  std::size_t agent = 0;
  std::vector<Patch> patches;
};

struct EditingTrace {
  bool concurrent = false;
  std::size_t agents = 1;
  std::string start_content;
  std::string end_content;
  std::vector<TraceTxn> txns;
};

Result<EditingTrace> read_editing_trace(const std::string& path);

}  // namespace quern::crdt::test
