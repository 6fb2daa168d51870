#include "apps/word-processor/src/command.h"

#include <utility>

namespace quern::word_processor {
namespace {

template <typename T>
concept HasPath = requires(T t) {
  t.path;
};

Json path_json(const std::optional<std::string>& path) { return path ? Json(*path) : Json(nullptr); }

template <std::size_t I = 0>
Result<WordProcessorCommand> bare(std::string_view name) {
  if constexpr (I == std::variant_size_v<WordProcessorCommand>) {
    return fail("unknown view command " + std::string(name));
  } else {
    using T = std::variant_alternative_t<I, WordProcessorCommand>;
    if (T::kName == name) {
      if constexpr (std::is_empty_v<T>) return WordProcessorCommand(T{});
      return fail(std::string(name) + ": expected an object with its fields");
    }
    return bare<I + 1>(name);
  }
}

Result<std::uint64_t> unsigned_field(const Json& fields, std::string_view variant, std::string_view name) {
  const Json* v = member(fields, name);
  if (v == nullptr || !v->is_number_unsigned()) {
    if (v != nullptr && v->is_number_integer() && v->get<std::int64_t>() >= 0) return v->get<std::uint64_t>();
    return fail(std::string(variant) + "." + std::string(name) + ": expected an unsigned integer");
  }
  return v->get<std::uint64_t>();
}

Result<std::optional<std::string>> optional_path(const Json& fields, std::string_view variant) {
  const Json* v = member(fields, "path");
  if (v == nullptr || v->is_null()) return std::optional<std::string>();
  if (!v->is_string()) return fail(std::string(variant) + ".path: expected a string or null");
  return std::optional<std::string>(v->get<std::string>());
}

}  // namespace

Json command_to_json(const WordProcessorCommand& command) {
  return std::visit(
      [](const auto& c) -> Json {
        using T = std::decay_t<decltype(c)>;
        Json fields = Json::object();
        if constexpr (HasPath<T>) {
          fields["path"] = path_json(c.path);
        } else if constexpr (std::is_same_v<T, command::NavigateTo>) {
          fields["block"] = c.block;
          fields["start"] = c.start;
          fields["end"] = c.end;
        } else if constexpr (std::is_same_v<T, command::ShowRevision>) {
          fields["index"] = c.index;
        } else {
          return Json(std::string(T::kName));
        }
        Json out = Json::object();
        out[std::string(T::kName)] = std::move(fields);
        return out;
      },
      command);
}

Result<WordProcessorCommand> command_from_json(const Json& json) {
  if (json.is_string()) return bare(json.get<std::string>());
  if (!json.is_object() || json.size() != 1) {
    return fail("a view command is a name or an object with exactly one member");
  }
  const std::string name = json.begin().key();
  const Json& fields = json.begin().value();
  if (!fields.is_object()) return fail(name + ": expected an object");
  if (name == "Open" || name == "Save" || name == "SaveAs") {
    auto path = QUERN_TRY(optional_path(fields, name));
    if (name == "Open") return command::Open{std::move(path)};
    if (name == "Save") return command::Save{std::move(path)};
    return command::SaveAs{std::move(path)};
  }
  if (name == command::NavigateTo::kName) {
    const Json* block = member(fields, "block");
    if (block == nullptr || !block->is_string()) return fail("NavigateTo.block: expected a string");
    const auto start = QUERN_TRY(unsigned_field(fields, name, "start"));
    const auto end = QUERN_TRY(unsigned_field(fields, name, "end"));
    return command::NavigateTo{block->get<std::string>(), start, end};
  }
  if (name == command::ShowRevision::kName) {
    const auto index = QUERN_TRY(unsigned_field(fields, name, "index"));
    return command::ShowRevision{index};
  }
  // A bare command written as an object with an empty field set reads as the command.
  return bare(name);
}

}  // namespace quern::word_processor
