#include "core/application_discovery.h"

#include <gtest/gtest.h>
#include <plist/plist.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace qor {
namespace {

namespace fs = std::filesystem;

enum class Format { xml, binary };

// An Info.plist dictionary under construction; owns its libplist node.
class Info {
 public:
  explicit Info(const std::string& bundleID, const std::string& packageType = "APPL")
      : node_(plist_new_dict(), &plist_free) {
    if (!packageType.empty()) {
      set("CFBundlePackageType", plist_new_string(packageType.c_str()));
    }
    set("CFBundleIdentifier", plist_new_string(bundleID.c_str()));
  }

  Info& set(const char* key, plist_t value) {
    plist_dict_set_item(node_.get(), key, value);
    return *this;
  }
  Info& set(const char* key, const char* text) { return set(key, plist_new_string(text)); }

  std::string bytes(Format format) const {
    char* data = nullptr;
    std::uint32_t length = 0;
    if (format == Format::binary) {
      plist_to_bin(node_.get(), &data, &length);
    } else {
      plist_to_xml(node_.get(), &data, &length);
    }
    std::string result(data, length);
    std::free(data);
    return result;
  }

 private:
  std::unique_ptr<void, decltype(&plist_free)> node_;
};

class ApplicationDiscoveryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "discovery-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    base_ = pattern;
  }
  void TearDown() override { fs::remove_all(base_); }

  fs::path dir(const fs::path& relative) {
    fs::create_directories(base_ / relative);
    return base_ / relative;
  }

  void writeFile(const fs::path& relative, const std::string& contents) {
    fs::create_directories((base_ / relative).parent_path());
    std::ofstream(base_ / relative, std::ios::binary) << contents;
  }

  // A bundle folder at `relative` whose Contents/Info.plist is `info` in the given format.
  fs::path bundle(const fs::path& relative, const Info& info, Format format = Format::xml) {
    writeFile(relative / "Contents" / "Info.plist", info.bytes(format));
    return base_ / relative;
  }

  std::vector<InstalledApplication> walk(const std::vector<fs::path>& roots, int maxDepth = 2) {
    std::vector<fs::path> absolute;
    for (const fs::path& root : roots) {
      absolute.push_back(base_ / root);
    }
    return ApplicationDiscovery::installed(absolute, maxDepth);
  }

  std::vector<std::string> bundleIDs(const std::vector<fs::path>& roots, int maxDepth = 2) {
    std::vector<std::string> ids;
    for (const InstalledApplication& application : walk(roots, maxDepth)) {
      ids.push_back(application.bundleID);
    }
    return ids;
  }

  fs::path base_;
};

using Strings = std::vector<std::string>;

TEST_F(ApplicationDiscoveryTest, ReadsXmlAndBinaryListsAndSortsByDisplayName) {
  const fs::path ten = bundle("root/Ten.app", Info("com.ten").set("CFBundleName", "Notes 10"));
  bundle("root/Two.app", Info("com.Two").set("CFBundleName", "notes 2"), Format::binary);
  // Written by hand, the way a build tool lays it out.
  writeFile("root/Cal.app/Contents/Info.plist", R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
	<key>CFBundleDisplayName</key>
	<string>Calendar</string>
	<key>CFBundleIdentifier</key>
	<string>com.cal</string>
	<key>CFBundlePackageType</key>
	<string>APPL</string>
	<key>LSUIElement</key>
	<false/>
</dict>
</plist>
)");

  const std::vector<InstalledApplication> found = walk({"root"});
  ASSERT_EQ(found.size(), 3u);
  EXPECT_EQ(found[0],
            (InstalledApplication{"com.cal", "Calendar", (base_ / "root/Cal.app").string()}));
  EXPECT_EQ(found[1],
            (InstalledApplication{"com.Two", "notes 2", (base_ / "root/Two.app").string()}));
  EXPECT_EQ(found[2], (InstalledApplication{"com.ten", "Notes 10", ten.string()}));
}

TEST_F(ApplicationDiscoveryTest, TakesAppInAnyCaseAndNeverEntersBundlesOrPackages) {
  bundle("root/Tool.APP", Info("com.tool"));
  bundle("root/Outer.app/Contents/Helpers/Inner.app", Info("com.inner"));
  bundle("root/Outer.app", Info("com.outer"));
  bundle("root/Kit.framework/Versions/Runner.app", Info("com.framework.runner"));
  bundle("root/Kit.Bundle/Runner.app", Info("com.bundle.runner"));
  bundle("root/Folder.d/Plain.app", Info("com.plain"));
  EXPECT_EQ(bundleIDs({"root"}), (Strings{"com.outer", "com.plain", "com.tool"}));
}

