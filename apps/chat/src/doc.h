// The chat document as the agent reads it. For now only the test by which the chat surface
// recognises a chat document; the records and their reading rules join it later. Reads only;
// call on the thread that owns the document.
#pragma once

#include <string_view>

#include "runtime/crdt/document.h"

namespace quern::chat {

// The root key the chat app sets once it has set the document up.
inline constexpr std::string_view kSeeded = "seeded";

// True exactly when the root "seeded" is the boolean true (the winning value when peers wrote
// it concurrently). Absent, false, a number or text: not a chat document.
bool is_chat_document(const crdt::Document& document);

}  // namespace quern::chat
