#include "apps/chat/src/doc.h"

namespace quern::chat {

bool is_chat_document(const crdt::Document& document) {
  auto seeded = document.get(crdt::ObjId::root(), kSeeded);
  if (!seeded || !seeded->has_value()) return false;
  const crdt::ScalarValue* scalar = (*seeded)->scalar();
  return scalar != nullptr && scalar->as_bool() != nullptr && *scalar->as_bool();
}

}  // namespace quern::chat
