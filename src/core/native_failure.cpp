#include "core/native_failure.h"

#include <cassert>
#include <utility>

namespace qor {

NativeFailure::NativeFailure(FailureCode code, std::string message, Json details)
    : code_(code.view()),
      message_(std::move(message)),
      details_(details.is_null() ? Json::object() : std::move(details)) {
  assert(details_.is_object() && "failure details are a string-keyed map");
}

Json NativeFailure::json() const {
  Json record = Json::object();
  record["code"] = code_;
  record["message"] = message_;
  record["details"] = details_;
  return record;
}

NativeFailure NativeFailure::withDetails(Json details) const {
  NativeFailure copy = *this;
  copy.details_ = details.is_null() ? Json::object() : std::move(details);
  return copy;
}

NativeFailure invalidArgument(std::string message) {
  return NativeFailure("invalidArgument", std::move(message));
}

}  // namespace qor
