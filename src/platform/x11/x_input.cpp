#include "platform/x11/x_input.h"

#include <signal.h>
#include <unistd.h>
#include <xcb/xinput.h>
#include <xcb/xtest.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace qor::platform {
namespace {

constexpr std::uint16_t kAllDevices = 0;
constexpr std::uint16_t kAllMasterDevices = 1;
constexpr const char* kNamePrefix = "qor-native ";

template <class T>
struct FreeReply {
  void operator()(T* reply) const { std::free(reply); }
};
template <class T>
using ReplyPtr = std::unique_ptr<T, FreeReply<T>>;

std::string hostName() {
  char host[256] = {};
  return gethostname(host, sizeof host - 1) == 0 ? host : "";
}

// Our masters are named after the process (and machine) that made them, so that one left behind
// by a bridge that was killed can be recognised and removed, and one of a bridge on another
// machine is left alone.
std::string masterName(pid_t pid) {
  return kNamePrefix + std::to_string(pid) + "@" + hostName();
}

// The process that made a master of ours on this machine, from the master pointer's name.
std::optional<pid_t> ownerOnThisMachine(const std::string& name) {
  const std::string suffix = " pointer";
  if (!name.starts_with(kNamePrefix) || !name.ends_with(suffix)) {
    return std::nullopt;
  }
  std::string owner =
      name.substr(std::strlen(kNamePrefix), name.size() - std::strlen(kNamePrefix) - suffix.size());
  std::size_t at = owner.find('@');
  if (at == std::string::npos || owner.substr(at + 1) != hostName()) {
    return std::nullopt;
  }
  std::string number = owner.substr(0, at);
  char* end = nullptr;
  long pid = std::strtol(number.c_str(), &end, 10);
  if (number.empty() || !end || *end != '\0' || pid <= 0) {
    return std::nullopt;
  }
  return static_cast<pid_t>(pid);
}

std::string deviceName(const xcb_input_xi_device_info_t* info) {
  return std::string(xcb_input_xi_device_info_name(info),
                     static_cast<std::size_t>(xcb_input_xi_device_info_name_length(info)));
}

std::int16_t clampToCoordinate(double value) {
  double rounded = std::round(value);
  return static_cast<std::int16_t>(std::fmax(-32768.0, std::fmin(32767.0, rounded)));
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
  return result;
}

XInput::XInput(xcb_connection_t* connection, std::uint8_t inputOpcode)
    : connection_(connection), inputOpcode_(inputOpcode) {}

XInput::~XInput() {
  removeDevices();
  xcb_disconnect(connection_);
}

void XInput::removeDevices() {
  if (!masterPointer_) {
    return;
  }
  if (alive()) {
    removeMaster(*masterPointer_);
    std::free(xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr));
  }
  masterPointer_.reset();
  masterKeyboard_.reset();
  slavePointer_ = 0;
  slaveKeyboard_ = 0;
}

bool XInput::alive() const {
  return !xcb_connection_has_error(connection_);
}

int XInput::fileDescriptor() const {
  return xcb_get_file_descriptor(connection_);
}

void XInput::removeMaster(std::uint16_t pointer) {
  struct {
    xcb_input_remove_master_t change;
  } request{};
  request.change.type = XCB_INPUT_HIERARCHY_CHANGE_TYPE_REMOVE_MASTER;
  request.change.len = sizeof request.change / 4;
  request.change.deviceid = pointer;
  request.change.return_mode = XCB_INPUT_CHANGE_MODE_FLOAT;
  xcb_input_xi_change_hierarchy(
      connection_, 1, reinterpret_cast<const xcb_input_hierarchy_change_t*>(&request.change));
}

// Masters that a bridge before us left behind when it was killed: their process is gone.
void XInput::removeStaleMasters() {
  ReplyPtr<xcb_input_xi_query_device_reply_t> reply(xcb_input_xi_query_device_reply(
      connection_, xcb_input_xi_query_device(connection_, kAllMasterDevices), nullptr));
  if (!reply) {
    return;
  }
  for (auto it = xcb_input_xi_query_device_infos_iterator(reply.get()); it.rem;
       xcb_input_xi_device_info_next(&it)) {
    if (it.data->type != XCB_INPUT_DEVICE_TYPE_MASTER_POINTER) {
      continue;
    }
    std::optional<pid_t> owner = ownerOnThisMachine(deviceName(it.data));
    if (owner && kill(*owner, 0) != 0 && errno == ESRCH) {
      removeMaster(it.data->deviceid);
    }
  }
}

