#include "core/native_parameters.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>

#include "core/native_failure.h"

namespace qor::NativeParameters {
namespace {

// The message of the invalidArgument failure the call raises ("" and a test failure otherwise).
std::string refusal(const std::function<void()>& call) {
  try {
    call();
  } catch (const NativeFailure& failure) {
    EXPECT_EQ(failure.code(), "invalidArgument");
    EXPECT_EQ(failure.details(), Json::object());
    return failure.message();
  }
  ADD_FAILURE() << "expected a failure";
  return "";
}

const Json kParams = Json::parse(R"({
  "space": " ", "padded": "  Ab  ", "empty": "", "five": 5, "null": null, "list": ["a"],
  "map": {"a": 1}, "yes": true, "no": false, "zero": 0, "seven": 7, "half": 2.5,
  "two": 2.0, "negative": -3, "quoted": "5", "huge": 1e300, "max": 18446744073709551615,
  "one": 1, "oneFloat": 1.0, "zeroFloat": 0.0
})");

const Json* value(const char* key) {
  return find(kParams, key);
}

TEST(StringParameter, ReturnsNonEmptyStringsUnchanged) {
  EXPECT_EQ(string(kParams, "space"), " ");
  EXPECT_EQ(string(kParams, "padded"), "  Ab  ");
}

TEST(StringParameter, RefusesAnythingElseNamingTheKey) {
  for (const char* key : {"empty", "five", "null", "list", "map", "yes", "absent"}) {
    EXPECT_EQ(refusal([&] { string(kParams, key); }), std::string("Missing string: ") + key);
  }
  EXPECT_EQ(refusal([] { string(Json::array(), "bundleId"); }), "Missing string: bundleId");
  EXPECT_EQ(refusal([] { string(kParams, "Bundle ID"); }), "Missing string: Bundle ID");
}

TEST(NumberParameter, ReturnsFiniteNumbersAsDoubles) {
  EXPECT_EQ(number(kParams, "zero"), 0.0);
  EXPECT_EQ(number(kParams, "seven"), 7.0);
  EXPECT_EQ(number(kParams, "half"), 2.5);
  EXPECT_EQ(number(kParams, "negative"), -3.0);
  EXPECT_EQ(number(kParams, "max"), 18446744073709551615.0);
}

TEST(NumberParameter, RefusesBooleansStringsAndNonFiniteValues) {
  for (const char* key : {"yes", "quoted", "null", "list", "absent"}) {
    EXPECT_EQ(refusal([&] { number(kParams, key); }),
              std::string("Expected finite number: ") + key);
  }
  const Json built = {{"x", std::numeric_limits<double>::infinity()}, {"y", std::nan("")}};
  EXPECT_EQ(refusal([&] { number(built, "x"); }), "Expected finite number: x");
  EXPECT_EQ(refusal([&] { number(built, "y"); }), "Expected finite number: y");
}

TEST(BoundedIntParameter, AbsentGivesTheDefaultUnchecked) {
  EXPECT_EQ(boundedInt(nullptr, 500, 1, 2000), 500);
  EXPECT_EQ(boundedInt(nullptr, 99, 1, 2), 99);
}

TEST(BoundedIntParameter, AcceptsIntegralNumbersInsideTheClosedRange) {
  EXPECT_EQ(boundedInt(value("two"), 1, 1, 2), 2);  // 2.0 counts as 2
  EXPECT_EQ(boundedInt(value("seven"), 1, 7, 9), 7);
  EXPECT_EQ(boundedInt(value("seven"), 1, 1, 7), 7);
  EXPECT_EQ(boundedInt(value("negative"), 0, -5, 5), -3);
}

TEST(BoundedIntParameter, RefusesEverythingElseWithTheRange) {
  for (const char* key : {"null", "half", "yes", "quoted", "huge", "max", "list"}) {
    EXPECT_EQ(refusal([&] { boundedInt(value(key), 1, 1, 100); }), "Integer outside 1...100")
        << key;
  }
  EXPECT_EQ(refusal([] { boundedInt(value("seven"), 1, 8, 9); }), "Integer outside 8...9");
  EXPECT_EQ(refusal([] { boundedInt(value("seven"), 1, 1, 6); }), "Integer outside 1...6");
  EXPECT_EQ(refusal([] { boundedInt(value("negative"), 0, -2, 5); }), "Integer outside -2...5");
  EXPECT_EQ(refusal([] {
              boundedInt(value("huge"), 0, std::numeric_limits<std::int64_t>::min(),
                         std::numeric_limits<std::int64_t>::max());
            }),
            "Integer outside -9223372036854775808...9223372036854775807");
}

TEST(WindowIdParameter, AbsentOrNullIsNone) {
  EXPECT_EQ(windowID(Json::object()), std::nullopt);
  EXPECT_EQ(windowID(Json::parse(R"({"windowId": null})")), std::nullopt);
  EXPECT_EQ(windowID(Json::parse(R"({"windowID": 5})")),
            std::nullopt);  // the key has a lower-case d
}

TEST(WindowIdParameter, AcceptsTheFullUnsigned32BitRange) {
  EXPECT_EQ(windowID(Json::parse(R"({"windowId": 1})")), 1u);
  EXPECT_EQ(windowID(Json::parse(R"({"windowId": 42.0})")), 42u);
  EXPECT_EQ(windowID(Json::parse(R"({"windowId": 4294967295})")), 4294967295u);
}

TEST(WindowIdParameter, RefusesOtherValuesWithTheWindowRange) {
  for (const char* raw : {"0", "-1", "4294967296", "1.5", "\"7\"", "true", "[]"}) {
    const Json params = Json::parse(std::string(R"({"windowId": )") + raw + "}");
    EXPECT_EQ(refusal([&] { windowID(params); }), "Integer outside 1...4294967295") << raw;
  }
}

TEST(BooleanParameter, AcceptsBooleansAndTheNumbersOneAndZero) {
  EXPECT_EQ(boolean(kParams, "yes"), true);
  EXPECT_EQ(boolean(kParams, "no"), false);
  EXPECT_EQ(boolean(kParams, "one"), true);
  EXPECT_EQ(boolean(kParams, "zero"), false);
  EXPECT_EQ(boolean(kParams, "oneFloat"), true);
  EXPECT_EQ(boolean(kParams, "zeroFloat"), false);
}

TEST(BooleanParameter, TreatsEverythingElseAsAbsent) {
  for (const char* key : {"seven", "half", "quoted", "null", "list", "absent"}) {
    EXPECT_EQ(boolean(kParams, key), std::nullopt) << key;
  }
}

TEST(FindParameter, SeesNullAsPresentAndNonObjectsAsEmpty) {
  ASSERT_NE(find(kParams, "null"), nullptr);
  EXPECT_TRUE(find(kParams, "null")->is_null());
  EXPECT_EQ(find(kParams, "absent"), nullptr);
  EXPECT_EQ(find(Json::array({1}), "0"), nullptr);
  EXPECT_EQ(find(Json(), "x"), nullptr);
}

}  // namespace
}  // namespace qor::NativeParameters
