#include "platform/none/none_desktop.h"

#include <sys/utsname.h>

namespace qor::platform {
namespace {

using namespace desktop;

PlatformError noDesktop() {
  return PlatformError{"No desktop session is available"};
}

std::string machineArchitecture() {
  utsname names{};
  if (uname(&names) != 0) {
    return "unknown";
  }
  return names.machine;
}

class NoneDesktop final : public Desktop {
 public:
  explicit NoneDesktop(runtime::EventLoop& loop) : loop_(loop) {}

  PlatformInfo platformInfo() override { return {"linux", machineArchitecture(), "debian-12"}; }

  bool isProcessTrusted() override { return false; }
  void promptForAccessibility() override {}
  bool preflightScreenCapture() override { return false; }
  void requestScreenCapture() override {}
  std::int32_t automationStatus(const std::string&, bool) override { return -600; }

  std::vector<RunningApplication> runningApplications() override { return {}; }
  std::vector<RunningApplication> runningApplications(const std::string&) override { return {}; }
  std::optional<RunningApplication> frontmostApplication() override { return std::nullopt; }
  bool isTerminated(const RunningApplication&) override { return true; }
  std::optional<std::string> applicationLocation(const std::string&) override {
    return std::nullopt;
  }
  std::vector<InstalledApplication> installedApplications() override { return {}; }
  std::optional<std::vector<std::uint8_t>> iconPNG(const std::string&, int) override {
    return std::nullopt;
  }
  bool activate(const RunningApplication&) override { return false; }
  void openApplication(const std::string&, bool,
                       std::function<void(Result<RunningApplication>)> done) override {
    loop_.post([done = std::move(done)] { done(noDesktop()); });
  }
  void openDocuments(const std::vector<std::string>&, const std::string&, bool,
                     std::function<void(Result<RunningApplication>)> done) override {
    loop_.post([done = std::move(done)] { done(noDesktop()); });
  }

  std::vector<WindowRecord> onScreenWindows() override { return {}; }
  std::optional<bool> screenLocked() override { return std::nullopt; }

  ElementRef applicationElement(Pid) override { return nullptr; }
  void setMessagingTimeout(const ElementRef&, double) override {}
  AXRead copyAttribute(const ElementRef&, const std::string&) override {
    return {kAXErrorAPIDisabled, {}};
  }
  AXError copyActionNames(const ElementRef&, std::vector<std::string>&) override {
    return kAXErrorAPIDisabled;
  }
  AXError performAction(const ElementRef&, const std::string&) override {
    return kAXErrorAPIDisabled;
  }
  AXError setStringValue(const ElementRef&, const std::string&, const std::string&) override {
    return kAXErrorAPIDisabled;
  }

  PostResult post(Pid, const InputEvent&) override { return PostResult::couldNotCreate; }
  std::optional<MonitorHandle> addGlobalMonitor(
      std::function<void(const MonitoredEvent&)>) override {
    return std::nullopt;
  }
  void removeMonitor(MonitorHandle) override {}

  void shareableWindows(std::function<void(Result<std::vector<ShareableWindow>>)> done) override {
    loop_.post([done = std::move(done)] { done(noDesktop()); });
  }
  void captureWindow(const ShareableWindow&, std::uint32_t, std::uint32_t,
                     std::function<void(Result<Image>)> done) override {
    loop_.post([done = std::move(done)] { done(noDesktop()); });
  }

  Result<AppleDescriptor> sendAppleEvent(const AppleEvent&, int) override { return noDesktop(); }

 private:
  runtime::EventLoop& loop_;
};

}  // namespace

std::unique_ptr<Desktop> makeNoneDesktop(runtime::EventLoop& loop) {
  return std::make_unique<NoneDesktop>(loop);
}

}  // namespace qor::platform
