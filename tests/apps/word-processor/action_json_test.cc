// The JSON form of word-processor operations: its exact shape, a round trip of every variant,
// and what reading refuses.
#include "apps/word-processor/src/action_json.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <set>

namespace quern::word_processor {
namespace {

// One value of every variant, with optional members both present and absent.
std::vector<WordProcessorAction> one_of_each() {
  return {
      SpliceText{Region::Header, "b1", 3, 2, "héllo"},
      ReplaceSelection{Region::Footer, "b1", 1, "b2", 0, ""},
      SetMark{Region::Body,
              {{"b1", 0, 4}, {"b2", 1, 2}},
              "link",
              MarkValue(std::string("https://x.example")),
              {"bold", "italic"}},
      SetMark{Region::Body, {{"b1", 0, 4}}, "bold", std::nullopt, {}},
      SetMark{Region::Body, {{"b1", 0, 4}}, "size", MarkValue(std::int64_t{-7}), {}},
      SetMark{Region::Body, {{"b1", 0, 4}}, "bold", MarkValue(false), {}},
      SetParagraphStyle{Region::Body, {"b1", "b2"}, "heading", 2, false},
      SetParagraphStyle{Region::Body, {"b1"}, "paragraph", std::nullopt, std::nullopt},
      ApplyNamedStyle{Region::Header, {"b1"}, "quote", "quote", 0, true},
      SetBlockAttr{Region::Body, {"b1"}, "indent", 12.25},
      SetBlockAttr{Region::Body, {"b1"}, "width", std::int64_t{640}},
      SetBlockAttr{Region::Body, {"b1"}, "flip_h", true},
      SetBlockAttr{Region::Body, {"b1"}, "align", std::string("center")},
      SetPageMargins{72.0, 12.5, 1e300, -0.0},
      SetStyleProperty{"custom", "size", 11.0},
      DeleteStyle{"custom", {"b1", "b1"}},
      SetImageCrop{"img", 1, 2, 3, 4},
      SetImageSize{"img", 640, 480},
      SetImagePlacement{"img", "page", "none", -100, 100, 3},
      InsertTable{"b1", 100, 100},
      EditTable{"t", table_edit::InsertRow{2}},
      EditTable{"t", table_edit::InsertColumn{0}},
      EditTable{"t", table_edit::DeleteRow{1}},
      EditTable{"t", table_edit::DeleteColumn{5}},
      EditTable{"t", table_edit::Delete{}},
      InsertImage{"b1", 0, {0, 1, 127, 128, 255}, 15, std::nullopt},
      InsertPageBreak{Region::Footer, "f1", 9},
      SplitBlock{Region::Body, "b1", 2, "list_item", true},
      SplitBlock{Region::Body, "b1", 2, "paragraph", std::nullopt},
      InsertField{Region::Header, "h1", 0, "page-number"},
      GenerateToc{{{"h1", 1, "Intro", 3}, {"h2", 2, "More", std::nullopt}}},
      PasteFragment{Region::Body,
                    "b1",
                    0,
                    "b2",
                    4,
                    {ClipBlock{"heading", "A", {{0, 1, "bold", MarkValue(true)}}, 1, std::nullopt, "left"},
                     ClipBlock{"list_item", "b", {}, std::nullopt, true, std::nullopt}},
                    true},
      InsertParagraph{"b1", "text\nwith \"quotes\" and \u00e9"},
      RemoveBlocks{{"b1", "b2"}},
      ReplaceBody{"# Title\n"},
      AcceptChanges{"c1"},
      AcceptChanges{std::nullopt},
      RejectChanges{"c1"},
      RejectChanges{std::nullopt},
      ResolveComment{"k1"},
      AddComment{"b1", 0, 4, "Ada", "2026-01-01", "Nice"},
      ReplyToComment{"k1", "Bob", "", "Thanks"},
  };
}

TEST(ActionJson, EveryVariantReadsBackAsItWasWritten) {
  std::set<std::size_t> variants;
  for (const WordProcessorAction& a : one_of_each()) {
    variants.insert(a.index());
    const std::string text = dump_json(to_json(a));
    auto back = parse_action(text);
    ASSERT_TRUE(back.has_value()) << text << ": " << back.error().to_string();
    EXPECT_EQ(*back, a) << text;
    EXPECT_EQ(dump_json(to_json(*back)), text);
  }
  EXPECT_EQ(variants.size(), std::variant_size_v<WordProcessorAction>) << "a variant is missing from the list";
}

TEST(ActionJson, HasTheDocumentedShape) {
  struct Case {
    WordProcessorAction action;
    std::string json;
  };
  const std::vector<Case> cases = {
      {InsertParagraph{"b1", "Hi"}, R"({"InsertParagraph":{"after":"b1","text":"Hi"}})"},
      {SpliceText{Region::Footer, "b", 1, 0, "x"},
       R"({"SpliceText":{"region":"Footer","block":"b","at":1,"del":0,"ins":"x"}})"},
      {SetMark{Region::Body, {{"b", 0, 2}}, "bold", std::nullopt, {}},
       R"({"SetMark":{"region":"Body","spans":[{"block":"b","start":0,"end":2}],"name":"bold","value":null,"also_clear":[]}})"},
      {SetMark{Region::Body, {}, "size", MarkValue(std::int64_t{3}), {"a"}},
       R"({"SetMark":{"region":"Body","spans":[],"name":"size","value":{"Int":3},"also_clear":["a"]}})"},
      {SetBlockAttr{Region::Header, {"b"}, "indent", 1.5},
       R"({"SetBlockAttr":{"region":"Header","blocks":["b"],"key":"indent","value":{"Float":1.5}}})"},
      {SetStyleProperty{"s", "bold", true}, R"({"SetStyleProperty":{"style":"s","key":"bold","value":{"Bool":true}}})"},
      {SetStyleProperty{"s", "font", std::string("mono")},
       R"({"SetStyleProperty":{"style":"s","key":"font","value":{"Str":"mono"}}})"},
      {SetStyleProperty{"s", "size", std::numeric_limits<double>::infinity()},
       R"({"SetStyleProperty":{"style":"s","key":"size","value":{"Float":null}}})"},
      {SetPageMargins{std::nan(""), 72, 4, 10},
       R"({"SetPageMargins":{"top":null,"right":72.0,"bottom":4.0,"left":10.0}})"},
      {EditTable{"t", table_edit::Delete{}}, R"({"EditTable":{"table":"t","edit":"Delete"}})"},
      {EditTable{"t", table_edit::DeleteColumn{2}},
       R"({"EditTable":{"table":"t","edit":{"DeleteColumn":{"column":2}}}})"},
      {InsertImage{"b", 0, {0, 255}, std::nullopt, 20},
       R"({"InsertImage":{"block":"b","at":0,"bytes":[0,255],"width":null,"height":20}})"},
      {AcceptChanges{std::nullopt}, R"({"AcceptChanges":{"id":null}})"},
      {GenerateToc{{{"h", 2, "T", std::nullopt}}},
       R"({"GenerateToc":{"entries":[{"heading":"h","level":2,"text":"T","page":null}]}})"},
      {PasteFragment{Region::Body, "a", 0, "a", 0, {ClipBlock{"p", "x", {{0, 1, "b", MarkValue(true)}}}}, false},
       R"({"PasteFragment":{"region":"Body","start_block":"a","start":0,"end_block":"a","end":0,"blocks":[{"kind":"p","text":"x","marks":[{"start":0,"end":1,"name":"b","value":{"Bool":true}}],"level":null,"ordered":null,"align":null}],"adopt_first_style":false}})"},
  };
  for (const Case& c : cases) EXPECT_EQ(dump_json(to_json(c.action)), c.json);
}

TEST(ActionJson, ReadingTakesMissingOptionalsAsAbsentAndNullFloatsAsNaN) {
  auto a = parse_action(R"({"SplitBlock":{"region":"Body","block":"b","at":2,"kind":"paragraph"}})");
  ASSERT_TRUE(a.has_value()) << a.error().to_string();
  EXPECT_EQ(std::get<SplitBlock>(*a).ordered, std::nullopt);
  auto b = parse_action(R"({"AcceptChanges":{}})");
  ASSERT_TRUE(b.has_value());
  EXPECT_EQ(std::get<AcceptChanges>(*b).id, std::nullopt);
  auto c = parse_action(R"({"SetPageMargins":{"top":null,"right":72,"bottom":4.5,"left":10}})");
  ASSERT_TRUE(c.has_value()) << c.error().to_string();
  EXPECT_TRUE(std::isnan(std::get<SetPageMargins>(*c).top));
  EXPECT_EQ(std::get<SetPageMargins>(*c).right, 72.0);
  // Members it does not know are passed over.
  auto d = parse_action(R"({"RemoveBlocks":{"blocks":["x"],"note":"ignored"}})");
  ASSERT_TRUE(d.has_value());
  EXPECT_EQ(std::get<RemoveBlocks>(*d).blocks, std::vector<std::string>{"x"});
}

TEST(ActionJson, ReadingRefusesUnknownVariantsAndMembersOfTheWrongType) {
  struct Case {
    std::string json;
    std::string error;  // part of the error's text
  };
  const std::vector<Case> cases = {
      {R"({"Explode":{}})", "\"Explode\" is not a word-processor action"},
      {R"("InsertParagraph")", "expected an object with exactly one member"},
      {R"({"InsertParagraph":{"after":"a","text":"b"},"RemoveBlocks":{"blocks":[]}})", "exactly one member"},
      {R"({})", "exactly one member"},
      {R"([])", "exactly one member"},
      {R"({"InsertParagraph":"after"})", "InsertParagraph: expected an object, found a string"},
      {R"({"InsertParagraph":{"after":"a"}})", "InsertParagraph.text: the member is missing"},
      {R"({"InsertParagraph":{"after":7,"text":"b"}})", "InsertParagraph.after: expected a string, found an integer"},
      {R"({"SpliceText":{"region":"Body","block":"b","at":-1,"del":0,"ins":""}})",
       "SpliceText.at: expected an unsigned integer"},
      {R"({"SpliceText":{"region":"Body","block":"b","at":1.0,"del":0,"ins":""}})",
       "SpliceText.at: expected an unsigned integer, found a float"},
      {R"({"SpliceText":{"region":"Middle","block":"b","at":1,"del":0,"ins":""}})", "\"Middle\" is not a region"},
      {R"({"SpliceText":{"region":"body","block":"b","at":1,"del":0,"ins":""}})", "\"body\" is not a region"},
      {R"({"SetImageSize":{"block":"b","width":9223372036854775808,"height":1}})", "out of the signed 64-bit range"},
      {R"({"SetImageSize":{"block":"b","width":"640","height":1}})", "SetImageSize.width: expected a signed integer"},
      {R"({"SetPageMargins":{"top":"72","right":1,"bottom":1,"left":1}})", "SetPageMargins.top: expected a number"},
      {R"({"SplitBlock":{"region":"Body","block":"b","at":2,"kind":"p","ordered":"yes"}})",
       "SplitBlock.ordered: expected a boolean"},
      {R"({"SetMark":{"region":"Body","spans":[{"block":"b","start":0}],"name":"x","value":null,"also_clear":[]}})",
       "SetMark.spans[0].end: the member is missing"},
      {R"({"SetMark":{"region":"Body","spans":[],"name":"x","value":{"Float":1.5},"also_clear":[]}})",
       "\"Float\" is not a mark value"},
      {R"({"SetMark":{"region":"Body","spans":[],"name":"x","value":{"Bool":1},"also_clear":[]}})",
       "SetMark.value.Bool: expected a boolean"},
      {R"({"SetMark":{"region":"Body","spans":[],"name":"x","value":{"Bool":true,"Int":1},"also_clear":[]}})",
       "exactly one member"},
      {R"({"SetMark":{"region":"Body","spans":[],"name":"x","value":null,"also_clear":"bold"}})",
       "SetMark.also_clear: expected an array"},
      {R"({"SetBlockAttr":{"region":"Body","blocks":[],"key":"k","value":{"Int":1.5}}})",
       "SetBlockAttr.value.Int: expected a signed integer"},
      {R"({"SetBlockAttr":{"region":"Body","blocks":[],"key":"k","value":{"Date":1}}})",
       "\"Date\" is not an attribute value"},
      {R"({"SetBlockAttr":{"region":"Body","blocks":[],"key":"k","value":1}})", "exactly one member"},
      {R"({"EditTable":{"table":"t","edit":"InsertRow"}})", "exactly one member"},
      {R"({"EditTable":{"table":"t","edit":{"Delete":{}}}})", "\"Delete\" is not a table edit"},
      {R"({"EditTable":{"table":"t","edit":{"Merge":{}}}})", "\"Merge\" is not a table edit"},
      {R"({"EditTable":{"table":"t","edit":{"DeleteRow":{"column":1}}}})",
       "EditTable.edit.DeleteRow.row: the member is missing"},
      {R"({"InsertImage":{"block":"b","at":0,"bytes":[0,256]}})", "InsertImage.bytes[1]: expected an integer 0 to 255"},
      {R"({"InsertImage":{"block":"b","at":0,"bytes":[-1]}})", "InsertImage.bytes[0]: expected an integer 0 to 255"},
      {R"({"InsertImage":{"block":"b","at":0,"bytes":"AAEC"}})", "InsertImage.bytes: expected an array"},
      {R"({"PasteFragment":{"region":"Body","start_block":"a","start":0,"end_block":"a","end":0,"blocks":[{"kind":"p","text":"x","marks":[{"start":0,"end":1,"name":"b","value":true}]}],"adopt_first_style":false}})",
       "PasteFragment.blocks[0].marks[0].value: expected an object with exactly one member"},
      {R"({"PasteFragment":{"region":"Body","start_block":"a","start":0,"end_block":"a","end":0,"blocks":[]}})",
       "PasteFragment.adopt_first_style: the member is missing"},
      {R"({"AcceptChanges":{"id":5}})", "AcceptChanges.id: expected a string"},
      {R"({"InsertParagraph":{"after":"a","text":"b")", "read a word-processor action"},
  };
  for (const Case& c : cases) {
    auto r = parse_action(c.json);
    ASSERT_FALSE(r.has_value()) << c.json;
    EXPECT_NE(r.error().to_string().find(c.error), std::string::npos)
        << c.json << "\n  gave: " << r.error().to_string();
  }
}

TEST(ActionJson, SupportingRecordsReadAndWriteOnTheirOwn) {
  const Span span{"b", 1, 2};
  EXPECT_EQ(*span_from_json(to_json(span)), span);
  const TocTarget toc{"h", 3, "T", 12};
  EXPECT_EQ(*toc_target_from_json(to_json(toc)), toc);
  const ClipBlock clip{"p", "x", {{0, 1, "b", MarkValue(std::string("v"))}}, 2, false, "left"};
  EXPECT_EQ(*clip_block_from_json(to_json(clip)), clip);
  EXPECT_EQ(*table_edit_from_json(Json("Delete")), TableEdit(table_edit::Delete{}));
  EXPECT_EQ(*mark_value_from_json(mark_value_to_json(MarkValue(std::int64_t{-3}))), MarkValue(std::int64_t{-3}));
  EXPECT_EQ(*attr_value_from_json(attr_value_to_json(AttrValue(2.5))), AttrValue(2.5));
  EXPECT_FALSE(span_from_json(Json::parse(R"({"block":"b","start":"1","end":2})")).has_value());
}

}  // namespace
}  // namespace quern::word_processor
