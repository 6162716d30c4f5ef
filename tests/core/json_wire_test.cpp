#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "core/json.h"

namespace qor::wire {
namespace {

// Parses text that must be accepted and writes it straight back out.
std::string roundTrip(std::string_view line) {
  const std::optional<Json> parsed = parse(line);
  EXPECT_TRUE(parsed.has_value()) << line;
  return parsed ? serialize(*parsed) : "";
}

std::string nested(std::size_t depth, std::string_view open, std::string_view middle,
                   std::string_view close) {
  std::string text;
  text.reserve(depth * (open.size() + close.size()) + middle.size());
  for (std::size_t i = 0; i < depth; ++i)
    text += open;
  text += middle;
  for (std::size_t i = 0; i < depth; ++i)
    text += close;
  return text;
}

TEST(WireWriter, SortsKeysByByteAtEveryDepth) {
  EXPECT_EQ(roundTrip(R"({"b":1,"a":{"d":[{"z":1,"y":2}],"c":null}})"),
            R"({"a":{"c":null,"d":[{"y":2,"z":1}]},"b":1})");
  EXPECT_EQ(roundTrip("{\"\xC3\xA9\":1,\"a\":2,\"B\":3,\"\":4}"),
            "{\"\":4,\"B\":3,\"a\":2,\"\xC3\xA9\":1}");
  EXPECT_EQ(roundTrip(R"({"result":{},"id":7})"), R"({"id":7,"result":{}})");
  EXPECT_EQ(roundTrip(R"({"id":null,"error":[]})"), R"({"error":[],"id":null})");
}

TEST(WireWriter, IsCompact) {
  EXPECT_EQ(roundTrip(" { \"a\" : [ 1 , 2 , { } , [ ] ] ,\n\t\"b\" : \"x y\" } "),
            R"({"a":[1,2,{},[]],"b":"x y"})");
}

TEST(WireWriter, EscapesSlashesQuotesAndControlCharacters) {
  EXPECT_EQ(serialize(Json::array({"/tmp/qor/a b.png", "data:image/png;base64,AA=="})),
            R"(["\/tmp\/qor\/a b.png","data:image\/png;base64,AA=="])");
  EXPECT_EQ(serialize(Json::array({"\"q\" \\ \n\r\t\b\f"})), R"(["\"q\" \\ \n\r\t\b\f"])");
  EXPECT_EQ(serialize(Json::array({std::string("\x01\x1f\x7f\0", 4)})),
            "[\"\\u0001\\u001f\x7f\\u0000\"]");
  Json keyed = Json::object();
  keyed["a/b\n"] = 1;
  EXPECT_EQ(serialize(keyed), R"({"a\/b\n":1})");
}

// Ordinary text is scanned in blocks, the last of which overlaps the one before; a byte that needs
// attention must be found wherever it falls, also right after another one.
TEST(WireWriter, FindsEveryByteThatNeedsAttentionWhereverItFalls) {
  const std::pair<std::string, std::string> specials[] = {{"\"", "\\\""},
                                                          {"/", "\\/"},
                                                          {"\n", "\\n"},
                                                          {"\x01", "\\u0001"},
                                                          {"\xC3\xA9", "\xC3\xA9"},
                                                          {"\xFF", "\xEF\xBF\xBD"}};
  for (const auto& [raw, written] : specials) {
    for (std::size_t length = 1; length <= 40; ++length) {
      for (std::size_t first = 0; first < length; ++first) {
        for (std::size_t second = first; second < length; ++second) {
          std::string text(length, 'a');
          std::string expected(length, 'a');
          // The later one first, so that `first` still counts from the start.
          for (const std::size_t at : {second, first}) {
            text.replace(at, 1, raw);
            expected.replace(at, 1, written);
            if (first == second) {
              break;
            }
          }
          ASSERT_EQ(serialize(Json::array({text})), "[\"" + expected + "\"]")
              << "length " << length << ", at " << first << " and " << second;
        }
      }
    }
  }
}

TEST(WireWriter, WritesNonAsciiAsRawUtf8AndRepairsIllFormedStrings) {
  const std::string text = "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80";
  EXPECT_EQ(serialize(Json::array({text})), "[\"" + text + "\"]");
  EXPECT_EQ(roundTrip(R"(["\u00e9\ud83d\ude00"])"), "[\"\xC3\xA9\xF0\x9F\x98\x80\"]");
  // Only a handler can build such a string; the line must still be valid UTF-8.
  EXPECT_EQ(serialize(Json::array({"a\xFF"
                                   "b\xE2\x82"})),
            "[\"a\xEF\xBF\xBD"
            "b\xEF\xBF\xBD\"]");
}

TEST(WireWriter, KeepsBooleansIntegersAndDoublesApart) {
  EXPECT_EQ(roundTrip("[true,false,1,0,null]"), "[true,false,1,0,null]");
  Json values = Json::array();
  values.push_back(std::numeric_limits<std::int64_t>::min());
  values.push_back(std::numeric_limits<std::uint64_t>::max());
  values.push_back(-1);
  values.push_back(4294967295u);
  EXPECT_EQ(serialize(values), "[-9223372036854775808,18446744073709551615,-1,4294967295]");
  EXPECT_EQ(roundTrip("[-9223372036854775808,18446744073709551615]"),
            "[-9223372036854775808,18446744073709551615]");
}

TEST(WireWriter, WritesDoublesInTheShortestRoundTripForm) {
  EXPECT_EQ(serialize(Json::array({0.1, 1e21, 100.0, -2.5, 0.30000000000000004, 1.5e-7, -0.0})),
            "[0.1,1e+21,100,-2.5,0.30000000000000004,1.5e-07,-0]");
  EXPECT_EQ(serialize(Json::array({123.456, 1.7976931348623157e308, 5e-324})),
            "[123.456,1.7976931348623157e+308,5e-324]");
  const double infinity = std::numeric_limits<double>::infinity();
  EXPECT_EQ(serialize(Json::array({infinity, -infinity, std::nan("")})), "[null,null,null]");
}

TEST(WireWriter, WritesScalarsAtTopLevel) {
  EXPECT_EQ(serialize(Json()), "null");
  EXPECT_EQ(serialize(Json("a/b")), R"("a\/b")");
  EXPECT_EQ(serialize(Json(3)), "3");
}

TEST(WireReader, AcceptsObjectsAndArraysOnly) {
  EXPECT_TRUE(parse("{}").has_value());
  EXPECT_TRUE(parse(" [1,2] ").has_value());
  EXPECT_TRUE(parse("[]")->is_array());
  for (const char* line : {"", "   ", "5", "-1.5", "\"text\"", "null", "true", "false"}) {
    EXPECT_FALSE(parse(line).has_value()) << line;
  }
}

TEST(WireReader, RefusesMalformedText) {
  for (const char* line :
       {"{",       "{\"id\":1", "{}x",         "{} {}",         "[1,]",       "{\"a\":1,}",
        "{'a':1}", "{/*c*/}",   "[01]",        "[NaN]",         "[Infinity]", "{\"a\" 1}",
        "[1.]",    "[.5]",      "[+1]",        "[-]",           "[1e]",       "[tru]",
        "[nul]",   "[\"\\x\"]", "[\"\\u12\"]", "[\"\\u12G4\"]", "[\"a\tb\"]", "[\"open]"}) {
    EXPECT_FALSE(parse(line).has_value()) << line;
  }
}

TEST(WireReader, RefusesRawControlCharactersAnywhereInAString) {
  // Long strings are scanned in blocks; a control character past the first block counts too.
  for (std::size_t at : {0, 5, 15, 16, 17, 40}) {
    std::string value(48, 'x');
    value[at] = '\x1e';
    EXPECT_FALSE(parse("[\"" + value + "\"]").has_value()) << at;
    EXPECT_FALSE(parse("{\"" + value + "\":1}").has_value()) << at;
  }
  EXPECT_TRUE(parse("[\"" + std::string(48, 'x') + "\\u001e\"]").has_value()) << "escaped is fine";
}

TEST(WireReader, RefusesNumbersBeyondTheDoubleRange) {
  EXPECT_FALSE(parse("[1e400]").has_value());
  EXPECT_FALSE(parse("[-1e400]").has_value());
  EXPECT_FALSE(parse("{\"x\":1" + std::string(400, '0') + "}").has_value());
  EXPECT_EQ(roundTrip("[1e-400]"), "[0]");  // underflow is an ordinary zero
  EXPECT_EQ(roundTrip("[0e400,-0.0E+99999,0.000e400]"), "[0,-0,0]");  // so is zero at any scale
  EXPECT_EQ(roundTrip("[-0,[-0]]"), "[-0,[-0]]") << "negative zero keeps its sign";
  EXPECT_EQ(roundTrip(roundTrip("[-1e-400]")), "[-0]");
  EXPECT_EQ(roundTrip("{\"0e400\":\"1e400\",\"k\":0e400}"), "{\"0e400\":\"1e400\",\"k\":0}");
  EXPECT_EQ(roundTrip("[-0.0000000001e-2147483639]"), "[-0]");  // exponent at the int limit
}

TEST(WireReader, ReadsEachDoubleAsTheNearestOne) {
  EXPECT_EQ(roundTrip("[9007199254740993.0,9007199254740995.0]"),
            "[9007199254740992,9007199254740996]");  // halfway: to even
  EXPECT_EQ(roundTrip("[1.00000000000000011102230246251565404236316680908203125]"), "[1]");
  EXPECT_EQ(roundTrip("[1.00000000000000011102230246251565404236316680908203126]"),
            "[1.0000000000000002]");
  EXPECT_EQ(roundTrip("[2.4703282292062328e-324,2.4703282292062327e-324]"), "[5e-324,0]");
  EXPECT_EQ(roundTrip("[0.4231774611633847681228396437e-343]"), "[0]");
  EXPECT_EQ(roundTrip("[1.7976931348623157e308,0.1e309]"), "[1.7976931348623157e+308,1e+308]");
}

TEST(WireReader, ReadsHugeIntegersAsDoubles) {
  const std::optional<Json> parsed = parse("[1234567890123456789012345678901234567890]");
  ASSERT_TRUE(parsed.has_value());
  ASSERT_TRUE(parsed->at(0).is_number_float());
  EXPECT_DOUBLE_EQ(parsed->at(0).get<double>(), 1.2345678901234568e39);
  EXPECT_EQ(serialize(*parsed), "[1.2345678901234568e+39]");
  EXPECT_EQ(roundTrip(serialize(*parsed)), "[1.2345678901234568e+39]");
  EXPECT_EQ(roundTrip("[-9223372036854775809]"), "[-9223372036854775808]");
}

TEST(WireReader, RepairsIllFormedUtf8BeforeReading) {
  const std::optional<Json> parsed = parse(
      "{\"k\":\"a\xFF"
      "b\",\"\xC0\":\"\xE2\x82\"}");
  ASSERT_TRUE(parsed.has_value());
  EXPECT_EQ(parsed->at("k"),
            "a\xEF\xBF\xBD"
            "b");
  EXPECT_EQ(parsed->at("\xEF\xBF\xBD"), "\xEF\xBF\xBD");
  EXPECT_EQ(roundTrip("[\"\xED\xA0\x80\"]"), "[\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\"]");
  // Bytes outside strings are still not JSON after repair.
  EXPECT_FALSE(parse("{\xFF}").has_value());
}

// A "\u" escape of a surrogate half only means something next to its partner; a lone half is no
// character, so the line is refused rather than guessed at.
TEST(WireReader, JoinsEscapedSurrogatePairsAndRefusesLoneHalves) {
  EXPECT_EQ(roundTrip(R"(["\ud83d\ude00","\uD83D\uDE00x"])"),
            "[\"\xF0\x9F\x98\x80\",\"\xF0\x9F\x98\x80x\"]");
  for (const char* line :
       {R"(["\ud800"])", R"(["\ud800x"])", R"(["\udc00"])", R"(["a\uDFFF"])", R"(["\ud800\u0041"])",
        R"(["\ude00\ud83d"])", R"({"\udc00":1})", R"({"k":["\ud83d"]})"}) {
    EXPECT_FALSE(parse(line).has_value()) << line;
  }
  // Characters just outside the surrogate range are ordinary.
  EXPECT_EQ(roundTrip(R"(["\ud7ff\ue000"])"), "[\"\xED\x9F\xBF\xEE\x80\x80\"]");
}

TEST(WireReader, FailsCleanlyOnNulBytesAndBinaryJunk) {
  EXPECT_FALSE(parse(std::string("{\"a\":\"x\0y\"}", 11)).has_value());
  EXPECT_FALSE(parse(std::string("{}\0", 3)).has_value());
  EXPECT_FALSE(parse(std::string("\0{}", 3)).has_value());
  EXPECT_FALSE(parse(std::string("[1]\0xyz", 7)).has_value());
  EXPECT_EQ(roundTrip(R"(["x\u0000y"])"), "[\"x\\u0000y\"]");

  std::mt19937 generator(20270115);
  std::uniform_int_distribution<int> byte(0, 255);
  for (int round = 0; round < 2000; ++round) {
    std::string junk = round % 2 == 0 ? "{\"a\":" : "[";
    for (int i = 0; i < 40; ++i)
      junk.push_back(static_cast<char>(byte(generator)));
    const std::optional<Json> parsed = parse(junk);
    if (parsed)
      serialize(*parsed);  // whatever was accepted must also be writable
  }
}

// nlohmann's reader is a well-tested reference for the grammar; ours must accept and refuse
// exactly the same documents and read the same values. (They differ where the reference is unsafe:
// a raw NUL ends its input. The mutations below produce none.)
TEST(WireReader, AgreesWithTheReferenceReaderOnMutatedDocuments) {
  const std::vector<std::string> seeds = {
      R"({"id":1,"method":"app.act","params":{"actions":[{"type":"click","x":10.5,"y":-2e3}]}})",
      R"({"a":[true,false,null,0,-0,1.25e-5,18446744073709551615,-9223372036854775808,[],{}]})",
      R"([{"k":"esc \" \\ \/ \b\f\n\r\t \u00e9\u20AC \ud83d\ude00"},"x",[[1],[2,[3]]]])",
      R"({"n":123456789012345678901234567890,"f":0.1,"e":1E+2,"z":[0.0,-0.5]})",
  };
  const std::string alphabet = "{}[]:,\"\\ \t\n0123456789.eE+-tfnrulsaA/bx";
  std::mt19937 generator(1110);
  const auto pick = [&](std::size_t bound) {
    return std::uniform_int_distribution<std::size_t>(0, bound - 1)(generator);
  };
  for (int round = 0; round < 5000; ++round) {
    std::string text = seeds[pick(seeds.size())];
    for (std::size_t edits = 1 + pick(3); edits > 0; --edits) {
      const std::size_t at = pick(text.size());
      const char c = alphabet[pick(alphabet.size())];
      switch (pick(3)) {
        case 0:
          text[at] = c;
          break;
        case 1:
          text.insert(text.begin() + static_cast<std::ptrdiff_t>(at), c);
          break;
        default:
          text.erase(at, 1);
          break;
      }
    }
    const std::optional<Json> ours = parse(text);
    const Json reference = Json::parse(text, nullptr, /*allow_exceptions=*/false);
    const bool referenceAccepts =
        !reference.is_discarded() && (reference.is_object() || reference.is_array());
    ASSERT_EQ(ours.has_value(), referenceAccepts) << text;
    if (ours) {
      // Equal as values: the reference reads -0 as the integer 0, the wire reader as -0.0.
      ASSERT_EQ(*ours, reference) << text;
    }
  }
}

