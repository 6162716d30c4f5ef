// What the X server connection asks of the window manager: its stacking of the client windows,
// the active window, activation and where the input focus is. Managers differ in what they
// keep up to date, so every reader here checks that a manager runs and falls back on what the
// X server itself knows.

#include <algorithm>
#include <array>

#include "platform/x11/x_server.h"
#include "platform/x11/xcb_reply.h"

namespace qor::platform {
namespace {

constexpr std::uint32_t kLongPropertyLength = 65536;  // in 32-bit units
// How deep a client window may sit below the root window's child that frames it (a manager's
// frame, a container of a tiling manager inside it, ...).
constexpr int kMaxFrameDepth = 8;
// The source indication of a pager, which activates the window as the user asked for it.
constexpr std::uint32_t kSourcePager = 2;

std::uint32_t distance(double from, double to) {
  return to > from ? static_cast<std::uint32_t>(to - from) : 0;
}

}  // namespace

std::optional<std::vector<std::uint32_t>> XServer::rootWords(const char* name, xcb_atom_t type) {
  ReplyPtr<xcb_get_property_reply_t> reply(xcb_get_property_reply(
      connection_,
      xcb_get_property(connection_, 0, screen_->root, atom(name), type, 0, kLongPropertyLength),
      nullptr));
  if (!reply || reply->type == XCB_NONE) {
    return std::nullopt;
  }
  return propertyWords(reply.get());
}

std::vector<std::uint32_t> XServer::rootChildren() {
  ReplyPtr<xcb_query_tree_reply_t> tree(
      xcb_query_tree_reply(connection_, xcb_query_tree(connection_, screen_->root), nullptr));
  if (!tree) {
    return {};
  }
  xcb_window_t* children = xcb_query_tree_children(tree.get());
  return std::vector<std::uint32_t>(children,
                                    children + xcb_query_tree_children_length(tree.get()));
}

std::uint32_t XServer::firstWord(xcb_get_property_cookie_t cookie) {
  // A window that is gone answers with an error, which leaves the reply empty.
  ReplyPtr<xcb_get_property_reply_t> reply(xcb_get_property_reply(connection_, cookie, nullptr));
  std::vector<std::uint32_t> words = propertyWords(reply.get());
  return words.empty() ? XCB_NONE : words.front();
}

// The check window seen last is asked along with the root: one round trip while it stays.
bool XServer::windowManagerRunning() {
  if (!alive()) {
    return false;
  }
  auto ask = [&](xcb_window_t window) {
    return xcb_get_property(connection_, 0, window, atom("_NET_SUPPORTING_WM_CHECK"),
                            XCB_ATOM_WINDOW, 0, 1);
  };
  xcb_get_property_cookie_t onRoot = ask(screen_->root);
  std::optional<xcb_get_property_cookie_t> onKnown;
  if (checkWindow_ != XCB_NONE) {
    onKnown = ask(checkWindow_);
  }
  const std::uint32_t named = firstWord(onRoot);
  std::uint32_t itself = onKnown ? firstWord(*onKnown) : XCB_NONE;
  if (named != checkWindow_) {
    checkWindow_ = named;
    itself = named == XCB_NONE ? XCB_NONE : firstWord(ask(named));
  }
  return named != XCB_NONE && itself == named;
}

std::vector<std::uint32_t> XServer::stackingOrder(bool& managed) {
  managed = false;
  if (!alive()) {
    return {};
  }
  if (windowManagerRunning()) {
    if (auto stacking = rootWords("_NET_CLIENT_LIST_STACKING", XCB_ATOM_WINDOW)) {
      managed = true;
      return *stacking;
    }
    // Some managers announce the stacking list but keep only the client list: its windows are
    // stacked as the root's children that frame them are.
    if (auto clients = rootWords("_NET_CLIENT_LIST", XCB_ATOM_WINDOW)) {
      managed = true;
      std::vector<std::uint32_t> children = rootChildren();
      std::vector<std::uint32_t> frames = topLevelsOf(*clients);
      auto height = [&](std::size_t i) {
        return std::find(children.begin(), children.end(), frames[i]) - children.begin();
      };
      std::vector<std::size_t> order(clients->size());
      for (std::size_t i = 0; i < order.size(); ++i) {
        order[i] = i;
      }
      std::stable_sort(order.begin(), order.end(),
                       [&](std::size_t a, std::size_t b) { return height(a) < height(b); });
      std::vector<std::uint32_t> stacked;
      for (std::size_t i : order) {
        if (frames[i] != 0) {
          stacked.push_back((*clients)[i]);
        }
      }
      return stacked;
    }
  }
  // No window manager: the root's children, bottom to top; the caller keeps the viewable ones.
  return rootChildren();
}

// Walks up from every window at once, one round trip per level.
std::vector<std::uint32_t> XServer::topLevelsOf(const std::vector<std::uint32_t>& windows) {
  std::vector<std::uint32_t> current = windows;
  std::vector<std::uint32_t> found(windows.size(), 0);
  std::vector<std::size_t> open(windows.size());
  for (std::size_t i = 0; i < open.size(); ++i) {
    open[i] = i;
  }
  for (int depth = 0; depth < kMaxFrameDepth && !open.empty(); ++depth) {
    std::vector<xcb_query_tree_cookie_t> cookies;
    for (std::size_t i : open) {
      cookies.push_back(xcb_query_tree(connection_, current[i]));
    }
    std::vector<std::size_t> deeper;
    for (std::size_t k = 0; k < open.size(); ++k) {
      std::size_t i = open[k];
      ReplyPtr<xcb_query_tree_reply_t> tree(xcb_query_tree_reply(connection_, cookies[k], nullptr));
      if (!tree || current[i] == screen_->root) {
        continue;  // gone, or the root itself
      }
      if (tree->parent == screen_->root) {
        found[i] = current[i];
      } else {
        current[i] = tree->parent;
        deeper.push_back(i);
      }
    }
    open = std::move(deeper);
  }
  return found;
}

// Without _NET_FRAME_EXTENTS, toolkits take the geometry of the root's child that holds the
// window (i3 draws its title and borders so).
void XServer::measureFrames(std::vector<ClientWindow>& windows,
                            const std::vector<bool>& unannounced) {
  std::vector<std::size_t> measured;
  std::vector<std::uint32_t> ids;
  for (std::size_t i = 0; i < windows.size(); ++i) {
    if (unannounced[i]) {
      measured.push_back(i);
      ids.push_back(windows[i].id);
    }
  }
  if (ids.empty()) {
    return;
  }
  std::vector<std::uint32_t> frames = topLevelsOf(ids);
  std::vector<xcb_get_geometry_cookie_t> cookies;
  for (std::uint32_t frame : frames) {
    cookies.push_back(xcb_get_geometry(connection_, frame));
  }
  for (std::size_t k = 0; k < measured.size(); ++k) {
    ReplyPtr<xcb_get_geometry_reply_t> geometry(
        xcb_get_geometry_reply(connection_, cookies[k], nullptr));
    ClientWindow& window = windows[measured[k]];
    if (!geometry || frames[k] == window.id) {
      continue;  // gone, or not reparented: no frame around it
    }
    Frame inner = window.frame();
    window.extents = FrameExtents{distance(geometry->x, inner.x),
                                  distance(inner.x + inner.width, geometry->x + geometry->width),
                                  distance(geometry->y, inner.y),
                                  distance(inner.y + inner.height, geometry->y + geometry->height)};
  }
}

std::optional<std::uint32_t> XServer::activeWindow() {
  if (!alive()) {
    return std::nullopt;
  }
  if (!windowManagerRunning()) {
    // Without a manager, whoever holds the input focus is in front.
    ReplyPtr<xcb_get_input_focus_reply_t> focus(
        xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr));
    if (!focus || focus->focus == XCB_NONE || focus->focus == XCB_INPUT_FOCUS_POINTER_ROOT) {
      return std::nullopt;
    }
    std::uint32_t top = topLevelsOf({focus->focus}).front();
    return top ? std::optional(top) : std::nullopt;
  }
  std::optional<std::vector<std::uint32_t>> active =
      rootWords("_NET_ACTIVE_WINDOW", XCB_ATOM_WINDOW);
  if (!active || active->empty() || active->front() == XCB_NONE) {
    return std::nullopt;
  }
  return active->front();
}

