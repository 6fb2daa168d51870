// The photos document as the agent reads it. For now only the test by which the photos surface
// recognises a photos document; the library, the open picture and the edits join it later.
// Reads only; call on the thread that owns the document.
#pragma once

#include <string_view>

#include "runtime/crdt/document.h"

namespace quern::photos {

// The root map of the current edits, and the older JSON register it replaced.
inline constexpr std::string_view kPhotosEdits = "photos_edits";
inline constexpr std::string_view kLegacyEdits = "edits";

// A photos document holds a map under the root key "photos_edits"; failing that (absent, not a
// map, or the look-up failed), one whose root "edits" holds a value that is not an object (the
// legacy JSON register). The library map plays no part in the test.
bool is_photos_document(const crdt::Document& document);

}  // namespace quern::photos
