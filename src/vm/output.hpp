// Line output to the process's standard output (file descriptor 1), used by
// the trace, DebugPrint and BreakPoint. Each line is written whole with one
// write(2) call sequence, so lines appear in execution order even when fd 1
// is a pipe and nothing is left in a user-space buffer.
#pragma once

#include <optional>
#include <string>

namespace tarnel {

// Writes `line` followed by a line feed. Returns the error text when the
// write fails.
std::optional<std::string> write_stdout_line(std::string& line);

}  // namespace tarnel
