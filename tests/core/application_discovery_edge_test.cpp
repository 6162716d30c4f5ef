// Installed-application discovery: the name fallback to the folder, root order against depth,
// plist booleans as switches, and links that lead nowhere.

#include <gtest/gtest.h>
#include <plist/plist.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "core/application_discovery.h"

namespace qor {
namespace {

namespace fs = std::filesystem;

class DiscoveryEdgeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "discovery-edge-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    base_ = pattern;
  }
  void TearDown() override { fs::remove_all(base_); }

  // A bundle at `relative` whose Info.plist (binary when asked) holds an application type, the
  // identifier and `extra` entries; `extra` is consumed.
  fs::path bundle(const fs::path& relative, const std::string& bundleID,
                  std::vector<std::pair<const char*, plist_t>> extra = {}, bool binary = false) {
    plist_t info = plist_new_dict();
    plist_dict_set_item(info, "CFBundlePackageType", plist_new_string("APPL"));
    plist_dict_set_item(info, "CFBundleIdentifier", plist_new_string(bundleID.c_str()));
    for (auto& [key, value] : extra) {
      plist_dict_set_item(info, key, value);
    }
    char* data = nullptr;
    std::uint32_t length = 0;
    if (binary) {
      plist_to_bin(info, &data, &length);
    } else {
      plist_to_xml(info, &data, &length);
    }
    plist_free(info);
    const fs::path contents = base_ / relative / "Contents";
    fs::create_directories(contents);
    std::ofstream(contents / "Info.plist", std::ios::binary).write(data, length);
    std::free(data);
    return base_ / relative;
  }

  std::vector<InstalledApplication> walk(const std::vector<fs::path>& roots) {
    std::vector<fs::path> absolute;
    for (const fs::path& root : roots) {
      absolute.push_back(base_ / root);
    }
    return ApplicationDiscovery::installed(absolute, 2);
  }

  fs::path base_;
};

TEST_F(DiscoveryEdgeTest, NameFallsBackToTheFolderWhenNoNameIsAString) {
  bundle("root/Number Cruncher.app", "numbers",
         {{"CFBundleDisplayName", plist_new_uint(12)}, {"CFBundleName", plist_new_real(1.5)}});
  bundle("root/Dated.app", "dated", {{"CFBundleDisplayName", plist_new_date(0, 0)}}, true);
  const std::vector<InstalledApplication> found = walk({"root"});
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found[0].name, "Dated");
  EXPECT_EQ(found[1].name, "Number Cruncher");
}

TEST_F(DiscoveryEdgeTest, AnEarlierRootWinsEvenOverAShallowerCopyInALaterRoot) {
  const fs::path deep = bundle("Applications/Work/Tools/Mail.app", "com.mail",
                               {{"CFBundleName", plist_new_string("Mail (system-wide)")}});
  bundle("home/Applications/Mail.app", "com.mail",
         {{"CFBundleName", plist_new_string("Mail (user)")}});
  bundle("System/Applications/A.app", "com.mail", {{"CFBundleName", plist_new_string("A")}});
  const std::vector<InstalledApplication> found =
      walk({"Applications", "home/Applications", "System/Applications"});
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0], (InstalledApplication{"com.mail", "Mail (system-wide)", deep.string()}));
}

TEST_F(DiscoveryEdgeTest, PlistBooleansSwitchByValue) {
  bundle("root/Background.app", "background", {{"LSBackgroundOnly", plist_new_bool(1)}}, true);
  bundle("root/Agent.app", "agent", {{"LSUIElement", plist_new_string("yes")}});
  bundle("root/Foreground.app", "foreground",
         {{"LSBackgroundOnly", plist_new_bool(0)}, {"LSUIElement", plist_new_string("NO")}});
  bundle("root/Odd.app", "odd", {{"LSUIElement", plist_new_string("on")}});
  const std::vector<InstalledApplication> found = walk({"root"});
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found[0].bundleID, "foreground");
  EXPECT_EQ(found[1].bundleID, "odd");
}

TEST_F(DiscoveryEdgeTest, LinksThatLeadNowhereAreSkippedQuietly) {
  fs::create_directories(base_ / "root");
  fs::create_directory_symlink(base_ / "gone/Away.app", base_ / "root/Dangling.app");
  fs::create_directory_symlink(base_ / "gone", base_ / "root/Dangling Folder");
  const fs::path real = bundle("root/Real.app", "real");
  const std::vector<InstalledApplication> found = walk({"root"});
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].path, real.string());
}

}  // namespace
}  // namespace qor
