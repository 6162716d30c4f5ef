#pragma once
// Key files as the freedesktop conventions write them (desktop entries, icon theme indexes,
// toolkit settings): groups in [brackets] holding key=value lines.

#include <functional>
#include <map>
#include <string>
#include <string_view>

namespace qor::key_file {

// A group's keys and their values as written (escapes kept: see unescapeValue).
using Group = std::map<std::string, std::string, std::less<>>;
using Groups = std::map<std::string, Group, std::less<>>;

// Reads every group of a key file:
// - blank lines and lines that start with '#' are comments;
// - "[name]" starts a group; keys after a malformed header (no closing bracket at the end) belong
//   to no group and are skipped until the next good header;
// - "key=value": spaces and tabs around '=' and at either end of the line are ignored, so is the
//   carriage return of a CRLF line end; keys are case sensitive and a localised key ("Name[de]")
//   is a key of its own;
// - the first of repeated keys wins, and a group named twice adds to the first;
// - lines before the first group, lines without '=' and empty keys are skipped.
Groups parse(std::string_view text);

// A string value with its escapes undone: \s, \n, \t, \r and \\. A backslash before anything
// else, or at the end, stays as written.
std::string unescapeValue(std::string_view value);

}  // namespace qor::key_file
