#include "runtime/util/unicode.h"

#include <gtest/gtest.h>

namespace quern::unicode {
namespace {

TEST(Unicode, TrimsUnicodeWhiteSpace) {
  struct Case {
    std::string_view in, want;
  };
  for (auto c :
       {Case{"  Claude: hi \n", "Claude: hi"}, Case{"\u00a0\u3000word\u2003", "word"}, Case{"", ""}, Case{" \t\n ", ""},
        Case{"a b", "a b"}, Case{"\u200bx", "\u200bx"} /* zero-width space is not white space */}) {
    EXPECT_EQ(trim(c.in), c.want) << c.in;
  }
}

TEST(Unicode, LowerCasesFully) {
  struct Case {
    std::string_view in, want;
  };
  for (auto c : {Case{"Claude: Turn The BULLETS", "claude: turn the bullets"}, Case{"ÉCOLE Ça", "école ça"},
                 Case{"ΟΔΟΣ", "οδος"} /* final sigma */, Case{"ΣΑΣ ΟΔΟΣ.", "σας οδος."}, Case{"İ", "i\u0307"},
                 Case{"ADA: Do it 🎉", "ada: do it 🎉"}}) {
    EXPECT_EQ(to_lower(c.in), c.want) << c.in;
  }
}

TEST(Unicode, ClassesLettersDigitsAndSpace) {
  EXPECT_TRUE(is_letter(U'é'));
  EXPECT_TRUE(is_letter(U'ж'));
  EXPECT_TRUE(is_letter(U'漢'));
  EXPECT_FALSE(is_letter(U'-'));
  EXPECT_TRUE(is_digit(U'7'));
  EXPECT_TRUE(is_digit(U'٣'));  // Arabic-Indic three
  EXPECT_TRUE(is_digit(U'½'));
  EXPECT_FALSE(is_letter_or_digit(U'🎉'));
  EXPECT_TRUE(is_white_space(U'\u00a0'));
  EXPECT_FALSE(is_white_space(U'x'));
}

TEST(Unicode, CountsAndSlicesByCharacters) {
  const std::string_view text = "né🎉x";  // n, é (2 bytes), 🎉 (4 bytes), x
  EXPECT_EQ(text.size(), 8u);
  EXPECT_EQ(char_count(text), 4u);
  EXPECT_EQ(byte_offset(text, 0), 0u);
  EXPECT_EQ(byte_offset(text, 2), 3u);
  EXPECT_EQ(byte_offset(text, 3), 7u);
  EXPECT_EQ(byte_offset(text, 4), 8u);
  EXPECT_EQ(byte_offset(text, 5), std::nullopt);
  EXPECT_EQ(char_offset(text, 3), 2u);
  EXPECT_EQ(char_offset(text, 2), std::nullopt);  // inside é
  EXPECT_EQ(char_offset(text, 9), std::nullopt);
  EXPECT_EQ(slice_chars(text, 1, 2), "é🎉");
  EXPECT_EQ(slice_chars(text, 3, 10), "x");
  EXPECT_EQ(slice_chars(text, 9, 1), "");
  EXPECT_EQ(first_chars(text, 2), "né");
}

TEST(Unicode, MalformedBytesCountOneEachAndNeverOverrun) {
  const std::string bad = "a\xff\xe2\x82";  // stray byte, truncated three-byte sequence
  EXPECT_FALSE(is_valid_utf8(bad));
  EXPECT_EQ(char_count(bad), 4u);
  EXPECT_EQ(decode(bad), (std::u32string{U'a', 0xFFFD, 0xFFFD, 0xFFFD}));
  EXPECT_EQ(to_lower("A\xff"), "a\xef\xbf\xbd");
  EXPECT_TRUE(is_valid_utf8("ok \xef\xbf\xbd é"));
  EXPECT_FALSE(is_valid_utf8("\xed\xa0\x80"));  // an encoded surrogate
  EXPECT_FALSE(is_valid_utf8("\xc0\xaf"));      // overlong
}

}  // namespace
}  // namespace quern::unicode
