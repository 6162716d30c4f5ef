// "app.observe": one bounded walk over an application's Accessibility tree, answered as a JSON
// tree whose elements carry references "e1", "e2", ..., and kept as an observation.

#include <array>
#include <chrono>
#include <cmath>
#include <optional>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "bridge/accessibility.h"
#include "bridge/native_runtime.h"
#include "core/identifiers.h"
#include "core/native_parameters.h"
#include "core/text.h"
#include "core/window_geometry.h"

namespace qor {
namespace {

using desktop::ElementRef;
using desktop::WindowRecord;

constexpr std::int64_t kDefaultMaxNodes = 500;
constexpr std::int64_t kMaxNodesLimit = 2000;
constexpr std::int64_t kDefaultMaxDepth = 12;
constexpr std::int64_t kMaxDepthLimit = 30;
constexpr auto kWalkTime = std::chrono::seconds(5);
constexpr auto kObservationLifetime = std::chrono::seconds(120);
constexpr std::size_t kTextLimit = 4'000;    // user-perceived characters
constexpr std::size_t kValueLimit = 10'000;  // user-perceived characters

// Plain text attributes copied into a node under their JSON key, in this order.
constexpr std::array<std::pair<const char*, const char*>, 3> kTextAttributes = {{
    {"description", "AXDescription"},
    {"identifier", "AXIdentifier"},
    {"help", "AXHelp"},
}};

// The first `limit` user-perceived characters. Every character takes at least one byte, so a text
// of at most `limit` bytes is returned without scanning it for cluster boundaries.
std::string shortened(std::string text, std::size_t limit) {
  if (text.size() <= limit) {
    return text;
  }
  return text::truncateGraphemes(text, limit);
}

struct WalkLimits {
  std::size_t maxNodes;
  std::int64_t maxDepth;
  runtime::MonoTime deadline;
};

// The state shared by every element of one walk: the running count, the identities already
// visited, the references issued and whether anything was left out. Each element is visited once,
// and each node is built in place and moved to its parent, so the walk is linear in the tree.
class TreeWalker {
 public:
  TreeWalker(desktop::Desktop& desktop, const runtime::Clock& clock, WalkLimits limits)
      : desktop_(desktop), clock_(clock), limits_(limits) {
    visited_.reserve(limits.maxNodes);
  }

  // The node of `element` and its descendants in depth-first pre-order, or nothing when the
  // element is over a limit or was already visited.
  std::optional<Json> node(const ElementRef& element, std::int64_t depth) {
    if (!withinLimits(depth)) {
      truncated_ = true;
      return std::nullopt;
    }
    if (!visited_.insert(element->identity()).second) {
      return std::nullopt;
    }
    Json node = describe(element);
    addChildren(node, element, depth);
    return node;
  }

  bool truncated() const { return truncated_; }
  std::size_t count() const { return count_; }
  std::map<std::string, ElementReference> takeElements() { return std::move(elements_); }

 private:
  // The time limit is only looked at between elements: one element's reads always complete.
  bool withinLimits(std::int64_t depth) const {
    return count_ < limits_.maxNodes && depth <= limits_.maxDepth &&
           clock_.now() < limits_.deadline;
  }

  // Issues the next reference and reads the element's own attributes.
  Json describe(const ElementRef& element) {
    std::string ref = "e" + std::to_string(++count_);
    std::string role = readText(element, "AXRole");
    std::string title = readText(element, "AXTitle");
    const bool secure = readText(element, "AXSubrole") == "AXSecureTextField";

    Json node = Json::object();
    auto& members = node.get_ref<Json::object_t&>();
    members.emplace("ref", ref);
    members.emplace("role", role);
    if (!title.empty()) {
      members.emplace("title", shortened(title, kTextLimit));
    }
    elements_.emplace(std::move(ref), ElementReference{element, std::move(role), std::move(title)});
    addTextAttributes(members, element);
    addValue(members, element, secure);
    addState(members, element);
    return node;
  }

  // The string of a successful read, moved out of the read ("" for anything else).
  std::string readText(const ElementRef& element, const std::string& attribute) {
    desktop::AXRead read = desktop_.copyAttribute(element, attribute);
    auto* text = std::get_if<std::string>(&read.value);
    return read.error == desktop::kAXSuccess && text != nullptr ? std::move(*text) : std::string();
  }

