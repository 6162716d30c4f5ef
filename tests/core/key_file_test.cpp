#include "core/key_file.h"

#include <gtest/gtest.h>

#include <optional>

namespace qor::key_file {
namespace {

// Desktop entries, icon theme indexes and toolkit settings are all read by this one parser; each
// row is a file and the value one key must have in it (nothing where the key must be absent).
TEST(KeyFile, ReadsValuesByTheFreedesktopRules) {
  struct Case {
    const char* why;
    std::string_view text;
    const char* group;
    const char* key;
    std::optional<std::string> value;
  };
  const Case cases[] = {
      {"plain", "[A]\nk=v\n", "A", "k", "v"},
      {"blanks around '='", "[A]\nk \t= \tv w\n", "A", "k", "v w"},
      {"blanks at both line ends", " \t[A] \n \tk=v \t\n", "A", "k", "v"},
      {"CRLF line ends", "[A]\r\nk=v\r\nl=w\r\n", "A", "k", "v"},
      {"no line feed at the end", "[A]\nk=v", "A", "k", "v"},
      {"an empty value", "[A]\nk=\n", "A", "k", ""},
      {"'=' inside the value", "[A]\nExec=env A=1 prog\n", "A", "Exec", "env A=1 prog"},
      {"'#' inside the value", "[A]\nk=a # b\n", "A", "k", "a # b"},
      {"escapes stay for the caller", "[A]\nk=a\\sb\n", "A", "k", "a\\sb"},
      {"keys are case sensitive", "[A]\nName=v\n", "A", "name", std::nullopt},
      {"group names are case sensitive", "[A]\nk=v\n", "a", "k", std::nullopt},
      {"a localised key is its own key", "[A]\nName[de]=x\n", "A", "Name", std::nullopt},
      {"a localised key kept whole", "[A]\nName[de]=x\n", "A", "Name[de]", "x"},
      {"the first of repeated keys wins", "[A]\nk=1\nk=2\n", "A", "k", "1"},
      {"a group named twice adds to the first", "[A]\nk=1\n[B]\n[A]\nl=2\n", "A", "l", "2"},
      {"keys belong to their own group", "[A]\nk=1\n[B]\nk=2\n", "B", "k", "2"},
      {"a comment line", "[A]\n#k=v\n", "A", "#k", std::nullopt},
      {"an indented comment line", "[A]\n  # k=v\nk=w\n", "A", "k", "w"},
      {"a line before any group", "k=v\n[A]\n", "A", "k", std::nullopt},
      {"a line without '='", "[A]\nk\nl=v\n", "A", "k", std::nullopt},
      {"an empty key", "[A]\n=v\n", "A", "", std::nullopt},
      {"keys after a malformed header", "[A]\nk=1\n[B\nk=2\n", "A", "k", "1"},
      {"a malformed header opens no group", "[B\nk=2\n", "B", "k", std::nullopt},
      {"a group name with spaces", "[Desktop Entry]\nType=Application\n", "Desktop Entry", "Type",
       "Application"},
  };
  for (const Case& each : cases) {
    const Groups groups = parse(each.text);
    std::optional<std::string> value;
    if (auto group = groups.find(each.group); group != groups.end()) {
      if (auto found = group->second.find(each.key); found != group->second.end()) {
        value = found->second;
      }
    }
    EXPECT_EQ(value, each.value) << each.why;
  }
}

TEST(KeyFile, UndoesTheEscapesOfStringValues) {
  struct Case {
    std::string_view written;
    std::string value;
  };
  const Case cases[] = {
      {"a\\sb", "a b"},     {"a\\nb", "a\nb"}, {"a\\tb", "a\tb"}, {"a\\rb", "a\rb"},
      {"a\\\\sb", "a\\sb"},  // an escaped backslash does not start another escape
      {"a\\xb", "a\\xb"},    // not an escape: stays as written
      {"end\\", "end\\"},   {"", ""},
  };
  for (const Case& each : cases) {
    EXPECT_EQ(unescapeValue(each.written), each.value) << each.written;
  }
}

}  // namespace
}  // namespace qor::key_file
