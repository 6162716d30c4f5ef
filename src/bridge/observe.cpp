// "app.observe": one bounded walk over an application's Accessibility tree, answered as a JSON
// tree whose elements carry references "e1", "e2", ..., and kept as an observation.

#include <array>
#include <charconv>
#include <chrono>
#include <cmath>
#include <iterator>
#include <limits>
#include <memory_resource>
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

// Writes the first `limit` user-perceived characters of `text`. Every character takes at least one
// byte, so a text of at most `limit` bytes is written without scanning it for cluster boundaries.
void writeShortened(wire::Writer& out, std::string_view text, std::size_t limit) {
  if (text.size() <= limit) {
    out.string(text);
  } else {
    out.string(text::truncateGraphemes(text, limit));
  }
}

struct WalkLimits {
  std::size_t maxNodes;
  std::int64_t maxDepth;
  runtime::MonoTime deadline;
};

// What a node says about its element, read before its children are walked: the children are
// written second among the node's keys, and each child's reference must come after its parent's.
// Each level of the walk keeps one, whose reads keep their room from element to element.
struct NodeAttributes {
  std::size_t number = 0;  // of the element's reference, "e<number>"; its role and title are kept
  desktop::AXRead description;
  desktop::AXRead identifier;
  desktop::AXRead help;
  bool secure = false;
  desktop::AXRead value;  // not read for a secure element: then it belongs to an earlier element
  std::optional<bool> enabled;
  std::optional<Frame> frame;
  bool hasActions = false;  // the action names are the walker's, written before the next read
};

// The string of a successful read ("" for anything else).
std::string_view readText(const desktop::AXRead& read) {
  const auto* text = std::get_if<std::string>(&read.value);
  return read.error == desktop::kAXSuccess && text != nullptr ? std::string_view(*text)
                                                              : std::string_view();
}

// The state shared by every element of one walk: the running count, the identities already
// visited, the references issued and whether anything was left out. Each element is visited once
// and written straight into the response text as it is read, so the walk is linear in the tree.
// It recurses once per level, and levels are bounded by the depth limit.
class TreeWalker {
 public:
  // Writes into `out`, which must be empty.
  TreeWalker(desktop::Desktop& desktop, const runtime::Clock& clock, WalkLimits limits,
             wire::Writer& out)
      : desktop_(desktop),
        clock_(clock),
        limits_(limits),
        out_(out),
        levels_(static_cast<std::size_t>(limits.maxDepth) + 1) {
    visited_.reserve(limits.maxNodes);
  }

  // Whether `element` gets a node: it is within the limits and was not visited before. An element
  // that is admitted must then be written.
  bool admit(const ElementRef& element, std::int64_t depth) {
    if (!withinLimits(depth)) {
      truncated_ = true;
      return false;
    }
    return visited_.insert(element->identity()).second;
  }

  // The node of an admitted element and its descendants, in depth-first pre-order, with the
  // node's keys in ascending byte order.
  void write(const ElementRef& element, std::int64_t depth) {
    NodeAttributes& node = levels_[static_cast<std::size_t>(depth)];
    describe(element, node);
    out_.beginObject();
    if (node.hasActions) {
      out_.key("actions");
      out_.beginArray();
      for (const std::string& name : actionNames_) {
        out_.string(name);
      }
      out_.endArray();
    }
    writeChildren(element, depth);
    writeAttributesAfterChildren(node);
    out_.endObject();
  }

  bool truncated() const { return truncated_; }
  std::vector<ElementReference> takeElements() { return std::move(elements_); }

 private:
  // The time limit is only looked at between elements: one element's reads always complete.
  bool withinLimits(std::int64_t depth) const {
    return elements_.size() < limits_.maxNodes && depth <= limits_.maxDepth &&
           clock_.now() < limits_.deadline;
  }

  // Every key that sorts after "children", in order.
  void writeAttributesAfterChildren(const NodeAttributes& node) {
    writeText("description", readText(node.description), kTextLimit);
    if (node.enabled) {
      out_.key("enabled");
      out_.boolean(*node.enabled);
    }
    if (node.frame) {
      out_.key("frame");
      WindowGeometry::write(out_, *node.frame);
    }
    writeText("help", readText(node.help), kTextLimit);
    writeText("identifier", readText(node.identifier), kTextLimit);
    // Looked up now: the vector of references grew while the children were walked.
    const ElementReference& reference = elements_[node.number - 1];
    out_.key("ref");
    writeReference(node.number);
    out_.key("role");
    out_.string(reference.role);
    if (node.secure) {
      out_.key("secure");
      out_.boolean(true);
    }
    writeText("title", reference.title, kTextLimit);
    if (!node.secure) {
      writeValue(node.value);
    }
  }

