// Which operation types a participant can carry out on its documents, each with the decoder of
// its JSON payload and the applier that performs a decoded value on a document. Apps register
// their types; whoever holds a replica decodes and applies the encoded actions an invocation
// collected. Build a registry on one thread; once built, its const members may be called from
// any number of threads (the decoders and appliers must allow that themselves).
//
// `ActionRegistry` is the registry over the document engine's documents. Its document type is
// only declared here; the apps that register appliers include the engine.
#pragma once

#include <any>
#include <expected>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "runtime/actions/encoder.h"
#include "runtime/util/error.h"
#include "runtime/util/json.h"
#include "runtime/util/quote.h"

namespace quern::crdt {
class Document;
}

namespace quern::actions {

enum class Applied { Changed, Unchanged };

// A payload decoded by the registry entry of its operation type.
class DecodedAction {
 public:
  const std::string& operation_type() const { return operation_type_; }
  // The decoded value, when it is a T.
  template <typename T>
  const T* get() const {
    return std::any_cast<T>(&value_);
  }

 private:
  template <typename Target>
  friend class BasicActionRegistry;
  DecodedAction(std::string type, std::any value) : operation_type_(std::move(type)), value_(std::move(value)) {}
  std::string operation_type_;
  std::any value_;
};

template <typename Target>
class BasicActionRegistry {
 public:
  // Decoded values are stored type-erased and must be copyable.
  template <typename T>
  using Decoder = std::function<std::expected<T, std::string>(const Json& payload)>;
  template <typename T>
  using Applier = std::function<Result<Applied>(const T& value, Target& document, std::string_view actor)>;

  // An empty registry.
  BasicActionRegistry() = default;

  // Enters `type`. Fails when the type is already registered: one type has one meaning.
  template <typename T>
  Result<void> register_type(std::string type, Decoder<T> decode, Applier<T> apply) {
    if (entries_.contains(type)) return fail("the operation type " + quote_escaped(type) + " is already registered");
    Entry entry;
    entry.decode = [decode = std::move(decode)](const Json& payload) -> std::expected<std::any, std::string> {
      auto value = decode(payload);
      if (!value) return std::unexpected(std::move(value).error());
      return std::any(std::move(*value));
    };
    entry.apply = [apply = std::move(apply)](const std::any& value, Target& document,
                                             std::string_view actor) -> Result<Applied> {
      const T* typed = std::any_cast<T>(&value);
      if (typed == nullptr) return fail("the decoded action is not of this operation type");
      return apply(*typed, document, actor);
    };
    order_.push_back(type);
    entries_.emplace(std::move(type), std::move(entry));
    return {};
  }

  bool knows(std::string_view type) const { return entries_.find(type) != entries_.end(); }
  // In the order registered.
  const std::vector<std::string>& types() const { return order_; }

  // Errors: an unregistered type ("no operation type \"x\" is registered here"), or the
  // decoder's text under the context "decode the \"x\" payload".
  Result<DecodedAction> decode(const EncodedAction& action) const {
    auto it = entries_.find(action.operation_type);
    if (it == entries_.end()) return unknown(action.operation_type);
    auto value = it->second.decode(action.payload);
    if (!value) {
      return fail(Error(std::move(value).error())
                      .with_context("decode the " + quote_escaped(action.operation_type) + " payload"));
    }
    return DecodedAction(action.operation_type, std::move(*value));
  }

  Result<Applied> apply(const DecodedAction& action, Target& document, std::string_view actor) const {
    auto it = entries_.find(action.operation_type());
    if (it == entries_.end()) return unknown(action.operation_type());
    return it->second.apply(action.value_, document, actor);
  }

  // Decodes, then applies.
  Result<Applied> apply(const EncodedAction& action, Target& document, std::string_view actor) const {
    auto decoded = decode(action);
    if (!decoded) return std::unexpected(std::move(decoded).error());
    return apply(*decoded, document, actor);
  }

 private:
  struct Entry {
    std::function<std::expected<std::any, std::string>(const Json&)> decode;
    std::function<Result<Applied>(const std::any&, Target&, std::string_view)> apply;
  };

  static std::unexpected<Error> unknown(std::string_view type) {
    return fail("no operation type " + quote_escaped(type) + " is registered here");
  }

  std::map<std::string, Entry, std::less<>> entries_;
  std::vector<std::string> order_;
};

using ActionRegistry = BasicActionRegistry<crdt::Document>;

}  // namespace quern::actions
