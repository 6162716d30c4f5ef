#pragma once
// The bridge's input on the X server, through a connection of its own: XTest events through the
// core XTEST devices, the same way as every other program that sends input, so the window
// manager handles the focus exactly as for the user's own pointer and keyboard; and the raw
// input events of every device, told apart by the ledger of what the bridge sent
// (input_ledger.h). A lost server makes every call fail quietly. Main thread only.

#include <xcb/xcb.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "core/geometry.h"
#include "platform/x11/input_ledger.h"

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

  // Sending: each queues one XTest event and notes it in the ledger; flush() sends what was
  // queued. False once the connection is gone.
  bool moveTo(Point point);
  bool button(std::uint8_t button, bool press);
  bool key(std::uint8_t keycode, bool press);
  bool flush();
  // Sends what was queued and waits until the server has carried it out (one round trip).
  bool sync();

  // Raw events (motion, button press, key press) of every device. `handler` gets whether the
  // event is one the bridge sent.
  enum class Source { bridge, other };
  void watchRawEvents(std::function<void(Source)> handler);
  void stopWatchingRawEvents();
  // Reads what the server sent and hands raw events to the handler.
  void readEvents();

 private:
  XInput(xcb_connection_t* connection, std::uint8_t inputOpcode);
  void findXTestDevices();
  void selectRawEvents(bool on);
  void handle(xcb_generic_event_t* event);

  xcb_connection_t* connection_;
  xcb_window_t root_ = 0;
  std::uint8_t inputOpcode_ = 0;
  // The slaves that carry XTest events of every client; nothing else can be the bridge's.
  std::uint16_t xtestPointer_ = 0;
  std::uint16_t xtestKeyboard_ = 0;
  InputLedger ledger_;
  std::function<void(Source)> rawHandler_;
};

}  // namespace qor::platform
