// The failure diagnostic on standard error:
//
//   (empty line)
//   thread '<unnamed>' (TID) panicked at FILE:LINE:COLUMN:
//   MESSAGE
//   note: ... (the backtrace hint, once per process) or a stack backtrace
//
// written under a process-wide lock, in one write when it fits 512 bytes.
#pragma once

#include <string_view>

#include "binding/failure.h"

namespace tolvik {

// The environment switch that asks for a stack backtrace in the diagnostic
// (set and not "0").
inline constexpr const char* kBacktraceVariable = "TOLVIK_BACKTRACE";

// With `force_backtrace` a backtrace follows whatever the environment says (for
// a failure raised while another is still in flight).
void write_failure_diagnostic(std::string_view message, const Location& location,
                              bool force_backtrace = false) noexcept;

// Writes `text` to descriptor 2 under the diagnostic lock, in one write where
// possible; returns false when a write fails (errno is then set).
bool write_to_stderr_locked(std::string_view text) noexcept;

}  // namespace tolvik
