#pragma once
// The one failure record that every refusal in the system is raised as.

#include <stdexcept>
#include <string>

#include "core/failure_codes.h"
#include "core/json.h"

namespace qor {

// A machine-readable code, a sentence for a person and a details object. Thrown as an exception
// and turned into a response in exactly one place, the operation body. Immutable.
class NativeFailure : public std::exception {
 public:
  NativeFailure(FailureCode code, std::string message, Json details = Json::object());

  // The same failure with other details, for a caller that adds what it knows.
  NativeFailure withDetails(Json details) const;

  const std::string& code() const { return code_; }
  const std::string& message() const { return message_; }
  const Json& details() const { return details_; }

  // {"code", "details", "message"}; details is {} when empty, never null.
  Json json() const;

  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string code_;
  std::string message_;
  Json details_;
};

// Shorthand for the most common code.
NativeFailure invalidArgument(std::string message);

}  // namespace qor
