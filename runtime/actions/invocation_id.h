// The name of one invocation, minted before it is announced so that announcements, outcomes
// and retries can refer to it. The text is a random (version 4) UUID in its hyphenated
// lower-case form; two ids minted anywhere are, for every practical purpose, never equal.
// Minting is safe from any thread.
#pragma once

#include <string>
#include <string_view>

namespace quern::actions {

class InvocationId {
 public:
  // A fresh id.
  static InvocationId generate();
  // An id received from elsewhere, taken as it is.
  static InvocationId from_text(std::string text) { return InvocationId(std::move(text)); }

  const std::string& text() const { return text_; }

  bool operator==(const InvocationId&) const = default;
  auto operator<=>(const InvocationId&) const = default;

 private:
  explicit InvocationId(std::string text) : text_(std::move(text)) {}
  std::string text_;
};

}  // namespace quern::actions
