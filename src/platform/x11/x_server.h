#pragma once
// The connection to the X server, through XCB: the window manager's client list with the
// properties the backend reads, the active window, activation requests and window images.
// XCB reports a lost server as a broken connection instead of ending the process, so every
// reader here simply finds nothing once the server is gone. Main thread only.

#include <xcb/xcb.h>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/geometry.h"
#include "desktop/desktop.h"

namespace qor::platform {

// The decoration the window manager puts around a client window, in pixels.
struct FrameExtents {
  std::uint32_t left = 0;
  std::uint32_t right = 0;
  std::uint32_t top = 0;
  std::uint32_t bottom = 0;
};

// What a window manager announces about a window's type and state, reduced to what the backend
// decides on.
enum class WindowType {
  normal,
  dialog,
  utility,
  toolbar,
  menu,
  splash,
  dock,
  desktop,
  notification,
  other
};

// One top-level client window with the properties the backend reads. `client` is the client
// area in root coordinates; the frame the window manager draws lies around it.
struct ClientWindow {
  std::uint32_t id = 0;
  bool viewable = false;        // mapped, and so are its ancestors
  bool hidden = false;          // _NET_WM_STATE_HIDDEN (minimised)
  bool onOtherDesktop = false;  // _NET_WM_DESKTOP differs from the current desktop
  bool typed = false;           // the window sets _NET_WM_WINDOW_TYPE
  WindowType type = WindowType::normal;
  Frame client;                     // without the shadow of a client-side decorated window
  FrameExtents shadow;              // _GTK_FRAME_EXTENTS: drawn by the client around `client`
  FrameExtents extents;             // _NET_FRAME_EXTENTS, else measured from the manager's frame
  std::optional<desktop::Pid> pid;  // _NET_WM_PID, only for clients of this machine
  std::optional<std::string> title;
  std::optional<std::string> applicationID;  // _GTK_APPLICATION_ID
  std::optional<std::string> classInstance;  // WM_CLASS, first part
  std::optional<std::string> className;      // WM_CLASS, second part

  bool onScreen() const { return viewable && !hidden && !onOtherDesktop; }
  // The client area grown by its shadow and the window manager's frame: the extents the
  // toolkit gives its window to the accessibility tree.
  Frame frame() const;
};

// The core keyboard mapping as X clients see it: `keysymsPerKeycode` keysyms for every keycode
// from `firstKeycode` on (0 where a column is empty).
struct KeyboardMapping {
  std::uint8_t firstKeycode = 0;
  std::uint8_t keysymsPerKeycode = 0;
  std::vector<std::uint32_t> keysyms;
};

// The layer a window of this type lives on, in the macOS numbering the bridge expects (0 for
// application windows); nothing for desktop windows, which the window list leaves out.
std::optional<std::int64_t> windowLayer(const ClientWindow& window);

class XServer {
 public:
  // Connects to $DISPLAY; null when no X server can be reached.
  static std::unique_ptr<XServer> connect();
  ~XServer();
  XServer(const XServer&) = delete;
  XServer& operator=(const XServer&) = delete;

  bool alive() const;
  int fileDescriptor() const;
  // Reads and drops whatever the server sent (errors of requests without replies, events).
  void drainEvents();

  // Every managed top-level client window, front to back: the window manager's stacking list
  // reversed (or its client list in the root window's stacking order when it keeps no stacking
  // list), or the root window's mapped children when no window manager runs.
  std::vector<ClientWindow> clientWindows();
  // The window the window manager made active (the first value of _NET_ACTIVE_WINDOW, however
  // many it writes); without a running window manager, the top-level window holding the input
  // focus. Nothing while no window is active.
  std::optional<std::uint32_t> activeWindow();
  // Asks the window manager to activate `window` (restoring it if minimised), as a pager does,
  // with the server's current time; without a window manager, raises it and gives it the input
  // focus. Whether it became active is for the caller to look.
  bool requestActivation(std::uint32_t window);
  // Whether the input focus is in `window` or one of its windows (within the same frame).
  bool holdsInputFocus(std::uint32_t window);
  // Whether a window manager runs: _NET_SUPPORTING_WM_CHECK names a window that names itself,
  // so a value left behind by a manager that ended does not count.
  bool windowManagerRunning();
  // The owner of a window (_NET_WM_PID), read alone.
  std::optional<desktop::Pid> windowPid(std::uint32_t window);

