// Synthetic input, the user-input monitor and the screen lock of the X11 desktop.
//
// Input goes through the core XTest devices (x_input.h): the pointer really moves to where it
// clicks or scrolls, and keys go to the window the window manager gave the focus, which must be
// the target's active window. Keys and typed characters are pressed and released within the
// key-down event, so that no key or modifier is ever left held; the key-up event sends nothing
// more.

#include <poll.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <utility>
#include <variant>

#include "platform/x11/key_symbols.h"
#include "platform/x11/x11_desktop_impl.h"

namespace qor::platform {

using namespace desktop;

namespace {

// How long bound spare keycodes stay after the last typed character: long enough for a busy
// application to read the key events it has queued with the mapping they were sent with, and
// for the next text of a batch to find its keys still bound.
constexpr auto kSpareKeycodeLinger = std::chrono::seconds(10);
// How long applications get to take up a changed keyboard mapping before the first key that
// needs the change is pressed. Toolkits that keep a keymap of their own read the change from
// their event queue in their own time, and nothing tells when they have; a key pressed before
// is translated with the old mapping, where the spare keycode types nothing or the symbol it
// had before.
constexpr auto kMappingSettle = std::chrono::milliseconds(100);

constexpr std::uint8_t kLeftButton = 1;
constexpr std::uint8_t kRightButton = 3;

}  // namespace

void X11Desktop::startInput() {
  input_ = XInput::connect();
  if (!input_) {
    return;
  }
  inputWatch_ = loop_.watchFd(input_->fileDescriptor(), POLLIN, [this](short) {
    input_->readEvents();
    if (!input_->alive() && inputWatch_) {
      loop_.unwatchFd(*inputWatch_);
      inputWatch_.reset();
    }
  });
}

// Gives the spare keycodes back before the connections close.
void X11Desktop::stopInput() {
  releaseSpareKeycodes();
  if (inputWatch_) {
    loop_.unwatchFd(*inputWatch_);
    inputWatch_.reset();
  }
  input_.reset();
}

PostResult X11Desktop::post(Pid pid, const InputEvent& event) {
  if (!input_) {
    return PostResult::couldNotCreate;
  }
  bool sent = std::visit(
      [&](const auto& concrete) {
        bridgeMarker_ = concrete.marker;
        return send(pid, concrete);
      },
      event);
  return sent ? PostResult::posted : PostResult::couldNotCreate;
}

bool X11Desktop::send(Pid, const MouseEvent& event) {
  bool press = event.type == MouseEventType::leftDown || event.type == MouseEventType::rightDown;
  std::uint8_t button = event.button == MouseButton::right ? kRightButton : kLeftButton;
  if (press) {
    accessibility_.noteClick(event.location);
  }
  return input_->moveTo(event.location) && input_->button(button, press) && input_->flush();
}

bool X11Desktop::send(Pid, const ScrollEvent& event) {
  if (!input_->moveTo(event.location)) {
    return false;
  }
  for (const WheelClicks& clicks : wheelClicks(event.deltaY, event.deltaX)) {
    for (int i = 0; i < clicks.count; ++i) {
      if (!input_->button(clicks.button, true) || !input_->button(clicks.button, false)) {
        return false;
      }
    }
  }
  return input_->flush();
}

bool X11Desktop::send(Pid pid, const KeyEvent& event) {
  if (!event.down) {
    // The key-down already pressed and released everything. After a key that can move the
    // keyboard focus the bridge asks where the focus went, which only the application that has
    // received the key can answer: the server must have sent it on first.
    bool movesFocus = event.text && event.text->find_first_of(u"\t\n\r") != std::u16string::npos;
    return movesFocus ? input_->sync() : input_->alive();
  }
  std::vector<Keysym> keys;
  std::vector<Keysym> modifiers;
  if (event.text) {
    keys = keysymsForText(*event.text);
  } else if (std::optional<Keysym> key = keysymForMacKey(event.keyCode)) {
    keys.push_back(*key);
    modifiers = modifierKeysyms(event.flags);
  } else {
    return false;  // no such key on this keyboard
  }
  // Every key is looked up before the first is pressed, so that a failure sends nothing.
  std::vector<KeyStroke> held;
  std::vector<KeyStroke> strokes;
  if (!lookUpStrokes(modifiers, held) || !lookUpStrokes(keys, strokes)) {
    return false;
  }
  std::optional<KeyStroke> shift;
  for (const KeyStroke& stroke : strokes) {
    if (stroke.shift && !shift) {
      shift = keyboard_.stroke(kShiftL);
      if (!shift) {
        return false;
      }
    }
  }
  if (keyboard_.holdsSpares()) {
    lingerSpareKeycodes();
  }
  return keyboardFocusedOn(pid) && pressKeys(held, strokes, shift) && input_->flush();
}

// The keystroke of each keysym, in order; false when one has none.
bool X11Desktop::lookUpStrokes(const std::vector<Keysym>& keysyms,
                               std::vector<KeyStroke>& strokes) {
  for (Keysym keysym : keysyms) {
    std::optional<KeyStroke> stroke = keyboard_.stroke(keysym);
    if (!stroke) {
      return false;
    }
    strokes.push_back(*stroke);
  }
  return true;
}

// Presses the modifiers, types each stroke (with Shift where it needs it) and releases the
// modifiers in reverse order, releasing what was pressed even when sending fails halfway.
bool X11Desktop::pressKeys(const std::vector<KeyStroke>& modifiers,
                           const std::vector<KeyStroke>& strokes,
                           const std::optional<KeyStroke>& shift) {
  std::vector<std::uint8_t> down;
  bool ok = true;
  auto press = [&](std::uint8_t keycode) {
    ok = ok && input_->key(keycode, true);
    if (ok) {
      down.push_back(keycode);
    }
  };
  auto release = [&](std::uint8_t keycode) {
    ok = input_->key(keycode, false) && ok;
    std::erase(down, keycode);
  };
  for (const KeyStroke& modifier : modifiers) {
    press(modifier.keycode);
  }
  for (const KeyStroke& stroke : strokes) {
    bool addShift =
        stroke.shift && shift && std::find(down.begin(), down.end(), shift->keycode) == down.end();
    if (addShift) {
      press(shift->keycode);
    }
    press(stroke.keycode);
    if (ok) {
      release(stroke.keycode);
    }
    if (addShift && ok) {
      release(shift->keycode);
    }
    if (!ok) {
      break;
    }
  }
  while (!down.empty()) {
    input_->key(down.back(), false);
    down.pop_back();
  }
  return ok;
}

// Keys go wherever the window manager put the keyboard focus, so they are sent only while the
// active window is the target's (the guard has just checked that) and holds the focus. Right
// after foregroundMark() the focus it read is current, and so are the active window and the
// verdict seen under the same foreground: no further round trip.
bool X11Desktop::keyboardFocusedOn(Pid pid) {
  std::optional<std::uint32_t> synced = std::exchange(syncedFocus_, std::nullopt);
  if (!synced) {
    std::optional<std::uint32_t> window = x_->activeWindow();
    return window && ownedBy(*window, pid) && x_->holdsInputFocus(*window);
  }
  if (focusSeen_.changes != x_->foregroundChanges() || focusSeen_.focus != *synced) {
    focusSeen_ = FocusSeen{x_->foregroundChanges(), *synced, x_->activeWindow(), std::nullopt};
  }
  std::optional<std::uint32_t> window = focusSeen_.window;
  if (!window || !ownedBy(*window, pid)) {
    return false;
  }
  if (!focusSeen_.within) {
    focusSeen_.within = x_->focusWithin(*synced, *window);
  }
  return *focusSeen_.within;
}

// A window's owner never changes: typing asks for the owner of the same window only once.
bool X11Desktop::ownedBy(std::uint32_t window, Pid pid) {
  if (activeOwner_.first != window) {
    activeOwner_ = {window, x_->windowPid(window)};
  }
  return activeOwner_.second == pid;
}

// Blocks the loop: only a text with more new symbols than there are spare keycodes comes here
// in the middle of typing. The raw events of the keys sent before are read as they arrive, so
// that the ledger matches them in time.
void X11Desktop::letApplicationsCatchUp() {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + kMappingSettle;
  for (Clock::time_point now = Clock::now(); now < deadline; now = Clock::now()) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now);
    if (!input_ || !input_->alive()) {
      std::this_thread::sleep_for(left);
      continue;
    }
    pollfd readable{input_->fileDescriptor(), POLLIN, 0};
    if (poll(&readable, 1, static_cast<int>(left.count())) > 0) {
      input_->readEvents();
    }
  }
}

