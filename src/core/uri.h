#pragma once
// Percent-encoding (%XX escapes) as URIs and D-Bus addresses use it.

#include <optional>
#include <string>
#include <string_view>

namespace qor::uri {

// `path` with every byte outside the characters a URI path may hold unescaped ("/" stays)
// written as %XX, upper-case hexadecimal.
std::string percentEncodePath(std::string_view path);

// `encoded` with every %XX escape undone (either case of hexadecimal digits); nothing when an
// escape is cut short or is not hexadecimal, since guessing would name another file or address.
std::optional<std::string> percentDecode(std::string_view encoded);

}  // namespace qor::uri
