// The pure rules behind element actions and application events on Linux: which interface a
// value write goes through, which strings are numbers for it, which Accessibility error a D-Bus
// refusal becomes, what each application event asks of org.freedesktop.Application, and which
// file an icon name finds in the icon themes.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>

#include "core/apple_event_json.h"
#include "platform/atspi/atspi_tree.h"
#include "platform/atspi/ax_mapping.h"
#include "platform/freedesktop/app_events.h"
#include "platform/freedesktop/icons.h"

namespace qor::platform {
namespace {

using ax::RoleContext;
using ax::ValueWrite;

TEST(ValueWrites, PreferTheNumberForNumericControlsAndTheTextElsewhere) {
  constexpr std::uint32_t kSlider = 51;
  constexpr std::uint32_t kSpinButton = 52;
  constexpr std::uint32_t kEntry = 79;
  EXPECT_EQ(ax::valueWrite(RoleContext{kSlider, 0, false, {}}, false, true), ValueWrite::number);
  EXPECT_EQ(ax::valueWrite(RoleContext{kSpinButton, 0, false, {}}, true, true), ValueWrite::number);
  EXPECT_EQ(ax::valueWrite(RoleContext{kEntry, 0, false, {}}, true, false), ValueWrite::text);
  EXPECT_EQ(ax::valueWrite(RoleContext{kEntry, 0, false, {}}, true, true), ValueWrite::text);
  EXPECT_EQ(ax::valueWrite(RoleContext{ax::kRoleLabel, 0, false, {}}, false, true),
            ValueWrite::number);
  EXPECT_EQ(ax::valueWrite(RoleContext{ax::kRoleCheckBox, 0, false, {}}, false, false),
            ValueWrite::none);
}

TEST(ValueWrites, AcceptOnlyWholeFiniteNumbers) {
  EXPECT_EQ(ax::numericValue("55"), 55.0);
  EXPECT_EQ(ax::numericValue("-2.5"), -2.5);
  EXPECT_EQ(ax::numericValue("1e3"), 1000.0);
  EXPECT_EQ(ax::numericValue(""), std::nullopt);
  EXPECT_EQ(ax::numericValue("loud"), std::nullopt);
  EXPECT_EQ(ax::numericValue("5 "), std::nullopt);
  EXPECT_EQ(ax::numericValue("5,5"), std::nullopt);
  EXPECT_EQ(ax::numericValue("inf"), std::nullopt);
  EXPECT_EQ(ax::numericValue("nan"), std::nullopt);
  EXPECT_EQ(ax::numericValue("1e999"), std::nullopt);
}

TEST(AxErrors, FollowTheDBusErrorName) {
  EXPECT_EQ(axErrorFor("org.freedesktop.DBus.Error.UnknownObject"),
            desktop::kAXErrorInvalidUIElement);
  for (const char* unsupported :
       {"UnknownMethod", "UnknownInterface", "UnknownProperty", "InvalidArgs", "NotSupported"}) {
    EXPECT_EQ(axErrorFor(std::string("org.freedesktop.DBus.Error.") + unsupported),
              desktop::kAXErrorAttributeUnsupported)
        << unsupported;
  }
  EXPECT_EQ(axErrorFor("org.freedesktop.DBus.Error.NoReply"), desktop::kAXErrorCannotComplete);
  EXPECT_EQ(axErrorFor("org.freedesktop.DBus.Error.ServiceUnknown"),
            desktop::kAXErrorCannotComplete);
  EXPECT_EQ(axErrorFor("org.gtk.GDBus.UnmappedGError.Quark._g_2dio_2derror_2dquark.Code1"),
            desktop::kAXErrorFailure);
}

AppleEvent coreEvent(const char (&id)[5], std::vector<AppleDescriptor> directObject = {}) {
  AppleEvent event;
  event.eventClass = fourCharLiteral("aevt");
  event.eventID = fourChar(id);
  for (AppleDescriptor& each : directObject) {
    event.parameters.emplace_back(ae::kDirectObject, std::move(each));
  }
  return event;
}

TEST(ApplicationEvents, MapTheCoreEventsAndAnswerTheRestAsNotHandled) {
  EXPECT_EQ(planEvent(coreEvent("oapp")).call, ApplicationCall::activate);
  EXPECT_EQ(planEvent(coreEvent("rapp")).call, ApplicationCall::activate);
  EXPECT_EQ(planEvent(coreEvent("quit")).call, ApplicationCall::quit);
  EXPECT_FALSE(planEvent(coreEvent("quit")).refusal);
  EXPECT_EQ(planEvent(coreEvent("pdoc")).refusal, kEventNotHandled);
  AppleEvent other = coreEvent("oapp");
  other.eventClass = fourCharLiteral("core");
  EXPECT_EQ(planEvent(other).refusal, kEventNotHandled);
  EXPECT_EQ(planEvent(other).call, ApplicationCall::none);
}

TEST(ApplicationEvents, OpenFileReferencesPathsAndURLsInOrder) {
  EventPlan plan = planEvent(coreEvent(
      "odoc", {listDescriptor({fileURLDescriptor("/tmp/a b.txt"), textDescriptor("/srv/c.txt"),
                               textDescriptor("https://example.invalid/d")})}));
  EXPECT_EQ(plan.call, ApplicationCall::open);
  EXPECT_EQ(plan.uris, (std::vector<std::string>{"file:///tmp/a%20b.txt", "file:///srv/c.txt",
                                                 "https://example.invalid/d"}));
  EXPECT_EQ(planEvent(coreEvent("odoc", {fileURLDescriptor("/one")})).uris,
            std::vector<std::string>{"file:///one"});

  EXPECT_EQ(planEvent(coreEvent("odoc")).refusal, kDescriptorNotFound);
  EXPECT_EQ(planEvent(coreEvent("odoc", {listDescriptor()})).refusal, kCoercionFailed);
  EXPECT_EQ(planEvent(coreEvent("odoc", {textDescriptor("relative.txt")})).refusal,
            kCoercionFailed);
  // One item that is not a document reference refuses the whole event.
  EventPlan mixed = planEvent(
      coreEvent("odoc", {listDescriptor({fileURLDescriptor("/a"), integerDescriptor(3)})}));
  EXPECT_EQ(mixed.refusal, kCoercionFailed);
  EXPECT_EQ(mixed.call, ApplicationCall::none);
}

TEST(ApplicationEvents, AddressTheApplicationAtItsIdAsPath) {
  EXPECT_EQ(applicationObjectPath("dev.qor.Fixture"), "/dev/qor/Fixture");
  EXPECT_EQ(applicationObjectPath("org.example.my-app"), "/org/example/my_app");
  EXPECT_EQ(applicationObjectPath("debian-xterm"), std::nullopt);
  EXPECT_EQ(applicationObjectPath(""), std::nullopt);
}

TEST(IconThemes, ReadTheDirectoriesAndTheirSizeRules) {
  IconThemeIndex index = parseIconThemeIndex(
      "[Icon Theme]\nName=Test\nInherits=base,hicolor\n"
      "Directories=48x48/apps,scalable/apps,32x32/apps,broken\n"
      "ScaledDirectories=48x48@2/apps\n"
      "[48x48/apps]\nSize=48\nType=Fixed\n"
      "[scalable/apps]\nSize=16\nMinSize=8\nMaxSize=512\nType=Scalable\n"
      "[32x32/apps]\nSize=32\n"
      "[broken]\nType=Fixed\n"
      "[48x48@2/apps]\nSize=48\nScale=2\nType=Fixed\n");
  EXPECT_EQ(index.inherits, (std::vector<std::string>{"base", "hicolor"}));
  ASSERT_EQ(index.directories.size(), 4u);  // "broken" has no size
  const IconDirectory& fixed = index.directories[0];
  const IconDirectory& scalable = index.directories[1];
  const IconDirectory& threshold = index.directories[2];
  EXPECT_EQ(threshold.type, IconDirectory::Type::threshold);
  EXPECT_EQ(index.directories[3].scale, 2);

  EXPECT_TRUE(directoryMatchesSize(fixed, 48));
  EXPECT_FALSE(directoryMatchesSize(fixed, 64));
  EXPECT_EQ(directorySizeDistance(fixed, 64), 16);
  EXPECT_TRUE(directoryMatchesSize(scalable, 64));
  EXPECT_EQ(directorySizeDistance(scalable, 4), 4);
  EXPECT_TRUE(directoryMatchesSize(threshold, 34));
  EXPECT_FALSE(directoryMatchesSize(threshold, 35));
  EXPECT_EQ(directorySizeDistance(threshold, 64), 30);
  EXPECT_FALSE(directoryMatchesSize(index.directories[3], 48));
}

// A private folder with two icon themes: "current" inherits "base"; hicolor is absent.
class IconFolder {
 public:
  IconFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "qor-icons-XXXXXX").string();
    root_ = mkdtemp(pattern.data()) ? pattern : "";
    write("icons/current/index.theme",
          "[Icon Theme]\nInherits=base\nDirectories=16x16/apps,64x64/apps\n"
          "[16x16/apps]\nSize=16\nType=Fixed\n[64x64/apps]\nSize=64\nType=Fixed\n");
    write("icons/base/index.theme",
          "[Icon Theme]\nInherits=current\nDirectories=32x32/apps,scalable/apps\n"
          "[32x32/apps]\nSize=32\nType=Fixed\n"
          "[scalable/apps]\nSize=48\nMinSize=16\nMaxSize=256\nType=Scalable\n");
  }
  ~IconFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }
  std::filesystem::path write(const std::string& relative, const std::string& text = "x") const {
    std::filesystem::path file = root_ / relative;
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file) << text;
    return file;
  }
  IconSearch search() const { return IconSearch{{root_ / "icons", root_ / "pixmaps"}, "current"}; }

 private:
  std::filesystem::path root_;
};

