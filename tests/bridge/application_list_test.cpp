// "apps.list" on the simulated desktop: the three sources merged by bundle identifier, icons as
// PNG data URLs on request, and the order by name.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "bridge/support/harness.h"
#include "bridge/support/png_image.h"

namespace qor {
namespace {

constexpr const char* kIconPrefix = "data:image/png;base64,";

std::vector<std::uint8_t> fromBase64(const std::string& text) {
  static const std::string kAlphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::vector<std::uint8_t> bytes;
  std::uint32_t bits = 0;
  int count = 0;
  for (char c : text) {
    if (c == '=') {
      break;
    }
    std::size_t value = kAlphabet.find(c);
    EXPECT_NE(value, std::string::npos) << "not Base64: " << c;
    bits = bits << 6 | static_cast<std::uint32_t>(value & 63);
    count += 6;
    if (count >= 8) {
      count -= 8;
      bytes.push_back(static_cast<std::uint8_t>(bits >> count & 0xFF));
    }
  }
  return bytes;
}

class ApplicationListTest : public ::testing::Test {
 protected:
  sim::SimApplication& run(desktop::Pid pid, const std::string& bundleID, const std::string& name,
                           const std::optional<std::string>& path) {
    sim::SimApplication& app = h.desktop.addApplication(pid, bundleID);
    app.localizedName = name;
    app.bundlePath = path;
    return app;
  }

  Json list(const Json& params = Json::object()) {
    h.request(++id, "apps.list", params);
    Json response = h.responseFor(id);
    EXPECT_TRUE(response.contains("result")) << response.dump();
    EXPECT_EQ(response["result"].size(), 1u);
    return response["result"]["applications"];
  }

  static std::vector<std::string> names(const Json& applications) {
    std::vector<std::string> result;
    for (const Json& entry : applications) {
      result.push_back(entry["name"]);
    }
    return result;
  }

  static const Json& entryFor(const Json& applications, const std::string& bundleID) {
    for (const Json& entry : applications) {
      if (entry["bundleId"] == bundleID) {
        return entry;
      }
    }
    static const Json kMissing;
    ADD_FAILURE() << "no entry for " << bundleID;
    return kMissing;
  }

  static std::size_t iconCount(const Json& applications) {
    return static_cast<std::size_t>(std::ranges::count_if(
        applications, [](const Json& entry) { return entry.contains("icon"); }));
  }

