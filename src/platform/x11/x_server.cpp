#include "platform/x11/x_server.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>

#include "platform/x11/xcb_reply.h"

namespace qor::platform {
namespace {

constexpr std::uint32_t kAllDesktops = 0xFFFFFFFF;
constexpr std::uint32_t kLongPropertyLength = 65536;  // in 32-bit units

constexpr std::array kAtomNames = {"_NET_CLIENT_LIST_STACKING",
                                   "_NET_ACTIVE_WINDOW",
                                   "_NET_WM_PID",
                                   "_NET_WM_NAME",
                                   "UTF8_STRING",
                                   "_NET_WM_WINDOW_TYPE",
                                   "_NET_WM_WINDOW_TYPE_NORMAL",
                                   "_NET_WM_WINDOW_TYPE_DIALOG",
                                   "_NET_WM_WINDOW_TYPE_UTILITY",
                                   "_NET_WM_WINDOW_TYPE_TOOLBAR",
                                   "_NET_WM_WINDOW_TYPE_MENU",
                                   "_NET_WM_WINDOW_TYPE_SPLASH",
                                   "_NET_WM_WINDOW_TYPE_DOCK",
                                   "_NET_WM_WINDOW_TYPE_DESKTOP",
                                   "_NET_WM_WINDOW_TYPE_NOTIFICATION",
                                   "_NET_WM_STATE",
                                   "_NET_WM_STATE_HIDDEN",
                                   "_NET_FRAME_EXTENTS",
                                   "_GTK_APPLICATION_ID",
                                   "_NET_WM_DESKTOP",
                                   "_NET_CURRENT_DESKTOP",
                                   "_NET_SUPPORTING_WM_CHECK",
                                   "_NET_CLIENT_LIST",
                                   "_GTK_FRAME_EXTENTS",
                                   "AT_SPI_BUS"};

// Latin-1 (the encoding of STRING properties) to UTF-8.
std::string latin1ToUtf8(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

std::string untilNul(const std::string& text) {
  return text.substr(0, text.find('\0'));
}

using PropertyReply = ReplyPtr<xcb_get_property_reply_t>;

// The properties clientWindows reads of every window, each under its own name: first the
// requests, then their replies.
template <class T>
struct WindowProperties {
  T pid;            // _NET_WM_PID
  T windowType;     // _NET_WM_WINDOW_TYPE
  T state;          // _NET_WM_STATE
  T name;           // _NET_WM_NAME
  T legacyName;     // WM_NAME
  T frameExtents;   // _NET_FRAME_EXTENTS
  T applicationID;  // _GTK_APPLICATION_ID
  T wmClass;        // WM_CLASS
  T desktop;        // _NET_WM_DESKTOP
  T clientMachine;  // WM_CLIENT_MACHINE
  T shadow;         // _GTK_FRAME_EXTENTS

  // The same properties with `convert` applied to each (a request to its reply).
  template <class Convert>
  auto transform(Convert convert) const {
    return WindowProperties<decltype(convert(pid))>{
        .pid = convert(pid),
        .windowType = convert(windowType),
        .state = convert(state),
        .name = convert(name),
        .legacyName = convert(legacyName),
        .frameExtents = convert(frameExtents),
        .applicationID = convert(applicationID),
        .wmClass = convert(wmClass),
        .desktop = convert(desktop),
        .clientMachine = convert(clientMachine),
        .shadow = convert(shadow),
    };
  }
};

// A client-side decorated window (GTK under a compositing manager) draws its shadow inside the
// X window and names its width in _GTK_FRAME_EXTENTS; the window itself is what lies within.
FrameExtents shadowOf(const Frame& window, const std::vector<std::uint32_t>& shadow) {
  if (shadow.size() != 4 || shadow[0] + shadow[1] >= window.width ||
      shadow[2] + shadow[3] >= window.height) {
    return {};  // nothing would be left: not a shadow
  }
  return FrameExtents{shadow[0], shadow[1], shadow[2], shadow[3]};
}

Frame shrunk(const Frame& frame, const FrameExtents& by) {
  return Frame{frame.x + by.left, frame.y + by.top, frame.width - by.left - by.right,
               frame.height - by.top - by.bottom};
}

Frame grown(const Frame& frame, const FrameExtents& by) {
  return Frame{frame.x - by.left, frame.y - by.top, frame.width + by.left + by.right,
               frame.height + by.top + by.bottom};
}

}  // namespace

Frame ClientWindow::frame() const {
  return grown(grown(client, shadow), extents);
}

std::optional<std::int64_t> windowLayer(const ClientWindow& window) {
  switch (window.type) {
    case WindowType::normal:
    case WindowType::dialog:
      return 0;
    case WindowType::utility:
    case WindowType::toolbar:
    case WindowType::menu:
      return 3;  // floating panels
    case WindowType::dock:
      return 20;
    case WindowType::splash:
    case WindowType::notification:
      return 25;
    case WindowType::other:
      return 8;
    case WindowType::desktop:
      return std::nullopt;
  }
  return std::nullopt;
}

std::unique_ptr<XServer> XServer::connect() {
  int screenNumber = 0;
  xcb_connection_t* connection = xcb_connect(nullptr, &screenNumber);
  if (!connection) {
    return nullptr;
  }
  if (xcb_connection_has_error(connection)) {
    xcb_disconnect(connection);
    return nullptr;
  }
  return std::unique_ptr<XServer>(new XServer(connection, screenNumber));
}

XServer::XServer(xcb_connection_t* connection, int screenNumber) : connection_(connection) {
  xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(connection_));
  for (int i = 0; screens.rem; ++i, xcb_screen_next(&screens)) {
    if (i == screenNumber || !screen_) {
      screen_ = screens.data;
    }
  }
  std::array<char, 256> host{};
  if (gethostname(host.data(), host.size() - 1) == 0) {
    hostName_ = host.data();
  }
  internAtoms();
  watchRoot();
}

XServer::~XServer() {
  xcb_disconnect(connection_);
}

bool XServer::alive() const {
  return screen_ && !xcb_connection_has_error(connection_);
}

int XServer::fileDescriptor() const {
  return xcb_get_file_descriptor(connection_);
}

void XServer::drainEvents() {
  while (xcb_generic_event_t* event = xcb_poll_for_event(connection_)) {
    noteEvent(event);
    std::free(event);
  }
}

void XServer::noteEvent(const xcb_generic_event_t* event) {
  switch (event->response_type & 0x7f) {
    case XCB_MAPPING_NOTIFY:
      if (reinterpret_cast<const xcb_mapping_notify_event_t*>(event)->request ==
          XCB_MAPPING_KEYBOARD) {
        ++keyboardMappingChanges_;
      }
      break;
    case XCB_PROPERTY_NOTIFY: {
      const auto* property = reinterpret_cast<const xcb_property_notify_event_t*>(event);
      const std::array followed = {atom("_NET_ACTIVE_WINDOW"), atom("_NET_CLIENT_LIST_STACKING"),
                                   atom("_NET_CLIENT_LIST"), atom("_NET_CURRENT_DESKTOP"),
                                   atom("_NET_SUPPORTING_WM_CHECK")};
      if (property->window == screen_->root &&
          std::find(followed.begin(), followed.end(), property->atom) != followed.end()) {
        ++foregroundChanges_;
      }
      break;
    }
    // The root window's children: top-level windows, or the frames a window manager puts
    // them in.
    case XCB_CREATE_NOTIFY:
    case XCB_DESTROY_NOTIFY:
    case XCB_MAP_NOTIFY:
    case XCB_UNMAP_NOTIFY:
    case XCB_REPARENT_NOTIFY:
    case XCB_CONFIGURE_NOTIFY:
    case XCB_CIRCULATE_NOTIFY:
      ++foregroundChanges_;
      break;
    default:
      break;
  }
}

void XServer::watchRoot() {
  if (!screen_) {
    return;
  }
  const char* rules = "_XKB_RULES_NAMES";
  ReplyPtr<xcb_intern_atom_reply_t> interned(xcb_intern_atom_reply(
      connection_,
      xcb_intern_atom(connection_, 0, static_cast<std::uint16_t>(std::strlen(rules)), rules),
      nullptr));
  atoms_[rules] = interned ? interned->atom : XCB_NONE;
  const std::uint32_t events = XCB_EVENT_MASK_PROPERTY_CHANGE | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
  xcb_change_window_attributes(connection_, screen_->root, XCB_CW_EVENT_MASK, &events);
  xcb_flush(connection_);
}

std::optional<std::uint32_t> XServer::inputFocus() {
  if (!alive()) {
    return std::nullopt;
  }
  ReplyPtr<xcb_get_input_focus_reply_t> focus(
      xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr));
  drainEvents();
  if (!focus) {
    return std::nullopt;
  }
  return focus->focus;
}

