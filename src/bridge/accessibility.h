#pragma once
// Thin, uniform readers over the Accessibility interface and the window list. None of them fails:
// every platform error, missing attribute or wrong type becomes "", {}, or nothing.

#include <optional>
#include <string>
#include <vector>

#include "core/geometry.h"
#include "core/json.h"
#include "desktop/desktop.h"

namespace qor {

// Requests to an application give up after this long.
inline constexpr double kMessagingTimeoutSeconds = 1.0;

std::string axString(desktop::Desktop& desktop, const desktop::ElementRef& element,
                     const std::string& attribute);
std::optional<Frame> axFrame(desktop::Desktop& desktop, const desktop::ElementRef& element);
std::vector<desktop::ElementRef> axChildren(desktop::Desktop& desktop,
                                            const desktop::ElementRef& element,
                                            const std::string& attribute);
// The application element with the messaging timeout set.
desktop::ElementRef applicationElement(desktop::Desktop& desktop, desktop::Pid pid);

// On-screen records of `pid` on layer 0, front to back.
std::vector<desktop::WindowRecord> windowRecords(desktop::Desktop& desktop, desktop::Pid pid);
std::optional<Frame> recordFrame(const desktop::WindowRecord& record);
// The record's window number when it is a valid 32-bit window number.
std::optional<std::uint32_t> recordNumber(const desktop::WindowRecord& record);
std::optional<Frame> focusedWindowFrame(desktop::Desktop& desktop, desktop::Pid pid);
std::optional<desktop::WindowRecord> preferredWindowRecord(
    desktop::Desktop& desktop, desktop::Pid pid, const std::vector<desktop::WindowRecord>& records);
Json describeWindow(const desktop::WindowRecord& record);

}  // namespace qor