  testing::Harness h;
  int id = 0;
};

using Strings = std::vector<std::string>;

TEST_F(ApplicationListTest, MergesInstalledAndRunningOncePerIdentifierSortedByName) {
  h.desktop.install("com.example.notes10", "Notes 10", "/Applications/Notes 10.app");
  h.desktop.install("com.example.notes2", "Notes 2", "/Applications/Notes 2.app");
  h.desktop.install("com.example.mail", "Mail", "/Applications/Mail.app");
  run(10, "com.example.mail", "Mail (running)", "/Users/me/Applications/Mail.app");
  run(11, "com.example.term", "terminal", std::nullopt);
  h.desktop.frontmostPid = 10;

  const Json applications = list();
  EXPECT_EQ(names(applications), (Strings{"Mail (running)", "Notes 2", "Notes 10", "terminal"}));
  EXPECT_EQ(entryFor(applications, "com.example.mail"),
            (Json{{"bundleId", "com.example.mail"},
                  {"name", "Mail (running)"},
                  {"path", "/Users/me/Applications/Mail.app"},
                  {"running", true},
                  {"active", true},
                  {"pid", 10}}));
  EXPECT_EQ(entryFor(applications, "com.example.notes2"),
            (Json{{"bundleId", "com.example.notes2"},
                  {"name", "Notes 2"},
                  {"path", "/Applications/Notes 2.app"},
                  {"running", false},
                  {"active", false}}));
  const Json& terminal = entryFor(applications, "com.example.term");
  EXPECT_EQ(terminal["path"], "");
  EXPECT_EQ(terminal["active"], false);
  EXPECT_EQ(iconCount(applications), 0u);
}

TEST_F(ApplicationListTest, OnlyRegularRunningApplicationsWithAnIdentifierAreListedAsRunning) {
  h.desktop.install("com.example.menu", "Menu Helper", "/Applications/Menu Helper.app");
  run(20, "com.example.menu", "Menu Helper", "/Applications/Menu Helper.app").activationPolicy =
      desktop::ActivationPolicy::accessory;
  run(21, "com.example.agent", "Agent", "/Library/Agent.app").activationPolicy =
      desktop::ActivationPolicy::accessory;
  run(22, "com.example.daemon", "Daemon", "/usr/libexec/daemon").activationPolicy =
      desktop::ActivationPolicy::prohibited;
  run(23, "", "No Identifier", "/Applications/Nothing.app");
  sim::SimApplication& unnamed = run(24, "com.example.unnamed", "", std::nullopt);
  unnamed.localizedName.reset();
  sim::SimApplication& missing = run(25, "x", "No Bundle", std::nullopt);
  missing.bundleID.reset();

  const Json applications = list();
  ASSERT_EQ(applications.size(), 2u);
  // A menu-bar application comes from disk only.
  EXPECT_EQ(entryFor(applications, "com.example.menu"),
            (Json{{"bundleId", "com.example.menu"},
                  {"name", "Menu Helper"},
                  {"path", "/Applications/Menu Helper.app"},
                  {"running", false},
                  {"active", false}}));
  EXPECT_EQ(entryFor(applications, "com.example.unnamed")["name"], "");
}

TEST_F(ApplicationListTest, TheLastRunningInstanceOfAnIdentifierWins) {
  run(30, "com.example.editor", "Editor (old)", "/old/Editor.app");
  run(31, "com.example.editor", "Editor (new)", "/new/Editor.app");
  const Json applications = list();
  ASSERT_EQ(applications.size(), 1u);
  EXPECT_EQ(applications[0]["pid"], 31);
  EXPECT_EQ(applications[0]["path"], "/new/Editor.app");
}

TEST_F(ApplicationListTest, RequestedIdentifiersAreResolvedOnlyWhenNotListedYet) {
  h.desktop.install("com.example.mail", "Mail", "/Applications/Mail.app");
  // Known to the workspace but not among the installed applications found on disk.
  h.desktop.bundleLocations["com.example.hidden"] = "/Volumes/Tools/Hidden Tool.app";
  h.desktop.bundleLocations["com.example.slash"] = "/Volumes/Tools/Slashed.app/";
  h.desktop.bundleLocations["com.example.mail"] = "/Elsewhere/Other Mail.app";

  const Json applications = list(
      {{"bundleIds", Json::array({"com.example.mail", "com.example.unknown", "com.example.hidden",
                                  "com.example.slash", "com.example.hidden"})}});
  EXPECT_EQ(names(applications), (Strings{"Hidden Tool", "Mail", "Slashed"}));
  EXPECT_EQ(entryFor(applications, "com.example.hidden"),
            (Json{{"bundleId", "com.example.hidden"},
                  {"name", "Hidden Tool"},
                  {"path", "/Volumes/Tools/Hidden Tool.app"},
                  {"running", false},
                  {"active", false}}));
  EXPECT_EQ(entryFor(applications, "com.example.mail")["path"], "/Applications/Mail.app");

  // Anything but an array of strings is no list at all.
  EXPECT_EQ(list({{"bundleIds", "com.example.hidden"}}).size(), 1u);
  EXPECT_EQ(list({{"bundleIds", Json::array({"com.example.hidden", 7})}}).size(), 1u);
}

TEST_F(ApplicationListTest, IconsAre64PixelPngDataUrlsOnlyWhenAskedWithTrueOrOne) {
  h.desktop.install("com.example.mail", "Mail", "/Applications/Mail.app");
  h.desktop.install("com.example.notes", "Notes", "/Applications/Notes.app");
  run(40, "com.example.term", "Terminal", std::nullopt);
  h.desktop.icons["/Applications/Mail.app"] = {0x20, 0x60, 0xE0, 0xFF};
  h.desktop.icons[""] = {0, 0, 0, 0xFF};  // must never be asked for

  for (const Json& no : {Json("true"), Json(2), Json(0), Json(false), Json(nullptr)}) {
    EXPECT_EQ(iconCount(list({{"includeIcons", no}})), 0u) << no.dump();
  }
  EXPECT_FALSE(h.desktop.log.called("iconPNG"));

  for (const Json& yes : {Json(1), Json(true)}) {
    const Json applications = list({{"includeIcons", yes}});
    // Notes has no icon to render and the terminal no path: the listing goes on without them.
    EXPECT_EQ(iconCount(applications), 1u) << yes.dump();
    EXPECT_FALSE(entryFor(applications, "com.example.notes").contains("icon"));
    EXPECT_FALSE(entryFor(applications, "com.example.term").contains("icon"));

    const std::string icon = entryFor(applications, "com.example.mail")["icon"];
    ASSERT_TRUE(icon.starts_with(kIconPrefix)) << icon.substr(0, 40);
    const std::string encoded = icon.substr(std::string(kIconPrefix).size());
    EXPECT_EQ(encoded.find_first_of("\r\n"), std::string::npos);
    std::optional<RgbaImage> png = testing::decodePng(fromBase64(encoded));
    ASSERT_TRUE(png.has_value());
    EXPECT_EQ(png->width, 64u);
    EXPECT_EQ(png->height, 64u);
    EXPECT_EQ(std::vector<std::uint8_t>(png->rgba.begin(), png->rgba.begin() + 4),
              (std::vector<std::uint8_t>{0x20, 0x60, 0xE0, 0xFF}));
  }
  // One lookup per entry with a path, per listing: Mail and Notes, twice.
  EXPECT_EQ(std::ranges::count(h.desktop.log.calls, "iconPNG"), 4);
}

TEST_F(ApplicationListTest, SortsCaseInsensitivelyWithNumbersByValue) {
  h.desktop.install("a", "zebra", "/A.app");
  h.desktop.install("b", "Notes 10", "/B.app");
  h.desktop.install("c", "notes 2", "/C.app");
  h.desktop.install("d", "Alpha", "/D.app");
  h.desktop.install("e", "", "/E.app");
  h.desktop.install("f", "beta", "/F.app");
  EXPECT_EQ(names(list()), (Strings{"", "Alpha", "beta", "notes 2", "Notes 10", "zebra"}));
}

}  // namespace
}  // namespace qor
