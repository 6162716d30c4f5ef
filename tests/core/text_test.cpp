#include "core/text.h"

#include <gtest/gtest.h>

namespace qor::text {
namespace {

// Spelled out as bytes so the test does not depend on the editor's normalisation.
const std::string kCombinedE = "e\xCC\x81";  // e + COMBINING ACUTE ACCENT
const std::string kFamily =                  // man ZWJ woman ZWJ girl ZWJ boy
    "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7\xE2\x80\x8D"
    "\xF0\x9F\x91\xA6";
const std::string kFlagFR = "\xF0\x9F\x87\xAB\xF0\x9F\x87\xB7";
const std::string kFlagDE = "\xF0\x9F\x87\xA9\xF0\x9F\x87\xAA";
const std::string kGrinning = "\xF0\x9F\x98\x80";  // U+1F600
const std::string kReplacement = "\xEF\xBF\xBD";

TEST(Graphemes, CombiningMarksStayWithTheirBase) {
  EXPECT_EQ(graphemeCount(kCombinedE), 1u);
  EXPECT_EQ(graphemeCount("a" + kCombinedE + "\xCC\xA3" + "b"), 3u);  // two marks on one base
  EXPECT_EQ(truncateGraphemes(kCombinedE + "x", 1), kCombinedE);
  EXPECT_EQ(graphemeCount("\r\n"), 1u);
}

TEST(Graphemes, EmojiJoinerSequenceIsOneCharacter) {
  EXPECT_EQ(graphemeCount(kFamily), 1u);
  EXPECT_EQ(graphemeCount(kFamily + kFamily), 2u);
  EXPECT_EQ(truncateGraphemes(kFamily + "ab", 1), kFamily);
}

TEST(Graphemes, RegionalIndicatorsPairIntoFlags) {
  EXPECT_EQ(graphemeCount(kFlagFR + kFlagDE), 2u);
  EXPECT_EQ(truncateGraphemes(kFlagFR + kFlagDE, 1), kFlagFR);
  // A third indicator does not pair with the second flag's half.
  EXPECT_EQ(graphemeCount(kFlagFR + kFlagDE.substr(0, 4)), 2u);
}

TEST(Graphemes, SplitsIntoClustersThatJoinBackToTheInput) {
  const std::string input = "a" + kCombinedE + kFlagFR + kFamily + " ";
  const std::vector<std::string> clusters = graphemes(input);
  ASSERT_EQ(clusters.size(), 5u);
  EXPECT_EQ(clusters[1], kCombinedE);
  EXPECT_EQ(clusters[2], kFlagFR);
  EXPECT_EQ(clusters[3], kFamily);
  std::string joined;
  for (const auto& cluster : clusters)
    joined += cluster;
  EXPECT_EQ(joined, input);
  EXPECT_TRUE(graphemes("").empty());
}

TEST(Graphemes, TruncationLimits) {
  EXPECT_EQ(truncateGraphemes("abc", 0), "");
  EXPECT_EQ(truncateGraphemes("abc", 3), "abc");
  EXPECT_EQ(truncateGraphemes("abc", 4000), "abc");
  EXPECT_EQ(truncateGraphemes("", 5), "");
  EXPECT_EQ(truncateGraphemes(std::string(5000, 'x'), 4000).size(), 4000u);
}

TEST(Graphemes, IllFormedBytesCountAsOneCharacterEach) {
  EXPECT_EQ(graphemeCount("a\xFF"
                          "b"),
            3u);
  EXPECT_EQ(truncateGraphemes("a\xFF"
                              "b",
                              2),
            "a\xFF");
  // A lead byte cut off before its continuation does not swallow the next character.
  EXPECT_EQ(graphemes("\xE2\x82"
                      "x"),
            (std::vector<std::string>{"\xE2\x82", "x"}));
}

TEST(Utf16, CharactersBeyondTheBasicPlaneTakeSurrogatePairs) {
  EXPECT_EQ(utf16Length("abc"), 3u);
  EXPECT_EQ(utf16Length(kCombinedE), 2u);
  EXPECT_EQ(utf16Length("\xC3\xA9"), 1u);  // precomposed e-acute
  EXPECT_EQ(utf16Length(kGrinning), 2u);
  EXPECT_EQ(utf16Length(kFamily), 11u);  // four pairs and three joiners
  EXPECT_EQ(toUtf16(kGrinning), std::u16string({char16_t{0xD83D}, char16_t{0xDE00}}));
  EXPECT_EQ(toUtf16("a\xC3\xA9"), u"a\u00E9");
  EXPECT_EQ(toUtf16("a\xFF"), u"a\uFFFD");
  EXPECT_EQ(utf16Length(""), 0u);
}

TEST(Utf8Repair, ReplacesEachMaximalIllFormedSubpart) {
  EXPECT_EQ(repairUtf8("plain \xC3\xA9 " + kGrinning), "plain \xC3\xA9 " + kGrinning);
  EXPECT_EQ(repairUtf8("a\xFF"
                       "b"),
            "a" + kReplacement + "b");
  EXPECT_EQ(repairUtf8("\xE2\x82"
                       "x"),
            kReplacement + "x");                                   // truncated sequence
  EXPECT_EQ(repairUtf8("\xC0\xAF"), kReplacement + kReplacement);  // overlong "/"
  EXPECT_EQ(repairUtf8("\xED\xA0\x80"), kReplacement + kReplacement + kReplacement);  // surrogate
  EXPECT_EQ(repairUtf8("\xF4\x90\x80\x80"),
            kReplacement + kReplacement + kReplacement + kReplacement);  // above U+10FFFF
  EXPECT_EQ(repairUtf8("\xF0\x9F\x98"), kReplacement);
}

// The one validator serves request lines and D-Bus strings alike, so it holds every boundary of
// the encoding: the edges of each lead byte's range, and bad bytes after long ASCII runs that the
// eight-byte skip passes over.
TEST(Utf8Repair, ValidityCheckHoldsEveryBoundaryOfTheEncoding) {
  struct Case {
    std::string text;
    bool valid;
  };
  const Case cases[] = {
      {"", true},
      {std::string(100, 'a') + kGrinning + std::string(9, 'b'), true},
      {std::string(100, 'a') + "\x80", false},
      {std::string(16, 'a') + "\xF0\x9F\x98" + std::string(16, 'a'), false},
      {std::string("ab\0\xC3", 4), false},
      {"\xC2\x80", true},           // U+0080, the first two-byte form
      {"\xC1\xBF", false},          // overlong U+007F
      {"\xE0\xA0\x80", true},       // U+0800
      {"\xE0\x9F\xBF", false},      // overlong U+07FF
      {"\xED\x9F\xBF", true},       // U+D7FF, below the surrogates
      {"\xED\xA0\x80", false},      // U+D800, a surrogate
      {"\xEE\x80\x80", true},       // U+E000
      {"\xF0\x90\x80\x80", true},   // U+10000
      {"\xF0\x8F\xBF\xBF", false},  // overlong U+FFFF
      {"\xF4\x8F\xBF\xBF", true},   // U+10FFFF, the last scalar
      {"\xF4\x90\x80\x80", false},  // beyond U+10FFFF
      {"\xF5\x80\x80\x80", false},  // a lead byte that never starts one
      {"\xE2\x82", false},          // cut short at the end
      {"\xE2\x28\xA1", false},      // a continuation byte missing
      {std::string(7, 'a') + "\xC3\xA9" + std::string(7, 'a'), true},  // across a word edge
  };
  for (const Case& each : cases) {
    EXPECT_EQ(isValidUtf8(each.text), each.valid) << testing::PrintToString(each.text);
  }
}

}  // namespace
}  // namespace qor::text
