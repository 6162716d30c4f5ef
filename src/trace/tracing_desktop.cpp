#include "trace/tracing_desktop.h"

#include <chrono>
#include <utility>

namespace qor::trace {
namespace {

using Clock = std::chrono::steady_clock;

// Writes the call's line when it leaves scope, after the inner call has returned or thrown.
class CallLine {
 public:
  CallLine(TraceFile& trace, std::string name) : trace_(trace), name_(std::move(name)) {}
  ~CallLine() { trace_.call(name_, Clock::now() - start_); }
  CallLine(const CallLine&) = delete;
  CallLine& operator=(const CallLine&) = delete;

 private:
  TraceFile& trace_;
  std::string name_;
  Clock::time_point start_ = Clock::now();
};

// The completion handed to the inner desktop: writes the "done" line, then completes.
template <class Value>
std::function<void(Value)> doneLine(TraceFile& trace, std::string name,
                                    std::function<void(Value)> done) {
  return
      [&trace, name = std::move(name), start = Clock::now(), done = std::move(done)](Value value) {
        trace.done(name, Clock::now() - start);
        done(std::move(value));
      };
}

// Names the call with its one telling argument: "copyAttribute AXRole", "activate 4711".
std::string named(std::string_view call, std::string_view argument) {
  std::string name(call);
  name += ' ';
  name += argument;
  return name;
}

}  // namespace

desktop::PlatformInfo TracingDesktop::platformInfo() {
  CallLine line(trace_, "platformInfo");
  return inner_.platformInfo();
}

bool TracingDesktop::isProcessTrusted() {
  CallLine line(trace_, "isProcessTrusted");
  return inner_.isProcessTrusted();
}

void TracingDesktop::promptForAccessibility() {
  CallLine line(trace_, "promptForAccessibility");
  inner_.promptForAccessibility();
}

bool TracingDesktop::preflightScreenCapture() {
  CallLine line(trace_, "preflightScreenCapture");
  return inner_.preflightScreenCapture();
}

void TracingDesktop::requestScreenCapture() {
  CallLine line(trace_, "requestScreenCapture");
  inner_.requestScreenCapture();
}

std::int32_t TracingDesktop::automationStatus(const std::string& bundleID, bool ask) {
  CallLine line(trace_, named("automationStatus", bundleID));
  return inner_.automationStatus(bundleID, ask);
}

std::vector<desktop::RunningApplication> TracingDesktop::runningApplications() {
  CallLine line(trace_, "runningApplications");
  return inner_.runningApplications();
}

std::vector<desktop::RunningApplication> TracingDesktop::runningApplications(
    const std::string& bundleID) {
  CallLine line(trace_, named("runningApplications", bundleID));
  return inner_.runningApplications(bundleID);
}

std::optional<desktop::RunningApplication> TracingDesktop::frontmostApplication() {
  CallLine line(trace_, "frontmostApplication");
  return inner_.frontmostApplication();
}

bool TracingDesktop::isTerminated(const desktop::RunningApplication& app) {
  CallLine line(trace_, named("isTerminated", std::to_string(app.pid)));
  return inner_.isTerminated(app);
}

std::optional<std::string> TracingDesktop::applicationLocation(const std::string& bundleID) {
  CallLine line(trace_, named("applicationLocation", bundleID));
  return inner_.applicationLocation(bundleID);
}

std::vector<InstalledApplication> TracingDesktop::installedApplications() {
  CallLine line(trace_, "installedApplications");
  return inner_.installedApplications();
}

std::optional<std::vector<std::uint8_t>> TracingDesktop::iconPNG(const std::string& path,
                                                                 int size) {
  CallLine line(trace_, named("iconPNG", path));
  return inner_.iconPNG(path, size);
}

bool TracingDesktop::activate(const desktop::RunningApplication& app) {
  CallLine line(trace_, named("activate", std::to_string(app.pid)));
  return inner_.activate(app);
}

void TracingDesktop::openApplication(
    const std::string& location, bool activates,
    std::function<void(desktop::Result<desktop::RunningApplication>)> done) {
  std::string name = named("openApplication", location);
  CallLine line(trace_, name);
  inner_.openApplication(location, activates, doneLine(trace_, name, std::move(done)));
}

void TracingDesktop::openDocuments(
    const std::vector<std::string>& paths, const std::string& location, bool activates,
    std::function<void(desktop::Result<desktop::RunningApplication>)> done) {
  std::string name = named("openDocuments", location);
  CallLine line(trace_, name);
  inner_.openDocuments(paths, location, activates, doneLine(trace_, name, std::move(done)));
}

std::vector<desktop::WindowRecord> TracingDesktop::onScreenWindows() {
  CallLine line(trace_, "onScreenWindows");
  return inner_.onScreenWindows();
}

std::optional<bool> TracingDesktop::screenLocked() {
  CallLine line(trace_, "screenLocked");
  return inner_.screenLocked();
}

desktop::ElementRef TracingDesktop::applicationElement(desktop::Pid pid) {
  CallLine line(trace_, named("applicationElement", std::to_string(pid)));
  return inner_.applicationElement(pid);
}

void TracingDesktop::setMessagingTimeout(const desktop::ElementRef& element, double seconds) {
  CallLine line(trace_, "setMessagingTimeout");
  inner_.setMessagingTimeout(element, seconds);
}

desktop::AXRead TracingDesktop::copyAttribute(const desktop::ElementRef& element,
                                              const std::string& attribute) {
  CallLine line(trace_, named("copyAttribute", attribute));
  return inner_.copyAttribute(element, attribute);
}

void TracingDesktop::copyAttributeInto(const desktop::ElementRef& element,
                                       const std::string& attribute, desktop::AXRead& read) {
  CallLine line(trace_, named("copyAttribute", attribute));
  inner_.copyAttributeInto(element, attribute, read);
}

desktop::AXError TracingDesktop::copyActionNames(const desktop::ElementRef& element,
                                                 std::vector<std::string>& names) {
  CallLine line(trace_, "copyActionNames");
  return inner_.copyActionNames(element, names);
}

desktop::AXError TracingDesktop::performAction(const desktop::ElementRef& element,
                                               const std::string& action) {
  CallLine line(trace_, named("performAction", action));
  return inner_.performAction(element, action);
}

desktop::AXError TracingDesktop::setStringValue(const desktop::ElementRef& element,
                                                const std::string& attribute,
                                                const std::string& value) {
  CallLine line(trace_, named("setStringValue", attribute));  // never the value: it may be private
  return inner_.setStringValue(element, attribute, value);
}

desktop::PostResult TracingDesktop::post(desktop::Pid pid, const desktop::InputEvent& event) {
  CallLine line(trace_, named("post", std::to_string(pid)));
  return inner_.post(pid, event);
}

std::optional<desktop::MonitorHandle> TracingDesktop::addGlobalMonitor(
    std::function<void(const desktop::MonitoredEvent&)> handler) {
  CallLine line(trace_, "addGlobalMonitor");
  return inner_.addGlobalMonitor(std::move(handler));
}

void TracingDesktop::removeMonitor(desktop::MonitorHandle handle) {
  CallLine line(trace_, "removeMonitor");
  inner_.removeMonitor(handle);
}

std::chrono::milliseconds TracingDesktop::prepareTyping(
    const std::vector<std::u16string>& characters) {
  CallLine line(trace_, "prepareTyping");
  return inner_.prepareTyping(characters);
}

std::optional<std::uint64_t> TracingDesktop::foregroundMark() {
  CallLine line(trace_, "foregroundMark");
  return inner_.foregroundMark();
}

void TracingDesktop::shareableWindows(
    std::function<void(desktop::Result<std::vector<desktop::ShareableWindow>>)> done) {
  CallLine line(trace_, "shareableWindows");
  inner_.shareableWindows(doneLine(trace_, "shareableWindows", std::move(done)));
}

void TracingDesktop::captureWindow(const desktop::ShareableWindow& window, std::uint32_t width,
                                   std::uint32_t height,
                                   std::function<void(desktop::Result<desktop::Image>)> done) {
  CallLine line(trace_, "captureWindow");
  inner_.captureWindow(window, width, height, doneLine(trace_, "captureWindow", std::move(done)));
}

desktop::Result<AppleDescriptor> TracingDesktop::sendAppleEvent(const AppleEvent& event,
                                                                int timeoutSeconds) {
  CallLine line(trace_, "sendAppleEvent");
  return inner_.sendAppleEvent(event, timeoutSeconds);
}

}  // namespace qor::trace
