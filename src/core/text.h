#pragma once
// Text measured the way people and the wire see it: UTF-8 scalars, user-perceived characters
// (extended grapheme clusters) and UTF-16 code units.
//
// Every function accepts ill-formed UTF-8. Each maximal ill-formed subpart counts as one U+FFFD,
// so a stray byte never swallows the valid characters after it.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace qor::text {

// The scalar that starts at utf8[offset] and how many bytes it spans. For ill-formed input,
// codePoint is U+FFFD, valid is false and length covers the maximal ill-formed subpart (at
// least one byte). REQUIRES: offset < utf8.size().
struct Scalar {
  char32_t codePoint;
  std::size_t length;
  bool valid;
};
Scalar decodeUtf8(std::string_view utf8, std::size_t offset);

// Well-formed UTF-8: the input unchanged when it already is, else every ill-formed subpart
// replaced by U+FFFD.
bool isValidUtf8(std::string_view utf8);
std::string repairUtf8(std::string_view utf8);

// The first maxClusters user-perceived characters, cut only between clusters.
std::string truncateGraphemes(std::string_view utf8, std::size_t maxClusters);

// Number of user-perceived characters.
std::size_t graphemeCount(std::string_view utf8);

// The user-perceived characters in order, each as its own UTF-8 string; concatenated they give
// back the input.
std::vector<std::string> graphemes(std::string_view utf8);

// Length and contents in UTF-16 code units; characters beyond the basic plane take two.
std::size_t utf16Length(std::string_view utf8);
std::u16string toUtf16(std::string_view utf8);

}  // namespace qor::text
