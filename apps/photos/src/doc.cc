#include "apps/photos/src/doc.h"

namespace quern::photos {

bool is_photos_document(const crdt::Document& document) {
  const crdt::ObjId root = crdt::ObjId::root();
  if (auto edits = document.get(root, kPhotosEdits); edits && edits->has_value()) {
    const crdt::ObjectValue* object = (*edits)->object();
    if (object != nullptr && object->type == crdt::ObjType::Map) return true;
  }
  auto legacy = document.get(root, kLegacyEdits);
  return legacy && legacy->has_value() && !(*legacy)->is_object();
}

}  // namespace quern::photos
