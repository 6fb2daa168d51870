// Turns `Delivery` values into frames of the room's wire schema and back. Any thread may call
// these; they share nothing.
//
// `encode` refers to document bytes in place (the frame keeps the Blob alive), so a large save
// is not copied on its way to the socket. `decode` checks the whole frame and reads document
// bytes as views into it. A frame that is not a well-formed message of the schema, names no
// message, or names a kind of message or value this build does not know, is an error.
#pragma once

#include "runtime/collab/frame.h"
#include "runtime/collab/messages.h"
#include "runtime/util/error.h"

namespace quern::collab {

OutFrame encode(const Delivery& delivery);
Result<Delivery> decode(const RawFrame& frame);

// The frame's bytes in one piece, as a reader would receive them.
RawFrame flatten(const OutFrame& frame);

}  // namespace quern::collab
