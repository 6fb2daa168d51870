#include "apps/word-processor/src/action.h"

namespace quern::word_processor {

std::string_view variant_name(const WordProcessorAction& action) {
  return std::visit([](const auto& a) { return std::decay_t<decltype(a)>::kName; }, action);
}

namespace {
template <std::size_t... I>
std::vector<std::string_view> names_of(std::index_sequence<I...>) {
  return {std::variant_alternative_t<I, WordProcessorAction>::kName...};
}
}  // namespace

const std::vector<std::string_view>& variant_names() {
  static const std::vector<std::string_view> names =
      names_of(std::make_index_sequence<std::variant_size_v<WordProcessorAction>>());
  return names;
}

std::string_view variant_name(const TableEdit& edit) {
  return std::visit([](const auto& e) { return std::decay_t<decltype(e)>::kName; }, edit);
}

}  // namespace quern::word_processor
