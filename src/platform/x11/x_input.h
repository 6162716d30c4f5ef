#pragma once
// The bridge's own input devices on the X server, through a connection of their own: a master
// pointer and keyboard pair (XInput 2) whose XTEST slave devices carry every event the bridge
// sends (XTest), and the raw input events of all devices, which tell the bridge's own events
// (from its slaves) from everyone else's, xdotool's included.
//
// The pair has its own cursor and keyboard focus, so sending input never moves the user's
// pointer or takes the user's keyboard focus. It is created on first use and removed again by
// removeDevices() or when this object goes. A lost server makes every call fail quietly. Main
// thread only.

#include <xcb/xcb.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "core/geometry.h"

namespace qor::platform {

class XInput {
 public:
  // Connects to $DISPLAY; null when there is no server or it lacks XTest or XInput 2.2.
  static std::unique_ptr<XInput> connect();
  ~XInput();
  XInput(const XInput&) = delete;
  XInput& operator=(const XInput&) = delete;

  bool alive() const;
  int fileDescriptor() const;

  // Sending. Each creates the device pair first if needed and fails when it cannot be had or
  // the connection is gone; flush() sends what was queued.
  bool moveTo(Point point);
  bool button(std::uint8_t button, bool press);
  bool key(std::uint8_t keycode, bool press);
  // The window that the bridge's keyboard types into.
  bool focus(std::uint32_t window);
  bool flush();
  // Removes the device pair now (the next sending makes it again) and waits until the server
  // has done so.
  void removeDevices();

  // Raw events (motion, button press, key press) of every device. `handler` gets whether the
  // event came from the bridge's own devices.
  enum class Source { bridge, other };
  void watchRawEvents(std::function<void(Source)> handler);
  void stopWatchingRawEvents();
  // Reads what the server sent and hands raw events to the handler.
  void readEvents();

 private:
  XInput(xcb_connection_t* connection, std::uint8_t inputOpcode);
  bool ensureDevices();
  bool findDevices();
  void removeStaleMasters();
  void removeMaster(std::uint16_t pointer);
  void selectRawEvents(bool on);
  void handle(xcb_generic_event_t* event);

  xcb_connection_t* connection_;
  xcb_window_t root_ = 0;
  std::uint8_t inputOpcode_ = 0;
  std::optional<std::uint16_t> masterPointer_;
  std::optional<std::uint16_t> masterKeyboard_;
  std::uint16_t slavePointer_ = 0;
  std::uint16_t slaveKeyboard_ = 0;
  std::function<void(Source)> rawHandler_;
  bool deviceFailed_ = false;
};

}  // namespace qor::platform
