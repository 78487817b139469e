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

#include "binding/failure.h"
#include "lib/array_store.h"
#include "lib/plot_data.h"
#include "lib/plot_store.h"

namespace tolvik {

struct ReadOptions {
  // With Reporting::Diagnostic a failure writes its diagnostic when it is
  // raised and an invalid parameter count writes one line to standard output;
  // with Reporting::Silent nothing is written anywhere.
  Reporting reporting;
  // The line source's buffer, and the most bytes asked of the system at once.
  std::size_t buffer_bytes;
  // Whether blocks cut by the buffer's end are moved to its front and
  // completed by reading more, so that they too are read straight from the
  // buffer; otherwise (the module tolvik) the system is asked for a whole
  // buffer's bytes each time, as the line source refills it, and a block cut
  // by the buffer's end is moved before the buffer at the refill (when all of
  // it that is there is in the usual layout; else it is read line by line).
  bool top_up;
};

// Reads the file at `file_path` into `store` and returns the number of blocks.
// Every failure is raised as a ReaderFailure that names the failing line of
// the file and, for an open or read error, the system's error number; lack of
// memory throws OutOfMemory. The file is closed before this returns or
// throws.
std::size_t read_plot(std::string_view file_path, std::uint64_t n_digits, PlotStore& store,
                      const ReadOptions& options);

// The module's read: every value in a PlotData, failures reported as they are
// raised, through an 8192-byte buffer refilled when used up.
PlotData read_plot_file(std::string_view file_path, std::uint64_t n_digits);

// The read of tolvik_arrays: the names and float arrays, nothing written,
// through a larger buffer (fewer system calls, fewer blocks split between
// two reads).
PlotArrays read_plot_arrays(std::string_view file_path, std::uint64_t n_digits);

}  // namespace tolvik
