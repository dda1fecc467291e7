// The core's published texts: the messages with which snapshot() and check_alerts() fail. They
// are part of the module's interface: applications and their tests compare them verbatim, so
// they must not be reworded. (The binding's own texts, argument errors and class texts among
// them, are in binding/texts.h.)
#pragma once

#include <string_view>

namespace vantorel::texts {

// snapshot() and check_alerts() fail with one of these (as RuntimeError).
inline constexpr std::string_view CLOCK_ERROR = "clock error: ";  // + the clock's complaint
inline constexpr std::string_view CLOCK_BEFORE_EPOCH =
    "clock error: second time provided was later than self";
inline constexpr std::string_view PROCESS_NOT_FOUND_BEFORE_PID = "process ";
inline constexpr std::string_view PROCESS_NOT_FOUND_AFTER_PID = " not found by sysinfo";

}  // namespace vantorel::texts
