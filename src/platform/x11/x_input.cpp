#include "platform/x11/x_input.h"

#include <xcb/xinput.h>
#include <xcb/xtest.h>

#include <cmath>
#include <cstdlib>
#include <optional>
#include <string>

#include "platform/x11/xcb_reply.h"

namespace qor::platform {
namespace {

constexpr std::uint16_t kAllDevices = 0;
constexpr std::uint16_t kAllMasterDevices = 1;
// The X server's names for the slaves that carry XTest events of the core pointer and keyboard.
constexpr const char* kXTestPointer = "Virtual core XTEST pointer";
constexpr const char* kXTestKeyboard = "Virtual core XTEST keyboard";

std::string deviceName(const xcb_input_xi_device_info_t* info) {
  return std::string(xcb_input_xi_device_info_name(info),
                     static_cast<std::size_t>(xcb_input_xi_device_info_name_length(info)));
}

std::int16_t clampToCoordinate(double value) {
  double rounded = std::round(value);
  return static_cast<std::int16_t>(std::fmax(-32768.0, std::fmin(32767.0, rounded)));
}

// The first two raw (untransformed) axis values of a raw motion: for an XTest motion, the root
// position it was sent to. Nothing when the event lacks either axis.
std::optional<std::pair<std::int32_t, std::int32_t>> rawPosition(
    const xcb_input_raw_button_press_event_t* raw) {
  if (xcb_input_raw_button_press_valuator_mask_length(raw) < 1) {
    return std::nullopt;
  }
  const std::uint32_t mask = xcb_input_raw_button_press_valuator_mask(raw)[0];
  if ((mask & 0x3) != 0x3 || xcb_input_raw_button_press_axisvalues_raw_length(raw) < 2) {
    return std::nullopt;
  }
  const xcb_input_fp3232_t* values = xcb_input_raw_button_press_axisvalues_raw(raw);
  return std::pair{values[0].integral, values[1].integral};
}

}  // namespace

std::unique_ptr<XInput> XInput::connect() {
  int screenNumber = 0;
  xcb_connection_t* connection = xcb_connect(nullptr, &screenNumber);
  if (!connection || xcb_connection_has_error(connection)) {
    if (connection) {
      xcb_disconnect(connection);
    }
    return nullptr;
  }
  const xcb_query_extension_reply_t* input = xcb_get_extension_data(connection, &xcb_input_id);
  const xcb_query_extension_reply_t* test = xcb_get_extension_data(connection, &xcb_test_id);
  ReplyPtr<xcb_input_xi_query_version_reply_t> version;
  if (input && input->present && test && test->present) {
    version.reset(xcb_input_xi_query_version_reply(
        connection, xcb_input_xi_query_version(connection, 2, 2), nullptr));
  }
  if (!version || version->major_version < 2 ||
      (version->major_version == 2 && version->minor_version < 2)) {
    xcb_disconnect(connection);
    return nullptr;
  }
  std::unique_ptr<XInput> result(new XInput(connection, input->major_opcode));
  xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(connection));
  for (int i = 0; screens.rem; ++i, xcb_screen_next(&screens)) {
    if (i == screenNumber || !result->root_) {
      result->root_ = screens.data->root;
    }
  }
  result->findXTestDevices();
  return result;
}

XInput::XInput(xcb_connection_t* connection, std::uint8_t inputOpcode)
    : connection_(connection), inputOpcode_(inputOpcode) {}

XInput::~XInput() {
  xcb_disconnect(connection_);
}

bool XInput::alive() const {
  return !xcb_connection_has_error(connection_);
}

int XInput::fileDescriptor() const {
  return xcb_get_file_descriptor(connection_);
}

void XInput::findXTestDevices() {
  ReplyPtr<xcb_input_xi_query_device_reply_t> reply(xcb_input_xi_query_device_reply(
      connection_, xcb_input_xi_query_device(connection_, kAllDevices), nullptr));
  if (!reply) {
    return;
  }
  for (auto it = xcb_input_xi_query_device_infos_iterator(reply.get()); it.rem;
       xcb_input_xi_device_info_next(&it)) {
    std::string name = deviceName(it.data);
    if (it.data->type == XCB_INPUT_DEVICE_TYPE_SLAVE_POINTER && name == kXTestPointer) {
      xtestPointer_ = it.data->deviceid;
    } else if (it.data->type == XCB_INPUT_DEVICE_TYPE_SLAVE_KEYBOARD && name == kXTestKeyboard) {
      xtestKeyboard_ = it.data->deviceid;
    }
  }
}