TEST_F(ApplicationDiscoveryTest, SkipsBundlesWithoutApplicationTypeOrIdentifier) {
  bundle("root/Good.app", Info("com.good"));
  bundle("root/Lower.app", Info("com.lower", "appl"));
  bundle("root/Framework.app", Info("com.fmwk", "FMWK"));
  bundle("root/Untyped.app", Info("com.untyped", ""));
  bundle("root/EmptyID.app", Info(""));
  bundle("root/NumberID.app", Info("x").set("CFBundleIdentifier", plist_new_uint(7)));
  bundle("root/NumberType.app", Info("com.numtype").set("CFBundlePackageType", plist_new_uint(1)));
  dir("root/NoInfo.app/Contents");
  writeFile("root/Garbage.app/Contents/Info.plist", "this is not a property list");
  writeFile("root/Empty.app/Contents/Info.plist", "");
  writeFile("root/Array.app/Contents/Info.plist",
            "<plist version=\"1.0\"><array><string>APPL</string></array></plist>");
  writeFile("root/File.app", "a file, not a folder");
  dir("root/Folder.app/Contents/Info.plist");
  // A FIFO in place of the file must neither block the walk nor be read.
  dir("root/Pipe.app/Contents");
  ASSERT_EQ(::mkfifo((base_ / "root/Pipe.app/Contents/Info.plist").c_str(), 0600), 0);

  EXPECT_EQ(bundleIDs({"root"}), (Strings{"com.good"}));
}

TEST_F(ApplicationDiscoveryTest, LeavesOutBackgroundAndAgentApplicationsByTheFlagRule) {
  bundle("root/UIYes.app", Info("ui.yes").set("LSUIElement", "YES"));
  bundle("root/UIOne.app", Info("ui.one").set("LSUIElement", plist_new_uint(1)), Format::binary);
  bundle("root/UITrue.app", Info("ui.true").set("LSUIElement", plist_new_bool(1)));
  bundle("root/UIString1.app", Info("ui.string1").set("LSUIElement", "1"));
  bundle("root/BgTrue.app", Info("bg.true").set("LSBackgroundOnly", "True"), Format::binary);
  bundle("root/BgTwo.app", Info("bg.two").set("LSBackgroundOnly", plist_new_uint(2)));
  bundle("root/BgReal.app", Info("bg.real").set("LSBackgroundOnly", plist_new_real(0.5)));

  bundle("root/KeepZero.app", Info("keep.zero").set("LSBackgroundOnly", "0"));
  bundle("root/KeepNo.app", Info("keep.no").set("LSBackgroundOnly", "no"));
  bundle("root/KeepFalse.app", Info("keep.false").set("LSUIElement", plist_new_bool(0)),
         Format::binary);
  bundle("root/KeepNumber0.app", Info("keep.number0").set("LSUIElement", plist_new_uint(0)));
  bundle("root/KeepSpaced.app", Info("keep.spaced").set("LSUIElement", " yes"));
  bundle("root/KeepArray.app", Info("keep.array").set("LSUIElement", plist_new_array()));
  bundle("root/KeepDate.app", Info("keep.date").set("LSBackgroundOnly", plist_new_date(0, 0)));

  EXPECT_EQ(bundleIDs({"root"}), (Strings{"keep.array", "keep.date", "keep.false", "keep.no",
                                          "keep.number0", "keep.spaced", "keep.zero"}));
}

TEST_F(ApplicationDiscoveryTest, NamesFromDisplayNameThenBundleNameThenFolder) {
  bundle("root/A.app", Info("a").set("CFBundleDisplayName", "").set("CFBundleName", "Alpha"));
  bundle("root/B.app",
         Info("b").set("CFBundleDisplayName", plist_new_uint(5)).set("CFBundleName", "Beta"));
  bundle("root/My.Tool.app", Info("c").set("CFBundleName", plist_new_bool(1)), Format::binary);
  bundle("root/D.app", Info("d").set("CFBundleDisplayName", "Déjà Vu").set("CFBundleName", "x"));

  const std::vector<InstalledApplication> found = walk({"root"});
  ASSERT_EQ(found.size(), 4u);
  EXPECT_EQ(found[0].name, "");
  EXPECT_EQ(found[1].name, "Beta");
  EXPECT_EQ(found[2].name, "Déjà Vu");
  EXPECT_EQ(found[3].name, "My.Tool");
}

