#pragma once
// How the demonstration shows its conversation with the bridge on the terminal: a heading per
// step with one line of explanation, the request as sent, and the response pretty-printed, with
// long parts replaced by a summary and a few chosen lines.

#include <string>
#include <string_view>
#include <vector>

#include "core/json.h"

namespace qor::demo {

void showTitle(std::string_view text);
void showStep(int number, std::string_view name, std::string_view explanation);
void showRequest(const Json& request);
// `shown` is the response as it should appear (long parts already summarised); `notes` follow it
// as indented lines.
void showResponse(const Json& shown, const std::vector<std::string>& notes = {});
void showNote(std::string_view text);
void showSuccess(std::string_view text);
void showProblem(std::string_view text);

// One line describing an element node of an observation: reference, role, title, value, frame
// and actions.
std::string describeNode(const Json& node);

}  // namespace qor::demo
