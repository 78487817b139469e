// Reading a whole plot file in one pass.
//
// Layout: a count line whose last whitespace-separated token is the parameter
// count n; n parameter-name lines; then blocks to the end of the file, each a
// lead line (ignored) and ceil(n / 10) data lines of fixed-width fields,
// `n_digits` bytes each, at most ten to a line. Parameter p of a block is field
// p mod 10 of its data line p / 10.
#pragma once

#include <cstdint>
#include <string_view>

#include "lib/plot_data.h"

namespace tolvik {

// Reads the file at `file_path`. Every failure is raised as a ReaderFailure
// (after its diagnostic); lack of memory throws OutOfMemory. The file is closed
// before this returns or throws. An invalid parameter count also writes one
// line to standard output.
PlotData read_plot_file(std::string_view file_path, std::uint64_t n_digits);

}  // namespace tolvik