bool XServer::focusWithin(std::uint32_t focus, std::uint32_t window) {
  if (focus == XCB_NONE || focus == XCB_INPUT_FOCUS_POINTER_ROOT) {
    return false;
  }
  if (focus == window) {
    return true;
  }
  std::vector<std::uint32_t> tops = topLevelsOf({focus, window});
  return tops[0] != 0 && tops[0] == tops[1];
}

void XServer::internAtoms() {
  std::vector<xcb_intern_atom_cookie_t> cookies;
  for (const char* name : kAtomNames) {
    cookies.push_back(
        xcb_intern_atom(connection_, 0, static_cast<std::uint16_t>(std::strlen(name)), name));
  }
  for (std::size_t i = 0; i < cookies.size(); ++i) {
    ReplyPtr<xcb_intern_atom_reply_t> reply(
        xcb_intern_atom_reply(connection_, cookies[i], nullptr));
    atoms_[kAtomNames[i]] = reply ? reply->atom : XCB_NONE;
  }
}

xcb_atom_t XServer::atom(const char* name) {
  auto found = atoms_.find(name);
  return found == atoms_.end() ? XCB_NONE : found->second;
}

std::optional<std::uint32_t> XServer::currentDesktop() {
  ReplyPtr<xcb_get_property_reply_t> reply(xcb_get_property_reply(
      connection_,
      xcb_get_property(connection_, 0, screen_->root, atom("_NET_CURRENT_DESKTOP"),
                       XCB_ATOM_CARDINAL, 0, 1),
      nullptr));
  std::vector<std::uint32_t> words = propertyWords(reply.get());
  if (words.empty()) {
    return std::nullopt;
  }
  return words.front();
}

