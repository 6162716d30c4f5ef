// docs/protocol.md against the program: every method the bridge answers and every failure code it
// can raise is documented, and the reference documents nothing the bridge does not know.

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "bridge/support/harness.h"
#include "core/failure_codes.h"

namespace qor::testing {
namespace {

std::string reference() {
  std::ifstream file(std::string(QOR_SOURCE_DIR) + "/docs/protocol.md");
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

// The text between the heading `title` and the next heading of the same or a higher level.
std::string section(const std::string& text, const std::string& title) {
  std::size_t start = text.find("\n" + title + "\n");
  if (start == std::string::npos) {
    return "";
  }
  std::size_t level = title.find(' ');
  std::size_t end = start + 1;
  while ((end = text.find("\n#", end + 1)) != std::string::npos) {
    std::size_t hashes = text.find(' ', end + 1) - (end + 1);
    if (hashes <= level) {
      break;
    }
  }
  return text.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

// Every match of the first group of `pattern` in `text`.
std::set<std::string> allMatches(const std::string& text, const std::string& pattern) {
  std::set<std::string> found;
  std::regex expression(pattern);
  for (auto match = std::sregex_iterator(text.begin(), text.end(), expression);
       match != std::sregex_iterator(); ++match) {
    found.insert((*match)[1]);
  }
  return found;
}

// The methods the running bridge announces, and "capabilities" itself.
std::set<std::string> announcedMethods() {
  Harness h;
  h.request(1, "capabilities");
  const Json answer = h.responseFor(1);
  std::set<std::string> methods = {"capabilities"};
  for (const Json& name : answer["result"]["methods"]) {
    methods.insert(name.get<std::string>());
  }
  return methods;
}

TEST(ProtocolReference, DocumentsEveryMethodWithAnExampleOfItsOwn) {
  const std::string text = reference();
  ASSERT_FALSE(text.empty()) << "docs/protocol.md cannot be read";
  ASSERT_EQ(announcedMethods().size(), 14u);
  const std::string methods = section(text, "## Methods");
  for (const std::string& method : announcedMethods()) {
    std::string own = section(methods, "### " + method);
    EXPECT_FALSE(own.empty()) << "no section for " << method;
    EXPECT_NE(own.find("\"method\":\"" + method + "\""), std::string::npos)
        << "no example request of " << method;
    EXPECT_NE(own.find("← {\"id\":"), std::string::npos) << "no example response of " << method;
  }
  EXPECT_EQ(allMatches(methods, "\n### ([^\n]+)"), announcedMethods())
      << "the reference documents a method the bridge does not know";
}

TEST(ProtocolReference, DocumentsEveryFailureCodeAndNoOther) {
  const std::string errors = section(reference(), "## Errors");
  std::set<std::string> codes(kFailureCodes.begin(), kFailureCodes.end());
  EXPECT_EQ(allMatches(errors, "\n\\| \"([a-zA-Z]+)\" \\|"), codes);
}

// The reference quotes its examples from real runs: every quoted answer is one JSON object on one
// line (requests may be malformed on purpose).
TEST(ProtocolReference, QuotedAnswersAreOneJsonObjectPerLine) {
  const std::string text = reference();
  std::regex exchange("\n(←) ([^\n]+)");
  int count = 0;
  for (auto match = std::sregex_iterator(text.begin(), text.end(), exchange);
       match != std::sregex_iterator(); ++match, ++count) {
    std::string line = (*match)[2];
    if (line.find("…") != std::string::npos) {
      continue;  // shortened on purpose
    }
    std::optional<Json> parsed = wire::parse(line);
    EXPECT_TRUE(parsed && parsed->is_object()) << line;
  }
  EXPECT_GT(count, 25);
}

}  // namespace
}  // namespace qor::testing
