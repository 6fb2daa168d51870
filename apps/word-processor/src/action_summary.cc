#include "apps/word-processor/src/action_summary.h"

#include <algorithm>
#include <limits>

#include "runtime/util/unicode.h"

namespace quern::word_processor {

namespace {

template <typename... F>
struct Overloaded : F... {
  using F::operator()...;
};

using Ranges = std::vector<DocumentRange>;
using Ids = std::vector<std::string>;

// The ranges of an operation that acts between two endpoints: the range itself within one
// block, otherwise an empty range at each end.
Ranges endpoint_ranges(const std::string& start_block, std::uint64_t start, const std::string& end_block,
                       std::uint64_t end) {
  if (start_block == end_block) return {{start_block, start, end}};
  return {{start_block, start, start}, {end_block, end, end}};
}

}  // namespace

std::string operation_label(const WordProcessorAction& action) {
  return std::visit(
      Overloaded{
          [](const SpliceText& a) {
            return "splice text (+" + std::to_string(unicode::char_count(a.ins)) + " -" + std::to_string(a.del) + ")";
          },
          [](const SetParagraphStyle& a) { return "set style " + a.kind; },
          [](const InsertTable& a) { return "insert table " + std::to_string(a.rows) + "x" + std::to_string(a.cols); },
          [](const InsertParagraph&) { return std::string("insert paragraph"); },
          [](const RemoveBlocks& a) { return "remove " + std::to_string(a.blocks.size()) + " block(s)"; },
          [](const auto& a) { return std::string(std::decay_t<decltype(a)>::kName); },
      },
      action);
}

TouchedTargets touched_targets(const WordProcessorAction& action) {
  return std::visit(Overloaded{
                        [](const SpliceText& a) -> TouchedTargets {
                          const std::uint64_t reach = std::max<std::uint64_t>(a.del, unicode::char_count(a.ins));
                          const std::uint64_t top = std::numeric_limits<std::uint64_t>::max();
                          return Ranges{{a.block, a.at, a.at > top - reach ? top : a.at + reach}};
                        },
                        [](const SetMark& a) -> TouchedTargets {
                          Ranges out;
                          for (const Span& s : a.spans) out.push_back({s.block, s.start, s.end});
                          return out;
                        },
                        [](const ReplaceSelection& a) -> TouchedTargets {
                          return endpoint_ranges(a.start_block, a.start, a.end_block, a.end);
                        },
                        [](const PasteFragment& a) -> TouchedTargets {
                          return endpoint_ranges(a.start_block, a.start, a.end_block, a.end);
                        },
                        [](const SplitBlock& a) -> TouchedTargets {
                          return Ranges{{a.block, a.at, a.at}};
                        },
                        [](const InsertField& a) -> TouchedTargets {
                          return Ranges{{a.block, a.at, a.at}};
                        },
                        [](const AddComment& a) -> TouchedTargets {
                          return Ranges{{a.block, a.start, a.end}};
                        },
                        [](const SetParagraphStyle& a) -> TouchedTargets { return a.blocks; },
                        [](const ApplyNamedStyle& a) -> TouchedTargets { return a.blocks; },
                        [](const SetBlockAttr& a) -> TouchedTargets { return a.blocks; },
                        [](const RemoveBlocks& a) -> TouchedTargets { return a.blocks; },
                        [](const SetImageCrop& a) -> TouchedTargets { return Ids{a.block}; },
                        [](const SetImageSize& a) -> TouchedTargets { return Ids{a.block}; },
                        [](const SetImagePlacement& a) -> TouchedTargets { return Ids{a.block}; },
                        [](const InsertPageBreak& a) -> TouchedTargets { return Ids{a.block}; },
                        [](const InsertImage& a) -> TouchedTargets { return Ids{a.block}; },
                        [](const InsertTable& a) -> TouchedTargets { return Ids{a.after}; },
                        [](const InsertParagraph& a) -> TouchedTargets { return Ids{a.after}; },
                        [](const EditTable& a) -> TouchedTargets { return Ids{a.table}; },
                        [](const SetStyleProperty& a) -> TouchedTargets { return Ids{a.style}; },
                        [](const DeleteStyle& a) -> TouchedTargets { return Ids{a.style}; },
                        [](const ResolveComment& a) -> TouchedTargets { return Ids{a.id}; },
                        [](const ReplyToComment& a) -> TouchedTargets { return Ids{a.comment}; },
                        [](const AcceptChanges& a) -> TouchedTargets {
                          if (a.id) return Ids{*a.id};
                          return std::monostate{};
                        },
                        [](const RejectChanges& a) -> TouchedTargets {
                          if (a.id) return Ids{*a.id};
                          return std::monostate{};
                        },
                        [](const SetPageMargins&) -> TouchedTargets { return std::monostate{}; },
                        [](const GenerateToc&) -> TouchedTargets { return std::monostate{}; },
                        [](const ReplaceBody&) -> TouchedTargets { return std::monostate{}; },
                    },
                    action);
}

}  // namespace quern::word_processor