std::vector<ClientWindow> XServer::clientWindows() {
  bool managed = false;
  std::vector<std::uint32_t> order = stackingOrder(managed);
  if (order.empty()) {
    return {};
  }
  std::reverse(order.begin(), order.end());  // front to back
  std::optional<std::uint32_t> desktopNow = currentDesktop();

  // Every request goes out before the first reply is read: one round trip for the whole list.
  struct Cookies {
    xcb_get_window_attributes_cookie_t attributes;
    xcb_get_geometry_cookie_t geometry;
    xcb_translate_coordinates_cookie_t origin;
    WindowProperties<xcb_get_property_cookie_t> properties;
  };
  const xcb_atom_t utf8String = atom("UTF8_STRING");
  std::vector<Cookies> cookies;
  cookies.reserve(order.size());
  for (std::uint32_t id : order) {
    auto ask = [&](xcb_atom_t property, xcb_atom_t type) {
      return xcb_get_property(connection_, 0, id, property, type, 0, 4096);
    };
    cookies.push_back(
        Cookies{.attributes = xcb_get_window_attributes(connection_, id),
                .geometry = xcb_get_geometry(connection_, id),
                .origin = xcb_translate_coordinates(connection_, id, screen_->root, 0, 0),
                .properties = {
                    .pid = ask(atom("_NET_WM_PID"), XCB_ATOM_CARDINAL),
                    .windowType = ask(atom("_NET_WM_WINDOW_TYPE"), XCB_ATOM_ATOM),
                    .state = ask(atom("_NET_WM_STATE"), XCB_ATOM_ATOM),
                    .name = ask(atom("_NET_WM_NAME"), utf8String),
                    .legacyName = ask(XCB_ATOM_WM_NAME, XCB_ATOM_ANY),
                    .frameExtents = ask(atom("_NET_FRAME_EXTENTS"), XCB_ATOM_CARDINAL),
                    .applicationID = ask(atom("_GTK_APPLICATION_ID"), XCB_ATOM_ANY),
                    .wmClass = ask(XCB_ATOM_WM_CLASS, XCB_ATOM_STRING),
                    .desktop = ask(atom("_NET_WM_DESKTOP"), XCB_ATOM_CARDINAL),
                    .clientMachine = ask(XCB_ATOM_WM_CLIENT_MACHINE, XCB_ATOM_ANY),
                    .shadow = ask(atom("_GTK_FRAME_EXTENTS"), XCB_ATOM_CARDINAL),
                }});
  }
  drainEvents();

  std::vector<ClientWindow> windows;
  std::vector<bool> unannounced;
  for (std::size_t i = 0; i < order.size(); ++i) {
    Cookies& c = cookies[i];
    ReplyPtr<xcb_get_window_attributes_reply_t> attributes(
        xcb_get_window_attributes_reply(connection_, c.attributes, nullptr));
    ReplyPtr<xcb_get_geometry_reply_t> geometry(
        xcb_get_geometry_reply(connection_, c.geometry, nullptr));
    ReplyPtr<xcb_translate_coordinates_reply_t> origin(
        xcb_translate_coordinates_reply(connection_, c.origin, nullptr));
    const WindowProperties<PropertyReply> props =
        c.properties.transform([this](xcb_get_property_cookie_t cookie) {
          return PropertyReply(xcb_get_property_reply(connection_, cookie, nullptr));
        });
    if (!attributes || !geometry || !origin) {
      continue;  // gone meanwhile
    }
    if (!managed &&
        (attributes->override_redirect || attributes->map_state != XCB_MAP_STATE_VIEWABLE)) {
      continue;
    }
    ClientWindow window;
    window.id = order[i];
    window.viewable = attributes->map_state == XCB_MAP_STATE_VIEWABLE;
    window.client =
        Frame{static_cast<double>(origin->dst_x), static_cast<double>(origin->dst_y),
              static_cast<double>(geometry->width), static_cast<double>(geometry->height)};
    window.shadow = shadowOf(window.client, propertyWords(props.shadow.get()));
    window.client = shrunk(window.client, window.shadow);

    std::vector<std::uint32_t> pid = propertyWords(props.pid.get());
    std::string machine = untilNul(propertyBytes(props.clientMachine.get()));
    if (!pid.empty() && pid.front() > 0 && (machine.empty() || machine == hostName_)) {
      window.pid = static_cast<desktop::Pid>(pid.front());
    }
    std::vector<std::uint32_t> types = propertyWords(props.windowType.get());
    window.typed = !types.empty();
    window.type = types.empty() ? WindowType::normal : WindowType::other;
    const std::array<std::pair<const char*, WindowType>, 9> typeNames = {{
        {"_NET_WM_WINDOW_TYPE_NORMAL", WindowType::normal},
        {"_NET_WM_WINDOW_TYPE_DIALOG", WindowType::dialog},
        {"_NET_WM_WINDOW_TYPE_UTILITY", WindowType::utility},
        {"_NET_WM_WINDOW_TYPE_TOOLBAR", WindowType::toolbar},
        {"_NET_WM_WINDOW_TYPE_MENU", WindowType::menu},
        {"_NET_WM_WINDOW_TYPE_SPLASH", WindowType::splash},
        {"_NET_WM_WINDOW_TYPE_DOCK", WindowType::dock},
        {"_NET_WM_WINDOW_TYPE_DESKTOP", WindowType::desktop},
        {"_NET_WM_WINDOW_TYPE_NOTIFICATION", WindowType::notification},
    }};
    // The first type the window lists that this table knows wins, as the hints require.
    for (std::uint32_t type : types) {
      auto known = std::find_if(typeNames.begin(), typeNames.end(),
                                [&](const auto& entry) { return atom(entry.first) == type; });
      if (known != typeNames.end()) {
        window.type = known->second;
        break;
      }
    }
    std::vector<std::uint32_t> states = propertyWords(props.state.get());
    window.hidden =
        std::find(states.begin(), states.end(), atom("_NET_WM_STATE_HIDDEN")) != states.end();

    if (props.name && props.name->type != XCB_NONE) {
      window.title = propertyBytes(props.name.get());
    } else if (props.legacyName && props.legacyName->type != XCB_NONE) {
      std::string legacy = propertyBytes(props.legacyName.get());
      window.title = props.legacyName->type == utf8String ? legacy : latin1ToUtf8(legacy);
    }
    std::vector<std::uint32_t> extents = propertyWords(props.frameExtents.get());
    unannounced.push_back(managed && extents.size() != 4);
    if (extents.size() == 4) {
      window.extents = FrameExtents{extents[0], extents[1], extents[2], extents[3]};
    }
    if (props.applicationID && props.applicationID->type != XCB_NONE) {
      window.applicationID = untilNul(propertyBytes(props.applicationID.get()));
    }
    std::string wmClass = propertyBytes(props.wmClass.get());
    if (!wmClass.empty()) {
      std::size_t split = wmClass.find('\0');
      window.classInstance = latin1ToUtf8(wmClass.substr(0, split));
      if (split != std::string::npos) {
        window.className = latin1ToUtf8(untilNul(wmClass.substr(split + 1)));
      }
    }
    std::vector<std::uint32_t> onDesktop = propertyWords(props.desktop.get());
    window.onOtherDesktop = desktopNow && !onDesktop.empty() && onDesktop.front() != kAllDesktops &&
                            onDesktop.front() != *desktopNow;
    windows.push_back(std::move(window));
  }
  measureFrames(windows, unannounced);
  return windows;
}