bool XServer::holdsInputFocus(std::uint32_t window) {
  if (!alive()) {
    return false;
  }
  ReplyPtr<xcb_get_input_focus_reply_t> focus(
      xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr));
  return focus && focusWithin(focus->focus, window);
}

std::optional<std::uint32_t> XServer::serverTime() {
  if (clockWindow_ == XCB_NONE) {
    clockWindow_ = xcb_generate_id(connection_);
    const std::uint32_t events = XCB_EVENT_MASK_PROPERTY_CHANGE;
    xcb_create_window(connection_, 0, clockWindow_, screen_->root, -1, -1, 1, 1, 0,
                      XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, XCB_CW_EVENT_MASK,
                      &events);
  }
  // Appending nothing changes nothing, yet the server reports it with its time. The event is
  // sent while the request is handled, so it is queued before the reply of the round trip.
  xcb_change_property(connection_, XCB_PROP_MODE_APPEND, clockWindow_, XCB_ATOM_WM_NAME,
                      XCB_ATOM_STRING, 8, 0, nullptr);
  std::free(xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr));
  std::optional<std::uint32_t> time;
  while (xcb_generic_event_t* event = xcb_poll_for_queued_event(connection_)) {
    auto* property = reinterpret_cast<xcb_property_notify_event_t*>(event);
    if ((event->response_type & 0x7f) == XCB_PROPERTY_NOTIFY && property->window == clockWindow_) {
      time = property->time;
    } else {
      noteEvent(event);
    }
    std::free(event);
  }
  return time;
}

bool XServer::requestActivation(std::uint32_t window) {
  if (!alive()) {
    return false;
  }
  std::optional<std::uint32_t> now = serverTime();
  if (!now) {
    return false;
  }
  if (windowManagerRunning()) {
    xcb_client_message_event_t message{};
    message.response_type = XCB_CLIENT_MESSAGE;
    message.format = 32;
    message.window = window;
    message.type = atom("_NET_ACTIVE_WINDOW");
    message.data.data32[0] = kSourcePager;
    message.data.data32[1] = *now;
    message.data.data32[2] = activeWindow().value_or(XCB_NONE);
    xcb_send_event(connection_, 0, screen_->root,
                   XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                   reinterpret_cast<const char*>(&message));
  } else {
    const std::uint32_t above = XCB_STACK_MODE_ABOVE;
    xcb_map_window(connection_, window);
    xcb_configure_window(connection_, window, XCB_CONFIG_WINDOW_STACK_MODE, &above);
    xcb_set_input_focus(connection_, XCB_INPUT_FOCUS_POINTER_ROOT, window, *now);
  }
  // A round trip makes sure the request reached the server before the caller goes on.
  std::free(xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr));
  drainEvents();
  return alive();
}

}  // namespace qor::platform