TEST(WireDepth, DeepArraysReadWriteAndDestroyWithoutRecursion) {
  const std::string deep = nested(100000, "[", "", "]");
  {
    const Json parsed = parse(deep).value_or(Json());
    EXPECT_EQ(serialize(parsed), deep);
  }  // destruction must not recurse either
}

TEST(WireDepth, AMillionLevelsFitInOneLine) {
  const std::string deep = nested(1000000, "[", "", "]");
  ASSERT_LE(deep.size(), std::size_t{2097152});
  {
    const Json parsed = parse(deep).value_or(Json());
    EXPECT_EQ(serialize(parsed), deep);
  }
  EXPECT_FALSE(parse(deep.substr(1)).has_value());  // a million open levels dropped on failure
}

TEST(WireDepth, DeepObjectsReadAndWriteWithoutRecursion) {
  EXPECT_EQ(roundTrip(nested(100000, R"({"a/":)", "{}", "}")),
            nested(100000, R"({"a\/":)", "{}", "}"));
}

TEST(WireDepth, BuiltValuesOfAnyDepthAreWritten) {
  Json root = Json::array();
  Json* cursor = &root;
  for (int i = 0; i < 100000; ++i) {
    cursor->push_back(Json::object());
    cursor = &(*cursor)[0];
    (*cursor)["k"] = Json::array();
    cursor = &(*cursor)["k"];
  }
  const std::string written = serialize(root);
  EXPECT_EQ(written.size(), 100000 * std::string(R"([{"k":)").size() + 100000 * 2 + 2);
  EXPECT_EQ(written.substr(0, 14), R"([{"k":[{"k":[{)");
}