TEST_F(ApplicationDiscoveryTest, NeverSeesHiddenEntries) {
  bundle("root/.Hidden.app", Info("hidden.bundle"));
  bundle("root/.cache/Cached.app", Info("hidden.folder"));
  bundle("root/Shown.app", Info("shown"));
  EXPECT_EQ(bundleIDs({"root"}), (Strings{"shown"}));
}

TEST_F(ApplicationDiscoveryTest, OpensFoldersOnlyBelowTheDepthBound) {
  bundle("root/Top.app", Info("depth0"));
  bundle("root/A/One.app", Info("depth1"));
  bundle("root/A/B/Two.app", Info("depth2"));
  bundle("root/A/B/C/Three.app", Info("depth3"));
  EXPECT_EQ(bundleIDs({"root"}, 2), (Strings{"depth1", "depth0", "depth2"}));  // One, Top, Two
  EXPECT_EQ(bundleIDs({"root"}, 0), (Strings{"depth0"}));
  EXPECT_EQ(bundleIDs({"root"}, 3).size(), 4u);
}

TEST_F(ApplicationDiscoveryTest, FollowsLinkedBundlesButNeverLinkedFolders) {
  bundle("elsewhere/Apps/Hidden Away.app", Info("behind.folder.link"));
  const fs::path target = bundle("elsewhere/Real.app", Info("behind.bundle.link"));
  dir("root");
  fs::create_directory_symlink(base_ / "elsewhere/Apps", base_ / "root/Linked Folder");
  fs::create_directory_symlink(target, base_ / "root/Linked.app");
  // A link back up the tree would loop forever if followed.
  fs::create_directory_symlink(base_ / "root", base_ / "root/Loop");

  const std::vector<InstalledApplication> found = walk({"root"}, 5);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].bundleID, "behind.bundle.link");
  EXPECT_EQ(found[0].path, (base_ / "root/Linked.app").string());
}

TEST_F(ApplicationDiscoveryTest, KeepsTheFirstCopyAcrossRootsAndInsideARoot) {
  bundle("first/Mail.app", Info("com.mail").set("CFBundleName", "Mail (first)"));
  bundle("second/Mail.app", Info("com.mail").set("CFBundleName", "Mail (second)"));
  // Inside one root the enclosing entry that sorts first wins, even when deeper; "Z" < "a".
  bundle("second/Apps/Deep.app", Info("com.dup").set("CFBundleName", "deep"));
  bundle("second/Zed.app", Info("com.dup").set("CFBundleName", "zed"));
  bundle("second/Zeta/Upper.app", Info("com.case").set("CFBundleName", "upper"));
  bundle("second/alpha.app", Info("com.case").set("CFBundleName", "lower"));

  const std::vector<InstalledApplication> found = walk({"first", "second", "missing"});
  ASSERT_EQ(found.size(), 3u);
  EXPECT_EQ(found[0],
            (InstalledApplication{"com.dup", "deep", (base_ / "second/Apps/Deep.app").string()}));
  EXPECT_EQ(found[1], (InstalledApplication{"com.mail", "Mail (first)",
                                            (base_ / "first/Mail.app").string()}));
  EXPECT_EQ(found[2].name, "upper");
}

TEST_F(ApplicationDiscoveryTest, UnreadableRootsGiveNothing) {
  writeFile("plain-file", "x");
  EXPECT_TRUE(walk({"does-not-exist", "plain-file"}).empty());
  EXPECT_TRUE(ApplicationDiscovery::installed({}, 2).empty());
}

TEST(ApplicationDiscoveryRoots, ListsTheFourStandardPlacesWithTheUsersHome) {
  const char* saved = std::getenv("HOME");
  const std::string previous = saved != nullptr ? saved : "";
  ::setenv("HOME", "/home/someone", 1);
  const std::vector<fs::path> roots = ApplicationDiscovery::standardRoots();
  if (saved != nullptr) {
    ::setenv("HOME", previous.c_str(), 1);
  } else {
    ::unsetenv("HOME");
  }
  EXPECT_EQ(roots, (std::vector<fs::path>{"/Applications", "/home/someone/Applications",
                                          "/System/Applications",
                                          "/System/Library/CoreServices/Applications"}));
}

}  // namespace
}  // namespace qor
