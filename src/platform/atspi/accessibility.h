#pragma once
// The Accessibility part of the desktop interface over AT-SPI2: elements are AT-SPI objects
// (bus name and object path), attributes are read from the per-turn AppTree, and the results
// are expressed in the Accessibility vocabulary of ax_mapping.h.
//
// Two places where Linux and macOS differ are bridged here:
// - Frames: GTK reports a top-level window's extents including the window manager's frame,
//   while window records give the client area. Window elements are therefore reported with
//   the client area of the window they belong to, so that both agree within one point.
// - The menu bar: on macOS it belongs to the application, not to a window. Here each window
//   may hold one; the application's "AXMenuBar" is the menu bar of its focused window (else of
//   its first window that has one), and that menu bar is left out of its parent's
//   "AXChildren", so that it is reached once, as the observation's last root.

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "desktop/desktop.h"
#include "platform/atspi/atspi_bus.h"
#include "platform/atspi/atspi_tree.h"
#include "runtime/event_loop.h"

namespace qor::platform {

// A top-level window as the window system places it, which the tree's windows are matched
// against: `client` is its client area, `frame` that area grown by everything drawn around it
// (the extents toolkits give their windows).
struct PlacedWindow {
  std::optional<desktop::Pid> pid;
  std::optional<std::string> title;
  Frame client;
  Frame frame;
};

// Every top-level window of the session, front to back; asked at most once per turn of the loop.
using WindowLister = std::function<std::vector<PlacedWindow>()>;

// One AT-SPI object. Its identity is its bus name and object path.
class AtspiElement final : public desktop::Element {
 public:
  AtspiElement(std::string bus, std::string path) : bus_(std::move(bus)), path_(std::move(path)) {}
  std::uint64_t identity() const override;
  const std::string& bus() const { return bus_; }
  const std::string& path() const { return path_; }

 private:
  std::string bus_;
  std::string path_;
};

class AtspiAccessibility {
 public:
  AtspiAccessibility(runtime::EventLoop& loop, AtspiBus& bus, WindowLister windows);
  ~AtspiAccessibility();

  desktop::ElementRef applicationElement(desktop::Pid pid);
  void setMessagingTimeout(const desktop::ElementRef& element, double seconds);
  desktop::AXRead copyAttribute(const desktop::ElementRef& element, const std::string& attribute);
  desktop::AXError copyActionNames(const desktop::ElementRef& element,
                                   std::vector<std::string>& names);
  desktop::AXError performAction(const desktop::ElementRef& element, const std::string& action);
  desktop::AXError setStringValue(const desktop::ElementRef& element, const std::string& attribute,
                                  const std::string& value);

  // Where the bridge's pointer last pressed a button, in screen points.
  void noteClick(Point location) { lastClick_ = location; }

  // Registered applications as seen in this turn of the loop.
  const std::vector<AtspiApplication>& applications();

 private:
  // What one turn of the main loop has read; dropped by a closure posted when it is created.
  struct Turn {
    std::map<std::string, std::shared_ptr<AppTree>> trees;
    std::optional<std::vector<AtspiApplication>> applications;
    std::optional<std::vector<PlacedWindow>> windows;
    std::map<std::string, std::optional<std::string>> menuBars;  // bus name -> menu bar path
    std::map<std::string, double> scales;                        // bus name -> display scale
  };
  struct Target {
    std::shared_ptr<AppTree> tree;
    const AtspiElement* element = nullptr;
  };

  Turn& turn();
  std::optional<Target> target(const desktop::ElementRef& element, desktop::AXError& error);
  std::chrono::microseconds timeoutFor(const std::string& bus) const;
  struct Toolkit {
    std::string name;  // ToolkitName: "GTK", "Qt", "Gecko", "Chromium", ...
    std::string version;
  };
  // Empty when the application did not say.
  const Toolkit& toolkitOf(AppTree& tree);

  desktop::AXRead applicationAttribute(AppTree& tree, const std::string& attribute);
  desktop::AXRead objectAttribute(AppTree& tree, const AccessibleNode& node,
                                  const std::string& attribute);
  // A text value as the application holds it.
  std::string valueText(AppTree& tree, const std::string& read);
  std::vector<std::string> windowPaths(AppTree& tree);
  std::optional<std::string> focusedWindowPath(AppTree& tree);
  std::optional<std::string> menuBarPath(AppTree& tree);
  std::string role(AppTree& tree, const AccessibleNode& node);
  desktop::AXRead focusedObject(AppTree& tree);
  // A password field of `window` under the bridge's last click.
  std::optional<ObjectRef> passwordFieldClicked(AppTree& tree, const std::string& window);
  bool topLevel(AppTree& tree, const AccessibleNode& node);
  Frame windowFrame(AppTree& tree, const AccessibleNode& node);
  // The object's frame on the screen; nothing when where it is cannot be told.
  std::optional<Frame> screenFrame(AppTree& tree, const AccessibleNode& node);
  // Whether the application reports extents relative to each object's top-level window (GTK 4,
  // which has no notion of a place on the screen).
  bool reportsRelativeToWindow(AppTree& tree);
  // Where the application's reported coordinates for `node` start on the screen.
  std::optional<Point> originOf(AppTree& tree, const AccessibleNode& node);
  // The window of a top-level that reports itself at (0, 0): the only one of the application
  // that fits it; nullptr when none or several do.
  const PlacedWindow* windowOf(AppTree& tree, const AccessibleNode& top);
  // The first of `node` and its ancestors below the application for which `wanted` holds.
  const AccessibleNode* ancestorWhere(AppTree& tree, const AccessibleNode& node,
                                      const std::function<bool(const AccessibleNode&)>& wanted);
  const std::vector<PlacedWindow>& placedWindows();
  // How many screen pixels the application draws per pixel it reports (display_scale.h): every
  // frame it reports is converted with this, and nowhere else.
  double scaleOf(AppTree& tree);
  // The same for one of its objects: toolkits may count some of them in other pixels.
  double scaleOf(AppTree& tree, const AccessibleNode& node);
  bool insidePage(AppTree& tree, const AccessibleNode& node);
  desktop::ElementRef element(const ObjectRef& ref) const;
  desktop::AXError writeText(AppTree& tree, const AccessibleNode& node, const std::string& value);
  bool textChanged(AppTree& tree, const std::string& path, const std::string& previous);
  desktop::AXError writeNumber(AppTree& tree, const std::string& path, const std::string& value);

  runtime::EventLoop& loop_;
  AtspiBus& bus_;
  WindowLister listWindows_;
  std::unique_ptr<Turn> turn_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
  std::map<std::string, std::chrono::microseconds> timeouts_;
  std::optional<Point> lastClick_;
  // By bus name: unique names are never reused, so a toolkit once learned stays true.
  std::map<std::string, Toolkit> toolkits_;
};

}  // namespace qor::platform
