#include "core/native_failure.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace qor
