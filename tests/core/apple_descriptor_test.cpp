#include "core/apple_descriptor.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "core/apple_event_json.h"
#include "core/native_failure.h"

namespace qor {
namespace {

// The message of the "invalidArgument" failure that converting json raises, or "" if none.
std::string refusal(const Json& json, int depth = 0) {
  try {
    appleDescriptor(json, depth);
  } catch (const NativeFailure& failure) {
    EXPECT_EQ(failure.code(), "invalidArgument");
    EXPECT_EQ(failure.details(), Json::object());
    return failure.message();
  }
  return "";
}

Json typed(std::string type, Json value) {
  return {{"type", std::move(type)}, {"value", value}};
}

// A string wrapped in `levels` one-element lists.
Json nestedInLists(int levels) {
  Json json = typed("string", "deep");
  for (int i = 0; i < levels; ++i) {
    json = typed("list", Json::array({json}));
  }
  return json;
}

AppleDescriptor nestedReplyLists(int levels) {
  AppleDescriptor descriptor = integerDescriptor(7);
  for (int i = 0; i < levels; ++i) {
    descriptor = listDescriptor({descriptor});
  }
  return descriptor;
}

constexpr const char* kCodeMessage = "Apple Event codes must be four ASCII characters";

TEST(FourCharTest, PacksFourAsciiBytesBigEndianAndRefusesAnythingElse) {
  EXPECT_EQ(fourChar("obj "), 0x6F626A20u);
  EXPECT_EQ(fourChar("----"), ae::kDirectObject);
  EXPECT_EQ(fourChar("reco"), 1919247215u);
  EXPECT_EQ(fourCharText(fourChar("aevt")), "aevt");
  for (const char* bad : {"obj", "objec", "", "ob\xC3\xA9"}) {
    try {
      fourChar(bad);
      ADD_FAILURE() << "accepted " << bad;
    } catch (const NativeFailure& failure) {
      EXPECT_EQ(failure.message(), kCodeMessage);
    }
  }
}

TEST(AppleDescriptorFromJsonTest, StringNeedsAStringValue) {
  EXPECT_EQ(stringValue(appleDescriptor(typed("string", ""), 0)), "");
  EXPECT_EQ(appleDescriptor(typed("string", "h\xC3\xA9"), 0).type, ae::kText);
  EXPECT_EQ(refusal({{"type", "string"}}), "Expected string descriptor");
  EXPECT_EQ(refusal(typed("string", 5)), "Expected string descriptor");
}

TEST(AppleDescriptorFromJsonTest, IntegerIsSigned32BitAndAbsentMeansZero) {
  EXPECT_EQ(int32Value(appleDescriptor({{"type", "integer"}}, 0)), 0);
  EXPECT_EQ(int32Value(appleDescriptor(typed("integer", -2147483648LL), 0)), -2147483648LL);
  EXPECT_EQ(int32Value(appleDescriptor(typed("integer", 2147483647), 0)), 2147483647);
  const std::string range = "Integer outside -2147483648...2147483647";
  EXPECT_EQ(refusal(typed("integer", 2147483648LL)), range);
  EXPECT_EQ(refusal(typed("integer", 3.5)), range);
  EXPECT_EQ(refusal(typed("integer", true)), range);
  EXPECT_EQ(refusal(typed("integer", "1")), range);
}

TEST(AppleDescriptorFromJsonTest, BooleanAcceptsTrueFalseOneAndZero) {
  EXPECT_EQ(booleanValue(appleDescriptor(typed("boolean", true), 0)), true);
  EXPECT_EQ(booleanValue(appleDescriptor(typed("boolean", 1), 0)), true);
  EXPECT_EQ(booleanValue(appleDescriptor(typed("boolean", 0), 0)), false);
  EXPECT_EQ(refusal(typed("boolean", 2)), "Expected Boolean descriptor");
  EXPECT_EQ(refusal(typed("boolean", "true")), "Expected Boolean descriptor");
  EXPECT_EQ(refusal({{"type", "boolean"}}), "Expected Boolean descriptor");
}

TEST(AppleDescriptorFromJsonTest, TypeAndEnumNeedFourCharacterCodes) {
  AppleDescriptor enumerator = appleDescriptor(typed("enum", "yes "), 0);
  EXPECT_EQ(enumerator.type, ae::kEnumerated);
  EXPECT_EQ(stringValue(enumerator), "yes ");
  EXPECT_EQ(appleDescriptor(typed("type", "utxt"), 0).type, ae::kTypeCode);
  EXPECT_EQ(refusal(typed("enum", "yes")), kCodeMessage);
  EXPECT_EQ(refusal(typed("type", "y\xC3\xA9s")), kCodeMessage);
  EXPECT_EQ(refusal({{"type", "enum"}}), "Missing string: value");
  EXPECT_EQ(refusal(typed("type", "")), "Missing string: value");
}

TEST(AppleDescriptorFromJsonTest, FileNeedsAnAbsolutePathThatNeedNotExist) {
  AppleDescriptor file = appleDescriptor(typed("file", "/no such/dir/r\xC3\xA9sum\xC3\xA9.txt"), 0);
  EXPECT_EQ(file.type, ae::kFileURL);
  EXPECT_EQ(stringValue(file), "file:///no%20such/dir/r%C3%A9sum%C3%A9.txt");
  EXPECT_EQ(fileURLPath(file), "/no such/dir/r\xC3\xA9sum\xC3\xA9.txt");
  EXPECT_EQ(refusal(typed("file", "docs/a.txt")), "File descriptors require absolute paths");
  EXPECT_EQ(refusal(typed("file", "~/a.txt")), "File descriptors require absolute paths");
  EXPECT_EQ(refusal(typed("file", 3)), "Missing string: value");
}

TEST(AppleDescriptorFromJsonTest, ListKeepsOrderAndHoldsAtMost200Objects) {
  AppleDescriptor list =
      appleDescriptor(typed("list", {typed("integer", 1), typed("string", "two")}), 0);
  ASSERT_EQ(list.type, ae::kList);
  EXPECT_EQ(int32Value(*itemAt(list, 1)), 1);
  EXPECT_EQ(stringValue(*itemAt(list, 2)), "two");
  EXPECT_EQ(itemAt(list, 3), nullptr);
  EXPECT_TRUE(appleDescriptor(typed("list", Json::array()), 0).items.empty());

  Json full = Json::array();
  for (int i = 0; i < 200; ++i)
    full.push_back(typed("integer", i));
  EXPECT_EQ(appleDescriptor(typed("list", full), 0).items.size(), 200u);
  full.push_back(typed("integer", 200));
  const std::string message = "Expected descriptor list with at most 200 entries";
  EXPECT_EQ(refusal(typed("list", full)), message);
  EXPECT_EQ(refusal(typed("list", {typed("integer", 1), "bare"})), message);
  EXPECT_EQ(refusal(typed("list", typed("integer", 1))), message);
  // Element failures surface unchanged.
  EXPECT_EQ(refusal(typed("list", {typed("integer", 1), typed("STRING", "x")})),
            "Unsupported descriptor type");
}

TEST(AppleDescriptorFromJsonTest, RecordHoldsAtMost100ObjectsUnderFourCharacterKeys) {
  AppleDescriptor record = appleDescriptor(
      typed("record", {{"pnam", typed("string", "Doc")}, {"----", typed("integer", 4)}}), 0);
  ASSERT_EQ(record.type, ae::kRecord);
  EXPECT_EQ(stringValue(*field(record, fourChar("pnam"))), "Doc");
  EXPECT_EQ(int32Value(*field(record, ae::kDirectObject)), 4);

  Json entries = Json::object();
  for (int i = 0; i < 101; ++i) {
    char key[5];
    std::snprintf(key, sizeof key, "k%03d", i);
    entries[key] = typed("integer", i);
  }
  EXPECT_EQ(refusal(typed("record", entries)), "Expected descriptor record");
  entries.erase("k100");
  EXPECT_EQ(appleDescriptor(typed("record", entries), 0).fields.size(), 100u);
  EXPECT_EQ(refusal(typed("record", {{"pnam", "bare"}})), "Expected descriptor record");
  EXPECT_EQ(refusal(typed("record", Json::array())), "Expected descriptor record");
  EXPECT_EQ(refusal(typed("record", {{"pname", typed("string", "x")}})), kCodeMessage);
  // The value is converted before its key is read.
  EXPECT_EQ(refusal(typed("record", {{"pname", typed("bogus", "x")}})),
            "Unsupported descriptor type");
}

TEST(AppleDescriptorFromJsonTest, ObjectIsARecordThatFormsAnObjectSpecifier) {
  Json specifier = {{"want", typed("type", "docu")},
                    {"form", typed("enum", "indx")},
                    {"seld", typed("integer", 1)},
                    {"from", typed("record", Json::object())}};
  AppleDescriptor object = appleDescriptor(typed("object", specifier), 0);
  EXPECT_EQ(object.type, ae::kObjectSpecifier);
  EXPECT_EQ(int32Value(*field(object, ae::kKeyData)), 1);
  EXPECT_EQ(stringValue(object), std::nullopt);

  Json missing = specifier;
  missing.erase("from");
  EXPECT_EQ(refusal(typed("object", missing)), "Invalid object specifier");
  Json extra = specifier;
  extra["pnam"] = typed("string", "x");
  EXPECT_EQ(refusal(typed("object", extra)), "Invalid object specifier");
  Json wrongForm = specifier;
  wrongForm["form"] = typed("string", "indx");
  EXPECT_EQ(refusal(typed("object", wrongForm)), "Invalid object specifier");
  EXPECT_EQ(refusal(typed("object", {{"want", "docu"}})), "Expected descriptor record");
}

TEST(AppleDescriptorFromJsonTest, TypeIsRequiredAndMatchedExactly) {
  EXPECT_EQ(refusal(typed("STRING", "x")), "Unsupported descriptor type");
  EXPECT_EQ(refusal(typed("date", "x")), "Unsupported descriptor type");
  EXPECT_EQ(refusal({{"value", "x"}}), "Missing string: type");
  EXPECT_EQ(refusal(typed("", "x")), "Missing string: type");
  EXPECT_EQ(refusal({{"type", 1}}), "Missing string: type");
}

TEST(AppleDescriptorFromJsonTest, NestingStopsBelowDepth11) {
  const std::string tooDeep = "Apple Event descriptor nesting too deep";
  EXPECT_EQ(refusal(nestedInLists(11)), "");
  EXPECT_EQ(refusal(nestedInLists(12)), tooDeep);
  EXPECT_EQ(refusal(typed("string", "plain"), 11), "");
  EXPECT_EQ(refusal(typed("string", "plain"), 12), tooDeep);
  // Depth is checked before anything else, even a missing type.
  EXPECT_EQ(refusal(Json::object(), 12), tooDeep);

  Json records = typed("string", "deep");
  for (int i = 0; i < 12; ++i)
    records = typed("record", {{"----", records}});
  EXPECT_EQ(refusal(records), tooDeep);
}

TEST(DecodeAppleDescriptorTest, ScalarsBecomePlainJsonValues) {
  EXPECT_EQ(decodeAppleDescriptor(booleanDescriptor(true), 0), Json(true));
  Json integer = decodeAppleDescriptor(integerDescriptor(-1708), 0);
  EXPECT_TRUE(integer.is_number_integer());
  EXPECT_EQ(integer, -1708);
  EXPECT_EQ(decodeAppleDescriptor(textDescriptor("caf\xC3\xA9"), 0), "caf\xC3\xA9");
  EXPECT_EQ(decodeAppleDescriptor(realDescriptor(2.5), 0), "2.5");
  EXPECT_EQ(decodeAppleDescriptor(enumDescriptor(fourChar("ask ")), 0), "ask ");
  EXPECT_EQ(decodeAppleDescriptor(typeCodeDescriptor(ae::kText), 0), "utxt");
  EXPECT_EQ(decodeAppleDescriptor(fileURLDescriptor("/tmp/a b"), 0), "file:///tmp/a%20b");
  // Bytes a backend stored that are not UTF-8 cannot reach the wire as they are.
  EXPECT_EQ(decodeAppleDescriptor(textDescriptor("a\xFF"), 0), "a\xEF\xBF\xBD");
  // Malformed scalar data is summarised rather than guessed at.
  AppleDescriptor shortInteger{ae::kInteger, {1, 2}, {}, {}};
  EXPECT_EQ(decodeAppleDescriptor(shortInteger, 0),
            (Json{{"bytes", 2}, {"descriptorType", ae::kInteger}}));
}

TEST(DecodeAppleDescriptorTest, TextIsCutTo100000UserPerceivedCharacters) {
  std::string flags;
  for (int i = 0; i < 100'001; ++i)
    flags += "\xF0\x9F\x87\xAB\xF0\x9F\x87\xB7";  // one flag each
  std::string decoded = decodeAppleDescriptor(textDescriptor(flags), 0);
  EXPECT_EQ(decoded.size(), flags.size() - 8);
  std::string exact(100'000, 'x');
  EXPECT_EQ(decodeAppleDescriptor(textDescriptor(exact), 0), exact);
}

TEST(DecodeAppleDescriptorTest, ListsKeep200EntriesAndStopAtDepth13) {
  AppleDescriptor numbers = listDescriptor();
  for (int i = 0; i < 300; ++i)
    numbers.items.push_back(integerDescriptor(i));
  Json decoded = decodeAppleDescriptor(numbers, 0);
  ASSERT_EQ(decoded.size(), 200u);
  EXPECT_EQ(decoded.front(), 0);
  EXPECT_EQ(decoded.back(), 199);
  EXPECT_EQ(decodeAppleDescriptor(listDescriptor(), 0), Json::array());

  Json twelve = decodeAppleDescriptor(nestedReplyLists(12), 0);
  for (int i = 0; i < 12; ++i)
    twelve = twelve.at(0);
  EXPECT_EQ(twelve, 7);
  Json thirteen = decodeAppleDescriptor(nestedReplyLists(13), 0);
  for (int i = 0; i < 13; ++i)
    thirteen = thirteen.at(0);
  EXPECT_EQ(thirteen, (Json{{"truncated", true}}));
  EXPECT_EQ(decodeAppleDescriptor(textDescriptor("x"), 13), (Json{{"truncated", true}}));
}

TEST(DecodeAppleDescriptorTest, RecordsAndEventsBecomeSummaries) {
  AppleDescriptor record = recordDescriptor({{fourChar("pnam"), textDescriptor("ab")}});
  EXPECT_EQ(decodeAppleDescriptor(record, 0),
            (Json{{"bytes", 4 + 12 + 2}, {"descriptorType", 1919247215}}));
  AppleDescriptor reply = eventDescriptor({{ae::kErrorNumber, integerDescriptor(0)}});
  EXPECT_EQ(decodeAppleDescriptor(reply, 0),
            (Json{{"bytes", 4 + 12 + 4}, {"descriptorType", 1634039412}}));
  AppleDescriptor nested = listDescriptor({record, listDescriptor()});
  EXPECT_EQ(dataByteLength(nested), 4u + (8 + 18) + (8 + 4));
}

TEST(AppleDescriptorModelTest, FieldsReplaceByKeywordAndSpecifiersNeedExactlyFourKeywords) {
  AppleDescriptor record = recordDescriptor();
  setField(record, fourChar("pnam"), textDescriptor("a"));
  setField(record, fourChar("pnam"), textDescriptor("b"));
  ASSERT_EQ(record.fields.size(), 1u);
  EXPECT_EQ(stringValue(*field(record, fourChar("pnam"))), "b");
  EXPECT_EQ(field(textDescriptor("x"), fourChar("pnam")), nullptr);

  AppleDescriptor specifier =
      recordDescriptor({{ae::kContainer, recordDescriptor()},
                        {ae::kKeyData, textDescriptor("Doc")},
                        {ae::kKeyForm, enumDescriptor(fourChar("name"))},
                        {ae::kDesiredClass, typeCodeDescriptor(fourChar("docu"))}});
  auto coerced = coerceToObjectSpecifier(specifier);
  ASSERT_TRUE(coerced);
  EXPECT_EQ(coerced->type, ae::kObjectSpecifier);
  EXPECT_EQ(coerced->fields.size(), 4u);
  EXPECT_TRUE(coerceToObjectSpecifier(*coerced));
  EXPECT_FALSE(coerceToObjectSpecifier(listDescriptor()));
  EXPECT_FALSE(coerceToObjectSpecifier(eventDescriptor(specifier.fields)));
  setField(specifier, ae::kDesiredClass, textDescriptor("docu"));
  EXPECT_FALSE(coerceToObjectSpecifier(specifier));
}

TEST(AppleDescriptorModelTest, TextRenderingsByKind) {
  EXPECT_EQ(stringValue(integerDescriptor(-42)), "-42");
  EXPECT_EQ(stringValue(booleanDescriptor(false)), "false");
  EXPECT_EQ(stringValue(listDescriptor({textDescriptor("x")})), std::nullopt);
  EXPECT_EQ(stringValue(recordDescriptor()), std::nullopt);
  EXPECT_EQ(stringValue(eventDescriptor({})), std::nullopt);
  EXPECT_EQ(int32Value(textDescriptor("5")), std::nullopt);
  EXPECT_EQ(fileURLPath(textDescriptor("file:///tmp")), std::nullopt);
  AppleDescriptor badEscape{
      ae::kFileURL, {'f', 'i', 'l', 'e', ':', '/', '/', '/', '%', '4'}, {}, {}};
  EXPECT_EQ(fileURLPath(badEscape), std::nullopt);
}

}  // namespace
}  // namespace qor
