#pragma once
// One application's AT-SPI objects as read during one turn of the main loop, fetched with
// pipelined asynchronous calls through the application's call pipes (call_pipe.h).
//
// Why: the bridge walks a window one element at a time and reads a dozen attributes of each.
// Asked one blocking round trip at a time, that costs the application's wake-up latency per
// attribute (about a millisecond under GTK), thousands of times. AT-SPI's bulk read
// (org.a11y.atspi.Cache.GetItems) is not offered by the GTK 3 bridge of current systems, so the
// tree prefetches instead:
//
// - Asking for any attribute of an object fetches the whole object at once: Properties.GetAll
//   of Accessible (name, description, parent, child count, id, help), GetRole, GetState and
//   GetInterfaces, then, as their replies arrive, GetChildren, Component.GetExtents,
//   Action.GetActions (for the number of actions) and Action.GetName of each (where the toolkit
//   does not list the same names), and the text or value. Only interfaces the object declares
//   are asked (asking others makes GTK print criticals).
// - When an object's children become known they join a queue ordered by their position in a
//   depth-first pre-order walk from the application root (a key of child indexes), and
//   whenever the caller waits for a reply, up to kMaxInFlight calls from the head of
//   that queue keep the pipes full. Since the bridge walks in exactly that order, the objects
//   it asks for next are usually already here.
// - Calls are spread over the application's call pipes and written together; while many are
//   in flight, replies are left to gather for a moment and read together.
// - When the caller asks for an object with key K, queued objects before K are dropped: the
//   walk went past them (depth limit, already visited), so they would be wasted work. What the
//   walk abandons therefore costs at most the calls in flight.
//
// A tree lives for one turn of the main loop (AtspiSnapshot drops it by a posted closure): the
// reads of one synchronous handler, such as a whole observation, share it, and anything later
// reads afresh, as the bridge's validation rules require. An application that lets a call time
// out is marked unresponsive for the rest of the tree's life, so one hung application costs
// one messaging timeout per turn rather than one per attribute.

#include <poll.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <variant>
#include <vector>

#include "core/geometry.h"
#include "desktop/desktop.h"
#include "platform/atspi/atspi_bus.h"
#include "platform/dbus/dbus_wire.h"

namespace qor::platform {

struct ObjectRef {
  std::string bus;
  std::string path;
  friend bool operator==(const ObjectRef&, const ObjectRef&) = default;
};

// AT-SPI interfaces the backend uses, as bits.
enum Interface : std::uint32_t {
  kInterfaceComponent = 1,
  kInterfaceAction = 2,
  kInterfaceText = 4,
  kInterfaceValue = 8,
  kInterfaceEditableText = 16,
  kInterfaceCollection = 32,
};

// What is known of one object. Each group of fields carries the error of the call that fills
// it; kAXErrorCannotComplete until its reply arrives.
struct AccessibleNode {
  using AXError = desktop::AXError;
  std::string path;
  std::optional<std::vector<std::uint32_t>> key;  // position in the pre-order walk
  bool started = false;
  int pending = 0;        // calls in flight for this object
  int valueGate = 3;      // role, states and interfaces must all be in before the value is asked
  int propertiesDue = 0;  // Accessible properties still to come when read one at a time
  bool propertyMissing = false;  // one of those calls failed
  // Filled from the application's bulk read: only the calls it does not answer remain.
  bool prefilled = false;

  AXError accessibleError = desktop::kAXErrorCannotComplete;
  std::string name;
  std::string description;
  std::string accessibleID;
  std::optional<std::string> helpText;
  std::optional<ObjectRef> parent;
  std::int32_t childCount = -1;

  AXError roleError = desktop::kAXErrorCannotComplete;
  std::uint32_t role = 0;
  AXError stateError = desktop::kAXErrorCannotComplete;
  std::uint64_t states = 0;
  AXError interfacesError = desktop::kAXErrorCannotComplete;
  std::uint32_t interfaces = 0;

  AXError extentsError = desktop::kAXErrorCannotComplete;
  Frame extents;
  AXError actionsError = desktop::kAXErrorCannotComplete;
  // The toolkit's names (Action.GetName), in its order; empty where a name could not be read.
  std::vector<std::string> actions;
  AXError childrenError = desktop::kAXErrorCannotComplete;
  std::vector<ObjectRef> children;
  AXError valueError = desktop::kAXErrorCannotComplete;
  std::variant<std::monostate, std::string, double> value;
  bool textCounted = false;  // an empty text was checked against the text's length

  bool complete() const { return started && pending == 0; }
};

class AppTree final : private dbus::CallPipe::Receiver {
 public:
  // Characters of text read for a value: far more than the bridge keeps (10,000 characters),
  // without transferring a whole huge document.
  static constexpr std::int32_t kTextLimit = 100'000;
  static constexpr int kMaxInFlight = 256;

  AppTree(AtspiChannel channel, std::string busName, std::chrono::microseconds timeout);
  ~AppTree();
  AppTree(const AppTree&) = delete;
  AppTree& operator=(const AppTree&) = delete;

