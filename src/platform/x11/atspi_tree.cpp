#include "platform/x11/atspi_tree.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "platform/x11/ax_mapping.h"

namespace qor::platform {
namespace {

using desktop::AXError;
using namespace std::chrono_literals;

constexpr const char* kAccessible = "org.a11y.atspi.Accessible";

std::uint32_t interfaceBit(const char* name) {
  static constexpr std::pair<const char*, std::uint32_t> kInterfaces[] = {
      {"org.a11y.atspi.Component", kInterfaceComponent},
      {"org.a11y.atspi.Action", kInterfaceAction},
      {"org.a11y.atspi.Text", kInterfaceText},
      {"org.a11y.atspi.Value", kInterfaceValue},
      {"org.a11y.atspi.EditableText", kInterfaceEditableText},
      {"org.a11y.atspi.Collection", kInterfaceCollection},
  };
  for (const auto& [interface, bit] : kInterfaces) {
    if (std::strcmp(interface, name) == 0) {
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

struct AppTree::CallContext {
  std::weak_ptr<AppTree> tree;
  AccessibleNode* node;
  Field field;
};

AppTree::AppTree(AtspiChannel channel, std::string busName, std::chrono::microseconds timeout)
    : channel_(std::move(channel)), busName_(std::move(busName)), timeout_(timeout) {}

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
  target.started = true;
  send(target, Field::accessible, "org.freedesktop.DBus.Properties", "GetAll",
       [](sd_bus_message* m) { return sd_bus_message_append(m, "s", kAccessible); });
  send(target, Field::role, kAccessible, "GetRole");
  send(target, Field::states, kAccessible, "GetState");
  send(target, Field::interfaces, kAccessible, "GetInterfaces");
}

void AppTree::send(AccessibleNode& target, Field field, const char* interface, const char* member,
                   const dbus::Appender& append) {
  if (disconnected_) {
    fail(target, field, desktop::kAXErrorCannotComplete);
    return;
  }
  sd_bus* bus = channel_.bus.get();
  sd_bus_message* raw = nullptr;
  if (sd_bus_message_new_method_call(bus, &raw, channel_.destinationOrNull(), target.path.c_str(),
                                     interface, member) < 0) {
    disconnected_ = true;
    fail(target, field, desktop::kAXErrorCannotComplete);
    return;
  }
  dbus::Message request(raw);
  if (append && append(raw) < 0) {
    fail(target, field, desktop::kAXErrorIllegalArgument);
    return;
  }
  auto* context = new CallContext{weak_from_this(), &target, field};
  sd_bus_slot* slot = nullptr;
  if (sd_bus_call_async(bus, &slot, raw, &AppTree::onReply, context,
                        static_cast<std::uint64_t>(timeout_.count())) < 0) {
    delete context;
    disconnected_ = true;
    fail(target, field, desktop::kAXErrorCannotComplete);
    return;
  }
  // The bus owns the slot from here on and frees the context with it, whether the reply comes,
  // times out or the connection closes first.
  sd_bus_slot_set_destroy_callback(slot,
                                   [](void* data) { delete static_cast<CallContext*>(data); });
  sd_bus_slot_set_floating(slot, 1);
  sd_bus_slot_unref(slot);
  ++target.pending;
  ++inFlight_;
}

int AppTree::onReply(sd_bus_message* message, void* userdata, sd_bus_error*) {
  auto* context = static_cast<CallContext*>(userdata);
  std::shared_ptr<AppTree> tree = context->tree.lock();
  if (!tree) {
    return 0;  // a reply for a turn that is over
  }
  --tree->inFlight_;
  --context->node->pending;
  if (sd_bus_message_is_method_error(message, nullptr)) {
    const sd_bus_error* error = sd_bus_message_get_error(message);
    std::string name = error && error->name ? error->name : "";
    if (name == "org.freedesktop.DBus.Error.NoReply" ||
        name == "org.freedesktop.DBus.Error.Timeout" ||
        name == "org.freedesktop.DBus.Error.TimedOut") {
      tree->unresponsive_ = true;
    }
    tree->fail(*context->node, context->field, axErrorFor(name));
  } else {
    tree->receive(*context->node, context->field, message);
  }
  return 0;
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
    case Field::value:
      target.valueError = error;
      break;
  }
}

void AppTree::receive(AccessibleNode& target, Field field, sd_bus_message* message) {
  switch (field) {
    case Field::accessible:
      receiveAccessible(target, message);
      return;
    case Field::role: {
      std::uint32_t role = 0;
      if (sd_bus_message_read(message, "u", &role) >= 0) {
        target.role = role;
        target.roleError = desktop::kAXSuccess;
      }
      openValueGate(target);
      return;
    }
    case Field::states: {
      std::uint32_t word = 0;
      std::uint64_t states = 0;
      if (sd_bus_message_enter_container(message, 'a', "u") >= 0) {
        for (int shift = 0; shift < 64 && sd_bus_message_read(message, "u", &word) > 0;
             shift += 32) {
          states |= static_cast<std::uint64_t>(word) << shift;
        }
        target.states = states;
        target.stateError = desktop::kAXSuccess;
      }
      openValueGate(target);
      return;
    }
    case Field::interfaces: {
      const char* name = nullptr;
      if (sd_bus_message_enter_container(message, 'a', "s") >= 0) {
        while (sd_bus_message_read(message, "s", &name) > 0) {
          target.interfaces |= interfaceBit(name);
        }
        target.interfacesError = desktop::kAXSuccess;
      }
      interfacesKnown(target);
      openValueGate(target);
      return;
    }
    case Field::children:
      receiveChildren(target, message);
      return;
    case Field::extents: {
      std::int32_t x = 0, y = 0, width = 0, height = 0;
      if (sd_bus_message_read(message, "(iiii)", &x, &y, &width, &height) >= 0) {
        // GTK places what is not on screen (closed menus, hidden scroll bars) at INT_MIN.
        bool placed = x != INT32_MIN && y != INT32_MIN;
        target.extents = Frame{static_cast<double>(x), static_cast<double>(y),
                               static_cast<double>(width), static_cast<double>(height)};
        target.extentsError = placed ? desktop::kAXSuccess : desktop::kAXErrorNoValue;
      }
      return;
    }
    case Field::actions: {
      const char *name = nullptr, *description = nullptr, *keys = nullptr;
      if (sd_bus_message_enter_container(message, 'a', "(sss)") >= 0) {
        while (sd_bus_message_read(message, "(sss)", &name, &description, &keys) > 0) {
          target.actions.emplace_back(name);
        }
        target.actionsError = desktop::kAXSuccess;
      }
      return;
    }
    case Field::value: {
      const char* text = nullptr;
      double number = 0;
      const char* signature = sd_bus_message_get_signature(message, 1);
      if (signature && std::strcmp(signature, "s") == 0 &&
          sd_bus_message_read(message, "s", &text) > 0) {
        target.value = std::string(text);
        target.valueError = desktop::kAXSuccess;
      } else if (sd_bus_message_read(message, "v", "d", &number) > 0) {
        target.value = number;
        target.valueError = desktop::kAXSuccess;
      }
      return;
    }
  }
}

void AppTree::receiveAccessible(AccessibleNode& target, sd_bus_message* message) {
  if (sd_bus_message_enter_container(message, 'a', "{sv}") < 0) {
    return;
  }
  while (sd_bus_message_enter_container(message, 'e', "sv") > 0) {
    const char* key = nullptr;
    sd_bus_message_read(message, "s", &key);
    std::string property = key ? key : "";
    const char* text = nullptr;
    if (property == "Name" || property == "Description" || property == "AccessibleId" ||
        property == "HelpText") {
      if (sd_bus_message_read(message, "v", "s", &text) > 0) {
        std::string value = text ? text : "";
        if (property == "Name") {
          target.name = value;
        } else if (property == "Description") {
          target.description = value;
        } else if (property == "AccessibleId") {
          target.accessibleID = value;
        } else {
          target.helpText = value;
        }
      }
    } else if (property == "ChildCount") {
      sd_bus_message_read(message, "v", "i", &target.childCount);
    } else if (property == "Parent") {
      if (sd_bus_message_enter_container(message, 'v', "(so)") > 0) {
        target.parent = readRef(message);
        sd_bus_message_exit_container(message);
      }
    } else {
      sd_bus_message_skip(message, "v");
    }
    sd_bus_message_exit_container(message);
  }
  target.accessibleError = desktop::kAXSuccess;
  if (target.childCount == 0) {
    target.childrenError = desktop::kAXSuccess;
  } else {
    send(target, Field::children, kAccessible, "GetChildren");
  }
}

void AppTree::receiveChildren(AccessibleNode& target, sd_bus_message* message) {
  if (sd_bus_message_enter_container(message, 'a', "(so)") < 0) {
    return;
  }
  while (std::optional<ObjectRef> child = readRef(message)) {
    if (child->path != kAtspiNullPath) {
      target.children.push_back(std::move(*child));
    }
  }
  target.childrenError = desktop::kAXSuccess;
  if (!target.key) {
    return;
  }
  // Children join the prefetch queue at their place in the walk.
  for (std::uint32_t i = 0; i < target.children.size(); ++i) {
    const ObjectRef& child = target.children[i];
    if (child.bus != busName_) {
      continue;
    }
    AccessibleNode& childNode = node(child.path);
    if (!childNode.key) {
      childNode.key = *target.key;
      childNode.key->push_back(i);
    }
    if (!childNode.started) {
      queue_.emplace(*childNode.key, child.path);
    }
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
  if (target.interfaces & kInterfaceComponent) {
    send(target, Field::extents, "org.a11y.atspi.Component", "GetExtents",
         [](sd_bus_message* m) { return sd_bus_message_append(m, "u", 0U); });  // screen
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
  ax::ValueSource source = ax::valueSource(ax::RoleContext{target.role, target.states, false, {}});
  if (source == ax::ValueSource::text && (target.interfaces & kInterfaceText)) {
    send(target, Field::value, "org.a11y.atspi.Text", "GetText",
         [](sd_bus_message* m) { return sd_bus_message_append(m, "ii", 0, kTextLimit); });
  } else if (source == ax::ValueSource::number && (target.interfaces & kInterfaceValue)) {
    send(target, Field::value, "org.freedesktop.DBus.Properties", "Get", [](sd_bus_message* m) {
      return sd_bus_message_append(m, "ss", "org.a11y.atspi.Value", "CurrentValue");
    });
  } else {
    // Values that come from states need no call; everything else has none.
    bool fromStates = source == ax::ValueSource::checkState || source == ax::ValueSource::selection;
    target.valueError = fromStates ? desktop::kAXSuccess : desktop::kAXErrorNoValue;
  }
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

void AppTree::pumpUntil(const std::function<bool()>& done) {
  sd_bus* bus = channel_.bus.get();
  auto deadline = std::chrono::steady_clock::now() + timeout_ + 100ms;
  while (!done() && !unresponsive_ && !disconnected_) {
    refill();
    int status = sd_bus_process(bus, nullptr);
    if (status < 0) {
      disconnected_ = true;
      break;
    }
    if (status > 0) {
      continue;
    }
    auto now = std::chrono::steady_clock::now();
    if (now >= deadline) {
      unresponsive_ = true;
      break;
    }
    auto wait = std::chrono::duration_cast<std::chrono::microseconds>(deadline - now);
    sd_bus_wait(bus, static_cast<std::uint64_t>(wait.count()));
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
  if (reply.errorName == "org.freedesktop.DBus.Error.NoReply") {
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
