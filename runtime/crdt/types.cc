#include "runtime/crdt/types.h"

#include <bit>
#include <charconv>
#include <cstring>

#include "runtime/util/quote.h"
#include "runtime/util/sha256.h"
#include "runtime/util/uuid.h"

namespace quern::crdt {

ActorId ActorId::random() {
  const Uuid u = Uuid::new_v4();
  return ActorId(ByteView(u.bytes()));
}

Result<ActorId> ActorId::from_hex(std::string_view hex) {
  std::string raw;
  if (!quern::from_hex(hex, raw)) return fail("an actor id is not hexadecimal");
  return ActorId(std::string_view(raw));
}

std::string ActorId::to_hex_string() const { return to_hex(bytes_); }

std::string ChangeHash::to_hex_string() const { return to_hex(bytes); }

Result<ChangeHash> ChangeHash::from_hex(std::string_view hex) {
  std::string raw;
  if (hex.size() != 64 || !quern::from_hex(hex, raw)) return fail("a change hash is not 64 hexadecimal digits");
  ChangeHash h;
  std::memcpy(h.bytes.data(), raw.data(), 32);
  return h;
}

std::string_view to_string(ObjType type) {
  switch (type) {
    case ObjType::Map: return "map";
    case ObjType::List: return "list";
    case ObjType::Text: return "text";
  }
  return "?";
}

std::string ObjId::to_string() const {
  if (is_root()) return "root";
  return std::to_string(counter_) + "@" + actor_.to_hex_string();
}

Result<ObjId> ObjId::parse(std::string_view text) {
  if (text == "root") return ObjId::root();
  const auto at = text.find('@');
  if (at == std::string_view::npos) return fail("an object id is not \"root\" or \"counter@actor\"");
  std::uint64_t counter = 0;
  const auto [p, ec] = std::from_chars(text.data(), text.data() + at, counter);
  if (ec != std::errc() || p != text.data() + at || counter == 0)
    return fail("an object id is not \"root\" or \"counter@actor\"");
  auto actor = QUERN_TRY(ActorId::from_hex(text.substr(at + 1)));
  return ObjId(counter, std::move(actor));
}

bool ScalarValue::operator==(const ScalarValue& other) const {
  if (type() != other.type()) return false;
  if (const double* d = as_f64())
    return std::bit_cast<std::uint64_t>(*d) == std::bit_cast<std::uint64_t>(*other.as_f64());
  return v_ == other.v_;
}

std::string ScalarValue::to_string() const {
  switch (type()) {
    case ScalarType::Null: return "null";
    case ScalarType::Bool: return *as_bool() ? "true" : "false";
    case ScalarType::Int: return std::to_string(*as_int());
    case ScalarType::Uint: return std::to_string(*as_uint()) + "u";
    case ScalarType::F64: {
      char buf[64];
      const auto [p, ec] = std::to_chars(buf, buf + sizeof buf, *as_f64());
      return ec == std::errc() ? std::string(buf, p) : "nan";
    }
    case ScalarType::Str: return quote_escaped(*as_str());
    case ScalarType::Bytes: return "bytes(" + to_hex(*as_bytes()) + ")";
    case ScalarType::Timestamp: return "timestamp(" + std::to_string(as_timestamp()->ms) + ")";
    case ScalarType::Counter: return "counter(" + std::to_string(as_counter()->value) + ")";
  }
  return "?";
}

std::string Value::to_string() const {
  if (const ObjectValue* o = object()) return std::string(crdt::to_string(o->type)) + " " + o->id.to_string();
  return scalar()->to_string();
}

}  // namespace quern::crdt