bool XInput::findDevices() {
  ReplyPtr<xcb_input_xi_query_device_reply_t> reply(xcb_input_xi_query_device_reply(
      connection_, xcb_input_xi_query_device(connection_, kAllDevices), nullptr));
  if (!reply) {
    return false;
  }
  const std::string name = masterName(getpid());
  std::vector<const xcb_input_xi_device_info_t*> devices;
  for (auto it = xcb_input_xi_query_device_infos_iterator(reply.get()); it.rem;
       xcb_input_xi_device_info_next(&it)) {
    devices.push_back(it.data);
  }
  for (const xcb_input_xi_device_info_t* device : devices) {
    if (device->type == XCB_INPUT_DEVICE_TYPE_MASTER_POINTER &&
        deviceName(device) == name + " pointer") {
      masterPointer_ = device->deviceid;
      masterKeyboard_ = device->attachment;
    }
  }
  if (!masterPointer_) {
    return false;
  }
  for (const xcb_input_xi_device_info_t* device : devices) {
    if (device->type == XCB_INPUT_DEVICE_TYPE_SLAVE_POINTER &&
        device->attachment == *masterPointer_) {
      slavePointer_ = device->deviceid;
    }
    if (device->type == XCB_INPUT_DEVICE_TYPE_SLAVE_KEYBOARD &&
        device->attachment == *masterKeyboard_) {
      slaveKeyboard_ = device->deviceid;
    }
  }
  return slavePointer_ != 0 && slaveKeyboard_ != 0;
}

// Adds the master pair and makes it this connection's client pointer: XTest then sends through
// the pair's own XTEST slaves instead of the core ones every other program uses.
bool XInput::ensureDevices() {
  if (masterPointer_) {
    return alive();
  }
  if (deviceFailed_ || !alive()) {
    return false;
  }
  removeStaleMasters();
  const std::string name = masterName(getpid());
  std::vector<std::uint32_t> words((sizeof(xcb_input_add_master_t) + name.size() + 3) / 4, 0);
  auto* change = reinterpret_cast<xcb_input_add_master_t*>(words.data());
  change->type = XCB_INPUT_HIERARCHY_CHANGE_TYPE_ADD_MASTER;
  change->len = static_cast<std::uint16_t>(words.size());
  change->name_len = static_cast<std::uint16_t>(name.size());
  change->send_core = 1;
  change->enable = 1;
  std::memcpy(reinterpret_cast<char*>(change + 1), name.data(), name.size());
  xcb_generic_error_t* error = xcb_request_check(
      connection_,
      xcb_input_xi_change_hierarchy_checked(
          connection_, 1, reinterpret_cast<const xcb_input_hierarchy_change_t*>(change)));
  std::free(error);
  if (error || !findDevices()) {
    deviceFailed_ = true;  // not tried again: every later post fails at once
    masterPointer_.reset();
    return false;
  }
  error = xcb_request_check(
      connection_, xcb_input_xi_set_client_pointer_checked(connection_, XCB_NONE, *masterPointer_));
  std::free(error);
  readEvents();
  return error == nullptr && alive();
}

bool XInput::moveTo(Point point) {
  if (!ensureDevices()) {
    return false;
  }
  xcb_test_fake_input(connection_, XCB_MOTION_NOTIFY, 0, XCB_CURRENT_TIME, root_,
                      clampToCoordinate(point.x), clampToCoordinate(point.y), XCB_NONE);
  return alive();
}

bool XInput::button(std::uint8_t number, bool press) {
  if (!ensureDevices()) {
    return false;
  }
  xcb_test_fake_input(connection_, press ? XCB_BUTTON_PRESS : XCB_BUTTON_RELEASE, number,
                      XCB_CURRENT_TIME, XCB_NONE, 0, 0, XCB_NONE);
  return alive();
}

bool XInput::key(std::uint8_t keycode, bool press) {
  if (!ensureDevices()) {
    return false;
  }
  xcb_test_fake_input(connection_, press ? XCB_KEY_PRESS : XCB_KEY_RELEASE, keycode,
                      XCB_CURRENT_TIME, XCB_NONE, 0, 0, XCB_NONE);
  return alive();
}

bool XInput::focus(std::uint32_t window) {
  if (!ensureDevices()) {
    return false;
  }
  // Set every time: a window that was unmapped meanwhile lost the focus, and setting the focus
  // it already has sends no focus events.
  xcb_input_xi_set_focus(connection_, window, XCB_CURRENT_TIME, *masterKeyboard_);
  return alive();
}

bool XInput::flush() {
  return xcb_flush(connection_) > 0 && alive();
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
  while (xcb_generic_event_t* event = xcb_poll_for_event(connection_)) {
    handle(event);
    std::free(event);
  }
}

void XInput::handle(xcb_generic_event_t* event) {
  if ((event->response_type & 0x7f) != XCB_GE_GENERIC || !rawHandler_) {
    return;
  }
  auto* generic = reinterpret_cast<xcb_ge_generic_event_t*>(event);
  if (generic->extension != inputOpcode_) {
    return;
  }
  switch (generic->event_type) {
    case XCB_INPUT_RAW_MOTION:
    case XCB_INPUT_RAW_BUTTON_PRESS:
    case XCB_INPUT_RAW_KEY_PRESS: {
      // The three raw events share their layout up to the source device.
      auto* raw = reinterpret_cast<xcb_input_raw_button_press_event_t*>(event);
      bool own =
          masterPointer_ && (raw->sourceid == slavePointer_ || raw->sourceid == slaveKeyboard_);
      rawHandler_(own ? Source::bridge : Source::other);
      break;
    }
    default:
      break;
  }
}

}  // namespace qor::platform