  // Issues the next reference and reads the element's own attributes, in a fixed order.
  void describe(const ElementRef& element, NodeAttributes& node) {
    readScratch(element, "AXRole");
    noteUnanswered(scratch_.error);
    std::string role(readText(scratch_));
    readScratch(element, "AXTitle");
    noteUnanswered(scratch_.error);
    elements_.push_back(
        ElementReference{element, std::move(role), std::string(readText(scratch_))});
    node.number = elements_.size();
    readScratch(element, "AXSubrole");
    node.secure = readText(scratch_) == "AXSecureTextField";
    desktop_.copyAttributeInto(element, "AXDescription", node.description);
    desktop_.copyAttributeInto(element, "AXIdentifier", node.identifier);
    desktop_.copyAttributeInto(element, "AXHelp", node.help);
    if (!node.secure) {
      desktop_.copyAttributeInto(element, "AXValue", node.value);
      noteUnanswered(node.value.error);
    }
    readScratch(element, "AXEnabled");
    const auto* flag = std::get_if<bool>(&scratch_.value);
    node.enabled =
        flag && scratch_.error == desktop::kAXSuccess ? std::optional(*flag) : std::nullopt;
    node.frame = axFrame(desktop_, element);
    desktop::AXError actions = desktop_.copyActionNames(element, actionNames_);
    noteUnanswered(actions);
    node.hasActions = actions == desktop::kAXSuccess;
  }

  // An application that stopped answering (or went away) during the walk leaves the rest of its
  // tree unread; the observation must then say it is incomplete rather than look whole.
  void noteUnanswered(desktop::AXError error) {
    if (error == desktop::kAXErrorCannotComplete) {
      truncated_ = true;
    }
  }

  // Reads into the walker's scratch read, for an attribute that is used at once.
  void readScratch(const ElementRef& element, const std::string& attribute) {
    desktop_.copyAttributeInto(element, attribute, scratch_);
  }

  // The children's nodes; the key is written before the first child that gets a node, and not at
  // all when none does.
  void writeChildren(const ElementRef& element, std::int64_t depth) {
    desktop::AXRead read = desktop_.copyAttribute(element, "AXChildren");
    noteUnanswered(read.error);
    auto* children = std::get_if<std::vector<ElementRef>>(&read.value);
    if (read.error != desktop::kAXSuccess || children == nullptr) {
      return;
    }
    bool opened = false;
    for (const ElementRef& child : *children) {
      if (!admit(child, depth + 1)) {
        continue;
      }
      if (!opened) {
        out_.key("children");
        out_.beginArray();
        opened = true;
      }
      write(child, depth + 1);
    }
    if (opened) {
      out_.endArray();
    }
  }

  void writeReference(std::size_t number) {
    char text[1 + std::numeric_limits<std::size_t>::digits10 + 1] = {'e'};
    const auto written = std::to_chars(text + 1, std::end(text), number);
    out_.string(std::string_view(text, static_cast<std::size_t>(written.ptr - text)));
  }

  // Empty texts are left out; long ones are cut to `limit` user-perceived characters.
  void writeText(wire::Key key, std::string_view text, std::size_t limit) {
    if (text.empty()) {
      return;
    }
    out_.key(key);
    writeShortened(out_, text, limit);
  }

  // An empty string value is kept; JSON has no infinities or NaN, so such a value is left out.
  void writeValue(const desktop::AXRead& read) {
    if (read.error != desktop::kAXSuccess) {
      return;
    }
    if (const auto* text = std::get_if<std::string>(&read.value)) {
      out_.key("value");
      writeShortened(out_, *text, kValueLimit);
    } else if (const auto* integer = std::get_if<std::int64_t>(&read.value)) {
      out_.key("value");
      out_.integer(*integer);
    } else if (const auto* real = std::get_if<double>(&read.value); real && std::isfinite(*real)) {
      out_.key("value");
      out_.number(*real);
    }
  }

  desktop::Desktop& desktop_;
  const runtime::Clock& clock_;
  WalkLimits limits_;
  wire::Writer& out_;
  bool truncated_ = false;
  // Identities are only ever added during a walk, so their nodes come from one growing block.
  std::pmr::monotonic_buffer_resource visitedMemory_;
  std::pmr::unordered_set<std::uint64_t> visited_{&visitedMemory_};
  std::vector<ElementReference> elements_;  // "e1" first
  std::vector<NodeAttributes> levels_;      // indexed by depth
  desktop::AXRead scratch_;
  std::vector<std::string> actionNames_;
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
  wire::Writer& tree = observationText_;
  tree.clear();  // in case a walk before this one was cut short by an exception
  TreeWalker walker(desktop_, clock(), limits, tree);
  tree.beginArray();
  for (const ElementRef& root : roots) {
    if (walker.admit(root, 0)) {
      walker.write(root, 0);
    }
  }
  tree.endArray();

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
  result["tree"] = tree.takeFragment();
  result["nodeCount"] = observation.elements.size();
  result["truncated"] = walker.truncated();
  result["expiresAt"] = expiryText(observation.expires);

  observations_.add(std::move(observation));
  return result;
}

}  // namespace qor
