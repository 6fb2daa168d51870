// One piece of room traffic as the collaboration client delivers it: who sent it, the route it
// was addressed to (when it was sent to a route), and the message. A plain value owned by
// whoever polled it.
#pragma once

#include <optional>
#include <string_view>
#include <variant>

#include "runtime/collab/blob.h"
#include "runtime/collab/messages.h"
#include "runtime/util/error.h"

namespace quern::collab {

struct NoMutation {
  bool operator==(const NoMutation&) const = default;
};
struct WholeState {
  Blob bytes;
  bool operator==(const WholeState&) const = default;
};
struct ChangeSet {
  Blob bytes;
  bool operator==(const ChangeSet&) const = default;
};
// What a document event carries: nothing, a whole saved state, or an incremental change set.
using DocumentMutation = std::variant<NoMutation, WholeState, ChangeSet>;

struct CollabEvent {
  Sender from;
  std::optional<Route> to;
  Message body;

  template <typename T>
  const T* get() const {
    return std::get_if<T>(&body);
  }
  template <typename T>
  bool is() const {
    return std::holds_alternative<T>(body);
  }
  std::string_view name() const { return message_name(body); }

  // Decodes a document event. Events of other kinds, and document events that name no payload,
  // carry no mutation; a payload of a kind this build does not know is an error.
  Result<DocumentMutation> document_mutation() const;
};

}  // namespace quern::collab