bool XInput::moveTo(Point point) {
  std::int16_t x = clampToCoordinate(point.x);
  std::int16_t y = clampToCoordinate(point.y);
  ledger_.sent(RawInput{RawKind::motion, 0, x, y}, InputLedger::Clock::now());
  xcb_test_fake_input(connection_, XCB_MOTION_NOTIFY, 0, XCB_CURRENT_TIME, root_, x, y, XCB_NONE);
  return alive();
}

// Releases raise no raw event the monitor selects, so only presses are noted.
bool XInput::button(std::uint8_t number, bool press) {
  if (press) {
    ledger_.sent(RawInput{RawKind::button, number}, InputLedger::Clock::now());
  }
  xcb_test_fake_input(connection_, press ? XCB_BUTTON_PRESS : XCB_BUTTON_RELEASE, number,
                      XCB_CURRENT_TIME, XCB_NONE, 0, 0, XCB_NONE);
  return alive();
}

bool XInput::key(std::uint8_t keycode, bool press) {
  if (press) {
    ledger_.sent(RawInput{RawKind::key, keycode}, InputLedger::Clock::now());
  }
  xcb_test_fake_input(connection_, press ? XCB_KEY_PRESS : XCB_KEY_RELEASE, keycode,
                      XCB_CURRENT_TIME, XCB_NONE, 0, 0, XCB_NONE);
  return alive();
}

bool XInput::flush() {
  return xcb_flush(connection_) > 0 && alive();
}

bool XInput::sync() {
  ReplyPtr<xcb_get_input_focus_reply_t> reply(
      xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr));
  readEvents();  // what arrived during the wait is not announced on the socket again
  return reply != nullptr && alive();
}

void XInput::selectRawEvents(bool on) {
  struct {
    xcb_input_event_mask_t head;
    std::uint32_t mask;
  } selection{};
  selection.head.deviceid = kAllMasterDevices;
  selection.head.mask_len = 1;
  selection.mask =
      on ? (XCB_INPUT_XI_EVENT_MASK_RAW_MOTION | XCB_INPUT_XI_EVENT_MASK_RAW_BUTTON_PRESS |
            XCB_INPUT_XI_EVENT_MASK_RAW_KEY_PRESS)
         : 0;
  xcb_input_xi_select_events(connection_, root_, 1, &selection.head);
  xcb_flush(connection_);
}

void XInput::watchRawEvents(std::function<void(Source)> handler) {
  rawHandler_ = std::move(handler);
  selectRawEvents(true);
}

void XInput::stopWatchingRawEvents() {
  rawHandler_ = nullptr;
  selectRawEvents(false);
}

void XInput::readEvents() {
  // Taken before reading: whatever the server had reported by then is read below.
  const auto readFrom = InputLedger::Clock::now();
  while (xcb_generic_event_t* event = xcb_poll_for_event(connection_)) {
    handle(event);
    std::free(event);
  }
  ledger_.drained(readFrom);
}

void XInput::handle(xcb_generic_event_t* event) {
  if ((event->response_type & 0x7f) != XCB_GE_GENERIC) {
    return;
  }
  auto* generic = reinterpret_cast<xcb_ge_generic_event_t*>(event);
  if (generic->extension != inputOpcode_) {
    return;
  }
  // The three raw events share their layout.
  auto* raw = reinterpret_cast<xcb_input_raw_button_press_event_t*>(event);
  std::optional<RawInput> input;
  switch (generic->event_type) {
    case XCB_INPUT_RAW_MOTION:
      // A motion without axis values is never one the bridge sent. A relative one carries its
      // deltas instead of a position; should they equal a point the bridge moved to, the
      // bridge's own motion then arrives unmatched, so the pair still counts once as the user's.
      if (auto position = rawPosition(raw)) {
        input = RawInput{RawKind::motion, 0, position->first, position->second};
      }
      break;
    case XCB_INPUT_RAW_BUTTON_PRESS:
      input = RawInput{RawKind::button, raw->detail};
      break;
    case XCB_INPUT_RAW_KEY_PRESS:
      input = RawInput{RawKind::key, raw->detail};
      break;
    default:
      return;
  }
  bool throughXTest =
      raw->sourceid != 0 && (raw->sourceid == xtestPointer_ || raw->sourceid == xtestKeyboard_);
  bool own = throughXTest && input && ledger_.claim(*input);
  if (rawHandler_) {
    rawHandler_(own ? Source::bridge : Source::other);
  }
}

}  // namespace qor::platform