  const std::string& busName() const { return busName_; }
  // Reads the way Qt 5 must be read, with as few calls as its conventions allow (it offers no
  // direct connection, so each call and its reply also cost the bus daemon a routing):
  // - an object's Accessible properties with one Properties.Get each: Qt 5 ends the whole
  //   application when asked GetAll, since its adaptor reads a property name GetAll lacks;
  // - action names from Action.GetActions, without a GetName each: Qt lists there the same
  //   names GetName answers (only the descriptions are localized);
  // - the children at once, rather than their count first and then them;
  // - Parent only of objects not reached through their parent's children.
  void readLikeQt() { qt_ = true; }
  // Starts with one Cache.GetItems, which answers the name, description, role, states,
  // interfaces, parent and child count of every object the toolkit has exported, in one message
  // (GTK 4 offers it; its list holds the objects a reader has asked for before).
  void readInBulk() { bulkWanted_ = true; }
  // How long each call may wait for its reply; applies to calls sent from now on.
  void setTimeout(std::chrono::microseconds timeout);
  // The object at `path`, fetched completely (or as far as the application answered).
  const AccessibleNode& demand(const std::string& path);
  // Fetches all of `paths` at once, without the walk-order bookkeeping of demand(): for
  // searches that go breadth first.
  void fetchAll(const std::vector<std::string>& paths);
  const AccessibleNode& fetch(const std::string& path);
  bool unresponsive() const { return unresponsive_; }
  // Queues the children of a fetched object that are not fetched yet, ahead of everything
  // after them: the caller is about to visit them.
  void prefetchChildren(const AccessibleNode& parent);

  // A blocking call to one object that bypasses the cache (actions, writes, searches).
  dbus::Reply call(const std::string& path, const char* interface, const char* member,
                   const dbus::Appender& append = {});
  // Collection.GetMatches below `path`: the first `count` objects (pre-order) that have all of
  // `states` and, when `role` is given, that role.
  std::vector<ObjectRef> matches(const std::string& path, std::uint64_t states,
                                 std::optional<std::uint32_t> role, std::int32_t count);

 private:
  // A reply's tag is its field in the low bits, and above them the index of the action or
  // Accessible property it asked for.
  enum class Field {
    accessible,
    role,
    states,
    interfaces,
    children,
    extents,
    actions,
    actionName,
    value,
    textLength,
    bulk,
    property
  };

  AccessibleNode& node(const std::string& path);
  void start(AccessibleNode& node);
  // `index` travels with the call and comes back with its reply (the action a name is for).
  void send(AccessibleNode& node, Field field, const char* interface, const char* member,
            std::span<const dbus::Argument> arguments = {}, std::uint32_t index = 0);
  void received(void* subject, std::uint32_t tag, const dbus::MessageView& reply) override;
  void receive(AccessibleNode& node, Field field, const dbus::MessageView& reply);
  void receiveAccessible(AccessibleNode& node, dbus::WireReader body);
  // One property of Accessible, `type` being its variant's signature; false when not understood.
  bool readProperty(AccessibleNode& node, std::string_view key, std::string_view type,
                    dbus::WireReader& body);
  void sendProperties(AccessibleNode& node);
  void receiveProperty(AccessibleNode& node, std::uint32_t index, const dbus::MessageView& reply);
  void accessibleKnown(AccessibleNode& node);
  void fetchBulk();
  void receiveBulk(dbus::WireReader body);
  // One item of GetItems into its node; false when the item cannot be read.
  bool receiveItem(dbus::WireReader& body);
  void startPrefilled(AccessibleNode& node);
  void queueChildren(AccessibleNode& node);
  void receiveChildren(AccessibleNode& node, dbus::WireReader body);
  void receiveActions(AccessibleNode& node, dbus::WireReader body);
  void receiveActionName(AccessibleNode& node, std::uint32_t index, const dbus::MessageView& reply);
  void interfacesKnown(AccessibleNode& node);
  void askTextLength(AccessibleNode& node);
  void openValueGate(AccessibleNode& node);
  void fail(AccessibleNode& node, Field field, desktop::AXError error);
  void refill();
  bool flushAll();
  // Reads every pipe, or those `ready` marks readable.
  void receiveAll(const std::vector<pollfd>* ready);
  void waitForReplies(std::chrono::steady_clock::duration left);
  void pumpUntil(const std::function<bool()>& done);

  AtspiChannel channel_;
  std::string busName_;
  std::chrono::microseconds timeout_;
  std::unordered_map<std::string, AccessibleNode> nodes_;
  std::map<std::vector<std::uint32_t>, std::string> queue_;
  std::uint32_t detachedKeys_ = 0;
  std::size_t nextPipe_ = 0;
  int inFlight_ = 0;
  std::uint64_t replies_ = 0;
  bool unresponsive_ = false;
  bool disconnected_ = false;
  bool qt_ = false;
  bool bulkWanted_ = false;
  AccessibleNode bulk_;  // the subject of the GetItems call
};

// Maps a D-Bus error name to the Accessibility error the bridge understands.
desktop::AXError axErrorFor(const std::string& dbusError);

}  // namespace qor::platform
