// The pure pieces of the translation: the outline a model reads, and the images it receives.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/json.h"
#include "core/png.h"
#include "mcp/image_scale.h"
#include "mcp/outline.h"

namespace qor::mcp {
namespace {

// The line of each element shows what a model needs to pick it, and never a password.
TEST(OutlineTest, OneLinePerElement) {
  struct Case {
    Json node;
    std::string line;
  };
  const std::vector<Case> cases = {
      {{{"ref", "e1"},
        {"role", "AXButton"},
        {"title", "OK"},
        {"enabled", true},
        {"frame", {{"x", 10}, {"y", 20.5}, {"width", 80}, {"height", 24}}},
        {"actions", {"AXPress"}}},
       "e1 AXButton \"OK\" [10,20.5 80x24] actions: AXPress"},
      {{{"ref", "e2"}, {"role", "AXTextField"}, {"secure", true}, {"title", "Password"}},
       "e2 AXTextField \"Password\" (secure)"},
      {{{"ref", "e3"}, {"role", "AXTextArea"}, {"value", "two\nlines \"quoted\""}},
       "e3 AXTextArea = \"two\\nlines \\\"quoted\\\"\""},
      {{{"ref", "e4"}, {"role", "AXSlider"}, {"value", 0.25}, {"enabled", false}},
       "e4 AXSlider = 0.25 (disabled)"},
      {{{"ref", "e5"}, {"role", "AXImage"}, {"description", "Logo"}, {"actions", Json::array()}},
       "e5 AXImage \"Logo\""},
      {{{"ref", "e7"}, {"role", "AXStaticText"}, {"title", "Name"}, {"value", "Name"}},
       "e7 AXStaticText \"Name\""},
      {{{"ref", "e6"}, {"role", "AXStaticText"}, {"value", std::string(200, 'x')}},
       "e6 AXStaticText = \"" + std::string(160, 'x') + "...\""},
  };
  for (const Case& each : cases) {
    const std::string text = outline({{"observationId", "O"}, {"tree", {each.node}}});
    EXPECT_EQ(text.substr(text.find('\n') + 1), each.line + "\n") << each.node.dump();
  }
}

TEST(OutlineTest, HeadingWindowsAndIndentation) {
  const Json observation{{"observationId", "OBS"},
                         {"bundleId", "com.example.editor"},
                         {"expiresAt", "2026-12-08T10:00:00Z"},
                         {"nodeCount", 3},
                         {"truncated", true},
                         {"windowId", 7},
                         {"windows",
                          {{{"windowId", 7},
                            {"title", "Doc"},
                            {"frame", {{"x", 0}, {"y", 0}, {"width", 9}, {"height", 9}}}}}},
                         {"tree",
                          {{{"ref", "e1"},
                            {"role", "AXWindow"},
                            {"children",
                             {{{"ref", "e2"},
                               {"role", "AXGroup"},
                               {"children", {{{"ref", "e3"}, {"role", "AXButton"}}}}}}}}}}};
  EXPECT_EQ(outline(observation),
            "observationId OBS of com.example.editor, expires 2026-12-08T10:00:00Z; 3 elements "
            "(truncated: raise maxNodes or maxDepth, or pass windowId, to see more)\n"
            "window 7 \"Doc\" [0,0 9x9] (observed)\n"
            "e1 AXWindow\n  e2 AXGroup\n    e3 AXButton\n");
}

TEST(ImageScaleTest, FittedSizeKeepsTheAspectRatio) {
  struct Case {
    std::uint32_t width, height, longest, fittedWidth, fittedHeight;
  };
  for (const Case& each : std::vector<Case>{{1600, 1200, 400, 400, 300},
                                            {1200, 1600, 400, 300, 400},
                                            {800, 600, 800, 800, 600},
                                            {800, 600, 5000, 800, 600},
                                            {3000, 2, 300, 300, 1},
                                            {0, 0, 16, 0, 0}}) {
    const Size size = fittedSize(each.width, each.height, each.longest);
    EXPECT_EQ(size.width, each.fittedWidth) << each.width << "x" << each.height;
    EXPECT_EQ(size.height, each.fittedHeight) << each.width << "x" << each.height;
  }
}

// Each target pixel averages the source pixels it covers, so a thin line fades, not vanishes.
TEST(ImageScaleTest, DownscaleAveragesAndSurvivesAPngRoundTrip) {
  // 4 x 2: a white column at x = 1 on black, opaque.
  RgbaImage image{4, 2, std::vector<std::uint8_t>(4 * 2 * 4, 0)};
  for (std::uint32_t y = 0; y < 2; ++y) {
    for (std::uint32_t x = 0; x < 4; ++x) {
      std::uint8_t* pixel = &image.rgba[(y * 4 + x) * 4];
      pixel[0] = pixel[1] = pixel[2] = x == 1 ? 255 : 0;
      pixel[3] = 255;
    }
  }
  std::optional<std::vector<std::uint8_t>> png =
      encodePng(image.width, image.height, image.rgba, quickPngSettings());
  ASSERT_TRUE(png);
  std::optional<RgbaImage> decoded = decodePng(*png);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->rgba, image.rgba);
  const RgbaImage half = downscale(*decoded, {2, 1});
  EXPECT_EQ(half.rgba, (std::vector<std::uint8_t>{128, 128, 128, 255, 0, 0, 0, 255}));
  EXPECT_FALSE(decodePng(std::vector<std::uint8_t>{1, 2, 3}));
  EXPECT_FALSE(decodePng(*png, 8)) << "an image larger than allowed is not decoded";
}

}  // namespace
}  // namespace qor::mcp