std::optional<desktop::Pid> XServer::windowPid(std::uint32_t window) {
  if (!alive()) {
    return std::nullopt;
  }
  ReplyPtr<xcb_get_property_reply_t> reply(xcb_get_property_reply(
      connection_,
      xcb_get_property(connection_, 0, window, atom("_NET_WM_PID"), XCB_ATOM_CARDINAL, 0, 1),
      nullptr));
  std::vector<std::uint32_t> words = propertyWords(reply.get());
  if (words.empty() || words.front() == 0) {
    return std::nullopt;
  }
  return static_cast<desktop::Pid>(words.front());
}

std::optional<KeyboardMapping> XServer::keyboardMapping() {
  if (!alive()) {
    return std::nullopt;
  }
  const xcb_setup_t* setup = xcb_get_setup(connection_);
  auto count = static_cast<std::uint8_t>(setup->max_keycode - setup->min_keycode + 1);
  ReplyPtr<xcb_get_keyboard_mapping_reply_t> reply(xcb_get_keyboard_mapping_reply(
      connection_, xcb_get_keyboard_mapping(connection_, setup->min_keycode, count), nullptr));
  if (!reply) {
    return std::nullopt;
  }
  const xcb_keysym_t* keysyms = xcb_get_keyboard_mapping_keysyms(reply.get());
  auto length = static_cast<std::size_t>(xcb_get_keyboard_mapping_keysyms_length(reply.get()));
  return KeyboardMapping{setup->min_keycode, reply->keysyms_per_keycode,
                         std::vector<std::uint32_t>(keysyms, keysyms + length)};
}

