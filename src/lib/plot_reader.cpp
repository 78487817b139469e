#include "lib/plot_reader.h"

#include <algorithm>
#include <new>
#include <string>
#include <variant>

#include "binding/failure.h"
#include "text/byte_range.h"
#include "text/e_field.h"
#include "text/line_source.h"
#include "text/parse_count.h"
#include "text/parse_float.h"
#include "text/standard_output.h"
#include "text/whitespace.h"

namespace tolvik {
namespace {

// Where each failing step reports itself in the failure diagnostic.
constexpr Location kOpenFailed = reader_location(50, 43);
constexpr Location kReadFailed = reader_location(54, 26);
constexpr Location kNoCountLine = reader_location(57, 57);
constexpr Location kBadCount = reader_location(137, 17);
constexpr Location kNoNameLine = reader_location(173, 43);
constexpr Location kNoDataLine = reader_location(80, 52);
constexpr Location kBadFieldRange = reader_location(84, 40);
constexpr Location kBadTime = reader_location(92, 26);
constexpr Location kBadValue = reader_location(99, 26);

constexpr std::uint64_t kFieldsPerLine = 10;

[[noreturn]] void fail_with(std::string_view context, const std::string& description,
                            Location where) {
  std::string message(context);
  message += ": ";
  message += description;
  raise_failure(std::move(message), where);
}

// The line source with the reader's handling of its outcomes: a read error ends
// the read wherever it happens.
class PlotLines {
 public:
  explicit PlotLines(FileDescriptor file) : source_(std::move(file)) {}

  // True with line() set, false at the end of input.
  bool next() {
    switch (source_.next_line()) {
      case LineSource::Status::Line:
        return true;
      case LineSource::Status::End:
        return false;
      case LineSource::Status::Error:
        break;
    }
    fail_with("Failed to read line!", source_.error().describe(), kReadFailed);
  }

  std::string_view line() const noexcept { return source_.line(); }
  bool line_is_ascii() const noexcept { return source_.line_is_ascii(); }

 private:
  LineSource source_;
};

std::uint64_t read_parameter_count(std::string_view count_line) {
  std::string_view token;
  bool any = false;
  for (SplitWhitespace tokens = split_whitespace(count_line); tokens.next(token);) any = true;
  if (!any) return 0;
  if (auto count = parse_count(token)) return *count;
  std::string notice = "Error: '";
  notice += token;
  notice += "' is not a valid number of parameters!\n";
  print_stdout(notice);
  std::string message = "The first line should end with the number of parameters:\n'";
  message += count_line;
  message += '\'';
  raise_failure(std::move(message), kBadCount);
}

std::vector<FloatSequence> make_columns(std::uint64_t n) {
  // n - 1 in unsigned arithmetic: a count of 0 asks for 2^64 - 1 columns.
  const std::uint64_t count = n - 1;
  if (count > static_cast<std::uint64_t>(PTRDIFF_MAX) / sizeof(FloatSequence)) {
    raise_capacity_overflow();
  }
  std::vector<FloatSequence> columns;
  try {
    columns.resize(count);
  } catch (const std::bad_alloc&) {
    throw OutOfMemory{count * sizeof(FloatSequence)};
  }
  return columns;
}

// Field `index` of a data line, trimmed; fails when it cannot be cut out.
std::string_view field_of(std::string_view line, std::uint64_t index, std::uint64_t n_digits) {
  const std::uint64_t begin = index * n_digits;
  const std::uint64_t end = begin + n_digits;
  std::string_view field;
  if (!slice_bytes(line, begin, end, field)) {
    raise_failure(slice_failure_text(line, begin, end), kBadFieldRange);
  }
  return trim_whitespace(field);
}

[[noreturn, gnu::cold, gnu::noinline]] void fail_to_parse(ParseFloatError error, Location where) {
  fail_with("Could not parse line", std::string(describe(error)), where);
}

// On the path of every value: kept inline, its failure out of line.
[[gnu::always_inline]] inline float parse_field(std::string_view field, Location where) {
  float value;
  ParseFloatError error;
  if (!parse_float32(field, value, error)) [[unlikely]]
    fail_to_parse(error, where);
  return value;
}

}  // namespace

PlotData read_plot_file(std::string_view file_path, std::uint64_t n_digits) {
  auto opened = open_read_only(file_path);
  if (auto* error = std::get_if<IoError>(&opened)) {
    fail_with("Plot file not found!", error->describe(), kOpenFailed);
  }
  PlotLines lines(std::move(std::get<FileDescriptor>(opened)));

  if (!lines.next()) raise_failure("Failed ot read line!", kNoCountLine);
  const std::uint64_t n = read_parameter_count(lines.line());

  for (std::uint64_t i = 0; i < n; ++i) {
    if (!lines.next()) raise_failure("Failed to read line!", kNoNameLine);
  }

  PlotData data;
  data.columns = make_columns(n);
  const EFieldLayout layout(n_digits);

  // Every sequence gains one value per block, so all grow together and each
  // value is written straight into its slot; the length is set at the end.
  std::size_t blocks = 0;
  std::size_t room = 0;
  while (lines.next()) {  // the lead line, dropped unexamined
    if (blocks == room) {
      // Doubling; a room that cannot double asks for more than can be had,
      // which fails as lack of memory.
      room = room < 8 ? 8 : room <= SIZE_MAX / 2 ? room * 2 : SIZE_MAX;
      data.times.reserve_total(room);
      for (FloatSequence& column : data.columns) column.reserve_total(room);
    }
    // Data line k of the block holds parameters 10k to 10k + 9 (fewer on the
    // last line); parameter 0 is the time, parameter p > 0 goes to column p - 1.
    for (std::uint64_t first = 0; first < n; first += kFieldsPerLine) {
      if (!lines.next()) raise_failure("Error reading line", kNoDataLine);
      const std::string_view line = lines.line();
      const std::uint64_t count = std::min(kFieldsPerLine, n - first);
      float* slots[kFieldsPerLine];
      for (std::uint64_t field = 0; field < count; ++field) {
        const std::uint64_t p = first + field;
        slots[field] = (p == 0 ? data.times : data.columns[p - 1]).data() + blocks;
      }
      auto where = [first](std::uint64_t field) {
        return first + field == 0 ? kBadTime : kBadValue;
      };
      // When every field lies within the line and every offset is a character
      // boundary (an ASCII line), the fields need no range checks.
      std::uint64_t span;  // the bytes the line's fields cover
      if (!__builtin_mul_overflow(count, n_digits, &span) && span <= line.size() &&
          lines.line_is_ascii()) [[likely]] {
        // Usually the whole line is in the simulation's layout.
        const bool shaped = layout.line_matches(line.data(), count);
        for (std::uint64_t field = 0; field < count; ++field) {
          const char* text = line.data() + field * n_digits;
          float value;
          if (!(shaped ? layout.shaped_value(text, value) : layout.parse(text, value))) [[unlikely]]
            value =
                parse_field(trim_ascii_whitespace(std::string_view(text, n_digits)), where(field));
          *slots[field] = value;
        }
      } else {
        for (std::uint64_t field = 0; field < count; ++field) {
          *slots[field] = parse_field(field_of(line, field, n_digits), where(field));
        }
      }
    }
    ++blocks;
  }
  data.times.set_size(blocks);
  for (FloatSequence& column : data.columns) column.set_size(blocks);
  return data;
}

}  // namespace tolvik
