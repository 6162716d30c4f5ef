#include "core/native_keys.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "core/native_failure.h"

namespace qor {
namespace {

const std::string kUnknownKey = "Unknown key; use a named key or macOS virtual key code 0...127";

// The message a refused call fails with ("" when it succeeds); every refusal is an
// invalidArgument record with empty details.
template <typename Call>
std::string refusal(Call call) {
  try {
    call();
    return "";
  } catch (const NativeFailure& failure) {
    EXPECT_EQ(failure.code(), "invalidArgument");
    EXPECT_EQ(failure.details(), Json::object());
    return failure.message();
  }
}

std::uint16_t codeOf(const Json& value) {
  return NativeKeys::code(&value);
}

TEST(NativeKeysNamed, HoldsTheSixtyThreeLowerCaseNames) {
  const auto& named = NativeKeys::named();
  EXPECT_EQ(named.size(), 63u);
  for (const auto& [name, keyCode] : named) {
    EXPECT_LE(keyCode, 127) << name;
    for (const char c : name) {
      EXPECT_FALSE(c >= 'A' && c <= 'Z') << name;
    }
  }
  EXPECT_EQ(named.at("enter"), 36);
  EXPECT_EQ(named.at("return"), 36);
  EXPECT_EQ(named.at("backspace"), 51);
  EXPECT_EQ(named.at("delete"), 117);
  EXPECT_EQ(named.at("a"), 0);
  EXPECT_EQ(named.at("m"), 46);
  EXPECT_EQ(named.at("6"), 22);
  EXPECT_EQ(named.at("5"), 23);
  EXPECT_EQ(named.at("f1"), 122);
  EXPECT_EQ(named.at("f12"), 111);
  // Only enter and return share a key.
  std::set<std::uint16_t> codes;
  for (const auto& entry : named) {
    codes.insert(entry.second);
  }
  EXPECT_EQ(codes.size(), 62u);
}

TEST(NativeKeysCode, ReadsNamesInAnyCaseButNeverStringsAsNumbers) {
  EXPECT_EQ(codeOf("ESCAPE"), 53);
  EXPECT_EQ(codeOf("Enter"), 36);
  EXPECT_EQ(codeOf("pageDown"), 121);
  for (const Json& refused : {Json("esc"), Json("36"), Json(""), Json(" tab"), Json("\u212A")}) {
    EXPECT_EQ(refusal([&] { codeOf(refused); }), kUnknownKey) << refused;
  }
}

TEST(NativeKeysCode, AcceptsIntegralNonBooleanNumbersFromZeroTo127) {
  EXPECT_EQ(codeOf(0), 0);
  EXPECT_EQ(codeOf(127), 127);
  EXPECT_EQ(codeOf(127u), 127);
  EXPECT_EQ(codeOf(36.0), 36);
  EXPECT_EQ(codeOf(-0.0), 0);
  for (const Json& refused : {Json(-1), Json(128), Json(128u), Json(12.5), Json(36.5), Json(-0.5),
                              Json(127.0000001), Json(true), Json(false), Json(nullptr),
                              Json::array({36}), Json(std::nan("")), Json(1e300)}) {
    EXPECT_EQ(refusal([&] { codeOf(refused); }), kUnknownKey) << refused;
  }
  EXPECT_EQ(refusal([] { NativeKeys::code(nullptr); }), kUnknownKey);
}

TEST(NativeKeysFlags, CombinesExactModifierNamesAndStopsAtTheFirstUnknown) {
  EXPECT_EQ(NativeKeys::flags({}), 0u);
  EXPECT_EQ(NativeKeys::flags({"command", "shift"}), 0x100000u | 0x20000u);
  EXPECT_EQ(NativeKeys::flags({"alt", "option"}), 0x80000u);
  EXPECT_EQ(NativeKeys::flags({"control", "control"}), 0x40000u);
  EXPECT_EQ(refusal([] { NativeKeys::flags({"Shift"}); }), "Unknown key modifier: Shift");
  EXPECT_EQ(refusal([] {
              NativeKeys::flags({"command", " shift", "Meta"});
            }),
            "Unknown key modifier:  shift");
  EXPECT_EQ(refusal([] { NativeKeys::flags({""}); }), "Unknown key modifier: ");
}

}  // namespace
}  // namespace qor
