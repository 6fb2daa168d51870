// Markdown import into fragments and documents, and export back: a realistic page in both
// directions, escaping, marks, and hostile input.
#include "runtime/folio/codecs/markdown.h"

#include <gtest/gtest.h>

#include "runtime/folio/doc_mut.h"
#include "tests/runtime/folio/replicas.h"

namespace quern::folio::codecs::markdown {
namespace {

using model::Block;
using model::FragmentBlock;
using model::FragmentMark;

const std::string kHash(64, 'a');

// The page is written the way the export writes, so it must come back unchanged.
const std::string kPage =
    "# Quarterly report\n"
    "\n"
    "Sales grew **12%** this quarter, driven by *new* customers. See "
    "[the dashboard](https://example.org/dash).\n"
    "\n"
    "## Highlights\n"
    "\n"
    "- Launched the `beta` program\n"
    "- Hired three engineers\n"
    "    - two in ***Berlin***\n"
    "    - one remote\n"
    "- Closed ~~two~~ three deals\n"
    "\n"
    "1. Plan the offsite\n"
    "2. Review the budget\\\n"
    "   before June\n"
    "\n"
    "> Customers love the new onboarding.\n"
    "\n"
    "```python\n"
    "print(\"hello\")\n"
    "```\n"
    "\n"
    "| Region | Revenue |\n"
    "| --- | ---: |\n"
    "| North | 1,200 |\n"
    "| South | **900** |\n"
    "\n"
    "![Chart](blob:" +
    kHash +
    ")\n"
    "\n"
    "---\n"
    "\n"
    "Thanks to everyone.\n";

// Marks in a fixed order (by start, end, name), so tests compare what is marked, not the
// order an importer closed them in.
model::Fragment import_ok(std::string_view text) {
  auto f = MarkdownCodec().import(text);
  EXPECT_TRUE(f.has_value());
  if (!f) return {};
  for (FragmentBlock& b : f->blocks)
    std::sort(b.marks.begin(), b.marks.end(), [](const FragmentMark& x, const FragmentMark& y) {
      return std::tie(x.start, x.end, x.name) < std::tie(y.start, y.end, y.name);
    });
  return *f;
}

std::string export_fragment(const model::Fragment& f) {
  crdt::Document doc = test::new_folio();
  model::DocMut mut(doc, test::schema_of(doc));
  EXPECT_TRUE(mut.insert_fragment(model::Region::Body, std::nullopt, f).has_value());
  doc.commit();
  return MarkdownCodec().export_document(test::view_of(doc));
}

TEST(MarkdownImport, ARealisticPageBecomesBlocksWithMarks) {
  const model::Fragment f = import_ok(kPage);
  struct Want {
    std::string kind, text;
  };
  const std::vector<Want> want = {
      {"heading", "Quarterly report"},
      {"paragraph", "Sales grew 12% this quarter, driven by new customers. See the dashboard."},
      {"heading", "Highlights"},
      {"list_item", "Launched the beta program"},
      {"list_item", "Hired three engineers"},
      {"list_item", "two in Berlin"},
      {"list_item", "one remote"},
      {"list_item", "Closed two three deals"},
      {"list_item", "Plan the offsite"},
      {"list_item", "Review the budget\nbefore June"},
      {"quote", "Customers love the new onboarding."},
      {"code", "print(\"hello\")"},
      {"cell", "Region"},
      {"cell", "Revenue"},
      {"cell", "North"},
      {"cell", "1,200"},
      {"cell", "South"},
      {"cell", "900"},
      {"image", ""},
      {"rule", ""},
      {"paragraph", "Thanks to everyone."},
  };
  ASSERT_EQ(f.blocks.size(), want.size());
  for (std::size_t i = 0; i < want.size(); ++i) {
    EXPECT_EQ(f.blocks[i].kind, want[i].kind) << i;
    EXPECT_EQ(f.blocks[i].text, want[i].text) << i;
  }
  using model::attr_bool;
  using model::attr_int;
  using model::attr_str;
  EXPECT_EQ(attr_int(f.blocks[0].attrs, "level"), 1);
  EXPECT_EQ(attr_int(f.blocks[2].attrs, "level"), 2);
  EXPECT_EQ(f.blocks[1].marks, (std::vector<FragmentMark>{{11, 14, "bold", true},
                                                          {39, 42, "italic", true},
                                                          {58, 71, "link", std::string("https://example.org/dash")}}));
  EXPECT_EQ(f.blocks[3].marks, (std::vector<FragmentMark>{{13, 17, "code", true}}));
  EXPECT_EQ(attr_int(f.blocks[4].attrs, "level"), 0);
  EXPECT_EQ(attr_int(f.blocks[5].attrs, "level"), 1);
  EXPECT_EQ(f.blocks[5].marks, (std::vector<FragmentMark>{{7, 13, "bold", true}, {7, 13, "italic", true}}));
  EXPECT_EQ(attr_bool(f.blocks[5].attrs, "ordered"), false);
  EXPECT_EQ(f.blocks[7].marks, (std::vector<FragmentMark>{{7, 10, "strike", true}}));
  EXPECT_EQ(attr_bool(f.blocks[8].attrs, "ordered"), true);
  EXPECT_EQ(attr_int(f.blocks[8].attrs, "level"), 0);
  EXPECT_EQ(*attr_str(f.blocks[11].attrs, "language"), "python");
  for (std::size_t i = 12; i < 18; ++i) {
    EXPECT_EQ(*attr_str(f.blocks[i].attrs, "table"), "t0") << i;
    EXPECT_EQ(attr_int(f.blocks[i].attrs, "row"), static_cast<std::int64_t>((i - 12) / 2)) << i;
    EXPECT_EQ(attr_int(f.blocks[i].attrs, "col"), static_cast<std::int64_t>((i - 12) % 2)) << i;
  }
  EXPECT_EQ(*attr_str(f.blocks[13].attrs, "align"), "right");
  EXPECT_EQ(f.blocks[17].marks, (std::vector<FragmentMark>{{0, 3, "bold", true}}));
  EXPECT_EQ(*attr_str(f.blocks[18].attrs, "blob"), kHash);
  EXPECT_EQ(*attr_str(f.blocks[18].attrs, "alt"), "Chart");
}

TEST(MarkdownExport, ARealisticPageComesBackUnchanged) { EXPECT_EQ(export_fragment(import_ok(kPage)), kPage); }

TEST(MarkdownExport, LeavesTombstonedAndEmptyBlocksOutAndNumbersEachList) {
  crdt::Document doc = test::new_folio();
  model::DocMut mut(doc, test::schema_of(doc));
  ASSERT_TRUE(mut.insert_fragment(model::Region::Body, std::nullopt,
                                  import_ok("Intro\n\n1. one\n2. two\n\nmiddle\n\n1. again\n\ngone\n"))
                  .has_value());
  doc.commit();
  const auto ids = model::blocks_in_order(doc, mut.schema());
  model::DocMut more(doc, test::schema_of(doc));
  ASSERT_TRUE(more.tombstone_block_in(model::Region::Body, ids.back()).has_value());
  ASSERT_TRUE(more.insert_block(ids[0], "paragraph").has_value());  // empty
  const std::string note = *more.insert_note("1", "A footnote");
  doc.commit();
  EXPECT_EQ(MarkdownCodec().export_document(test::view_of(doc)),
            "Intro\n\n1. one\n2. two\n\nmiddle\n\n1. again\n\n[^1]: A footnote\n");
  (void)note;
}

// Text that looks like markdown syntax is escaped, so importing the export gives the text back
// as it was, without marks.
TEST(MarkdownExport, EscapesTextThatWouldReadAsSyntax) {
  for (std::string text :
       {"*not emphasis*", "# not a heading", "1. not a list", "2) nor this", "- nor a bullet", "+ plus",
        "> not a quote", "a_b_c and snake_case", "[not](a link)", "<b>not html</b>", "back\\slash", "AT&T &amp; co",
        "`tick`", "~~not struck~~", "=== not setext", "100% sure! #hashtag", "emoji 🎉 and accents é"}) {
    model::Fragment f{{FragmentBlock{"paragraph", text, {}, {}}}};
    const std::string md = export_fragment(f);
    const model::Fragment back = import_ok(md);
    ASSERT_EQ(back.blocks.size(), 1u) << text << " -> " << md;
    EXPECT_EQ(back.blocks[0].kind, "paragraph") << text << " -> " << md;
    EXPECT_EQ(back.blocks[0].text, text) << md;
    EXPECT_TRUE(back.blocks[0].marks.empty()) << text << " -> " << md;
  }
}

TEST(MarkdownExport, LeadingSpacesNeverTurnALineIntoCode) {
  model::Fragment f{{FragmentBlock{"paragraph", "      Heading .......... 12", {}, {{"toc", true}}}}};
  EXPECT_EQ(export_fragment(f), "Heading .......... 12\n");
}

TEST(MarkdownExport, MarksSurviveAnExportAndImport) {
  struct Case {
    std::string text;
    std::vector<FragmentMark> marks;
  };
  const std::vector<Case> cases = {
      {"bold then italic", {{0, 4, "bold", true}, {10, 16, "italic", true}}},
      {"nested marks here", {{0, 17, "bold", true}, {7, 12, "italic", true}}},
      {"overlapping marks", {{0, 9, "bold", true}, {3, 17, "italic", true}}},
      {"a link with bold", {{2, 6, "link", std::string("https://example.org/a_(b)")}, {12, 16, "bold", true}}},
      {"code `with` ticks", {{0, 17, "code", true}}},
      {"adjacentwords", {{0, 8, "bold", true}, {8, 13, "italic", true}}},
  };
  for (const Case& c : cases) {
    model::Fragment f{{FragmentBlock{"paragraph", c.text, c.marks, {}}}};
    const std::string md = export_fragment(f);
    const model::Fragment back = import_ok(md);
    ASSERT_EQ(back.blocks.size(), 1u) << md;
    EXPECT_EQ(back.blocks[0].text, c.text) << md;
    // The export merges nothing and the import splits nothing that changes the covered ranges.
    for (const FragmentMark& m : c.marks) {
      std::vector<bool> covered(c.text.size(), false);
      for (const FragmentMark& b : back.blocks[0].marks)
        if (b.name == m.name && b.value == m.value)
          for (std::size_t i = b.start; i < b.end; ++i) covered[i] = true;
      for (std::size_t i = m.start; i < m.end; ++i)
        EXPECT_TRUE(covered[i]) << c.text << " " << m.name << " at " << i << ": " << md;
    }
    EXPECT_EQ(back.blocks[0].marks.size() >= c.marks.size(), true) << md;
  }
}

TEST(MarkdownExport, TablesAreWrittenAsFullGridsAtTheirFirstCell) {
  // Cells out of row-major order and with a gap: the export fills the grid.
  model::Fragment f;
  const auto cell = [](std::string text, std::int64_t row, std::int64_t col) {
    return FragmentBlock{"cell", std::move(text), {}, {{"table", "t0"}, {"row", row}, {"col", col}}};
  };
  f.blocks = {FragmentBlock{"paragraph", "Before", {}, {}}, cell("b", 0, 1),   cell("a", 0, 0), cell("c|d", 1, 0),
              FragmentBlock{"paragraph", "After", {}, {}},  cell("late", 2, 1)};
  EXPECT_EQ(export_fragment(f), "Before\n\n| a | b |\n| --- | --- |\n| c\\|d | |\n| | late |\n\nAfter\n");
}

TEST(MarkdownImport, ContinuationParagraphsJoinTheirListItem) {
  const model::Fragment f = import_ok("- first\n\n  more of it\n- second\n");
  ASSERT_EQ(f.blocks.size(), 2u);
  EXPECT_EQ(f.blocks[0].text, "first\nmore of it");
  EXPECT_EQ(f.blocks[1].text, "second");
}

TEST(MarkdownImport, ImagesInsideTextGetBlocksOfTheirOwn) {
  const model::Fragment f = import_ok("Look: ![a cat](https://example.org/cat.png) isn't it *nice*?");
  ASSERT_EQ(f.blocks.size(), 3u);
  EXPECT_EQ(f.blocks[0].text, "Look:");
  EXPECT_EQ(f.blocks[1].kind, "image");
  EXPECT_EQ(*model::attr_str(f.blocks[1].attrs, "src"), "https://example.org/cat.png");
  EXPECT_EQ(f.blocks[2].text, "isn't it nice?");
  EXPECT_EQ(f.blocks[2].marks, (std::vector<FragmentMark>{{9, 13, "italic", true}}));
}

TEST(MarkdownImport, HostileInputNeitherCrashesNorHangs) {
  for (const std::string& text :
       {std::string(20000, '>') + " deep", std::string(20000, '*'), std::string(20000, '['),
        [] {
          std::string s;
          for (int i = 0; i < 500; ++i) s += std::string(static_cast<std::size_t>(i * 2), ' ') + "- x\n";
          return s;
        }(),
        std::string("\xff\xfe invalid \xc3 utf8"), std::string("| a |\n| - |\n") + std::string(5000, '|')}) {
    auto f = MarkdownCodec().import(text);
    ASSERT_TRUE(f.has_value());
    (void)export_fragment(*f);
  }
  EXPECT_TRUE(import_ok("").blocks.empty());
}

}  // namespace
}  // namespace quern::folio::codecs::markdown