TEST(IconThemes, FindTheBestSizeThroughInheritanceThenThePixmaps) {
  IconFolder folder;
  auto exact = folder.write("icons/current/64x64/apps/exact.png");
  folder.write("icons/current/16x16/apps/exact.png");
  EXPECT_EQ(findIcon("exact", 64, folder.search()), exact);

  // Only in the inherited theme (whose own Inherits loops back: visited once).
  auto scalable = folder.write("icons/base/scalable/apps/inherited.svg");
  EXPECT_EQ(findIcon("inherited", 64, folder.search()), scalable);

  // A theme that has the icon at all gives its closest size before inherited themes are asked.
  auto small = folder.write("icons/current/16x16/apps/small.png");
  folder.write("icons/base/32x32/apps/small.png");
  EXPECT_EQ(findIcon("small", 64, folder.search()), small);

  auto pixmap = folder.write("pixmaps/legacy.xpm");
  EXPECT_EQ(findIcon("legacy", 64, folder.search()), pixmap);
  EXPECT_EQ(findIcon("legacy.xpm", 64, folder.search()), pixmap);

  auto absolute = folder.write("elsewhere/logo.png");
  EXPECT_EQ(findIcon(absolute.string(), 64, folder.search()), absolute);
  EXPECT_EQ(findIcon((absolute.parent_path() / "missing.png").string(), 64, folder.search()),
            std::nullopt);
  EXPECT_EQ(findIcon("missing", 64, folder.search()), std::nullopt);
  EXPECT_EQ(findIcon("", 64, folder.search()), std::nullopt);
  EXPECT_EQ(findIcon("../pixmaps/legacy", 64, folder.search()), std::nullopt);
}

TEST(IconThemes, RenderSquarePNGsOfAnyImageAndNothingOfOthers) {
  IconFolder folder;
  auto wide = folder.write("wide.svg",
                           "<svg xmlns='http://www.w3.org/2000/svg' width='40' height='20'>"
                           "<rect width='40' height='20' fill='red'/></svg>");
  std::optional<std::vector<std::uint8_t>> png = renderIconPNG(wide, 64);
  ASSERT_TRUE(png);
  ASSERT_GT(png->size(), 24u);
  auto bigEndian = [&](std::size_t at) {
    return (std::uint32_t{(*png)[at]} << 24) | (std::uint32_t{(*png)[at + 1]} << 16) |
           (std::uint32_t{(*png)[at + 2]} << 8) | std::uint32_t{(*png)[at + 3]};
  };
  EXPECT_EQ(bigEndian(16), 64u);  // IHDR width
  EXPECT_EQ(bigEndian(20), 64u);  // IHDR height

  EXPECT_EQ(renderIconPNG(folder.write("text.png", "not an image"), 64), std::nullopt);
  EXPECT_EQ(renderIconPNG(folder.search().baseDirectories[0] / "absent.png", 64), std::nullopt);
}

}  // namespace
}  // namespace qor::platform
