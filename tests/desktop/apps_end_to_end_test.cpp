// Launching, focusing, permissions and capabilities of the product executable on the Linux
// desktop, and its behaviour without any display.

#include <gtest/gtest.h>
#include <signal.h>

#include <cstdlib>
#include <sstream>
#include <string>

#include "desktop/support/desktop_support.h"

namespace qor {
namespace {

using desktoptest::Bridge;

using desktoptest::activeWindow;
using desktoptest::errorCode;
using desktoptest::result;

// Where the fixture's desktop entry can be found, ahead of the system's entries.
std::string dataDirectories() {
  const char* system = std::getenv("XDG_DATA_DIRS");
  return "XDG_DATA_DIRS=" + desktoptest::fixtureDataDirectory() + ":" +
         (system && *system ? system : "/usr/local/share:/usr/share");
}

// Whether the window becomes the active one.
bool becomesActive(unsigned long window) {
  return desktoptest::waitUntil([&] { return activeWindow() == std::to_string(window); });
}

TEST(AppsEndToEnd, LaunchesThroughTheDesktopEntryAndReusesTheRunningInstance) {
  Bridge bridge({dataDirectories()});
  Json launched = result(bridge.request("apps.launch", {{"bundleId", "dev.qor.Fixture"}}));
  ASSERT_TRUE(launched.contains("pid"));
  pid_t pid = launched["pid"].get<pid_t>();
  EXPECT_EQ(launched["bundleId"], "dev.qor.Fixture");
  EXPECT_EQ(launched["running"], true);
  EXPECT_EQ(desktoptest::windowsOf(pid).size(), 1u);  // it answered once the window showed

  Json again = result(bridge.request("apps.launch", {{"bundleId", "dev.qor.Fixture"}}));
  EXPECT_EQ(again["pid"], pid);

  Json listed = result(bridge.request("apps.list"));
  bool found = false;
  for (const Json& app : listed["applications"]) {
    if (app.value("bundleId", "") == "dev.qor.Fixture" && app.value("running", false)) {
      found = true;
      EXPECT_EQ(app["pid"], pid);
      EXPECT_EQ(app["name"], "Qor Fixture");  // from the desktop entry
    }
  }
  EXPECT_TRUE(found);
  desktoptest::endProcess(pid);

  EXPECT_EQ(errorCode(bridge.request("apps.launch", {{"bundleId", "dev.qor.NotInstalled"}})),
            "applicationNotInstalled");
}

TEST(AppsEndToEnd, FocusBringsTheApplicationInFront) {
  auto fixture = desktoptest::startFixture();
  auto xterm = desktoptest::startStock({"xterm"});
  std::vector<unsigned long> fixtureWindows = desktoptest::windowsOf(fixture->pid());
  std::vector<unsigned long> xtermWindows = desktoptest::windowsOf(xterm->pid());
  ASSERT_EQ(fixtureWindows.size(), 1u);
  ASSERT_EQ(xtermWindows.size(), 1u);
  EXPECT_TRUE(becomesActive(xtermWindows[0]));

  Bridge bridge;
  Json focused = result(bridge.request("apps.focus", {{"bundleId", "dev.qor.Fixture"}}));
  EXPECT_EQ(focused["pid"], fixture->pid());
  EXPECT_EQ(focused["focused"], true);
  EXPECT_EQ(activeWindow(), std::to_string(fixtureWindows[0]));  // in front when it says so

  EXPECT_EQ(errorCode(bridge.request("apps.focus", {{"bundleId", "dev.qor.NotRunning"}})),
            "applicationNotRunning");
}

TEST(AppsEndToEnd, ReportsLinuxPermissionsAndCapabilities) {
  auto fixture = desktoptest::startFixture();
  Bridge bridge;
  Json capabilities = result(bridge.request("capabilities"));
  EXPECT_EQ(capabilities["platform"], "linux");
  EXPECT_EQ(capabilities["minimumOS"], "debian-12");
  EXPECT_FALSE(capabilities["architecture"].get<std::string>().empty());

  Json status = result(bridge.request("permissions.status", {{"bundleId", "dev.qor.Fixture"}}));
  EXPECT_EQ(status["accessibility"], true);
  EXPECT_EQ(status["screenCapture"], true);
  EXPECT_EQ(status["automation"]["granted"], true);
  EXPECT_EQ(status["automation"]["status"], 0);
  Json absent = result(bridge.request("permissions.status", {{"bundleId", "dev.qor.Absent"}}));
  EXPECT_EQ(absent["automation"]["status"], -600);
  EXPECT_EQ(bridge.finish(), 0);
  EXPECT_EQ(bridge.standardError(), "");
}

// The process that owns the accessibility bus launcher's name on the session bus (the reply
// reads "uint32 PID").
pid_t launcherPid() {
  std::optional<std::string> reply =
      desktoptest::run({"dbus-send", "--session", "--print-reply=literal",
                        "--dest=org.freedesktop.DBus", "/org/freedesktop/DBus",
                        "org.freedesktop.DBus.GetConnectionUnixProcessID", "string:org.a11y.Bus"});
  std::istringstream words(reply.value_or(""));
  std::string type;
  long pid = 0;
  return words >> type >> pid && type == "uint32" ? static_cast<pid_t>(pid) : 0;
}

TEST(AppsEndToEnd, KeepsThePermissionWhileTheLauncherIsTooBusyToAnswer) {
  Bridge bridge;
  ASSERT_EQ(result(bridge.request("permissions.status"))["accessibility"], true);
  pid_t launcher = launcherPid();
  ASSERT_GT(launcher, 0);
  ASSERT_EQ(kill(launcher, SIGSTOP), 0);
  Json status = result(bridge.request("permissions.status"));
  kill(launcher, SIGCONT);
  EXPECT_EQ(status["accessibility"], true);
  EXPECT_EQ(bridge.finish(), 0);
}

TEST(AppsEndToEnd, AnswersWithoutAnyDisplayAndStaysQuiet) {
  Bridge bridge(
      {"DISPLAY=", "DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent", "AT_SPI_BUS_ADDRESS="});
  Json capabilities = result(bridge.request("capabilities"));
  EXPECT_EQ(capabilities["platform"], "linux");
  Json status = result(bridge.request("permissions.status"));
  EXPECT_EQ(status["accessibility"], false);
  EXPECT_EQ(status["screenCapture"], false);
  EXPECT_EQ(errorCode(bridge.request("app.observe", {{"bundleId", "dev.qor.Fixture"}})),
            "missingPermission");
  Json listed = result(bridge.request("apps.list"));
  for (const Json& app : listed["applications"]) {
    EXPECT_FALSE(app.value("running", false));
  }
  EXPECT_EQ(bridge.finish(), 0);
  EXPECT_EQ(bridge.standardError(), "");
}

}  // namespace
}  // namespace qor
