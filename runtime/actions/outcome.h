// What an invocation gives back, and how a result names stored content. A content reference is
// the resource reference of kind "content" whose id is "content:" followed by the 64 lower-case
// hexadecimal digits of the SHA-256 of the bytes in the blob store (the bare 64 digits are read
// too); `content_hash` recognises it and gives the digits.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/actions/encoder.h"
#include "runtime/actions/invocation_id.h"

namespace quern::actions {

struct ResourceRef {
  std::string id;
  std::string kind;

  bool operator==(const ResourceRef&) const = default;
};

// The outcome of a local invocation: the encoded action was handed to the transport, which now
// holds it for the caller to apply.
struct InvocationOutcome {
  InvocationId invocation_id;
  std::string resource_id;
  std::string action_name;
  EncodedAction action;
  // Resources the invocation produced, for a following step; empty for local invocations, whose
  // produced content is what the document denotes once the change is applied.
  std::vector<ResourceRef> resources;
};

namespace outcome {

inline constexpr std::string_view kContentKind = "content";

// The reference that names the stored bytes whose hash is `hash` (64 lower-case hex digits).
ResourceRef content_ref(std::string_view hash);
// The 64-digit hash when `ref` names stored content, else nothing.
std::optional<std::string> content_hash(const ResourceRef& ref);

}  // namespace outcome

}  // namespace quern::actions
