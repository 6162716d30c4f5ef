#pragma once
// One node of a simulated Accessibility tree. Tests build trees with the chaining setters and keep
// the pointers to change them later (also while a batch is suspended):
//
//   auto save = sim::element("AXButton")->title("Save")->actions({"AXPress"});
//   auto window = sim::element("AXWindow")->title("Untitled")->frame({100, 100, 800, 600})
//                     ->child(save);
//   save->title("Save As");  // the control changed
//
// Every attribute is stored as what a read gives: a result code and a value. An attribute that was
// never set reads as kAXErrorAttributeUnsupported. Reads made through the desktop also honour the
// owning application's state (not answering, quit) and the element's own validity.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/geometry.h"
#include "desktop/desktop.h"

namespace qor::sim {

class SimElement final : public desktop::Element, public std::enable_shared_from_this<SimElement> {
 public:
  using Ptr = std::shared_ptr<SimElement>;

  // Use sim::element(role) instead; elements must be owned by a shared_ptr.
  explicit SimElement(std::string role);
  SimElement(const SimElement&) = delete;
  SimElement& operator=(const SimElement&) = delete;

  std::uint64_t identity() const override { return identity_; }

  // ---- Builder: each setter replaces the attribute (or appends, for children) -----------------
  Ptr role(std::string value);
  Ptr title(std::string value);
  Ptr subrole(std::string value);
  Ptr description(std::string value);
  Ptr identifier(std::string value);
  Ptr help(std::string value);
  Ptr value(std::string text);
  Ptr value(const char* text) { return value(std::string(text)); }
  Ptr value(double number);
  Ptr value(std::int64_t number);
  Ptr value(int number) { return value(static_cast<std::int64_t>(number)); }
  Ptr enabled(bool value);
  Ptr position(Point point);
  Ptr size(Size extent);
  Ptr frame(Frame rect);  // position and size together
  Ptr child(Ptr element);
  Ptr children(const std::vector<Ptr>& elements);
  // Application elements.
  Ptr windows(const std::vector<Ptr>& elements);
  Ptr focusedWindow(Ptr element);
  Ptr focusedUIElement(Ptr element);
  Ptr menuBar(Ptr element);
  // Any attribute with any value kind (a monostate is a value of an unusable kind).
  Ptr attribute(const std::string& name, desktop::AXValue value);
  // Reads of `name` fail with `error` and give no value.
  Ptr attributeError(const std::string& name, desktop::AXError error);
  Ptr removeAttribute(const std::string& name);

  // Actions. Without a list the action-name query succeeds with no names.
  Ptr actions(std::vector<std::string> names);
  Ptr actionNamesError(desktop::AXError error);  // the action-name query fails
  // Result of performing `action`; by default listed actions succeed and others give
  // kAXErrorActionUnsupported.
  Ptr actionResult(const std::string& action, desktop::AXError result);
  // Runs after every successful performAction (for example to open a window on "AXPress").
  Ptr onPerform(std::function<void(const std::string& action)> effect);
  // Result of writing a value; on success the attribute takes the written string.
  Ptr setValueResult(desktop::AXError result);

  // Identity: unique per element unless made equal to another's (a hash collision).
  Ptr shareIdentityWith(const Ptr& other);
  // The element no longer exists: every request gives kAXErrorInvalidUIElement.
  Ptr invalidate();

  // Moves the element's position by (dx, dy) points.
  Ptr moveBy(double dx, double dy);

  // ---- Inspection (tests and the desktop)
  // -------------------------------------------------------- The stored read, without the
  // application's or validity checks.
  desktop::AXRead read(const std::string& name) const;
  // The same, into `read`: a text goes into the room of the string `read` already holds.
  void readInto(const std::string& name, desktop::AXRead& read) const;
  // The string value of `name`, or "" when it is not a readable string.
  std::string text(const std::string& name) const;
  std::vector<Ptr> childElements() const;
  // Every element this one refers to through any attribute (children, windows, focus, menu bar).
  std::vector<Ptr> linkedElements() const;
  bool isValid() const { return valid_; }

  // Used by the desktop.
  desktop::AXError copyActionNames(std::vector<std::string>& names) const;
  desktop::AXError perform(const std::string& action);
  desktop::AXError writeString(const std::string& attribute, const std::string& text);
  // The application an element was reached from: set by the desktop when it hands the element out,
  // so that an element answers (or not) like the application that owns it.
  std::optional<desktop::Pid> owner() const { return owner_; }
  void setOwner(desktop::Pid pid) const { owner_ = pid; }

 private:
  Ptr self() { return shared_from_this(); }
  Ptr store(const std::string& name, desktop::AXValue value);

  std::uint64_t identity_;
  // The stored read of `name`, or nullptr when the attribute was never set.
  const desktop::AXRead* find(const std::string& name) const;
  // The stored read of `name`, added (as a default read) when it was never set.
  desktop::AXRead& slot(const std::string& name);

  // A handful of attributes per element, searched in place: a walk reads each of them once per
  // element, and one block of memory answers that faster than a tree of nodes.
  static constexpr std::size_t kUsualAttributeCount = 12;
  std::vector<std::pair<std::string, desktop::AXRead>> attributes_;
  std::optional<std::vector<std::string>> actionNames_;
  std::optional<desktop::AXError> actionNamesError_;
  std::map<std::string, desktop::AXError> actionResults_;
  std::function<void(const std::string&)> onPerform_;
  desktop::AXError setValueResult_ = desktop::kAXSuccess;
  bool valid_ = true;
  mutable std::optional<desktop::Pid> owner_;
};

// A new element with its "AXRole" set.
SimElement::Ptr element(std::string role);

// The SimElement behind a handle the desktop gave out (nullptr for foreign or empty handles).
const SimElement* simElement(const desktop::ElementRef& handle);

}  // namespace qor::sim