// Whole numbers take a shortcut; it must give exactly the shortest form the general path gives,
// including where that form switches to an exponent.
TEST(WireNumbers, WholeDoublesReadTheSameAsTheirShortestForm) {
  auto shortest = [](double number) {
    char digits[32];
    const auto end = std::to_chars(digits, digits + sizeof digits, number).ptr;
    return "[" + std::string(digits, end) + "]";
  };
  for (double number = -200000; number <= 200000; number += 1) {
    ASSERT_EQ(serialize(Json::array({number})), shortest(number)) << number;
  }
  for (double number : {99999.5, 1e5, -1e5, 1e6, 123456.0, -0.0, 0.0, 4294967296.0}) {
    EXPECT_EQ(serialize(Json::array({number})), shortest(number)) << number;
  }
}

TEST(WireWriter, WritesWhatSerializeWritesForTheSameValue) {
  const Json value = {{"a", {1, -2.5, true, false}},
                      {"empty", Json::object()},
                      {"list", Json::array()},
                      {"text", "q\"\n\xFF\xC3\xA9"},
                      {"z", {{"deep", {{"x", 1e21}}}}}};
  Writer out;
  out.beginObject();
  out.key("a");
  out.beginArray();
  out.integer(1);
  out.number(-2.5);
  out.boolean(true);
  out.boolean(false);
  out.endArray();
  out.key("empty");
  out.beginObject();
  out.endObject();
  out.key("list");
  out.beginArray();
  out.endArray();
  out.key("text");
  out.string("q\"\n\xFF\xC3\xA9");
  out.key("z");
  out.beginObject();
  out.key("deep");
  out.beginObject();
  out.key("x");
  out.number(1e21);
  out.endObject();
  out.endObject();
  out.endObject();
  EXPECT_EQ(serialize(out.takeFragment()), serialize(value));
}

