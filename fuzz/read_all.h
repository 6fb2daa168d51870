// Reads everything reachable in a document into one text, through every read of the API.
#pragma once

#include <string>

#include "runtime/crdt/document.h"

namespace quern::crdt::fuzz {

inline void read_object(const Document& d, const ObjId& obj, std::string& out, int depth) {
  auto type = d.object_type(obj);
  if (!type || depth > 16) return;
  std::vector<Value> children;
  if (*type == ObjType::Map) {
    auto keys = d.keys(obj);
    if (!keys) return;
    for (const auto& k : *keys) {
      out += k + ":";
      auto all = d.get_all(obj, k);
      if (all) children.insert(children.end(), all->begin(), all->end());
      auto one = d.get(obj, k);
      if (one && *one) out += (*one)->to_string();
    }
  } else {
    auto len = d.length(obj);
    for (std::size_t i = 0; len && i < *len && *type == ObjType::List; ++i) {
      auto all = d.get_all(obj, i);
      if (all) children.insert(children.end(), all->begin(), all->end());
    }
    if (*type == ObjType::Text) {
      auto t = d.text(obj);
      if (t) out += *t;
      auto marks = d.marks(obj);
      if (marks)
        for (const auto& m : *marks)
          out += m.name + m.value.to_string() + std::to_string(m.start) + "-" + std::to_string(m.end);
    }
  }
  for (const Value& v : children) {
    out += v.to_string() + ";";
    if (const ObjectValue* o = v.object()) read_object(d, o->id, out, depth + 1);
  }
}

inline std::string read_all(const Document& d) {
  std::string out;
  read_object(d, ObjId::root(), out, 0);
  for (const auto& c : d.get_changes()) out += c.hash.to_hex_string();
  return out;
}

}  // namespace quern::crdt::fuzz