std::optional<std::string> XServer::rulesNames(xcb_get_property_cookie_t cookie) {
  ReplyPtr<xcb_get_property_reply_t> reply(xcb_get_property_reply(connection_, cookie, nullptr));
  if (!reply || reply->type == XCB_NONE) {
    return std::nullopt;
  }
  return propertyBytes(reply.get());
}

bool XServer::setKeysyms(std::uint8_t firstKeycode, std::uint8_t keysymsPerKeycode,
                         const std::vector<std::uint32_t>& keysyms) {
  if (!alive() || keysymsPerKeycode == 0 || keysyms.empty() ||
      keysyms.size() % keysymsPerKeycode != 0 || keysyms.size() / keysymsPerKeycode > 255) {
    return false;
  }
  auto count = static_cast<std::uint8_t>(keysyms.size() / keysymsPerKeycode);
  auto readRules = [&] {
    return xcb_get_property(connection_, 0, screen_->root, atom("_XKB_RULES_NAMES"),
                            XCB_ATOM_STRING, 0, kLongPropertyLength);
  };
  // Read before and after the change in the same round trip.
  xcb_get_property_cookie_t rulesBefore = readRules();
  xcb_void_cookie_t cookie = xcb_change_keyboard_mapping_checked(connection_, count, firstKeycode,
                                                                 keysymsPerKeycode, keysyms.data());
  xcb_get_property_cookie_t rulesAfter = readRules();
  std::optional<std::string> before = rulesNames(rulesBefore);
  xcb_generic_error_t* error = xcb_request_check(connection_, cookie);
  std::free(error);
  std::optional<std::string> after = rulesNames(rulesAfter);
  if (before && before != after) {
    xcb_change_property(connection_, XCB_PROP_MODE_REPLACE, screen_->root, atom("_XKB_RULES_NAMES"),
                        XCB_ATOM_STRING, 8, static_cast<std::uint32_t>(before->size()),
                        before->data());
    xcb_flush(connection_);
  }
  return error == nullptr && alive();
}

std::optional<std::string> XServer::rootStringProperty(const std::string& name) {
  if (!alive()) {
    return std::nullopt;
  }
  ReplyPtr<xcb_intern_atom_reply_t> interned(xcb_intern_atom_reply(
      connection_,
      xcb_intern_atom(connection_, 1, static_cast<std::uint16_t>(name.size()), name.c_str()),
      nullptr));
  if (!interned || interned->atom == XCB_NONE) {
    return std::nullopt;
  }
  ReplyPtr<xcb_get_property_reply_t> reply(
      xcb_get_property_reply(connection_,
                             xcb_get_property(connection_, 0, screen_->root, interned->atom,
                                              XCB_ATOM_ANY, 0, kLongPropertyLength),
                             nullptr));
  if (!reply || reply->type == XCB_NONE) {
    return std::nullopt;
  }
  return untilNul(propertyBytes(reply.get()));
}

}  // namespace qor::platform
