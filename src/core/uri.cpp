#include "core/uri.h"

namespace qor::uri {
namespace {

bool isUnreservedInPath(unsigned char byte) {
  if ((byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') ||
      (byte >= '0' && byte <= '9')) {
    return true;
  }
  return std::string_view("-._~!$&'()*+,;=:@/").find(static_cast<char>(byte)) !=
         std::string_view::npos;
}

int hexDigit(char character) {
  if (character >= '0' && character <= '9')
    return character - '0';
  if (character >= 'a' && character <= 'f')
    return character - 'a' + 10;
  if (character >= 'A' && character <= 'F')
    return character - 'A' + 10;
  return -1;
}

}  // namespace

std::string percentEncodePath(std::string_view path) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string encoded;
  for (char character : path) {
    auto byte = static_cast<unsigned char>(character);
    if (isUnreservedInPath(byte)) {
      encoded.push_back(character);
    } else {
      encoded.push_back('%');
      encoded.push_back(kHex[byte >> 4]);
      encoded.push_back(kHex[byte & 0xF]);
    }
  }
  return encoded;
}

std::optional<std::string> percentDecode(std::string_view encoded) {
  std::string decoded;
  for (std::size_t i = 0; i < encoded.size(); ++i) {
    if (encoded[i] != '%') {
      decoded.push_back(encoded[i]);
      continue;
    }
    if (i + 2 >= encoded.size()) {
      return std::nullopt;
    }
    int high = hexDigit(encoded[i + 1]);
    int low = hexDigit(encoded[i + 2]);
    if (high < 0 || low < 0) {
      return std::nullopt;
    }
    decoded.push_back(static_cast<char>(high * 16 + low));
    i += 2;
  }
  return decoded;
}

}  // namespace qor::uri
