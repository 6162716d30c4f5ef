#pragma once
// A desktop that forwards every call to another one and writes each call's name and duration to
// the trace. Put in front of the real desktop only when tracing is on, so that an untraced run
// pays nothing for it.

#include "desktop/desktop.h"
#include "trace/trace_file.h"

namespace qor::trace {

class TracingDesktop final : public desktop::Desktop {
 public:
  TracingDesktop(desktop::Desktop& inner, TraceFile& trace) : inner_(inner), trace_(trace) {}

  desktop::PlatformInfo platformInfo() override;
  bool isProcessTrusted() override;
  void promptForAccessibility() override;
  bool preflightScreenCapture() override;
  void requestScreenCapture() override;
  std::int32_t automationStatus(const std::string& bundleID, bool ask) override;

  std::vector<desktop::RunningApplication> runningApplications() override;
  std::vector<desktop::RunningApplication> runningApplications(
      const std::string& bundleID) override;
  std::optional<desktop::RunningApplication> frontmostApplication() override;
  bool isTerminated(const desktop::RunningApplication& app) override;
  std::optional<std::string> applicationLocation(const std::string& bundleID) override;
  std::vector<InstalledApplication> installedApplications() override;
  std::optional<std::vector<std::uint8_t>> iconPNG(const std::string& path, int size) override;
  bool activate(const desktop::RunningApplication& app) override;
  void openApplication(
      const std::string& location, bool activates,
      std::function<void(desktop::Result<desktop::RunningApplication>)> done) override;
  void openDocuments(
      const std::vector<std::string>& paths, const std::string& location, bool activates,
      std::function<void(desktop::Result<desktop::RunningApplication>)> done) override;

  std::vector<desktop::WindowRecord> onScreenWindows() override;
  std::optional<bool> screenLocked() override;

  desktop::ElementRef applicationElement(desktop::Pid pid) override;
  void setMessagingTimeout(const desktop::ElementRef& element, double seconds) override;
  desktop::AXRead copyAttribute(const desktop::ElementRef& element,
                                const std::string& attribute) override;
  void copyAttributeInto(const desktop::ElementRef& element, const std::string& attribute,
                         desktop::AXRead& read) override;
  desktop::AXError copyActionNames(const desktop::ElementRef& element,
                                   std::vector<std::string>& names) override;
  desktop::AXError performAction(const desktop::ElementRef& element,
                                 const std::string& action) override;
  desktop::AXError setStringValue(const desktop::ElementRef& element, const std::string& attribute,
                                  const std::string& value) override;

  desktop::PostResult post(desktop::Pid pid, const desktop::InputEvent& event) override;
  std::optional<desktop::MonitorHandle> addGlobalMonitor(
      std::function<void(const desktop::MonitoredEvent&)> handler) override;
  void removeMonitor(desktop::MonitorHandle handle) override;
  std::chrono::milliseconds prepareTyping(const std::vector<std::u16string>& characters) override;
  std::optional<std::uint64_t> foregroundMark() override;

  void shareableWindows(
      std::function<void(desktop::Result<std::vector<desktop::ShareableWindow>>)> done) override;
  void captureWindow(const desktop::ShareableWindow& window, std::uint32_t width,
                     std::uint32_t height,
                     std::function<void(desktop::Result<desktop::Image>)> done) override;

  desktop::Result<AppleDescriptor> sendAppleEvent(const AppleEvent& event,
                                                  int timeoutSeconds) override;

 private:
  desktop::Desktop& inner_;
  TraceFile& trace_;
};

}  // namespace qor::trace
