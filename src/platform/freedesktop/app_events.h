#pragma once
// Application events on Linux: the few Apple Events every application understands, carried to
// the org.freedesktop.Application interface that a D-Bus activatable application (every
// GApplication with an id) exports on the session bus under its id.
//
//   'aevt'/'oapp' open application   Activate
//   'aevt'/'rapp' reopen             Activate
//   'aevt'/'odoc' open documents     Open with the direct object's files as URIs
//   'aevt'/'quit' quit               ActivateAction("quit") when the application lists a "quit"
//                                     action (org.gtk.Actions.List); else not handled
//   anything else                    not handled: a reply whose error number is -1708
//
// A request the application carried out is answered by a reply without parameters. The rules
// are pure; sendApplicationEvent makes the calls.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/apple_descriptor.h"
#include "desktop/desktop.h"

namespace qor::platform {

// Error numbers of refusals, as Apple Event replies carry them in 'errn'.
inline constexpr std::int32_t kEventNotHandled = -1708;     // errAEEventNotHandled
inline constexpr std::int32_t kCoercionFailed = -1700;      // errAECoercionFail
inline constexpr std::int32_t kDescriptorNotFound = -1701;  // errAEDescNotFound

enum class ApplicationCall { activate, open, quit, none };

// What one event asks of the application: a call, or a refusal answered at once.
struct EventPlan {
  ApplicationCall call = ApplicationCall::none;
  std::vector<std::string> uris;        // for open: "file://" URLs, in the event's order
  std::optional<std::int32_t> refusal;  // set when the event is answered without a call
};

EventPlan planEvent(const AppleEvent& event);

// The object path under which an application id exports its interfaces: "/" followed by the id
// with "." as "/" and "-" as "_". Nothing for a string that is not a valid application id.
std::optional<std::string> applicationObjectPath(const std::string& applicationID);

// A reply event that carries only the error number `status`.
AppleDescriptor refusalReply(std::int32_t status);

// Sends `event` to the instance that owns its target's application id on the session bus and
// gives the reply. Blocks for at most `timeoutSeconds` (twice for quit, whose action list is
// asked first).
desktop::Result<AppleDescriptor> sendApplicationEvent(const AppleEvent& event, int timeoutSeconds);

}  // namespace qor::platform