  void addTextAttributes(Json::object_t& members, const ElementRef& element) {
    for (const auto& [key, attribute] : kTextAttributes) {
      std::string text = readText(element, attribute);
      if (!text.empty()) {
        members.emplace(key, shortened(std::move(text), kTextLimit));
      }
    }
  }

  // A secure text field's value is never read, whatever it holds.
  void addValue(Json::object_t& members, const ElementRef& element, bool secure) {
    if (secure) {
      members.emplace("secure", true);
      return;
    }
    desktop::AXRead read = desktop_.copyAttribute(element, "AXValue");
    if (read.error != desktop::kAXSuccess) {
      return;
    }
    if (auto* text = std::get_if<std::string>(&read.value)) {
      members.emplace("value", shortened(std::move(*text), kValueLimit));
    } else if (auto* integer = std::get_if<std::int64_t>(&read.value)) {
      members.emplace("value", *integer);
    } else if (auto* real = std::get_if<double>(&read.value);
               real != nullptr && std::isfinite(*real)) {
      members.emplace("value", *real);  // JSON has no infinities or NaN: such a value is left out
    }
  }

  void addState(Json::object_t& members, const ElementRef& element) {
    desktop::AXRead enabled = desktop_.copyAttribute(element, "AXEnabled");
    if (auto* flag = std::get_if<bool>(&enabled.value);
        flag && enabled.error == desktop::kAXSuccess) {
      members.emplace("enabled", *flag);
    }
    if (std::optional<Frame> frame = axFrame(desktop_, element)) {
      members.emplace("frame", WindowGeometry::json(*frame));
    }
    std::vector<std::string> names;
    if (desktop_.copyActionNames(element, names) == desktop::kAXSuccess) {
      Json::array_t actions;
      actions.reserve(names.size());
      for (std::string& name : names) {
        actions.emplace_back(std::move(name));
      }
      members.emplace("actions", std::move(actions));
    }
  }

  // The children's nodes, moved into place; the list of children is moved out of its read.
  void addChildren(Json& node, const ElementRef& element, std::int64_t depth) {
    desktop::AXRead read = desktop_.copyAttribute(element, "AXChildren");
    auto* children = std::get_if<std::vector<ElementRef>>(&read.value);
    if (read.error != desktop::kAXSuccess || children == nullptr) {
      return;
    }
    Json::array_t nodes;
    nodes.reserve(children->size());
    for (const ElementRef& child : *children) {
      if (std::optional<Json> childNode = this->node(child, depth + 1)) {
        nodes.push_back(std::move(*childNode));
      }
    }
    if (!nodes.empty()) {
      node.get_ref<Json::object_t&>().emplace("children", std::move(nodes));
    }
  }

