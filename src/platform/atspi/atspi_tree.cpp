#include "platform/atspi/atspi_tree.h"

#include <poll.h>

#include <algorithm>
#include <climits>
#include <thread>

#include "platform/atspi/ax_mapping.h"

namespace qor::platform {
namespace {

using desktop::AXError;
using namespace std::chrono_literals;

constexpr const char* kAccessible = "org.a11y.atspi.Accessible";
constexpr const char* kProperties = "org.freedesktop.DBus.Properties";
// What Properties.GetAll of Accessible gives that the bridge uses, when read one at a time
// (the children are asked for at once instead of their count).
constexpr std::string_view kAccessibleProperties[] = {"Name", "Description", "Parent"};
// While replies are coming and at least this many calls are in flight, the walk lets replies
// gather for a moment and reads them together, rather than waking for each: a wake-up per reply
// cost the bridge a context switch and the application a wake-up call in every reply it sent.
// The application takes at least about 8 microseconds per call, so a pause of 4 per call in
// flight never leaves it without work. An application that has stopped answering is waited for
// without pauses.
constexpr int kGatherThreshold = 32;
constexpr auto kGatherPerCall = 4us;
constexpr std::chrono::microseconds kGatherLongest = 1ms;
// A call's tag holds its field in the low bits and the index of the action it asks about above.
constexpr std::uint32_t kFieldBits = 8;
// Names are read for at most this many actions of one object; toolkits give a handful.
constexpr std::uint32_t kMaxActions = 32;

std::uint32_t interfaceBit(std::string_view name) {
  static constexpr std::pair<const char*, std::uint32_t> kInterfaces[] = {
      {"org.a11y.atspi.Component", kInterfaceComponent},
      {"org.a11y.atspi.Action", kInterfaceAction},
      {"org.a11y.atspi.Text", kInterfaceText},
      {"org.a11y.atspi.Value", kInterfaceValue},
      {"org.a11y.atspi.EditableText", kInterfaceEditableText},
      {"org.a11y.atspi.Collection", kInterfaceCollection},
  };
  for (const auto& [interface, bit] : kInterfaces) {
    if (name == interface) {
      return bit;
    }
  }
  return 0;
}

std::optional<ObjectRef> readRef(sd_bus_message* message) {
  const char* bus = nullptr;
  const char* path = nullptr;
  if (sd_bus_message_read(message, "(so)", &bus, &path) <= 0) {
    return std::nullopt;
  }
  return ObjectRef{bus, path};
}

// An object reference, "(so)": its bus name and path.
bool readRef(dbus::WireReader& body, ObjectRef& ref) {
  std::string_view bus, path;
  if (!body.structure() || !body.string(bus) || !body.string(path)) {
    return false;
  }
  ref.bus.assign(bus);
  ref.path.assign(path);
  return true;
}

bool isTimeout(std::string_view error) {
  return error == "org.freedesktop.DBus.Error.NoReply" ||
         error == "org.freedesktop.DBus.Error.Timeout" ||
         error == "org.freedesktop.DBus.Error.TimedOut";
}

}  // namespace

AXError axErrorFor(const std::string& dbusError) {
  static const std::string prefix = "org.freedesktop.DBus.Error.";
  if (!dbusError.starts_with(prefix)) {
    return desktop::kAXErrorFailure;
  }
  std::string name = dbusError.substr(prefix.size());
  if (name == "UnknownObject") {
    return desktop::kAXErrorInvalidUIElement;
  }
  if (name == "UnknownMethod" || name == "UnknownInterface" || name == "UnknownProperty" ||
      name == "InvalidArgs" || name == "NotSupported") {
    return desktop::kAXErrorAttributeUnsupported;
  }
  return desktop::kAXErrorCannotComplete;
}

AppTree::AppTree(AtspiChannel channel, std::string busName, std::chrono::microseconds timeout)
    : channel_(std::move(channel)), busName_(std::move(busName)), timeout_(timeout) {}

AppTree::~AppTree() {
  for (const auto& pipe : channel_.pipes) {
    pipe->forget(this);
  }
}

void AppTree::setTimeout(std::chrono::microseconds timeout) {
  timeout_ = timeout;
}

AccessibleNode& AppTree::node(const std::string& path) {
  auto [it, created] = nodes_.try_emplace(path);
  if (created) {
    it->second.path = path;
    if (path == kAtspiRootPath) {
      it->second.key = std::vector<std::uint32_t>{};
    }
  }
  return it->second;
}

const AccessibleNode& AppTree::demand(const std::string& path) {
  fetchBulk();
  AccessibleNode& wanted = node(path);
  if (!wanted.key) {
    // Reached some other way than from the root: after everything the walk from the root
    // can reach, which is also where the bridge's walk takes such roots.
    wanted.key = std::vector<std::uint32_t>{UINT32_MAX, detachedKeys_++};
  }
  // Whatever is still queued before this object, the walk has gone past.
  queue_.erase(queue_.begin(), queue_.lower_bound(*wanted.key));
  if (!wanted.started) {
    queue_.erase(*wanted.key);
    start(wanted);
  }
  pumpUntil([&] { return wanted.complete(); });
  return wanted;
}

void AppTree::fetchAll(const std::vector<std::string>& paths) {
  fetchBulk();
  std::vector<AccessibleNode*> wanted;
  for (const std::string& path : paths) {
    AccessibleNode& each = node(path);
    if (!each.started) {
      if (each.key) {
        queue_.erase(*each.key);
      }
      start(each);
    }
    wanted.push_back(&each);
  }
  pumpUntil([&] {
    return std::all_of(wanted.begin(), wanted.end(),
                       [](const AccessibleNode* each) { return each->complete(); });
  });
}

const AccessibleNode& AppTree::fetch(const std::string& path) {
  fetchAll({path});
  return node(path);
}

void AppTree::start(AccessibleNode& target) {
  static constexpr dbus::Argument kAccessibleInterface[] = {std::string_view(kAccessible)};
  target.started = true;
  if (target.prefilled) {
    startPrefilled(target);
    return;
  }
  if (qt_) {
    sendProperties(target);
    send(target, Field::children, kAccessible, "GetChildren");
  } else {
    send(target, Field::accessible, kProperties, "GetAll", kAccessibleInterface);
  }
  send(target, Field::role, kAccessible, "GetRole");
  send(target, Field::states, kAccessible, "GetState");
  send(target, Field::interfaces, kAccessible, "GetInterfaces");
}

void AppTree::send(AccessibleNode& target, Field field, const char* interface, const char* member,
                   std::span<const dbus::Argument> arguments, std::uint32_t index) {
  if (disconnected_ || channel_.pipes.empty()) {
    fail(target, field, desktop::kAXErrorCannotComplete);
    return;
  }
  dbus::CallPipe& pipe = *channel_.pipes[nextPipe_++ % channel_.pipes.size()];
  if (!pipe.isOpen() || pipe.congested()) {
    // Closed, or still owing the replies of earlier turns by the thousand: not answering.
    disconnected_ = disconnected_ || !pipe.isOpen();
    unresponsive_ = true;
    fail(target, field, desktop::kAXErrorCannotComplete);
    return;
  }
  dbus::CallAddress address{channel_.destination, target.path, interface, member};
  std::uint32_t tag = static_cast<std::uint32_t>(field) | index << kFieldBits;
  if (!pipe.call(address, arguments, this, &target, tag)) {
    // Nothing that names a real object fails here: a path the application made up is one.
    fail(target, field, desktop::kAXErrorCannotComplete);
    return;
  }
  ++target.pending;
  ++inFlight_;
}

void AppTree::received(void* subject, std::uint32_t tag, const dbus::MessageView& reply) {
  auto& target = *static_cast<AccessibleNode*>(subject);
  auto field = static_cast<Field>(tag & ((1U << kFieldBits) - 1));
  --inFlight_;
  --target.pending;
  ++replies_;
  if (field == Field::actionName) {
    receiveActionName(target, tag >> kFieldBits, reply);
  } else if (field == Field::property) {
    if (reply.type == dbus::MessageType::error && isTimeout(reply.errorName)) {
      unresponsive_ = true;
    }
    receiveProperty(target, tag >> kFieldBits, reply);
  } else if (reply.type == dbus::MessageType::error) {
    if (isTimeout(reply.errorName)) {
      unresponsive_ = true;
    }
    fail(target, field, axErrorFor(std::string(reply.errorName)));
  } else {
    receive(target, field, reply);
  }
}

void AppTree::fail(AccessibleNode& target, Field field, AXError error) {
  switch (field) {
    case Field::accessible:
      target.accessibleError = error;
      target.childrenError = error;
      break;
    case Field::role:
      target.roleError = error;
      openValueGate(target);
      break;
    case Field::states:
      target.stateError = error;
      openValueGate(target);
      break;
    case Field::interfaces:
      target.interfacesError = error;
      target.extentsError = error;
      target.actionsError = error;
      openValueGate(target);
      break;
    case Field::children:
      target.childrenError = error;
      break;
    case Field::extents:
      target.extentsError = error;
      break;
    case Field::actions:
      target.actionsError = error;
      break;
    case Field::actionName:
      break;  // that action stays without a name
    case Field::textLength:
      if (!std::holds_alternative<std::string>(target.value)) {
        target.valueError = error;  // else the empty text read stands
      }
      break;
    case Field::value:
      target.valueError = error;
      break;
    case Field::bulk:
      break;  // every object is then read one by one
    case Field::property:
      // The group's error is the first that arrives.
      if (!target.propertyMissing) {  // the children have a call of their own
        target.propertyMissing = true;
        target.accessibleError = error;
      }
      break;
  }
}

void AppTree::receive(AccessibleNode& target, Field field, const dbus::MessageView& reply) {
  dbus::WireReader body = reply.body();
  const std::string_view signature = reply.signature;
  switch (field) {
    case Field::accessible:
      if (signature == "a{sv}") {
        receiveAccessible(target, body);
      }
      return;
    case Field::role: {
      std::uint32_t role = 0;
      if (signature == "u" && body.u32(role)) {
        target.role = role;
        target.roleError = desktop::kAXSuccess;
      }
      openValueGate(target);
      return;
    }
    case Field::states: {
      std::uint32_t word = 0;
      std::uint64_t states = 0;
      std::size_t end = 0;
      if (signature == "au" && body.array("u", end)) {
        for (int shift = 0; body.within(end) && body.u32(word); shift += 32) {
          if (shift < 64) {
            states |= static_cast<std::uint64_t>(word) << shift;
          }
        }
        if (body.ok()) {
          target.states = states;
          target.stateError = desktop::kAXSuccess;
        }
      }
      openValueGate(target);
      return;
    }
    case Field::interfaces: {
      std::string_view name;
      std::size_t end = 0;
      std::uint32_t interfaces = 0;
      if (signature == "as" && body.array("s", end)) {
        while (body.within(end) && body.string(name)) {
          interfaces |= interfaceBit(name);
        }
        if (body.ok()) {
          target.interfaces = interfaces;
          target.interfacesError = desktop::kAXSuccess;
        }
      }
      interfacesKnown(target);
      openValueGate(target);
      return;
    }
    case Field::children:
      if (signature == "a(so)") {
        receiveChildren(target, body);
      }
      return;
    case Field::extents: {
      std::int32_t x = 0, y = 0, width = 0, height = 0;
      if (signature == "(iiii)" && body.structure() && body.i32(x) && body.i32(y) &&
          body.i32(width) && body.i32(height)) {
        bool placed = ax::placedExtents(x, y, width, height);
        target.extents = Frame{static_cast<double>(x), static_cast<double>(y),
                               static_cast<double>(width), static_cast<double>(height)};
        target.extentsError = placed ? desktop::kAXSuccess : desktop::kAXErrorNoValue;
      }
      return;
    }
    case Field::actions:
      if (signature == "a(sss)") {
        receiveActions(target, body);
      }
      return;
    case Field::actionName:
      return;  // received() hands names to receiveActionName()
    case Field::textLength: {
      std::string_view contained;
      std::int32_t length = 0;
      if (signature != "v" || !body.variant(contained) || contained != "i" || !body.i32(length)) {
        return;
      }
      if (length > 0) {
        const dbus::Argument range[] = {std::int32_t{0}, std::min(length, kTextLimit)};
        send(target, Field::value, "org.a11y.atspi.Text", "GetText", range);
      } else {
        target.value = std::string();
        target.valueError = desktop::kAXSuccess;
      }
      return;
    }
    case Field::value: {
      std::string_view text, contained;
      double number = 0;
      if (signature == "s" && body.string(text)) {
        target.value = std::string(text);
        target.valueError = desktop::kAXSuccess;
        if (text.empty() && !target.textCounted) {
          askTextLength(target);
        }
      } else if (signature == "v" && body.variant(contained) && contained == "d" &&
                 body.f64(number)) {
        target.value = number;
        target.valueError = desktop::kAXSuccess;
      }
      return;
    }
    case Field::bulk:
      if (signature == "a((so)(so)(so)iiassusau)") {
        receiveBulk(body);
      }
      return;
    case Field::property:
      return;  // received() hands these to receiveProperty()
  }
}

void AppTree::receiveAccessible(AccessibleNode& target, dbus::WireReader body) {
  std::size_t end = 0;
  if (!body.array("{sv}", end)) {
    return;
  }
  std::string_view key, type;
  while (body.within(end) && body.structure() && body.string(key) && body.variant(type)) {
    if (!readProperty(target, key, type, body)) {
      body.skip(type);
    }
  }
  if (body.ok()) {
    target.accessibleError = desktop::kAXSuccess;
    accessibleKnown(target);
  }
}

bool AppTree::readProperty(AccessibleNode& target, std::string_view key, std::string_view type,
                           dbus::WireReader& body) {
  std::string_view text;
  std::string* property = key == "Name"           ? &target.name
                          : key == "Description"  ? &target.description
                          : key == "AccessibleId" ? &target.accessibleID
                                                  : nullptr;
  if (property && type == "s" && body.string(text)) {
    property->assign(text);
  } else if (key == "HelpText" && type == "s" && body.string(text)) {
    target.helpText = std::string(text);
  } else if (key == "ChildCount" && type == "i") {
    body.i32(target.childCount);
  } else if (key == "Parent" && type == "(so)") {
    ObjectRef parent;
    if (!readRef(body, parent)) {
      return false;
    }
    target.parent = std::move(parent);
  } else {
    return false;
  }
  return true;
}

void AppTree::sendProperties(AccessibleNode& target) {
  target.propertiesDue = 0;
  for (std::uint32_t i = 0; i < std::size(kAccessibleProperties); ++i) {
    if (kAccessibleProperties[i] == "Parent" && target.parent) {
      continue;  // known from the walk
    }
    const dbus::Argument arguments[] = {std::string_view(kAccessible), kAccessibleProperties[i]};
    const int before = target.pending;
    send(target, Field::property, kProperties, "Get", arguments, i);
    if (target.pending != before) {
      ++target.propertiesDue;  // else not sent: its failure is recorded already
    }
  }
}

void AppTree::receiveProperty(AccessibleNode& target, std::uint32_t index,
                              const dbus::MessageView& reply) {
  --target.propertiesDue;
  std::string_view type;
  dbus::WireReader body = reply.body();
  const AXError error = reply.type == dbus::MessageType::error
                            ? axErrorFor(std::string(reply.errorName))
                            : desktop::kAXSuccess;
  if (error != desktop::kAXSuccess && error != desktop::kAXErrorAttributeUnsupported) {
    fail(target, Field::property, error);  // a property the toolkit lacks is only left out
  } else if (error == desktop::kAXSuccess && reply.signature == "v" &&
             index < std::size(kAccessibleProperties) && body.variant(type)) {
    // A value of another type is left out, as GetAll's would be.
    readProperty(target, kAccessibleProperties[index], type, body);
  }
  if (target.propertiesDue == 0 && !target.propertyMissing) {
    target.accessibleError = desktop::kAXSuccess;
    accessibleKnown(target);
  }
}

void AppTree::accessibleKnown(AccessibleNode& target) {
  if (qt_) {
    return;  // its children are asked for already
  }
  if (target.childCount == 0) {
    target.childrenError = desktop::kAXSuccess;
  } else {
    send(target, Field::children, kAccessible, "GetChildren");
  }
}

void AppTree::fetchBulk() {
  if (!bulkWanted_) {
    return;
  }
  bulkWanted_ = false;
  bulk_.path = "/org/a11y/atspi/cache";
  send(bulk_, Field::bulk, "org.a11y.atspi.Cache", "GetItems");
  pumpUntil([&] { return bulk_.pending == 0; });
}

void AppTree::receiveBulk(dbus::WireReader body) {
  std::size_t end = 0;
  if (!body.array("((so)(so)(so)iiassusau)", end)) {
    return;
  }
  while (body.within(end) && receiveItem(body)) {
  }
}

bool AppTree::receiveItem(dbus::WireReader& body) {
  ObjectRef self, application, parent;
  std::int32_t index = 0, childCount = 0;
  std::uint32_t interfaces = 0, role = 0, word = 0;
  std::uint64_t states = 0;
  std::string_view text, name, description;
  std::size_t listEnd = 0;
  if (!body.structure() || !readRef(body, self) || !readRef(body, application) ||
      !readRef(body, parent) || !body.i32(index) || !body.i32(childCount) ||
      !body.array("s", listEnd)) {
    return false;
  }
  while (body.within(listEnd) && body.string(text)) {
    interfaces |= interfaceBit(text);
  }
  if (!body.string(name) || !body.u32(role) || !body.string(description) ||
      !body.array("u", listEnd)) {
    return false;
  }
  for (int shift = 0; body.within(listEnd) && body.u32(word); shift += 32) {
    states |= shift < 64 ? static_cast<std::uint64_t>(word) << shift : 0;
  }
  if (!body.ok() || self.bus != busName_ || self.path == kAtspiNullPath) {
    return body.ok();
  }
  AccessibleNode& target = node(self.path);
  if (target.started) {
    return true;  // already being read one by one
  }
  target.prefilled = true;
  target.name.assign(name);
  target.description.assign(description);
  target.role = role;
  target.states = states;
  target.interfaces = interfaces;
  if (parent.path != kAtspiNullPath && !parent.bus.empty()) {
    target.parent = std::move(parent);
  }
  return true;
}

void AppTree::startPrefilled(AccessibleNode& target) {
  target.accessibleError = desktop::kAXSuccess;
  target.roleError = desktop::kAXSuccess;
  target.stateError = desktop::kAXSuccess;
  target.interfacesError = desktop::kAXSuccess;
  // The items' child counts and indexes are not relied on: GTK 4 gives the application a count
  // of 0, and a walk must see the children the object has now.
  send(target, Field::children, kAccessible, "GetChildren");
  interfacesKnown(target);
  target.valueGate = 1;
  openValueGate(target);
}

void AppTree::receiveChildren(AccessibleNode& target, dbus::WireReader body) {
  std::size_t end = 0;
  if (!body.array("(so)", end)) {
    return;
  }
  std::vector<ObjectRef> children;
  ObjectRef child;
  while (body.within(end) && readRef(body, child)) {
    if (child.path != kAtspiNullPath) {
      children.push_back(child);
    }
  }
  if (!body.ok()) {
    return;
  }
  target.children = std::move(children);
  target.childrenError = desktop::kAXSuccess;
  target.childCount = static_cast<std::int32_t>(target.children.size());
  queueChildren(target);
}

void AppTree::queueChildren(AccessibleNode& target) {
  if (!target.key) {
    return;
  }
  // Children join the prefetch queue at their place in the walk.
  for (std::uint32_t i = 0; i < target.children.size(); ++i) {
    const ObjectRef& each = target.children[i];
    if (each.bus != busName_) {
      continue;
    }
    AccessibleNode& childNode = node(each.path);
    if (!childNode.key) {
      childNode.key = *target.key;
      childNode.key->push_back(i);
    }
    if (childNode.started) {
      continue;
    }
    // The toolkit's own answer replaces this. A top-level object is asked for its parent all
    // the same: a popup listed among the application's children may name the item it drops
    // from instead.
    if (!childNode.parent && target.path != kAtspiRootPath) {
      childNode.parent = ObjectRef{busName_, target.path};
    }
    queue_.emplace(*childNode.key, each.path);
  }
}

// GetActions gives the number of actions, but most toolkits give localized names there, and
// some their key bindings (";;") or nothing. GetName answers the name the toolkit acts on, so
// each action's name is asked for by its index, except of Qt, which lists exactly those names.
void AppTree::receiveActions(AccessibleNode& target, dbus::WireReader body) {
  std::string_view name, description, keys;
  std::size_t end = 0;
  std::vector<std::string> listed;
  if (!body.array("(sss)", end)) {
    return;
  }
  while (body.within(end) && body.structure() && body.string(name) && body.string(description) &&
         body.string(keys)) {
    if (listed.size() < kMaxActions) {
      listed.emplace_back(qt_ ? name : std::string_view());
    }
  }
  if (!body.ok()) {
    return;
  }
  target.actions = std::move(listed);
  target.actionsError = desktop::kAXSuccess;
  if (qt_) {
    return;  // named already
  }
  for (std::uint32_t i = 0; i < target.actions.size(); ++i) {
    const dbus::Argument index[] = {static_cast<std::int32_t>(i)};
    send(target, Field::actionName, "org.a11y.atspi.Action", "GetName", index, i);
  }
}

void AppTree::receiveActionName(AccessibleNode& target, std::uint32_t index,
                                const dbus::MessageView& reply) {
  std::string_view name;
  dbus::WireReader body = reply.body();
  if (reply.type == dbus::MessageType::error) {
    if (isTimeout(reply.errorName)) {
      unresponsive_ = true;
    }
    return;
  }
  if (index < target.actions.size() && reply.signature == "s" && body.string(name)) {
    target.actions[index].assign(name);
  }
}

void AppTree::prefetchChildren(const AccessibleNode& parent) {
  for (const ObjectRef& child : parent.children) {
    auto known = nodes_.find(child.path);
    if (child.bus == busName_ && known != nodes_.end() && known->second.key &&
        !known->second.started) {
      queue_.emplace(*known->second.key, child.path);
    }
  }
}

void AppTree::interfacesKnown(AccessibleNode& target) {
  static constexpr dbus::Argument kScreenCoordinates[] = {std::uint32_t{0}};
  if (target.interfaces & kInterfaceComponent) {
    send(target, Field::extents, "org.a11y.atspi.Component", "GetExtents", kScreenCoordinates);
  } else {
    target.extentsError = desktop::kAXErrorAttributeUnsupported;
  }
  if (target.interfaces & kInterfaceAction) {
    send(target, Field::actions, "org.a11y.atspi.Action", "GetActions");
  } else {
    target.actionsError = desktop::kAXSuccess;  // no actions: an empty list
  }
}

void AppTree::openValueGate(AccessibleNode& target) {
  if (--target.valueGate != 0) {
    return;
  }
  if (target.roleError != desktop::kAXSuccess || target.interfacesError != desktop::kAXSuccess) {
    target.valueError = desktop::kAXErrorCannotComplete;
    return;
  }
  static constexpr dbus::Argument kTextRange[] = {std::int32_t{0}, kTextLimit};
  static constexpr dbus::Argument kCurrentValue[] = {std::string_view("org.a11y.atspi.Value"),
                                                     std::string_view("CurrentValue")};
  ax::ValueSource source = ax::valueSource(ax::RoleContext{target.role, target.states, false, {}});
  if (source == ax::ValueSource::text && (target.interfaces & kInterfaceText)) {
    if (qt_) {
      askTextLength(target);  // Qt logs a warning for each range that ends beyond its text
    } else {
      send(target, Field::value, "org.a11y.atspi.Text", "GetText", kTextRange);
    }
  } else if (source == ax::ValueSource::number && (target.interfaces & kInterfaceValue)) {
    send(target, Field::value, "org.freedesktop.DBus.Properties", "Get", kCurrentValue);
  } else {
    // Values that come from states need no call; everything else has none.
    bool fromStates = source == ax::ValueSource::checkState || source == ax::ValueSource::selection;
    target.valueError = fromStates ? desktop::kAXSuccess : desktop::kAXErrorNoValue;
  }
}

// Firefox answers GetText with nothing when the range asked for ends beyond the text, as
// kTextLimit usually does. An empty answer is therefore checked against the text's length and
// the text asked for again within it. Qt is asked for the length first.
void AppTree::askTextLength(AccessibleNode& target) {
  static constexpr dbus::Argument kCharacterCount[] = {std::string_view("org.a11y.atspi.Text"),
                                                       std::string_view("CharacterCount")};
  target.textCounted = true;
  send(target, Field::textLength, "org.freedesktop.DBus.Properties", "Get", kCharacterCount);
}

void AppTree::refill() {
  while (inFlight_ < kMaxInFlight && !queue_.empty() && !disconnected_) {
    auto next = queue_.begin();
    AccessibleNode& queued = node(next->second);
    queue_.erase(next);
    if (!queued.started) {
      start(queued);
    }
  }
}

bool AppTree::flushAll() {
  bool ok = true;
  for (const auto& pipe : channel_.pipes) {
    ok = pipe->flush() && ok;
  }
  return ok;
}

void AppTree::receiveAll(const std::vector<pollfd>* ready) {
  for (std::size_t i = 0; i < channel_.pipes.size(); ++i) {
    bool readable = !ready || ((*ready)[i].revents & ~POLLOUT) != 0;
    if (readable && !channel_.pipes[i]->receive()) {
      disconnected_ = true;
    }
  }
}

void AppTree::waitForReplies(std::chrono::steady_clock::duration left) {
  std::vector<pollfd> watched;
  for (const auto& pipe : channel_.pipes) {
    auto events = static_cast<short>(POLLIN | (pipe->hasUnwritten() ? POLLOUT : 0));
    watched.push_back(pollfd{pipe->fd(), events, 0});
  }
  auto wait = std::chrono::ceil<std::chrono::milliseconds>(left);
  if (::poll(watched.data(), watched.size(), static_cast<int>(wait.count())) > 0) {
    receiveAll(&watched);
  }
}

void AppTree::pumpUntil(const std::function<bool()>& done) {
  auto deadline = std::chrono::steady_clock::now() + timeout_ + 100ms;
  bool flowing = false;  // whether replies came in the last moment
  while (!done() && !unresponsive_ && !disconnected_) {
    refill();
    if (!flushAll()) {
      disconnected_ = true;
      break;
    }
    auto now = std::chrono::steady_clock::now();
    if (now >= deadline) {
      unresponsive_ = true;
      break;
    }
    std::uint64_t before = replies_;
    if (flowing && inFlight_ >= kGatherThreshold) {
      std::this_thread::sleep_for(std::min(kGatherLongest, kGatherPerCall * inFlight_));
      receiveAll(nullptr);
    } else {
      waitForReplies(deadline - now);
    }
    flowing = replies_ != before;
  }
}

dbus::Reply AppTree::call(const std::string& path, const char* interface, const char* member,
                          const dbus::Appender& append) {
  if (unresponsive_ || disconnected_) {
    dbus::Reply reply;
    reply.errorName = "org.freedesktop.DBus.Error.NoReply";
    return reply;
  }
  dbus::Reply reply = dbus::call(channel_.bus.get(), channel_.destinationOrNull(), path.c_str(),
                                 interface, member, timeout_, append);
  if (isTimeout(reply.errorName)) {
    unresponsive_ = true;
  }
  return reply;
}

std::vector<ObjectRef> AppTree::matches(const std::string& path, std::uint64_t states,
                                        std::optional<std::uint32_t> role, std::int32_t count) {
  constexpr std::int32_t kMatchAll = 1;
  constexpr std::int32_t kMatchAny = 2;
  constexpr std::uint32_t kSortCanonical = 1;
  dbus::Reply reply = call(path, "org.a11y.atspi.Collection", "GetMatches", [&](sd_bus_message* m) {
    const std::int32_t stateWords[2] = {static_cast<std::int32_t>(states & 0xFFFFFFFF),
                                        static_cast<std::int32_t>(states >> 32)};
    std::int32_t roleWords[4] = {0, 0, 0, 0};
    if (role && *role < 128) {
      roleWords[*role / 32] = static_cast<std::int32_t>(1U << (*role % 32));
    }
    int status = sd_bus_message_open_container(m, 'r', "aiia{ss}iaiiasib");
    status = status < 0
                 ? status
                 : sd_bus_message_append_array(m, 'i', stateWords, states ? sizeof stateWords : 0);
    status = status < 0 ? status : sd_bus_message_append(m, "i", kMatchAll);
    status = status < 0 ? status : sd_bus_message_append(m, "a{ss}", 0);
    status = status < 0 ? status : sd_bus_message_append(m, "i", kMatchAll);
    status = status < 0
                 ? status
                 : sd_bus_message_append_array(m, 'i', roleWords, role ? sizeof roleWords : 0);
    status = status < 0 ? status : sd_bus_message_append(m, "i", kMatchAny);
    status = status < 0 ? status : sd_bus_message_append(m, "as", 0);
    status = status < 0 ? status : sd_bus_message_append(m, "i", kMatchAll);
    status = status < 0 ? status : sd_bus_message_append(m, "b", 0);
    status = status < 0 ? status : sd_bus_message_close_container(m);
    return status < 0 ? status : sd_bus_message_append(m, "uib", kSortCanonical, count, 1);
  });
  std::vector<ObjectRef> found;
  if (reply.ok() && sd_bus_message_enter_container(reply.message.get(), 'a', "(so)") >= 0) {
    while (std::optional<ObjectRef> ref = readRef(reply.message.get())) {
      found.push_back(std::move(*ref));
    }
  }
  return found;
}

}  // namespace qor::platform
