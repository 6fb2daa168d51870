#include "tests/runtime/crdt/editing_trace.h"

#include <zlib.h>

#include <nlohmann/json.hpp>

namespace quern::crdt::test {

namespace {

Result<std::string> gunzip_file(const std::string& path) {
  gzFile f = gzopen(path.c_str(), "rb");
  if (!f) return fail("cannot open " + path);
  std::string out;
  char buf[1 << 16];
  int n;
  while ((n = gzread(f, buf, sizeof buf)) > 0) out.append(buf, static_cast<std::size_t>(n));
  const bool ok = n == 0;
  gzclose(f);
  if (!ok) return fail("cannot decompress " + path);
  return out;
}

}  // namespace

Result<EditingTrace> read_editing_trace(const std::string& path) {
  const std::string text = QUERN_TRY(gunzip_file(path));
  try {
    const auto j = nlohmann::json::parse(text);
    EditingTrace t;
    t.concurrent = j.value("kind", "") == "concurrent";
    t.agents = j.value("numAgents", 1);
    t.start_content = j.value("startContent", "");
    t.end_content = j.at("endContent").get<std::string>();
    for (const auto& jt : j.at("txns")) {
      TraceTxn txn;
      if (jt.contains("parents")) txn.parents = jt.at("parents").get<std::vector<std::size_t>>();
      txn.agent = jt.value("agent", 0);
      for (const auto& p : jt.at("patches"))
        txn.patches.push_back(
            Patch{p.at(0).get<std::size_t>(), p.at(1).get<std::size_t>(), p.at(2).get<std::string>()});
      t.txns.push_back(std::move(txn));
    }
    return t;
  } catch (const std::exception& e) {
    return fail(std::string("malformed trace ") + path + ": " + e.what());
  }
}

}  // namespace quern::crdt::test
