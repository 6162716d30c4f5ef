#include "core/native_parameters.h"

#include <cmath>
#include <limits>

#include "core/native_failure.h"

namespace qor::NativeParameters {
namespace {

// 2^63: the first double past the int64 range (which a double cannot hold exactly).
constexpr double kInt64Bound = 9223372036854775808.0;

bool isFiniteNumber(const Json& value) {
  return value.is_number() && std::isfinite(value.get<double>());
}

// The integer a JSON number stands for, if it is integral and fits in int64. Booleans are not
// numbers here.
std::optional<std::int64_t> integralValue(const Json& value) {
  switch (value.type()) {
    case Json::value_t::number_integer:
      return value.get<std::int64_t>();
    case Json::value_t::number_unsigned: {
      const auto unsignedValue = value.get<std::uint64_t>();
      if (unsignedValue > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
        return std::nullopt;
      }
      return static_cast<std::int64_t>(unsignedValue);
    }
    case Json::value_t::number_float: {
      const double d = value.get<double>();
      if (!std::isfinite(d) || d != std::round(d) || d < -kInt64Bound || d >= kInt64Bound) {
        return std::nullopt;
      }
      return static_cast<std::int64_t>(d);
    }
    default:
      return std::nullopt;
  }
}

}  // namespace

const Json* find(const Json& params, std::string_view key) {
  if (!params.is_object()) {
    return nullptr;
  }
  const auto& members = params.get_ref<const Json::object_t&>();
  const auto it = members.find(key);
  return it == members.end() ? nullptr : &it->second;
}

std::string string(const Json& params, std::string_view key) {
  const Json* value = find(params, key);
  if (value == nullptr || !value->is_string() || value->get_ref<const std::string&>().empty()) {
    throw invalidArgument("Missing string: " + std::string(key));
  }
  return value->get<std::string>();
}

double number(const Json& params, std::string_view key) {
  const Json* value = find(params, key);
  if (value == nullptr || !isFiniteNumber(*value)) {
    throw invalidArgument("Expected finite number: " + std::string(key));
  }
  return value->get<double>();
}

std::int64_t boundedInt(const Json* value, std::int64_t fallback, std::int64_t lower,
                        std::int64_t upper) {
  if (value == nullptr) {
    return fallback;
  }
  const std::optional<std::int64_t> integer = integralValue(*value);
  if (!integer || *integer < lower || *integer > upper) {
    throw invalidArgument("Integer outside " + std::to_string(lower) + "..." +
                          std::to_string(upper));
  }
  return *integer;
}

std::optional<std::uint32_t> windowID(const Json& params) {
  const Json* value = find(params, "windowId");
  if (value == nullptr || value->is_null()) {
    return std::nullopt;
  }
  return static_cast<std::uint32_t>(boundedInt(value, 1, 1, 4294967295));
}

std::optional<bool> boolean(const Json& params, std::string_view key) {
  const Json* value = find(params, key);
  if (value == nullptr) {
    return std::nullopt;
  }
  if (value->is_boolean()) {
    return value->get<bool>();
  }
  if (value->is_number()) {
    const double d = value->get<double>();
    if (d == 1.0)
      return true;
    if (d == 0.0)
      return false;
  }
  return std::nullopt;
}

}  // namespace qor::NativeParameters