  // The core keyboard's mapping, the one clients translate key events with. This connection
  // keeps the default client pointer, so its keyboard is the core keyboard.
  std::optional<KeyboardMapping> keyboardMapping();
  // Gives the keycodes from `firstKeycode` on these keysyms, `keysymsPerKeycode` for each, in
  // one change, and returns once the server has applied it. The server rewrites the root's
  // keyboard layout names (_XKB_RULES_NAMES) on such a change although the layout stays what it
  // was; they are put back, so that whoever reads them still finds the user's layout.
  bool setKeysyms(std::uint8_t firstKeycode, std::uint8_t keysymsPerKeycode,
                  const std::vector<std::uint32_t>& keysyms);
  // How many keyboard mapping changes the server has announced so far (read with the events).
  std::uint64_t keyboardMappingChanges() const { return keyboardMappingChanges_; }

  // How many changes to the foreground the server has announced so far (read with the events):
  // the active window, the window manager's stacking and client lists, the current desktop,
  // and windows mapped, unmapped, restacked or moved at the top level.
  std::uint64_t foregroundChanges() const { return foregroundChanges_; }
  // The window holding the input focus, asked in one round trip after which every event the
  // server sent before answering has been read. Nothing once the server is gone.
  std::optional<std::uint32_t> inputFocus();
  // Whether the input focus `focus` lies in `window` or one of its windows (within the same
  // frame).
  bool focusWithin(std::uint32_t focus, std::uint32_t window);

  // A root-window string property such as AT_SPI_BUS.
  std::optional<std::string> rootStringProperty(const std::string& name);

  // The pixels of `area` (root coordinates, clipped to the screen) as RGBA, `width` x `height`
  // with whatever lies outside the screen left black.
  desktop::Result<desktop::Image> captureArea(const Frame& area, std::uint32_t width,
                                              std::uint32_t height);

 private:
  XServer(xcb_connection_t* connection, int screenNumber);
  xcb_atom_t atom(const char* name);
  // Counts what the backend follows among the events read (keyboard mapping changes).
  void noteEvent(const xcb_generic_event_t* event);
  void internAtoms();
  // Follows the root window's properties and top-level windows (foregroundChanges()).
  void watchRoot();
  std::optional<std::string> rulesNames(xcb_get_property_cookie_t cookie);
  // Bottom to top; `managed` tells whether a window manager supplied the list.
  std::vector<std::uint32_t> stackingOrder(bool& managed);
  // For managed windows whose manager does not write _NET_FRAME_EXTENTS, the extents of the
  // frame the window sits in, as toolkits measure them then.
  void measureFrames(std::vector<ClientWindow>& windows, const std::vector<bool>& unannounced);
  // A root window property of 32-bit values; nothing when it is not set.
  std::optional<std::vector<std::uint32_t>> rootWords(const char* name, xcb_atom_t type);
  std::vector<std::uint32_t> rootChildren();
  // The child of the root window that holds each window (its frame, or itself when it has
  // none); 0 for a window that is gone.
  std::vector<std::uint32_t> topLevelsOf(const std::vector<std::uint32_t>& windows);
  // The first 32-bit value of a property asked for; none when it is unset or the window is gone.
  std::uint32_t firstWord(xcb_get_property_cookie_t cookie);
  // The server's time now, from the PropertyNotify of a change to a window of our own.
  std::optional<std::uint32_t> serverTime();
  std::optional<std::uint32_t> currentDesktop();

  xcb_connection_t* connection_;
  xcb_screen_t* screen_ = nullptr;
  std::map<std::string, xcb_atom_t> atoms_;
  std::string hostName_;
  std::uint64_t keyboardMappingChanges_ = 0;
  std::uint64_t foregroundChanges_ = 0;
  xcb_window_t clockWindow_ = XCB_NONE;  // unmapped, for serverTime()
  xcb_window_t checkWindow_ = XCB_NONE;  // the running window manager's, as last seen
};

}  // namespace qor::platform
