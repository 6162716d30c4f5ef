#pragma once
// Small helpers for XCB replies, which the caller owns and frees with free().

#include <xcb/xcb.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace qor::platform {

template <class T>
struct FreeReply {
  void operator()(T* reply) const { std::free(reply); }
};
template <class T>
using ReplyPtr = std::unique_ptr<T, FreeReply<T>>;

// The value of a property of any format as bytes; empty when it is not set.
inline std::string propertyBytes(xcb_get_property_reply_t* reply) {
  if (!reply || reply->type == XCB_NONE) {
    return {};
  }
  auto* data = static_cast<const char*>(xcb_get_property_value(reply));
  return std::string(data, static_cast<std::size_t>(xcb_get_property_value_length(reply)));
}

// The values of a 32-bit property; empty when it is not set or has another format.
inline std::vector<std::uint32_t> propertyWords(xcb_get_property_reply_t* reply) {
  if (!reply || reply->type == XCB_NONE || reply->format != 32) {
    return {};
  }
  auto* data = static_cast<const std::uint32_t*>(xcb_get_property_value(reply));
  auto count = static_cast<std::size_t>(xcb_get_property_value_length(reply)) / 4;
  return std::vector<std::uint32_t>(data, data + count);
}

}  // namespace qor::platform
