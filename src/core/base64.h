#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qor {

// Standard Base64 with padding and without line breaks.
std::string base64(const std::vector<std::uint8_t>& bytes);

}  // namespace qor
