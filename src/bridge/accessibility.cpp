#include "bridge/accessibility.h"

#include <cstdint>
#include <limits>
#include <variant>

#include "core/window_geometry.h"

namespace qor {
namespace {

using desktop::AXRead;

bool isInt32(std::int64_t value) {
  return value >= std::numeric_limits<std::int32_t>::min() &&
         value <= std::numeric_limits<std::int32_t>::max();
}

// The value of a successful read when it has the kind T.
template <class T>
const T* readValue(const AXRead& read) {
  return read.error == desktop::kAXSuccess ? std::get_if<T>(&read.value) : nullptr;
}

}  // namespace

std::string axString(desktop::Desktop& desktop, const desktop::ElementRef& element,
                     const std::string& attribute) {
  AXRead read = desktop.copyAttribute(element, attribute);
  const std::string* text = readValue<std::string>(read);
  return text ? *text : std::string();
}

std::optional<Frame> axFrame(desktop::Desktop& desktop, const desktop::ElementRef& element) {
  AXRead position = desktop.copyAttribute(element, "AXPosition");
  const Point* origin = readValue<Point>(position);
  if (!origin) {
    return std::nullopt;
  }
  AXRead size = desktop.copyAttribute(element, "AXSize");
  const Size* extent = readValue<Size>(size);
  if (!extent) {
    return std::nullopt;
  }
  return Frame{origin->x, origin->y, extent->width, extent->height};
}

std::vector<desktop::ElementRef> axChildren(desktop::Desktop& desktop,
                                            const desktop::ElementRef& element,
                                            const std::string& attribute) {
  AXRead read = desktop.copyAttribute(element, attribute);
  const auto* list = readValue<std::vector<desktop::ElementRef>>(read);
  return list ? *list : std::vector<desktop::ElementRef>{};
}

desktop::ElementRef applicationElement(desktop::Desktop& desktop, desktop::Pid pid) {
  desktop::ElementRef element = desktop.applicationElement(pid);
  if (element) {
    desktop.setMessagingTimeout(element, kMessagingTimeoutSeconds);
  }
  return element;
}

std::vector<desktop::WindowRecord> windowRecords(desktop::Desktop& desktop, desktop::Pid pid) {
  std::vector<desktop::WindowRecord> records;
  for (desktop::WindowRecord& record : desktop.onScreenWindows()) {
    bool owned = record.ownerPID && isInt32(*record.ownerPID) && *record.ownerPID == pid;
    if (owned && record.layer == 0) {
      records.push_back(std::move(record));
    }
  }
  return records;
}

std::optional<Frame> recordFrame(const desktop::WindowRecord& record) {
  return record.bounds;
}

std::optional<std::uint32_t> recordNumber(const desktop::WindowRecord& record) {
  if (!record.number || *record.number < 0 ||
      *record.number > std::numeric_limits<std::uint32_t>::max()) {
    return std::nullopt;
  }
  return static_cast<std::uint32_t>(*record.number);
}

std::optional<Frame> focusedWindowFrame(desktop::Desktop& desktop, desktop::Pid pid) {
  desktop::ElementRef application = applicationElement(desktop, pid);
  AXRead focused = desktop.copyAttribute(application, "AXFocusedWindow");
  const desktop::ElementRef* window = readValue<desktop::ElementRef>(focused);
  if (!window || !*window) {
    return std::nullopt;
  }
  return axFrame(desktop, *window);
}

std::optional<desktop::WindowRecord> preferredWindowRecord(
    desktop::Desktop& desktop, desktop::Pid pid,
    const std::vector<desktop::WindowRecord>& records) {
  desktop::ElementRef application = applicationElement(desktop, pid);
  std::vector<Frame> windowFrames;
  for (const desktop::ElementRef& window : axChildren(desktop, application, "AXWindows")) {
    if (std::optional<Frame> frame = axFrame(desktop, window)) {
      windowFrames.push_back(*frame);
    }
  }
  std::vector<std::optional<Frame>> frames;
  frames.reserve(records.size());
  for (const desktop::WindowRecord& record : records) {
    frames.push_back(recordFrame(record));
  }
  std::optional<Frame> focused = focusedWindowFrame(desktop, pid);
  std::optional<std::size_t> index = WindowSelection::preferredIndex(frames, windowFrames, focused);
  if (!index) {
    return std::nullopt;
  }
  return records[*index];
}

Json describeWindow(const desktop::WindowRecord& record) {
  Json description = Json::object();
  description["windowId"] = record.number.value_or(0);
  if (std::optional<Frame> frame = recordFrame(record)) {
    description["frame"] = WindowGeometry::json(*frame);
  }
  if (record.name) {
    description["title"] = *record.name;
  }
  return description;
}

}  // namespace qor
