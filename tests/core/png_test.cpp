#include "core/png.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace qor {
namespace {

RgbaImage gradient(std::uint32_t width, std::uint32_t height) {
  RgbaImage image{width, height, {}};
  for (std::uint32_t y = 0; y < height; ++y) {
    for (std::uint32_t x = 0; x < width; ++x) {
      image.rgba.insert(image.rgba.end(),
                        {static_cast<std::uint8_t>(x), static_cast<std::uint8_t>(y),
                         static_cast<std::uint8_t>(x ^ y), static_cast<std::uint8_t>(255 - x)});
    }
  }
  return image;
}

// Captures, icons of the simulated desktop and the images shown to the assistant all go through
// this one encoder: whatever the settings and the way out, the pixels must read back unchanged.
TEST(Png, EveryWayOutReadsBackTheSamePixels) {
  struct Case {
    const char* name;
    std::uint32_t width;
    std::uint32_t height;
    PngSettings settings;
  };
  const Case cases[] = {
      {"library default", 17, 9, PngSettings{}},
      {"quick", 300, 2, quickPngSettings()},
      {"stored", 1, 1, PngSettings{.zlibLevel = 0}},
      {"smallest", 64, 64, PngSettings{.zlibLevel = 9}},
  };
  for (const Case& each : cases) {
    SCOPED_TRACE(each.name);
    const RgbaImage image = gradient(each.width, each.height);

    std::optional<std::vector<std::uint8_t>> inMemory =
        encodePng(image.width, image.height, image.rgba, each.settings);
    ASSERT_TRUE(inMemory.has_value());

    std::FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    ASSERT_TRUE(encodePng(file, image.width, image.height, image.rgba, each.settings));
    std::vector<std::uint8_t> written(static_cast<std::size_t>(std::ftell(file)));
    std::rewind(file);
    ASSERT_EQ(std::fread(written.data(), 1, written.size(), file), written.size());
    std::fclose(file);

    for (const std::vector<std::uint8_t>& png : {*inMemory, written}) {
      std::optional<RgbaImage> decoded = decodePng(png);
      ASSERT_TRUE(decoded.has_value());
      EXPECT_EQ(decoded->width, image.width);
      EXPECT_EQ(decoded->height, image.height);
      EXPECT_EQ(decoded->rgba, image.rgba);
    }
  }
}

TEST(Png, RefusesPixelsThatDoNotFillTheImage) {
  const RgbaImage image = gradient(4, 4);
  std::vector<std::uint8_t> truncated(image.rgba.begin(), image.rgba.end() - 1);
  EXPECT_FALSE(encodePng(4, 4, truncated, PngSettings{}).has_value());
  EXPECT_FALSE(encodePng(4, 5, image.rgba, PngSettings{}).has_value());
  EXPECT_FALSE(decodePng(std::vector<std::uint8_t>{0x89, 'P', 'N', 'G'}).has_value());
  std::optional<std::vector<std::uint8_t>> png = encodePng(4, 4, image.rgba, PngSettings{});
  ASSERT_TRUE(png.has_value());
  EXPECT_FALSE(decodePng(*png, 4 * 4 * 4 - 1).has_value());  // over the memory it may take
}

}  // namespace
}  // namespace qor
