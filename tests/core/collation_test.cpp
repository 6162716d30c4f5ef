#include "core/collation.h"

#include <gtest/gtest.h>

#include <string>

namespace qor {
namespace {

int order(std::string_view a, std::string_view b) {
  const int result = localizedStandardCompare(a, b);
  return (result > 0) - (result < 0);
}

TEST(LocalizedStandardCompare, ComparesDigitRunsByValue) {
  EXPECT_EQ(order("Notes 2", "Notes 10"), -1);
  EXPECT_EQ(order("Notes 10", "Notes 2"), 1);
  EXPECT_EQ(order("File9b", "File10a"), -1);
  EXPECT_EQ(order("v1.10", "v1.9"), 1);
  EXPECT_EQ(order("Notes 007", "Notes 7"), 0);
  EXPECT_EQ(order("x0", "x00"), 0);
  // Runs far beyond any integer type compare by value without overflow.
  const std::string big(40, '9');
  EXPECT_EQ(order("n" + big, "n1" + std::string(40, '0')), -1);
  EXPECT_EQ(order("n000" + big, "n" + big), 0);
  EXPECT_EQ(order("n" + big + "1", "n" + big + "2"), -1);
  // A digit sorts before a letter, as in plain code-point order.
  EXPECT_EQ(order("Notes 2", "Notes A"), -1);
}

TEST(LocalizedStandardCompare, IgnoresCaseWithFullCaseFolding) {
  EXPECT_EQ(order("calculator", "Calculator"), 0);
  EXPECT_EQ(order("apple", "Banana"), -1);
  EXPECT_EQ(order("Zed", "apple"), 1);
  EXPECT_EQ(order("STRASSE", "straße"), 0);
  EXPECT_EQ(order("ÉCLAIR", "éclair"), 0);
  // Composed and decomposed forms of the same text are equivalent.
  EXPECT_EQ(order("caf\u00e9", "cafe\u0301"), 0);
}

TEST(LocalizedStandardCompare, OrdersPrefixesAndOddInputConsistently) {
  EXPECT_EQ(order("", ""), 0);
  EXPECT_EQ(order("", "a"), -1);
  EXPECT_EQ(order("Mail", "Mailbox"), -1);
  EXPECT_EQ(order("Notes", "Notes 1"), -1);
  // Malformed UTF-8 is read as U+FFFD rather than refused.
  EXPECT_EQ(order("a\xff", "a\xef\xbf\xbd"), 0);
  EXPECT_EQ(order("a\xff", "b"), -1);
}

}  // namespace
}  // namespace qor
