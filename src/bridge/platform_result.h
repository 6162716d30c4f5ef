#pragma once
// Platform failures travel as ordinary exceptions; the operation body reports them as
// "operationFailed" with the platform's description.

#include <stdexcept>
#include <utility>
#include <variant>

#include "desktop/desktop.h"

namespace qor {

struct PlatformFailure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

template <class T>
T valueOrThrow(desktop::Result<T> result) {
  if (auto* error = std::get_if<desktop::PlatformError>(&result)) {
    throw PlatformFailure(error->description);
  }
  return std::move(std::get<T>(result));
}

}  // namespace qor
