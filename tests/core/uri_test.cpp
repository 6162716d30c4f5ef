#include "core/uri.h"

#include <gtest/gtest.h>

namespace qor::uri {
namespace {

// File URLs and D-Bus addresses both come through this decoder; a broken escape must be refused
// rather than passed on as text, or the caller would open another file or socket.
TEST(PercentDecoding, UndoesEscapesAndRefusesBrokenOnes) {
  struct Case {
    std::string_view encoded;
    std::optional<std::string> decoded;
  };
  const Case cases[] = {
      {"", ""},
      {"/plain/path", "/plain/path"},
      {"/a%20b", "/a b"},
      {"r%C3%A9sum%c3%a9", "r\xC3\xA9sum\xC3\xA9"},  // either case of hexadecimal digits
      {"%25", "%"},                                  // an escaped percent sign stays one
      {"%2541", "%41"},                              // decoded once, never twice
      {"%00x", std::string("\0x", 2)},
      {"%41", "A"},  // an escape that ends the text
      {"/broken%2", std::nullopt},
      {"%", std::nullopt},
      {"a%g1", std::nullopt},
      {"a%1g", std::nullopt},
  };
  for (const Case& each : cases) {
    EXPECT_EQ(percentDecode(each.encoded), each.decoded) << each.encoded;
  }
}

TEST(PercentEncoding, KeepsPathCharactersAndReadsBack) {
  EXPECT_EQ(percentEncodePath("/tmp/a b/r\xC3\xA9sum\xC3\xA9.txt"),
            "/tmp/a%20b/r%C3%A9sum%C3%A9.txt");
  EXPECT_EQ(percentEncodePath("/x-y_z.~!$&'()*+,;=:@"), "/x-y_z.~!$&'()*+,;=:@");
  for (std::string_view path : {"/100%", "/a#b?c", "/tab\there", "/\xFF\x01"}) {
    EXPECT_EQ(percentDecode(percentEncodePath(path)), std::string(path)) << path;
  }
}

}  // namespace
}  // namespace qor::uri
