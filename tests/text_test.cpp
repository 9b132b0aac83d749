#include <gtest/gtest.h>

#include "catalog/text.h"

TEST(Text, FitFieldNeverBreaksACharacter) {
  EXPECT_EQ(FitField("abc", 80), "abc");
  EXPECT_EQ(FitField("abcdef", 4), "abc");
  EXPECT_EQ(FitField("a\xC3\xA9", 3), "a");          // é would need bytes 2-3 of 2
  EXPECT_EQ(FitField("\xE6\x97\xA5\xE6\x9C\xAC", 6), "\xE6\x97\xA5");
  EXPECT_EQ(FitField("\xF0\x9F\x8E\xB5x", 4), "");   // a 4-byte note does not fit 3 bytes
  EXPECT_EQ(FitField("ab\xFF\xFE", 4), "ab\xFF");    // stray bytes count singly
  EXPECT_EQ(FitField("abc", 0), "");
}

TEST(Text, LowerCasingIsUnicodeAwareAndKeepsInvalidBytes) {
  EXPECT_EQ(Utf8Lower("SONG.MP3"), "song.mp3");
  EXPECT_EQ(Utf8Lower("CAFÉ ÀÖ ΣΟΦΊΑ"), "café àö σοφία");
  EXPECT_EQ(Utf8Lower("ДОМ"), "дом");
  EXPECT_EQ(Utf8Lower("日本語"), "日本語");
  EXPECT_EQ(Utf8Lower("A\xFF" "B\xC3"), "a\xFF" "b\xC3");  // not UTF-8: byte for byte
  EXPECT_EQ(Utf8Lower("\xC0\xAF" "X"), "\xC0\xAF" "x");   // overlong form stays raw
}

TEST(Text, EscapingDoublesOnlyTheGivenQuote) {
  EXPECT_EQ(SqlEscape("it's \"x\"", '\''), "it''s \"x\"");
  EXPECT_EQ(SqlEscape("it's \"x\"", '"'), "it's \"\"x\"\"");
  EXPECT_EQ(FolderLikeArgument("/a_b%c\\d'/"), "'/a\\_b\\%c\\\\d''/%' ESCAPE '\\'");
  EXPECT_EQ(ExactLikeArgument("/a_b/"), "'/a\\_b/' ESCAPE '\\'");
}
