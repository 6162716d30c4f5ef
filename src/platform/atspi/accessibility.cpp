#include "platform/atspi/accessibility.h"

#include <chrono>
#include <cmath>
#include <functional>
#include <thread>

#include "platform/atspi/ax_mapping.h"
#include "platform/atspi/display_scale.h"

namespace qor::platform {
namespace {

using desktop::AXError;
using desktop::AXRead;
using desktop::ElementRef;
using desktop::kAXErrorAttributeUnsupported;
using desktop::kAXErrorNoValue;
using desktop::kAXSuccess;

constexpr std::chrono::microseconds kDefaultTimeout{1'000'000};
// How far below a window the search for its menu bar looks, in levels and in objects.
constexpr std::size_t kMenuBarSearchDepth = 4;
constexpr std::size_t kMenuBarSearchObjects = 200;

bool sameFrame(const Frame& a, const Frame& b) {
  return std::fabs(a.x - b.x) <= 1.0 && std::fabs(a.y - b.y) <= 1.0 &&
         std::fabs(a.width - b.width) <= 1.0 && std::fabs(a.height - b.height) <= 1.0;
}

AXRead failure(AXError error) {
  return AXRead{error, {}};
}
AXRead success(desktop::AXValue value) {
  return AXRead{kAXSuccess, std::move(value)};
}

// DoAction and SetTextContents answer whether the toolkit took the request.
AXError acceptedReply(const dbus::Reply& reply) {
  int done = 0;
  return sd_bus_message_read(reply.message.get(), "b", &done) >= 0 && done
             ? kAXSuccess
             : desktop::kAXErrorFailure;
}

}  // namespace

std::uint64_t AtspiElement::identity() const {
  return std::hash<std::string>{}(bus_ + '\n' + path_);
}

AtspiAccessibility::AtspiAccessibility(runtime::EventLoop& loop, AtspiBus& bus,
                                       WindowLister windows)
    : loop_(loop), bus_(bus), listWindows_(std::move(windows)) {}

AtspiAccessibility::~AtspiAccessibility() = default;

AtspiAccessibility::Turn& AtspiAccessibility::turn() {
  if (!turn_) {
    turn_ = std::make_unique<Turn>();
    loop_.post([this, alive = std::weak_ptr<bool>(alive_)] {
      if (alive.lock()) {
        turn_.reset();
      }
    });
  }
  return *turn_;
}

const std::vector<AtspiApplication>& AtspiAccessibility::applications() {
  Turn& now = turn();
  if (!now.applications) {
    now.applications = bus_.applications();
  }
  return *now.applications;
}

ElementRef AtspiAccessibility::applicationElement(desktop::Pid pid) {
  for (const AtspiApplication& app : applications()) {
    if (app.pid == pid) {
      return std::make_shared<AtspiElement>(app.busName, kAtspiRootPath);
    }
  }
  // Like an application that does not take part in Accessibility: every read fails.
  return std::make_shared<AtspiElement>("", kAtspiRootPath);
}

std::chrono::microseconds AtspiAccessibility::timeoutFor(const std::string& bus) const {
  auto set = timeouts_.find(bus);
  return set == timeouts_.end() ? kDefaultTimeout : set->second;
}

void AtspiAccessibility::setMessagingTimeout(const ElementRef& element, double seconds) {
  const auto* atspi = dynamic_cast<const AtspiElement*>(element.get());
  if (!atspi || atspi->bus().empty() || !(seconds > 0) || !std::isfinite(seconds)) {
    return;
  }
  auto timeout = std::chrono::microseconds(static_cast<std::int64_t>(seconds * 1e6));
  timeouts_[atspi->bus()] = timeout;
  if (turn_) {
    if (auto tree = turn_->trees.find(atspi->bus()); tree != turn_->trees.end()) {
      tree->second->setTimeout(timeout);
    }
  }
}

std::optional<AtspiAccessibility::Target> AtspiAccessibility::target(const ElementRef& element,
                                                                     AXError& error) {
  const auto* atspi = dynamic_cast<const AtspiElement*>(element.get());
  if (!atspi) {
    error = desktop::kAXErrorIllegalArgument;
    return std::nullopt;
  }
  if (!bus_.reachable()) {
    error = desktop::kAXErrorAPIDisabled;
    return std::nullopt;
  }
  if (atspi->bus().empty()) {
    error = desktop::kAXErrorCannotComplete;
    return std::nullopt;
  }
  std::shared_ptr<AppTree>& tree = turn().trees[atspi->bus()];
  if (!tree) {
    std::optional<AtspiChannel> channel = bus_.channel(atspi->bus());
    if (!channel) {
      turn().trees.erase(atspi->bus());
      error = desktop::kAXErrorInvalidUIElement;
      return std::nullopt;
    }
    tree = std::make_shared<AppTree>(std::move(*channel), atspi->bus(), timeoutFor(atspi->bus()));
    const Toolkit& toolkit = toolkitOf(*tree);
    if (toolkit.name == "Qt") {
      tree->readLikeQt();
    } else if (toolkit.name == "GTK" && toolkit.version.starts_with("4.")) {
      tree->readInBulk();
    }
  }
  return Target{tree, atspi};
}

namespace {

// A string property of the application's root object; nothing when it did not answer.
std::optional<std::string> applicationProperty(AppTree& tree, const char* property) {
  dbus::Reply reply = tree.call(
      kAtspiRootPath, "org.freedesktop.DBus.Properties", "Get", [property](sd_bus_message* m) {
        return sd_bus_message_append(m, "ss", "org.a11y.atspi.Application", property);
      });
  const char* text = nullptr;
  if (!reply.ok() || sd_bus_message_read(reply.message.get(), "v", "s", &text) <= 0) {
    return std::nullopt;
  }
  return std::string(text);
}

// Form controls take their title from a label, which a browser may tell only after the control
// itself: it answers from a copy of the page that it fills in when first asked.
bool titledByLabel(std::uint32_t role) {
  constexpr std::uint32_t kRolePushButton = 43, kRoleSlider = 51, kRoleSpinButton = 52;
  for (std::uint32_t each :
       {std::uint32_t{ax::kRoleCheckBox}, std::uint32_t{ax::kRoleComboBox},
        std::uint32_t{ax::kRolePasswordText}, kRolePushButton, std::uint32_t{ax::kRoleRadioButton},
        kRoleSlider, kRoleSpinButton, std::uint32_t{ax::kRoleText},
        std::uint32_t{ax::kRoleToggleButton}, std::uint32_t{ax::kRoleEntry}}) {
    if (role == each) {
      return true;
    }
  }
  return false;
}

// The object's name, asked again while it is empty, for at most `patience`: Firefox answers a
// page's first look from a copy that holds neither places nor names yet, and fills it in a
// moment after it was asked. Empty when it has none by then.
std::string nameReadAgain(AppTree& tree, const std::string& path,
                          std::chrono::milliseconds patience) {
  const auto deadline = std::chrono::steady_clock::now() + patience;
  for (;;) {
    dbus::Reply reply =
        tree.call(path, "org.freedesktop.DBus.Properties", "Get", [](sd_bus_message* m) {
          return sd_bus_message_append(m, "ss", "org.a11y.atspi.Accessible", "Name");
        });
    const char* text = nullptr;
    if (!reply.ok() || sd_bus_message_read(reply.message.get(), "v", "s", &text) <= 0) {
      return "";
    }
    if ((text && *text) || std::chrono::steady_clock::now() >= deadline) {
      return text ? text : "";
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

}  // namespace

const AtspiAccessibility::Toolkit& AtspiAccessibility::toolkitOf(AppTree& tree) {
  auto known = toolkits_.find(tree.busName());
  if (known != toolkits_.end()) {
    return known->second;
  }
  std::optional<std::string> name = applicationProperty(tree, "ToolkitName");
  if (!name) {
    // Not learned this time (an application that does not answer is asked again later).
    static const Toolkit unknown;
    return unknown;
  }
  Toolkit toolkit{*name, applicationProperty(tree, "Version").value_or("")};
  return toolkits_.insert_or_assign(tree.busName(), std::move(toolkit)).first->second;
}

ElementRef AtspiAccessibility::element(const ObjectRef& ref) const {
  return std::make_shared<AtspiElement>(ref.bus, ref.path);
}

AXRead AtspiAccessibility::copyAttribute(const ElementRef& element, const std::string& attribute) {
  AXError error = kAXSuccess;
  std::optional<Target> found = target(element, error);
  if (!found) {
    return failure(error);
  }
  AppTree& tree = *found->tree;
  if (found->element->path() == kAtspiRootPath) {
    return applicationAttribute(tree, attribute);
  }
  return objectAttribute(tree, tree.demand(found->element->path()), attribute);
}

AXRead AtspiAccessibility::applicationAttribute(AppTree& tree, const std::string& attribute) {
  const AccessibleNode& root = tree.fetch(kAtspiRootPath);
  auto elements = [&](const std::vector<std::string>& paths) {
    std::vector<ElementRef> refs;
    for (const std::string& path : paths) {
      refs.push_back(element(ObjectRef{tree.busName(), path}));
    }
    return refs;
  };
  auto optionalElement = [&](const std::optional<std::string>& path) {
    return path ? success(element(ObjectRef{tree.busName(), *path})) : failure(kAXErrorNoValue);
  };
  if (attribute == "AXRole") {
    return root.roleError ? failure(root.roleError) : success(std::string("AXApplication"));
  }
  if (attribute == "AXTitle") {
    return root.accessibleError ? failure(root.accessibleError) : success(root.name);
  }
  if (root.childrenError) {
    bool windowAttribute = attribute == "AXWindows" || attribute == "AXChildren" ||
                           attribute == "AXFocusedWindow" || attribute == "AXFocusedUIElement" ||
                           attribute == "AXMenuBar";
    return failure(windowAttribute ? root.childrenError : kAXErrorAttributeUnsupported);
  }
  if (attribute == "AXWindows") {
    return success(elements(windowPaths(tree)));
  }
  if (attribute == "AXChildren") {
    std::vector<std::string> paths = windowPaths(tree);
    if (std::optional<std::string> menuBar = menuBarPath(tree)) {
      paths.push_back(*menuBar);
    }
    return success(elements(paths));
  }
  if (attribute == "AXFocusedWindow") {
    return optionalElement(focusedWindowPath(tree));
  }
  if (attribute == "AXMenuBar") {
    return optionalElement(menuBarPath(tree));
  }
  if (attribute == "AXFocusedUIElement") {
    return focusedObject(tree);
  }
  return failure(kAXErrorAttributeUnsupported);
}

AXRead AtspiAccessibility::objectAttribute(AppTree& tree, const AccessibleNode& node,
                                           const std::string& attribute) {
  auto text = [](AXError error, const std::string& value) {
    return error ? failure(error) : success(value);
  };
  auto state = [&](ax::State bit) {
    return node.stateError ? failure(node.stateError) : success(ax::has(node.states, bit));
  };
  ax::RoleContext context{node.role, node.states, false, std::nullopt};
  if (attribute == "AXRole") {
    return text(node.roleError, role(tree, node));
  }
  if (attribute == "AXSubrole") {
    if (node.roleError) {
      return failure(node.roleError);
    }
    context.topLevel = topLevel(tree, node);
    std::optional<std::string> subrole = ax::axSubrole(context);
    return subrole ? success(*subrole) : failure(kAXErrorNoValue);
  }
  if (attribute == "AXTitle") {
    // A control the browser has not placed yet has not got its label's name yet either.
    constexpr auto kNamePatience = std::chrono::milliseconds(300);
    if (!node.accessibleError && node.name.empty() && node.extentsError == kAXErrorNoValue &&
        !node.roleError && titledByLabel(node.role) && toolkitOf(tree).name == "Gecko") {
      return success(nameReadAgain(tree, node.path, kNamePatience));
    }
    return text(node.accessibleError, node.name);
  }
  if (attribute == "AXDescription") {
    return text(node.accessibleError, node.description);
  }
  if (attribute == "AXIdentifier") {
    return text(node.accessibleError, node.accessibleID);
  }
  if (attribute == "AXHelp") {
    if (node.accessibleError) {
      return failure(node.accessibleError);
    }
    return node.helpText ? success(*node.helpText) : failure(kAXErrorNoValue);
  }
  if (attribute == "AXValue") {
    if (node.roleError || node.stateError) {
      return failure(node.roleError ? node.roleError : node.stateError);
    }
    switch (ax::valueSource(context)) {
      case ax::ValueSource::text:
      case ax::ValueSource::number:
        if (node.valueError) {
          return failure(node.valueError);
        }
        if (const auto* string = std::get_if<std::string>(&node.value)) {
          return success(valueText(tree, *string));
        }
        if (const auto* number = std::get_if<double>(&node.value)) {
          return success(*number);
        }
        return failure(kAXErrorNoValue);
      case ax::ValueSource::checkState:
        return success(ax::checkState(node.states));
      case ax::ValueSource::selection:
        return success(std::int64_t{ax::has(node.states, ax::kStateSelected) ? 1 : 0});
      case ax::ValueSource::none:
        return failure(kAXErrorNoValue);
    }
  }
  if (attribute == "AXEnabled") {
    return node.stateError ? failure(node.stateError) : success(ax::enabled(node.states));
  }
  if (attribute == "AXFocused") {
    return state(ax::kStateFocused);
  }
  if (attribute == "AXSelected") {
    return state(ax::kStateSelected);
  }
  if (attribute == "AXPosition" || attribute == "AXSize") {
    if (node.extentsError) {
      return failure(node.extentsError);
    }
    std::optional<Frame> frame = screenFrame(tree, node);
    if (!frame) {
      return failure(desktop::kAXErrorCannotComplete);
    }
    return attribute == "AXPosition" ? success(Point{frame->x, frame->y})
                                     : success(Size{frame->width, frame->height});
  }
  if (attribute == "AXChildren") {
    if (node.childrenError) {
      return failure(node.childrenError);
    }
    std::optional<std::string> menuBar = menuBarPath(tree);
    std::vector<ElementRef> children;
    for (const ObjectRef& child : node.children) {
      if (!(child.bus == tree.busName() && child.path == menuBar)) {
        children.push_back(element(child));
      }
    }
    tree.prefetchChildren(node);
    return success(std::move(children));
  }
  if (attribute == "AXParent") {
    if (node.accessibleError || !node.parent) {
      return failure(node.accessibleError ? node.accessibleError : kAXErrorNoValue);
    }
    return success(element(*node.parent));
  }
  return failure(kAXErrorAttributeUnsupported);
}

std::string AtspiAccessibility::valueText(AppTree& tree, const std::string& read) {
  return toolkitOf(tree).name == "Gecko" ? ax::withoutGeckoOffsetMarks(read) : read;
}

std::vector<std::string> AtspiAccessibility::windowPaths(AppTree& tree) {
  const AccessibleNode& root = tree.fetch(kAtspiRootPath);
  std::vector<std::string> candidates;
  for (const ObjectRef& child : root.children) {
    if (child.bus == tree.busName()) {
      candidates.push_back(child.path);
    }
  }
  tree.fetchAll(candidates);
  std::vector<std::string> paths;
  for (const std::string& path : candidates) {
    const AccessibleNode& window = tree.fetch(path);
    // Closed windows may linger in the toolkit's list; minimised ones count, as on macOS.
    bool shown =
        ax::has(window.states, ax::kStateShowing) || ax::has(window.states, ax::kStateIconified);
    if (!window.roleError && ax::isWindowRole(window.role) && shown) {
      paths.push_back(path);
    }
  }
  return paths;
}

std::optional<std::string> AtspiAccessibility::focusedWindowPath(AppTree& tree) {
  for (const std::string& path : windowPaths(tree)) {
    if (ax::has(tree.fetch(path).states, ax::kStateActive)) {
      return path;
    }
  }
  return std::nullopt;
}

std::optional<std::string> AtspiAccessibility::menuBarPath(AppTree& tree) {
  auto& menuBars = turn().menuBars;
  if (auto known = menuBars.find(tree.busName()); known != menuBars.end()) {
    return known->second;
  }
  std::optional<std::string> found;
  std::vector<std::string> windows = windowPaths(tree);
  if (std::optional<std::string> focused = focusedWindowPath(tree)) {
    std::erase(windows, *focused);
    windows.insert(windows.begin(), *focused);
  }
  // Breadth first, a few levels down, one level per round of calls: menu bars sit near the
  // top of their window.
  for (const std::string& window : windows) {
    std::vector<std::string> level{window};
    std::size_t visited = 0;
    for (std::size_t depth = 0; depth <= kMenuBarSearchDepth && !level.empty() && !found; ++depth) {
      tree.fetchAll(level);
      std::vector<std::string> next;
      for (const std::string& path : level) {
        const AccessibleNode& node = tree.fetch(path);
        if (depth > 0 && !node.roleError && node.role == ax::kRoleMenuBar &&
            ax::has(node.states, ax::kStateShowing)) {
          found = path;
          break;
        }
        for (const ObjectRef& child : node.children) {
          if (child.bus == tree.busName() && visited++ < kMenuBarSearchObjects) {
            next.push_back(child.path);
          }
        }
      }
      level = std::move(next);
    }
    if (found) {
      break;
    }
  }
  turn().menuBars[tree.busName()] = found;
  return found;
}

// The object with the keyboard focus in the application's active window. A click on a
// password field does not show at once: Firefox may go on naming its page, or the field focused
// before, and any toolkit may name nothing or not count its window active while it handles the
// click. A password field under the bridge's last click therefore counts as the focused object
// whatever the toolkit names, so that typing can never reach one unnoticed.
AXRead AtspiAccessibility::focusedObject(AppTree& tree) {
  std::optional<std::string> window = focusedWindowPath(tree);
  std::optional<ObjectRef> focused;
  if (window) {
    std::uint64_t focusedState = std::uint64_t{1} << ax::kStateFocused;
    std::vector<ObjectRef> matches = tree.matches(*window, focusedState, std::nullopt, 1);
    if (!matches.empty()) {
      focused = matches.front();
    }
  }
  if (focused &&
      (focused->bus != tree.busName() || tree.fetch(focused->path).role == ax::kRolePasswordText)) {
    return success(element(*focused));  // the toolkit names a password field itself
  }
  std::vector<std::string> windows = window ? std::vector{*window} : windowPaths(tree);
  for (const std::string& candidate : windows) {
    if (std::optional<ObjectRef> secure = passwordFieldClicked(tree, candidate)) {
      return success(element(*secure));
    }
  }
  return focused ? success(element(*focused)) : failure(kAXErrorNoValue);
}

std::optional<ObjectRef> AtspiAccessibility::passwordFieldClicked(AppTree& tree,
                                                                  const std::string& window) {
  if (!lastClick_) {
    return std::nullopt;
  }
  constexpr std::int32_t kPasswordFieldsLooked = 32;
  for (const ObjectRef& field :
       tree.matches(window, 0, ax::kRolePasswordText, kPasswordFieldsLooked)) {
    if (field.bus != tree.busName()) {
      continue;
    }
    const AccessibleNode& candidate = tree.fetch(field.path);
    std::optional<Frame> frame =
        candidate.extentsError ? std::nullopt : screenFrame(tree, candidate);
    bool under = frame && lastClick_->x >= frame->x && lastClick_->x < frame->x + frame->width &&
                 lastClick_->y >= frame->y && lastClick_->y < frame->y + frame->height;
    if (under) {
      return field;
    }
  }
  return std::nullopt;
}

bool AtspiAccessibility::topLevel(AppTree& tree, const AccessibleNode& node) {
  return node.parent && node.parent->bus == tree.busName() && node.parent->path == kAtspiRootPath;
}

std::string AtspiAccessibility::role(AppTree& tree, const AccessibleNode& node) {
  ax::RoleContext context{node.role, node.states, topLevel(tree, node), std::nullopt};
  bool dependsOnParent = node.role == ax::kRoleMenu || node.role == ax::kRoleSeparator;
  if (dependsOnParent && node.parent && node.parent->bus == tree.busName()) {
    const AccessibleNode& parent = tree.fetch(node.parent->path);
    if (!parent.roleError) {
      context.parentRole = parent.role;
    }
  }
  return ax::axRole(context);
}

const std::vector<PlacedWindow>& AtspiAccessibility::placedWindows() {
  Turn& now = turn();
  if (!now.windows) {
    now.windows = listWindows_();
  }
  return *now.windows;
}

std::optional<Frame> AtspiAccessibility::screenFrame(AppTree& tree, const AccessibleNode& node) {
  if (topLevel(tree, node)) {
    return windowFrame(tree, node);
  }
  std::optional<Point> origin = originOf(tree, node);
  if (!origin) {
    return std::nullopt;
  }
  return toScreen(node.extents, scaleOf(tree, node), *origin);
}

bool AtspiAccessibility::reportsRelativeToWindow(AppTree& tree) {
  const Toolkit& toolkit = toolkitOf(tree);
  return toolkit.name == "GTK" && toolkit.version.starts_with("4.");
}

std::optional<Point> AtspiAccessibility::originOf(AppTree& tree, const AccessibleNode& node) {
  if (!reportsRelativeToWindow(tree)) {
    return Point{};
  }
  const AccessibleNode* top =
      ancestorWhere(tree, node, [&](const AccessibleNode& at) { return topLevel(tree, at); });
  if (!top || top->extentsError) {
    return std::nullopt;
  }
  if (!reportsAtOrigin(top->extents)) {
    return Point{};  // a window placed on the screen: its objects are too
  }
  const PlacedWindow* window = windowOf(tree, *top);
  if (!window) {
    return std::nullopt;  // where the window is cannot be told: no frame rather than a wrong one
  }
  return windowRelativeOrigin(toScreen(top->extents, scaleOf(tree)), window->client);
}

const PlacedWindow* AtspiAccessibility::windowOf(AppTree& tree, const AccessibleNode& top) {
  std::optional<desktop::Pid> pid = bus_.pidOf(tree.busName());
  if (!pid) {
    return nullptr;
  }
  const Frame reported = toScreen(top.extents, scaleOf(tree));
  const PlacedWindow* found = nullptr;
  for (const PlacedWindow& window : placedWindows()) {
    bool titled = !window.title || top.name.empty() || *window.title == top.name;
    if (window.pid == pid && titled && windowRelativeOrigin(reported, window.client)) {
      if (found) {
        return nullptr;  // two windows alike: which one this is cannot be told
      }
      found = &window;
    }
  }
  return found;
}

Frame AtspiAccessibility::windowFrame(AppTree& tree, const AccessibleNode& node) {
  const Frame onScreen = toScreen(node.extents, scaleOf(tree));
  std::optional<desktop::Pid> pid = bus_.pidOf(tree.busName());
  if (!pid) {
    return onScreen;
  }
  if (reportsRelativeToWindow(tree) && reportsAtOrigin(node.extents)) {
    if (const PlacedWindow* window = windowOf(tree, node)) {
      return window->client;
    }
  }
  // GTK gives the frame the window manager draws; window records give the client area.
  for (const PlacedWindow& window : placedWindows()) {
    if (window.pid == pid && sameFrame(onScreen, window.frame)) {
      return window.client;
    }
  }
  return onScreen;
}

double AtspiAccessibility::scaleOf(AppTree& tree, const AccessibleNode& node) {
  const double scale = scaleOf(tree);
  // Chromium reports its own window and controls in device-independent pixels but a page's
  // elements, the page included, in the screen's pixels.
  if (scale != 1.0 && toolkitOf(tree).name == "Chromium" && insidePage(tree, node)) {
    return 1.0;
  }
  return scale;
}

bool AtspiAccessibility::insidePage(AppTree& tree, const AccessibleNode& node) {
  constexpr std::uint32_t kRoleDocumentWeb = 95;
  return ancestorWhere(tree, node, [](const AccessibleNode& at) {
           return !at.roleError && at.role == kRoleDocumentWeb;
         }) != nullptr;
}

const AccessibleNode* AtspiAccessibility::ancestorWhere(
    AppTree& tree, const AccessibleNode& node,
    const std::function<bool(const AccessibleNode&)>& wanted) {
  constexpr int kDeepest = 256;  // a parent chain that goes round in circles ends somewhere
  const AccessibleNode* at = &node;
  for (int depth = 0; depth < kDeepest; ++depth) {
    if (wanted(*at)) {
      return at;
    }
    if (at->accessibleError || !at->parent || at->parent->bus != tree.busName() ||
        at->parent->path == kAtspiRootPath) {
      return nullptr;
    }
    at = &tree.fetch(at->parent->path);  // already read when the walk came down this way
  }
  return nullptr;
}

double AtspiAccessibility::scaleOf(AppTree& tree) {
  auto [known, added] = turn().scales.try_emplace(tree.busName(), 1.0);
  if (!added) {
    return known->second;
  }
  std::optional<desktop::Pid> pid = bus_.pidOf(tree.busName());
  if (!pid) {
    return 1.0;
  }
  // Toolkits differ in whether a window's extents hold the window manager's frame. One that
  // reports its windows at (0, 0) tells only their size, so its scale is learned from the size
  // of the window of the same title.
  const bool relative = reportsRelativeToWindow(tree);
  for (const std::string& path : windowPaths(tree)) {
    const AccessibleNode& window = tree.fetch(path);
    for (const PlacedWindow& shown : placedWindows()) {
      if (window.extentsError || shown.pid != pid) {
        continue;
      }
      std::optional<double> scale = scaleBetween(window.extents, shown.frame);
      scale = scale ? scale : scaleBetween(window.extents, shown.client);
      const bool titled = !shown.title || window.name.empty() || *shown.title == window.name;
      if (!scale && relative && titled && reportsAtOrigin(window.extents)) {
        scale = windowRelativeScale(window.extents, shown.client);
      }
      if (scale) {
        return known->second = *scale;
      }
    }
  }
  return 1.0;
}

desktop::AXError AtspiAccessibility::copyActionNames(const ElementRef& element,
                                                     std::vector<std::string>& names) {
  AXError error = kAXSuccess;
  std::optional<Target> found = target(element, error);
  if (!found) {
    return error;
  }
  names.clear();
  const AccessibleNode& node = found->tree->demand(found->element->path());
  if (found->element->path() == kAtspiRootPath) {
    return node.accessibleError;
  }
  if (node.actionsError) {
    return node.actionsError;
  }
  names = ax::actionNames(node.actions, role(*found->tree, node));
  return kAXSuccess;
}

desktop::AXError AtspiAccessibility::performAction(const ElementRef& element,
                                                   const std::string& action) {
  AXError error = kAXSuccess;
  std::optional<Target> found = target(element, error);
  if (!found) {
    return error;
  }
  AppTree& tree = *found->tree;
  const AccessibleNode& node = tree.fetch(found->element->path());
  if (node.actionsError) {
    return node.actionsError;
  }
  std::optional<std::size_t> index = ax::actionIndex(node.actions, role(tree, node), action);
  if (!index) {
    return desktop::kAXErrorActionUnsupported;
  }
  dbus::Reply reply =
      tree.call(node.path, "org.a11y.atspi.Action", "DoAction", [&](sd_bus_message* m) {
        return sd_bus_message_append(m, "i", static_cast<std::int32_t>(*index));
      });
  turn_.reset();  // what was read before the action may no longer hold
  if (!reply.ok()) {
    // The object answered but has no such action after all.
    AXError refused = axErrorFor(reply.errorName);
    return refused == kAXErrorAttributeUnsupported ? desktop::kAXErrorActionUnsupported : refused;
  }
  return acceptedReply(reply);
}

desktop::AXError AtspiAccessibility::setStringValue(const ElementRef& element,
                                                    const std::string& attribute,
                                                    const std::string& value) {
  AXError error = kAXSuccess;
  std::optional<Target> found = target(element, error);
  if (!found) {
    return error;
  }
  if (attribute != "AXValue") {
    return kAXErrorAttributeUnsupported;
  }
  AppTree& tree = *found->tree;
  const AccessibleNode& node = tree.fetch(found->element->path());
  if (node.interfacesError || node.roleError) {
    return node.interfacesError ? node.interfacesError : node.roleError;
  }
  ax::RoleContext context{node.role, node.states, false, std::nullopt};
  switch (ax::valueWrite(context, node.interfaces & kInterfaceEditableText,
                         node.interfaces & kInterfaceValue)) {
    case ax::ValueWrite::text:
      return writeText(tree, node, value);
    case ax::ValueWrite::number:
      return writeNumber(tree, node.path, value);
    case ax::ValueWrite::none:
      break;
  }
  return kAXErrorAttributeUnsupported;
}

desktop::AXError AtspiAccessibility::writeText(AppTree& tree, const AccessibleNode& node,
                                               const std::string& value) {
  const auto* before = std::get_if<std::string>(&node.value);
  std::optional<std::string> previous =
      before ? std::optional(valueText(tree, *before)) : std::nullopt;
  dbus::Reply reply =
      tree.call(node.path, "org.a11y.atspi.EditableText", "SetTextContents",
                [&](sd_bus_message* m) { return sd_bus_message_append(m, "s", value.c_str()); });
  turn_.reset();
  if (!reply.ok()) {
    return axErrorFor(reply.errorName);
  }
  AXError accepted = acceptedReply(reply);
  if (accepted != kAXSuccess || !previous || *previous == value) {
    return accepted;
  }
  return textChanged(tree, node.path, *previous) ? kAXSuccess : desktop::kAXErrorFailure;
}

// Firefox answers SetTextContents with true and leaves the text as it was, so an accepted
// write is read back: a text that is still exactly the old one was not written. (A toolkit
// may adjust what it takes, such as line breaks in a one-line field; that counts as written.)
bool AtspiAccessibility::textChanged(AppTree& tree, const std::string& path,
                                     const std::string& previous) {
  dbus::Reply reply = tree.call(path, "org.a11y.atspi.Text", "GetText", [](sd_bus_message* m) {
    return sd_bus_message_append(m, "ii", std::int32_t{0}, std::int32_t{-1});
  });
  const char* text = nullptr;
  if (!reply.ok() || sd_bus_message_read(reply.message.get(), "s", &text) < 0 || !text) {
    return true;  // nothing to read back: the toolkit's answer stands
  }
  return valueText(tree, text) != previous;
}

// Value.CurrentValue takes a number: a string that spells none is refused before anything is
// sent. The toolkit clamps the number to the element's range.
desktop::AXError AtspiAccessibility::writeNumber(AppTree& tree, const std::string& path,
                                                 const std::string& value) {
  std::optional<double> number = ax::numericValue(value);
  if (!number) {
    return desktop::kAXErrorIllegalArgument;
  }
  dbus::Reply reply =
      tree.call(path, "org.freedesktop.DBus.Properties", "Set", [&](sd_bus_message* m) {
        return sd_bus_message_append(m, "ssv", "org.a11y.atspi.Value", "CurrentValue", "d",
                                     *number);
      });
  turn_.reset();
  return reply.ok() ? kAXSuccess : axErrorFor(reply.errorName);
}

}  // namespace qor::platform