std::chrono::milliseconds X11Desktop::prepareTyping(const std::vector<std::u16string>& characters) {
  std::vector<Keysym> keysyms;
  for (const std::u16string& character : characters) {
    for (Keysym keysym : keysymsForText(character)) {
      if (std::find(keysyms.begin(), keysyms.end(), keysym) == keysyms.end()) {
        keysyms.push_back(keysym);
      }
    }
  }
  if (!keyboard_.prepare(keysyms)) {
    return {};
  }
  lingerSpareKeycodes();
  return kMappingSettle;
}

// One round trip to the X server, after which every event it sent before answering has been
// read; the screen saver's signals are read as they came, without asking.
std::optional<std::uint64_t> X11Desktop::foregroundMark() {
  syncedFocus_.reset();
  std::optional<std::uint64_t> lockChanges = screenSaver_.changes();
  std::optional<std::uint32_t> focus = x_->inputFocus();
  if (!lockChanges || !focus) {
    return std::nullopt;
  }
  ForegroundState now{x_->foregroundChanges(), *lockChanges, *focus};
  if (now != markedState_) {
    markedState_ = now;
    ++foregroundMark_;
  }
  syncedFocus_ = focus;
  return foregroundMark_;
}

void X11Desktop::lingerSpareKeycodes() {
  if (restoreTimer_) {
    loop_.cancelTimer(*restoreTimer_);
  }
  restoreTimer_ = loop_.addTimer(loop_.clock().now() + kSpareKeycodeLinger, [this] {
    restoreTimer_.reset();
    keyboard_.restoreSpares();
  });
}

