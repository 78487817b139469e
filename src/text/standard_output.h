// Lines written straight to the process's standard output (descriptor 1),
// bypassing the interpreter's output objects.
#pragma once

#include <string_view>

namespace tolvik {

// Writes `line` to descriptor 1 whole, under a process-wide lock so that lines
// of different threads do not interleave. A failed write raises the failure
// "failed printing to stdout: <short form of the error>".
void print_stdout(std::string_view line);

}  // namespace tolvik
