#include "platform/atspi/atspi_bus.h"

#include <poll.h>

#include <algorithm>
#include <cstdlib>

namespace qor::platform {
namespace {

using namespace std::chrono_literals;

std::shared_ptr<sd_bus> shared(sd_bus* bus) {
  return {sd_bus_ref(bus), sd_bus_unref};
}

constexpr auto kBusCallTimeout = 1s;
// Connections per application for the walk's reads: the toolkit answers one request per
// connection in each turn of its main loop, and four cut its cost per request by about a third
// (more gain little).
constexpr int kPipesPerApplication = 4;
constexpr const char* kA11yBusName = "org.a11y.Bus";
constexpr const char* kA11yBusPath = "/org/a11y/bus";
constexpr const char* kRegistryName = "org.a11y.atspi.Registry";

}  // namespace

AtspiBus::AtspiBus(runtime::EventLoop& loop,
                   std::function<std::optional<std::string>(const std::string&)> rootProperty)
    : loop_(loop), rootProperty_(std::move(rootProperty)) {}

AtspiBus::~AtspiBus() {
  for (auto& [name, peer] : peers_) {
    loop_.unwatchFd(peer->watch);
  }
  for (auto& [name, group] : pipes_) {
    for (WatchedPipe& each : group.pipes) {
      loop_.unwatchFd(each.watch);
    }
  }
  for (auto* connection : {&a11y_, &session_}) {
    if (*connection) {
      loop_.unwatchFd((*connection)->watch);
    }
  }
}

std::unique_ptr<AtspiBus::Connection> AtspiBus::watched(dbus::Bus bus,
                                                        std::function<void()> onClosed) {
  auto connection = std::make_unique<Connection>();
  sd_bus* raw = bus.get();
  connection->bus = std::move(bus);
  int fd = sd_bus_get_fd(raw);
  // Reads whatever arrived (signals, late replies) so that nothing piles up; a closed
  // connection is dropped from a later turn of the loop, never from inside this callback's
  // own connection processing.
  connection->watch = loop_.watchFd(fd, POLLIN, [this, raw, onClosed](short) {
    int status = 0;
    while ((status = sd_bus_process(raw, nullptr)) > 0) {
    }
    if (status < 0 || !sd_bus_is_open(raw)) {
      loop_.post(onClosed);
    }
  });
  return connection;
}

sd_bus* AtspiBus::session() {
  if (!session_ && !sessionTried_) {
    sessionTried_ = true;
    if (dbus::Bus bus = dbus::openSession()) {
      session_ = watched(std::move(bus), [this] {
        if (session_) {
          loop_.unwatchFd(session_->watch);
          session_.reset();
        }
      });
    }
  }
  return session_ ? session_->bus.get() : nullptr;
}

std::optional<std::string> AtspiBus::accessibilityBusAddress() {
  if (const char* address = std::getenv("AT_SPI_BUS_ADDRESS"); address && *address) {
    return std::string(address);
  }
  if (std::optional<std::string> address = rootProperty_("AT_SPI_BUS");
      address && !address->empty()) {
    return address;
  }
  dbus::Reply reply = dbus::call(session(), kA11yBusName, kA11yBusPath, "org.a11y.Bus",
                                 "GetAddress", kBusCallTimeout);
  if (!reply.ok()) {
    return std::nullopt;
  }
  return dbus::readString(reply.message.get());
}

bool AtspiBus::reachable() {
  if (a11y_ && sd_bus_is_open(a11y_->bus.get())) {
    return true;
  }
  auto now = std::chrono::steady_clock::now();
  if (lastAttempt_ && now - *lastAttempt_ < 1s) {
    return false;
  }
  lastAttempt_ = now;
  if (a11y_) {
    loop_.unwatchFd(a11y_->watch);
    a11y_.reset();
    closePipes("");
  }
  std::optional<std::string> address = accessibilityBusAddress();
  if (!address) {
    return false;
  }
  dbus::Bus bus = dbus::connect(*address, dbus::Kind::messageBus);
  if (!bus) {
    return false;
  }
  a11yAddress_ = *address;
  a11y_ = watched(std::move(bus), [this] {
    if (a11y_ && !sd_bus_is_open(a11y_->bus.get())) {
      loop_.unwatchFd(a11y_->watch);
      a11y_.reset();
      closePipes("");
      lastAttempt_.reset();
    }
  });
  return true;
}

std::optional<bool> AtspiBus::accessibilityEnabled() {
  dbus::Reply reply =
      dbus::call(session(), kA11yBusName, kA11yBusPath, "org.freedesktop.DBus.Properties", "Get",
                 kBusCallTimeout, [](sd_bus_message* m) {
                   return sd_bus_message_append(m, "ss", "org.a11y.Status", "IsEnabled");
                 });
  int enabled = 0;
  if (reply.ok() && sd_bus_message_read(reply.message.get(), "v", "b", &enabled) >= 0) {
    lastEnabled_ = enabled != 0;
    return lastEnabled_;
  }
  // No answer in time is not an answer; any other failure (no launcher, no session bus) is.
  bool late = reply.errorName == "org.freedesktop.DBus.Error.Timeout" ||
              reply.errorName == "org.freedesktop.DBus.Error.NoReply";
  if (!late) {
    lastEnabled_.reset();
  }
  return late ? lastEnabled_ : std::nullopt;
}

void AtspiBus::enableAccessibility() {
  dbus::call(session(), kA11yBusName, kA11yBusPath, "org.freedesktop.DBus.Properties", "Set",
             kBusCallTimeout, [](sd_bus_message* m) {
               return sd_bus_message_append(m, "ssv", "org.a11y.Status", "IsEnabled", "b", 1);
             });
}

bool AtspiBus::sessionNameHasOwner(const std::string& name) {
  if (!dbus::isValidWellKnownName(name)) {
    return false;
  }
  dbus::Reply reply =
      dbus::call(session(), "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                 "NameHasOwner", kBusCallTimeout,
                 [&](sd_bus_message* m) { return sd_bus_message_append(m, "s", name.c_str()); });
  int owned = 0;
  return reply.ok() && sd_bus_message_read(reply.message.get(), "b", &owned) >= 0 && owned;
}

std::vector<AtspiApplication> AtspiBus::applications() {
  if (!reachable()) {
    return {};
  }
  sd_bus* bus = a11y_->bus.get();
  dbus::Reply reply = dbus::call(bus, kRegistryName, kAtspiRootPath, "org.a11y.atspi.Accessible",
                                 "GetChildren", kBusCallTimeout);
  std::vector<std::string> names;
  if (reply.ok() && sd_bus_message_enter_container(reply.message.get(), 'a', "(so)") >= 0) {
    const char* name = nullptr;
    const char* path = nullptr;
    while (sd_bus_message_read(reply.message.get(), "(so)", &name, &path) > 0) {
      names.emplace_back(name);
    }
  }
  // Ask for the process ids not known yet all at once. The answers live apart from this
  // frame, owned by the calls, since a reply may come after the wait below gave up.
  struct Answers {
    std::map<std::string, desktop::Pid> pids;
    int outstanding = 0;
  };
  struct Context {
    std::shared_ptr<Answers> answers;
    std::string name;
  };
  auto answers = std::make_shared<Answers>();
  for (const std::string& name : names) {
    if (pids_.count(name)) {
      continue;
    }
    auto* context = new Context{answers, name};
    sd_bus_slot* slot = nullptr;
    int status = sd_bus_call_method_async(
        bus, &slot, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
        "GetConnectionUnixProcessID",
        [](sd_bus_message* m, void* data, sd_bus_error*) {
          auto* asked = static_cast<Context*>(data);
          std::uint32_t pid = 0;
          if (!sd_bus_message_is_method_error(m, nullptr) &&
              sd_bus_message_read(m, "u", &pid) >= 0) {
            asked->answers->pids[asked->name] = static_cast<desktop::Pid>(pid);
          }
          --asked->answers->outstanding;
          return 0;
        },
        context, "s", name.c_str());
    if (status < 0) {
      delete context;
      continue;
    }
    sd_bus_slot_set_destroy_callback(slot, [](void* data) { delete static_cast<Context*>(data); });
    sd_bus_slot_set_floating(slot, 1);
    sd_bus_slot_unref(slot);
    ++answers->outstanding;
  }
  auto deadline = std::chrono::steady_clock::now() + kBusCallTimeout;
  while (answers->outstanding > 0 && std::chrono::steady_clock::now() < deadline) {
    int status = sd_bus_process(bus, nullptr);
    if (status < 0) {
      break;
    }
    if (status == 0) {
      sd_bus_wait(bus, 100'000);
    }
  }
  pids_.insert(answers->pids.begin(), answers->pids.end());
  std::vector<AtspiApplication> apps;
  for (const std::string& name : names) {
    if (auto known = pids_.find(name); known != pids_.end()) {
      apps.push_back(AtspiApplication{name, known->second});
    }
  }
  return apps;
}

std::optional<desktop::Pid> AtspiBus::pidOf(const std::string& busName) {
  auto known = pids_.find(busName);
  if (known == pids_.end()) {
    return std::nullopt;
  }
  return known->second;
}

std::optional<AtspiChannel> AtspiBus::channel(const std::string& busName) {
  if (busName.empty() || !reachable()) {
    return std::nullopt;
  }
  if (auto peer = peers_.find(busName); peer != peers_.end()) {
    if (!sd_bus_is_open(peer->second->bus.get())) {
      forgetPeer(busName);
      return std::nullopt;  // the application went away
    }
    AtspiChannel direct{shared(peer->second->bus.get()), {}, {}};
    direct.pipes = openPipes(busName, peerAddresses_[busName], dbus::CallPipe::Peer::application,
                             kPipesPerApplication);
    if (direct.pipes.empty()) {
      return std::nullopt;
    }
    return direct;
  }
  AtspiChannel viaBus{shared(a11y_->bus.get()), busName, {}};
  auto throughBus = [&]() -> std::optional<AtspiChannel> {
    viaBus.pipes = openPipes("", a11yAddress_, dbus::CallPipe::Peer::messageBus, 1);
    return viaBus.pipes.empty() ? std::nullopt : std::optional<AtspiChannel>(viaBus);
  };
  if (withoutPeer_.count(busName)) {
    return throughBus();
  }
  dbus::Reply reply =
      dbus::call(a11y_->bus.get(), busName.c_str(), kAtspiRootPath, "org.a11y.atspi.Application",
                 "GetApplicationBusAddress", kBusCallTimeout);
  std::optional<std::string> address =
      reply.ok() ? dbus::readString(reply.message.get()) : std::nullopt;
  dbus::Bus bus = address ? dbus::connect(*address, dbus::Kind::peer) : nullptr;
  std::vector<std::shared_ptr<dbus::CallPipe>> pipes;
  if (bus) {
    peerAddresses_[busName] = *address;
    pipes = openPipes(busName, *address, dbus::CallPipe::Peer::application, kPipesPerApplication);
  }
  if (pipes.empty()) {
    peerAddresses_.erase(busName);
    withoutPeer_.insert(busName);
    return throughBus();
  }
  sd_bus* raw = bus.get();
  peers_[busName] = watched(std::move(bus), [this, busName] { forgetPeer(busName); });
  return AtspiChannel{shared(raw), {}, std::move(pipes)};
}

bool AtspiBus::Pipes::open() const {
  return !pipes.empty() && std::all_of(pipes.begin(), pipes.end(),
                                       [](const WatchedPipe& each) { return each.pipe->isOpen(); });
}

std::vector<std::shared_ptr<dbus::CallPipe>> AtspiBus::Pipes::shared() const {
  std::vector<std::shared_ptr<dbus::CallPipe>> all;
  for (const WatchedPipe& each : pipes) {
    all.push_back(each.pipe);
  }
  return all;
}

std::vector<std::shared_ptr<dbus::CallPipe>> AtspiBus::openPipes(const std::string& key,
                                                                 const std::string& address,
                                                                 dbus::CallPipe::Peer peer,
                                                                 int count) {
  if (auto known = pipes_.find(key); known != pipes_.end()) {
    if (known->second.open()) {
      return known->second.shared();
    }
    closePipes(key);  // one broke, or gave up on an application that stopped answering
  }
  Pipes group;
  for (int i = 0; i < count; ++i) {
    std::shared_ptr<dbus::CallPipe> pipe = dbus::CallPipe::connect(
        address, peer, std::chrono::duration_cast<std::chrono::milliseconds>(kBusCallTimeout));
    if (!pipe) {
      break;
    }
    // Late replies (for a walk that has ended) are read and dropped between turns.
    dbus::CallPipe* raw = pipe.get();
    auto watch = loop_.watchFd(raw->fd(), POLLIN, [this, raw, key](short) {
      if (!raw->receive()) {
        loop_.post([this, key, raw] {
          auto known = pipes_.find(key);
          if (known != pipes_.end() &&
              std::any_of(known->second.pipes.begin(), known->second.pipes.end(),
                          [raw](const WatchedPipe& each) { return each.pipe.get() == raw; })) {
            closePipes(key);
          }
        });
      }
    });
    group.pipes.push_back(WatchedPipe{std::move(pipe), watch});
  }
  if (group.pipes.size() != static_cast<std::size_t>(count)) {
    for (WatchedPipe& each : group.pipes) {
      loop_.unwatchFd(each.watch);
    }
    return {};
  }
  std::vector<std::shared_ptr<dbus::CallPipe>> all = group.shared();
  pipes_[key] = std::move(group);
  return all;
}

void AtspiBus::closePipes(const std::string& key) {
  auto group = pipes_.find(key);
  if (group == pipes_.end()) {
    return;
  }
  for (WatchedPipe& each : group->second.pipes) {
    loop_.unwatchFd(each.watch);
  }
  pipes_.erase(group);
}

void AtspiBus::forgetPeer(const std::string& busName) {
  auto peer = peers_.find(busName);
  if (peer != peers_.end()) {
    loop_.unwatchFd(peer->second->watch);
    peers_.erase(peer);
  }
  closePipes(busName);
  peerAddresses_.erase(busName);
}

}  // namespace qor::platform