std::optional<MonitorHandle> X11Desktop::addGlobalMonitor(
    std::function<void(const MonitoredEvent&)> handler) {
  if (!input_ || !input_->alive()) {
    return std::nullopt;
  }
  if (monitors_.empty()) {
    input_->watchRawEvents([this](XInput::Source source) { noteRawEvent(source); });
  }
  MonitorHandle handle = nextMonitor_++;
  monitors_.emplace(handle, std::move(handler));
  return handle;
}

// The bridge removes its monitor only at its orderly exit, right before it ends without
// running destructors: the spare keycodes go back with the last monitor.
void X11Desktop::removeMonitor(MonitorHandle handle) {
  monitors_.erase(handle);
  if (monitors_.empty() && input_) {
    input_->stopWatchingRawEvents();
    releaseSpareKeycodes();
  }
}

void X11Desktop::releaseSpareKeycodes() {
  if (restoreTimer_) {
    loop_.cancelTimer(*restoreTimer_);
    restoreTimer_.reset();
  }
  keyboard_.restoreSpares();
}

// Raw events are read wherever the input connection is read, sending included; the handlers
// run afterwards from the loop, as the handlers of a platform monitor do.
void X11Desktop::noteRawEvent(XInput::Source source) {
  MonitoredEvent event;
  if (source == XInput::Source::bridge) {
    event.sourceUserData = bridgeMarker_;
  }
  pendingMonitored_.push_back(event);
  if (pendingMonitored_.size() > 1) {
    return;  // already on its way
  }
  loop_.post([this, alive = std::weak_ptr<bool>(alive_)] {
    if (!alive.lock()) {
      return;
    }
    std::vector<MonitoredEvent> events;
    events.swap(pendingMonitored_);
    for (const MonitoredEvent& monitored : events) {
      auto handlers = monitors_;  // a handler may remove a monitor
      for (auto& [handle, handler] : handlers) {
        handler(monitored);
      }
    }
  });
}

std::optional<bool> X11Desktop::screenLocked() {
  return screenSaver_.locked();
}

}  // namespace qor::platform
