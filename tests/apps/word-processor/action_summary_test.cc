// Operation labels and touched targets, as announcements and run steps show them.
#include "apps/word-processor/src/action_summary.h"

#include <gtest/gtest.h>

namespace quern::word_processor {
namespace {

using Ranges = std::vector<DocumentRange>;
using Ids = std::vector<std::string>;

TEST(ActionSummary, Labels) {
  struct Case {
    WordProcessorAction action;
    std::string label;
  };
  const std::vector<Case> cases = {
      {SpliceText{Region::Body, "b", 0, 3, "héllo"}, "splice text (+5 -3)"},
      {SpliceText{Region::Body, "b", 0, 0, ""}, "splice text (+0 -0)"},
      {SetParagraphStyle{Region::Body, {"b"}, "heading", 1, std::nullopt}, "set style heading"},
      {InsertTable{"b", 2, 3}, "insert table 2x3"},
      {InsertParagraph{"b", "x"}, "insert paragraph"},
      {RemoveBlocks{{"a", "b", "c"}}, "remove 3 block(s)"},
      {ReplaceSelection{}, "ReplaceSelection"},
      {ApplyNamedStyle{}, "ApplyNamedStyle"},
      {EditTable{"t", table_edit::Delete{}}, "EditTable"},
      {ReplyToComment{}, "ReplyToComment"},
  };
  for (const Case& c : cases) EXPECT_EQ(operation_label(c.action), c.label);
}

TEST(ActionSummary, TouchedTargets) {
  constexpr std::uint64_t kTop = UINT64_MAX;
  struct Case {
    WordProcessorAction action;
    TouchedTargets touched;
  };
  const std::vector<Case> cases = {
      // The larger of the deletion and the insertion, in characters; never past the top.
      {SpliceText{Region::Body, "b", 4, 2, "héllo"}, Ranges{{"b", 4, 9}}},
      {SpliceText{Region::Body, "b", 4, 7, "x"}, Ranges{{"b", 4, 11}}},
      {SpliceText{Region::Body, "b", kTop - 1, 5, ""}, Ranges{{"b", kTop - 1, kTop}}},
      {SetMark{Region::Body, {{"a", 0, 2}, {"b", 1, 3}}, "bold", MarkValue(true), {}},
       Ranges{{"a", 0, 2}, {"b", 1, 3}}},
      {ReplaceSelection{Region::Body, "a", 1, "a", 4, "x"}, Ranges{{"a", 1, 4}}},
      {ReplaceSelection{Region::Body, "a", 1, "c", 4, "x"}, Ranges{{"a", 1, 1}, {"c", 4, 4}}},
      {PasteFragment{Region::Body, "a", 2, "b", 0, {}, false}, Ranges{{"a", 2, 2}, {"b", 0, 0}}},
      {SplitBlock{Region::Body, "b", 3, "paragraph", std::nullopt}, Ranges{{"b", 3, 3}}},
      {InsertField{Region::Header, "h", 1, "page-number"}, Ranges{{"h", 1, 1}}},
      {AddComment{"b", 2, 5, "Ada", "", "x"}, Ranges{{"b", 2, 5}}},
      {SetParagraphStyle{Region::Body, {"a", "b"}, "heading", {}, {}}, Ids{"a", "b"}},
      {ApplyNamedStyle{Region::Body, {"a"}, "quote", {}, {}, {}}, Ids{"a"}},
      {SetBlockAttr{Region::Body, {"a"}, "align", std::string("left")}, Ids{"a"}},
      {RemoveBlocks{{"a", "b"}}, Ids{"a", "b"}},
      {SetImageCrop{"img"}, Ids{"img"}},
      {SetImageSize{"img"}, Ids{"img"}},
      {SetImagePlacement{"img"}, Ids{"img"}},
      {InsertPageBreak{Region::Body, "b", 0}, Ids{"b"}},
      {InsertImage{"b", 0, {1}, {}, {}}, Ids{"b"}},
      {InsertTable{"b", 1, 1}, Ids{"b"}},
      {InsertParagraph{"b", ""}, Ids{"b"}},
      {EditTable{"t", table_edit::InsertRow{0}}, Ids{"t"}},
      {SetStyleProperty{"s", "bold", true}, Ids{"s"}},
      {DeleteStyle{"s", {"a"}}, Ids{"s"}},
      {ResolveComment{"k"}, Ids{"k"}},
      {ReplyToComment{"k", "Bob", "", "x"}, Ids{"k"}},
      {AcceptChanges{"c"}, Ids{"c"}},
      {RejectChanges{"c"}, Ids{"c"}},
      {AcceptChanges{std::nullopt}, std::monostate{}},
      {RejectChanges{std::nullopt}, std::monostate{}},
      {SetPageMargins{}, std::monostate{}},
      {GenerateToc{}, std::monostate{}},
      {ReplaceBody{"# x"}, std::monostate{}},
  };
  for (const Case& c : cases) EXPECT_EQ(touched_targets(c.action), c.touched) << variant_name(c.action);
}

TEST(ActionSummary, VariantNamesFollowTheDeclarationOrder) {
  const auto& names = variant_names();
  ASSERT_EQ(names.size(), std::variant_size_v<WordProcessorAction>);
  EXPECT_EQ(names.front(), "SpliceText");
  EXPECT_EQ(names[13], "EditTable");
  EXPECT_EQ(names.back(), "ReplyToComment");
  EXPECT_EQ(variant_name(WordProcessorAction(GenerateToc{})), "GenerateToc");
  EXPECT_EQ(variant_name(TableEdit(table_edit::DeleteColumn{})), "DeleteColumn");
}

}  // namespace
}  // namespace quern::word_processor
