#include "core/native_failure.h"

#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <string>
#include <string_view>

namespace qor {
namespace {

TEST(NativeFailure, WritesEmptyDetailsAsAnEmptyObject) {
  const NativeFailure failure("invalidArgument", "Missing string: bundleId");
  EXPECT_EQ(wire::serialize(failure.json()),
            R"({"code":"invalidArgument","details":{},"message":"Missing string: bundleId"})");
  EXPECT_EQ(wire::serialize(NativeFailure("cancelled", "Operation stopped", Json()).json()),
            R"({"code":"cancelled","details":{},"message":"Operation stopped"})");
}

TEST(NativeFailure, CarriesDetailsUnderExactlyThreeKeys) {
  Json details = Json::object();
  details["bundleId"] = "com.example.notes";
  details["permission"] = "automation";
  const NativeFailure failure("missingPermission",
                              "macOS Automation access is required for the selected application",
                              details);
  const Json record = failure.json();
  EXPECT_EQ(record.size(), 3u);
  EXPECT_EQ(record.at("details"), details);
  EXPECT_EQ(wire::serialize(record),
            R"({"code":"missingPermission","details":{"bundleId":"com.example.notes",)"
            R"("permission":"automation"},"message":"macOS Automation access is required for )"
            R"(the selected application"})");
}

TEST(NativeFailure, IsThrownAndCaughtAsARecord) {
  try {
    throw invalidArgument("Unknown action type: hover");
  } catch (const std::exception& error) {
    const auto* failure = dynamic_cast<const NativeFailure*>(&error);
    ASSERT_NE(failure, nullptr);
    EXPECT_EQ(failure->code(), "invalidArgument");
    EXPECT_EQ(failure->message(), "Unknown action type: hover");
    EXPECT_EQ(failure->details(), Json::object());
    EXPECT_STREQ(error.what(), "Unknown action type: hover");
  }
}

// The closed list of codes: a code outside it does not compile (FailureCode is consteval), and
// each code is the lower camel case word a controller branches on.
static_assert(isFailureCode("staleObservation"));
static_assert(!isFailureCode("StaleObservation"));
static_assert(!isFailureCode(""));

TEST(FailureCodes, AreDistinctLowerCamelCaseWords) {
  std::set<std::string_view> distinct(kFailureCodes.begin(), kFailureCodes.end());
  EXPECT_EQ(distinct.size(), kFailureCodes.size());
  const std::regex lowerCamelCase("[a-z]+([A-Z][a-z]+)*");
  for (std::string_view code : kFailureCodes) {
    EXPECT_TRUE(std::regex_match(std::string(code), lowerCamelCase)) << code;
  }
}

TEST(NativeFailure, WithDetailsKeepsCodeAndMessageAndReplacesOnlyTheDetails) {
  const NativeFailure original("focusUnavailable", "Not in front", Json{{"focused", false}});
  for (const Json& details : {Json{{"failedIndex", 2}}, Json(), Json::object()}) {
    NativeFailure changed = original.withDetails(details);
    EXPECT_EQ(changed.code(), "focusUnavailable");
    EXPECT_EQ(changed.message(), "Not in front");
    EXPECT_EQ(changed.details(), details.is_null() ? Json::object() : details) << details;
  }
  EXPECT_EQ(original.details(), (Json{{"focused", false}}));
}

}  // namespace
}  // namespace qor
