#pragma once
// Reads PNG files back with the program's decoder (tested on its own in the core tests), so
// tests check the images a capture wrote rather than trusting the writer's report.

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <vector>

#include "core/png.h"

namespace qor::testing {

inline std::optional<RgbaImage> decodePng(const std::vector<std::uint8_t>& bytes) {
  return qor::decodePng(bytes);
}

inline std::optional<RgbaImage> readPng(const std::filesystem::path& file) {
  std::ifstream stream(file, std::ios::binary);
  if (!stream) {
    return std::nullopt;
  }
  return decodePng(std::vector<std::uint8_t>(std::istreambuf_iterator<char>(stream), {}));
}

}  // namespace qor::testing