  desktop::Desktop& desktop_;
  const runtime::Clock& clock_;
  WalkLimits limits_;
  std::size_t count_ = 0;
  bool truncated_ = false;
  std::unordered_set<std::uint64_t> visited_;
  std::map<std::string, ElementReference> elements_;
};

// The record to observe: the requested window, or the preferred one when none was requested.
std::optional<WindowRecord> chooseRecord(desktop::Desktop& desktop, desktop::Pid pid,
                                         const std::vector<WindowRecord>& records,
                                         std::optional<std::uint32_t> requested) {
  if (!requested) {
    return preferredWindowRecord(desktop, pid, records);
  }
  for (const WindowRecord& record : records) {
    if (recordNumber(record) == requested) {
      return record;
    }
  }
  throw NativeFailure("windowUnavailable", "Selected window is no longer on screen");
}

// The Accessibility windows to walk: all of the application's windows when no record was chosen
// or the record has no frame, else those whose frame matches the record's within the tolerance.
std::vector<ElementRef> windowRoots(desktop::Desktop& desktop, const ElementRef& application,
                                    const std::optional<WindowRecord>& record,
                                    std::optional<std::uint32_t> requested) {
  std::vector<ElementRef> windows = axChildren(desktop, application, "AXWindows");
  std::optional<Frame> wanted = record ? recordFrame(*record) : std::nullopt;
  if (!wanted) {
    return windows;
  }
  std::vector<ElementRef> matching;
  for (ElementRef& window : windows) {
    std::optional<Frame> frame = axFrame(desktop, window);
    if (frame && WindowGeometry::matches(*frame, *wanted)) {
      matching.push_back(std::move(window));
    }
  }
  if (matching.empty() && requested) {
    throw NativeFailure(
        "accessibilityUnavailable",
        "Window exists but does not expose a matching Accessibility tree; use window.capture");
  }
  return matching;
}

// The roots of the walk in order: the observed window (or the whole application when no window
// can be told apart and none was requested), then the menu bar.
std::vector<ElementRef> walkRoots(desktop::Desktop& desktop, const ElementRef& application,
                                  const std::optional<WindowRecord>& record,
                                  std::optional<std::uint32_t> requested) {
  std::vector<ElementRef> roots = windowRoots(desktop, application, record, requested);
  if (roots.empty() && !requested) {
    roots.push_back(application);
  }
  desktop::AXRead menuBar = desktop.copyAttribute(application, "AXMenuBar");
  if (auto* bar = std::get_if<ElementRef>(&menuBar.value);
      bar && *bar && menuBar.error == desktop::kAXSuccess) {
    roots.push_back(std::move(*bar));
  }
  return roots;
}

WalkLimits readLimits(const Json& params) {
  const std::int64_t maxNodes = NativeParameters::boundedInt(
      NativeParameters::find(params, "maxNodes"), kDefaultMaxNodes, 1, kMaxNodesLimit);
  const std::int64_t maxDepth = NativeParameters::boundedInt(
      NativeParameters::find(params, "maxDepth"), kDefaultMaxDepth, 1, kMaxDepthLimit);
  return {static_cast<std::size_t>(maxNodes), maxDepth, {}};
}

Json describeWindows(const std::vector<WindowRecord>& records) {
  Json windows = Json::array();
  for (const WindowRecord& record : records) {
    windows.push_back(describeWindow(record));
  }
  return windows;
}

std::string expiryText(runtime::WallTime expires) {
  return ids::iso8601UTC(
      std::chrono::floor<std::chrono::seconds>(expires.time_since_epoch()).count());
}

}  // namespace

Json NativeRuntime::observe(const Json& params) {
  if (!desktop_.isProcessTrusted()) {
    throw NativeFailure("missingPermission", "macOS Accessibility access is required",
                        Json{{"permission", "accessibility"}});
  }
  desktop::RunningApplication app = targetApp(params);
  WalkLimits limits = readLimits(params);
  ElementRef application = applicationElement(desktop_, app.pid);
  std::vector<WindowRecord> records = windowRecords(desktop_, app.pid);
  std::optional<std::uint32_t> requested = NativeParameters::windowID(params);
  std::optional<WindowRecord> record = chooseRecord(desktop_, app.pid, records, requested);
  std::vector<ElementRef> roots = walkRoots(desktop_, application, record, requested);

  limits.deadline = clock().now() + kWalkTime;
  TreeWalker walker(desktop_, clock(), limits);
  Json tree = Json::array();
  for (const ElementRef& root : roots) {
    if (std::optional<Json> node = walker.node(root, 0)) {
      tree.push_back(std::move(*node));
    }
  }

  Observation observation;
  observation.id = ids::newUUID();
  observation.bundleID = app.bundleID.value_or("");
  observation.pid = app.pid;
  observation.launchDate = app.launchDate;
  if (record) {
    observation.windowID = recordNumber(*record);
    observation.frame = recordFrame(*record);
  }
  observation.expires = clock().wallNow() + kObservationLifetime;
  observation.elements = walker.takeElements();

  Json result = Json::object();
  result["observationId"] = observation.id;
  result["bundleId"] = observation.bundleID;
  result["pid"] = observation.pid;
  result["windows"] = describeWindows(records);
  result["windowId"] = observation.windowID ? Json(*observation.windowID) : Json(nullptr);
  result["tree"] = std::move(tree);
  result["nodeCount"] = walker.count();
  result["truncated"] = walker.truncated();
  result["expiresAt"] = expiryText(observation.expires);

  std::string id = observation.id;
  observations.insert_or_assign(std::move(id), std::move(observation));
  pruneObservations();
  return result;
}

}  // namespace qor
