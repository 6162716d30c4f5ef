#include "platform/sim/sim_element.h"

#include <algorithm>
#include <typeinfo>

namespace qor::sim {
namespace {

std::uint64_t nextIdentity() {
  static std::uint64_t counter = 0x51A0000;
  return ++counter;
}

std::vector<desktop::ElementRef> handles(const std::vector<SimElement::Ptr>& elements) {
  return {elements.begin(), elements.end()};
}

}  // namespace

SimElement::SimElement(std::string role) : identity_(nextIdentity()) {
  // Room for every attribute a walk reads, so that the table is one block next to the element.
  attributes_.reserve(kUsualAttributeCount);
  slot("AXRole") = {desktop::kAXSuccess, std::move(role)};
}

SimElement::Ptr element(std::string role) {
  return std::make_shared<SimElement>(std::move(role));
}

// SimElement is final, so comparing the exact type is enough, and far cheaper than a dynamic cast
// that searches the class hierarchy on every attribute read.
const SimElement* simElement(const desktop::ElementRef& handle) {
  const desktop::Element* element = handle.get();
  if (element == nullptr || typeid(*element) != typeid(SimElement)) {
    return nullptr;
  }
  return static_cast<const SimElement*>(element);
}

SimElement::Ptr SimElement::store(const std::string& name, desktop::AXValue value) {
  slot(name) = {desktop::kAXSuccess, std::move(value)};
  return self();
}

SimElement::Ptr SimElement::role(std::string value) {
  return store("AXRole", std::move(value));
}
SimElement::Ptr SimElement::title(std::string value) {
  return store("AXTitle", std::move(value));
}
SimElement::Ptr SimElement::subrole(std::string value) {
  return store("AXSubrole", std::move(value));
}
SimElement::Ptr SimElement::description(std::string value) {
  return store("AXDescription", std::move(value));
}
SimElement::Ptr SimElement::identifier(std::string value) {
  return store("AXIdentifier", std::move(value));
}
SimElement::Ptr SimElement::help(std::string value) {
  return store("AXHelp", std::move(value));
}
SimElement::Ptr SimElement::value(std::string text) {
  return store("AXValue", std::move(text));
}
SimElement::Ptr SimElement::value(double number) {
  return store("AXValue", number);
}
SimElement::Ptr SimElement::value(std::int64_t number) {
  return store("AXValue", number);
}
SimElement::Ptr SimElement::enabled(bool value) {
  return store("AXEnabled", value);
}
SimElement::Ptr SimElement::position(Point point) {
  return store("AXPosition", point);
}
SimElement::Ptr SimElement::size(Size extent) {
  return store("AXSize", extent);
}

SimElement::Ptr SimElement::frame(Frame rect) {
  position({rect.x, rect.y});
  return size({rect.width, rect.height});
}

SimElement::Ptr SimElement::child(Ptr element) {
  return children({std::move(element)});
}

SimElement::Ptr SimElement::children(const std::vector<Ptr>& elements) {
  desktop::AXRead& entry = slot("AXChildren");
  if (entry.error != desktop::kAXSuccess ||
      !std::holds_alternative<std::vector<desktop::ElementRef>>(entry.value)) {
    entry = {desktop::kAXSuccess, std::vector<desktop::ElementRef>{}};
  }
  auto& list = std::get<std::vector<desktop::ElementRef>>(entry.value);
  list.insert(list.end(), elements.begin(), elements.end());
  return self();
}

SimElement::Ptr SimElement::windows(const std::vector<Ptr>& elements) {
  return store("AXWindows", handles(elements));
}
SimElement::Ptr SimElement::focusedWindow(Ptr element) {
  return store("AXFocusedWindow", desktop::ElementRef(std::move(element)));
}
SimElement::Ptr SimElement::focusedUIElement(Ptr element) {
  return store("AXFocusedUIElement", desktop::ElementRef(std::move(element)));
}
SimElement::Ptr SimElement::menuBar(Ptr element) {
  return store("AXMenuBar", desktop::ElementRef(std::move(element)));
}

SimElement::Ptr SimElement::attribute(const std::string& name, desktop::AXValue value) {
  return store(name, std::move(value));
}

SimElement::Ptr SimElement::attributeError(const std::string& name, desktop::AXError error) {
  slot(name) = {error, std::monostate{}};
  return self();
}

SimElement::Ptr SimElement::removeAttribute(const std::string& name) {
  std::erase_if(attributes_, [&name](const auto& entry) { return entry.first == name; });
  return self();
}

SimElement::Ptr SimElement::actions(std::vector<std::string> names) {
  actionNames_ = std::move(names);
  actionNamesError_.reset();
  return self();
}

SimElement::Ptr SimElement::actionNamesError(desktop::AXError error) {
  actionNamesError_ = error;
  return self();
}

SimElement::Ptr SimElement::actionResult(const std::string& action, desktop::AXError result) {
  actionResults_[action] = result;
  return self();
}

SimElement::Ptr SimElement::onPerform(std::function<void(const std::string&)> effect) {
  onPerform_ = std::move(effect);
  return self();
}

SimElement::Ptr SimElement::setValueResult(desktop::AXError result) {
  setValueResult_ = result;
  return self();
}

SimElement::Ptr SimElement::shareIdentityWith(const Ptr& other) {
  identity_ = other->identity_;
  return self();
}

SimElement::Ptr SimElement::invalidate() {
  valid_ = false;
  return self();
}

SimElement::Ptr SimElement::moveBy(double dx, double dy) {
  desktop::AXRead current = read("AXPosition");
  if (const Point* point = std::get_if<Point>(&current.value)) {
    position({point->x + dx, point->y + dy});
  }
  return self();
}

desktop::AXRead SimElement::read(const std::string& name) const {
  desktop::AXRead read;
  readInto(name, read);
  return read;
}

void SimElement::readInto(const std::string& name, desktop::AXRead& read) const {
  if (const desktop::AXRead* found = find(name)) {
    read = *found;  // a string copied onto a string keeps the room it had
  } else {
    read = {desktop::kAXErrorAttributeUnsupported, std::monostate{}};
  }
}

const desktop::AXRead* SimElement::find(const std::string& name) const {
  for (const auto& [stored, entry] : attributes_) {
    if (stored == name) {
      return &entry;
    }
  }
  return nullptr;
}

desktop::AXRead& SimElement::slot(const std::string& name) {
  for (auto& [stored, entry] : attributes_) {
    if (stored == name) {
      return entry;
    }
  }
  return attributes_.emplace_back(name, desktop::AXRead{}).second;
}

std::string SimElement::text(const std::string& name) const {
  desktop::AXRead entry = read(name);
  const std::string* found = std::get_if<std::string>(&entry.value);
  return entry.error == desktop::kAXSuccess && found ? *found : std::string();
}

std::vector<SimElement::Ptr> SimElement::childElements() const {
  std::vector<Ptr> result;
  desktop::AXRead entry = read("AXChildren");
  if (auto* list = std::get_if<std::vector<desktop::ElementRef>>(&entry.value)) {
    for (const desktop::ElementRef& handle : *list) {
      if (const SimElement* child = simElement(handle)) {
        result.push_back(std::const_pointer_cast<SimElement>(child->shared_from_this()));
      }
    }
  }
  return result;
}

std::vector<SimElement::Ptr> SimElement::linkedElements() const {
  std::vector<Ptr> result;
  auto add = [&result](const desktop::ElementRef& handle) {
    if (const SimElement* linked = simElement(handle)) {
      result.push_back(std::const_pointer_cast<SimElement>(linked->shared_from_this()));
    }
  };
  for (const auto& [name, entry] : attributes_) {
    if (const auto* single = std::get_if<desktop::ElementRef>(&entry.value)) {
      add(*single);
    } else if (const auto* list = std::get_if<std::vector<desktop::ElementRef>>(&entry.value)) {
      std::ranges::for_each(*list, add);
    }
  }
  return result;
}

desktop::AXError SimElement::copyActionNames(std::vector<std::string>& names) const {
  if (actionNamesError_) {
    return *actionNamesError_;
  }
  if (actionNames_) {
    names = *actionNames_;  // copied onto the names given, whose room is reused
  } else {
    names.clear();
  }
  return desktop::kAXSuccess;
}

desktop::AXError SimElement::perform(const std::string& action) {
  desktop::AXError result = desktop::kAXErrorActionUnsupported;
  if (auto scripted = actionResults_.find(action); scripted != actionResults_.end()) {
    result = scripted->second;
  } else if (actionNames_ && std::ranges::find(*actionNames_, action) != actionNames_->end()) {
    result = desktop::kAXSuccess;
  }
  if (result == desktop::kAXSuccess && onPerform_) {
    onPerform_(action);
  }
  return result;
}

desktop::AXError SimElement::writeString(const std::string& attribute, const std::string& text) {
  if (setValueResult_ == desktop::kAXSuccess) {
    store(attribute, text);
  }
  return setValueResult_;
}

}  // namespace qor::sim