TEST(WireWriter, FragmentsGoOutVerbatimWhereverTheyAreAndTheWriterStartsAfresh) {
  Writer out;
  out.beginArray();
  out.number(std::nan(""));  // the one value JSON cannot hold still leaves valid text
  out.string("a/b");
  out.endArray();
  const Json response = {{"id", 1}, {"result", {{"list", out.takeFragment()}, {"n", 2}}}};
  EXPECT_EQ(serialize(response), R"({"id":1,"result":{"list":[null,"a\/b"],"n":2}})");

  out.beginObject();  // no comma carried over from what was taken
  out.endObject();
  Json object = out.takeFragment();
  Json nothing = out.takeFragment();  // a writer given nothing still leaves a valid line
  EXPECT_EQ(serialize(Json::array({std::move(object), std::move(nothing)})), "[{},null]");
}

TEST(WireLines, EachLineReplacesTheOneBefore) {
  LineBuffer lines;
  const std::string large(100000, 'x');
  EXPECT_EQ(lines.line(Json::array({large})), "[\"" + large + "\"]\n");
  EXPECT_EQ(lines.line(Json::object()), "{}\n");
  EXPECT_EQ(lines.line(Json::array({"a/b"})), "[\"a\\/b\"]\n");
}

}  // namespace
}  // namespace qor::wire
