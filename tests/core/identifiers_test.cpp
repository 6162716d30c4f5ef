#include "core/identifiers.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <string_view>

namespace qor::ids {
namespace {

// 8-4-4-4-12 upper-case hex digits, version 4, RFC 4122 variant.
bool isCanonicalVersion4(const std::string& id) {
  if (id.size() != 36) {
    return false;
  }
  for (std::size_t i = 0; i < id.size(); ++i) {
    const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    const bool ok =
        dash ? id[i] == '-'
             : std::string_view("0123456789ABCDEF").find(id[i]) != std::string_view::npos;
    if (!ok) {
      return false;
    }
  }
  return id[14] == '4' && std::string_view("89AB").find(id[19]) != std::string_view::npos;
}

TEST(NewUUID, IsCanonicalUpperCaseVersion4) {
  EXPECT_TRUE(isCanonicalVersion4("1B4E28BA-2FA1-4D2E-883F-0016D3CCA427"));
  EXPECT_FALSE(isCanonicalVersion4("1b4e28ba-2fa1-4d2e-883f-0016d3cca427"));
  for (int i = 0; i < 1000; ++i) {
    const std::string id = newUUID();
    EXPECT_TRUE(isCanonicalVersion4(id)) << id;
  }
}

TEST(NewUUID, DoesNotRepeat) {
  std::set<std::string> seen;
  for (int i = 0; i < 10000; ++i) {
    seen.insert(newUUID());
  }
  EXPECT_EQ(seen.size(), 10000u);
}

TEST(Iso8601UTC, WritesWholeSecondsWithZSuffix) {
  EXPECT_EQ(iso8601UTC(0), "1970-01-01T00:00:00Z");
  EXPECT_EQ(iso8601UTC(1800000000), "2027-01-15T08:00:00Z");
  EXPECT_EQ(iso8601UTC(951868799), "2000-02-29T23:59:59Z");
  EXPECT_EQ(iso8601UTC(1709210096), "2024-02-29T12:34:56Z");
  EXPECT_EQ(iso8601UTC(4107542400), "2100-03-01T00:00:00Z");  // 2100 is not a leap year
}

TEST(Iso8601UTC, CountsDaysBackwardsBefore1970) {
  EXPECT_EQ(iso8601UTC(-1), "1969-12-31T23:59:59Z");
  EXPECT_EQ(iso8601UTC(-86400), "1969-12-31T00:00:00Z");
  EXPECT_EQ(iso8601UTC(-2208988800), "1900-01-01T00:00:00Z");
}

}  // namespace
}  // namespace qor::ids
