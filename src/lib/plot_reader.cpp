#include "lib/plot_reader.h"

#include <algorithm>
#include <new>
#include <string>
#include <variant>

#include "binding/failure.h"
#include "lib/buffered_blocks.h"
#include "text/byte_range.h"
#include "text/data_line.h"
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
  std::size_t line_room() const noexcept { return source_.line_room(); }
  bool skip_ascii_line() noexcept { return source_.skip_ascii_line(); }
  std::string_view unread() const noexcept { return source_.unread(); }
  void skip(std::size_t count) noexcept { source_.skip(count); }

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
  // The count is refused when n - 1 column records of 24 bytes each would
  // pass the largest size of an object.
  constexpr std::uint64_t kRecordBytes = 24;
  if (count > static_cast<std::uint64_t>(PTRDIFF_MAX) / kRecordBytes) {
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

// One pointer per parameter, for the storage of its values.
std::vector<float*> storage_pointers(std::uint64_t n) {
  std::vector<float*> pointers;
  try {
    pointers.resize(n);
  } catch (const std::bad_alloc&) {
    throw OutOfMemory{n * sizeof(float*)};
  }
  return pointers;
}

// Stores the fields of an ASCII data line (whose fields all lie within it)
// that decoding left without a value: read by position, or the general way.
template <class Where>
[[gnu::noinline]] void store_undone(const DataLineLayout& layout, const char* line,
                                    std::uint64_t width, unsigned count, const LineDecode& decoded,
                                    float* const* slots, std::size_t block, Where where) {
  for (unsigned field = 0; field < count; ++field) {
    if (decoded.done >> field & 1) continue;
    const char* text = line + field * width;
    float value;
    if (!(decoded.shaped >> field & 1 && layout.fields().shaped_value(text, value))) {
      value = parse_field(trim_ascii_whitespace(std::string_view(text, width)), where(field));
    }
    slots[field][block] = value;
  }
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
  const DataLineLayout layout(n_digits);
  const LineKernelFunction kernel = chosen_line_kernel();
  const LineKernelFunction portable_kernel = line_kernel(LineKernel::Portable);
  // Where each parameter's values go: the current chunk of its sequence
  // (parameter 0 is the time, parameter p > 0 goes to column p - 1).
  std::vector<float*> storage = storage_pointers(n);

  // Every sequence gains one value per block, so all grow together, a chunk
  // at a time, and each value is written straight into its slot of the
  // current chunks; the length is set at the end.
  std::size_t blocks = 0;
  std::size_t room = 0;         // blocks the chunks so far hold
  std::size_t chunk_start = 0;  // the first block of the current chunks
  for (;;) {
    // Usually the blocks that follow are in the buffer, in the simulation's
    // layout: read as many of them there at once as the chunks have room for.
    if (layout.has_layout() && blocks < room) {
      const std::string_view unread = lines.unread();
      const BlocksRead read =
          read_buffered_blocks(layout, kernel, unread.data(), unread.size(), n, storage.data(),
                               blocks - chunk_start, room - blocks);
      if (read.blocks != 0) {
        lines.skip(read.bytes);
        blocks += read.blocks;
        continue;
      }
    }
    // One block the general way. Its lead line is dropped unexamined; its end
    // is the end of the blocks.
    if (!(lines.skip_ascii_line() || lines.next())) break;
    // A block is there: room for its values, a new chunk for every sequence
    // when the last ones are full.
    if (blocks == room) {
      const std::size_t chunk = data.times.chunk_count();
      storage[0] = data.times.add_chunk();
      for (std::uint64_t p = 1; p < n; ++p) storage[p] = data.columns[p - 1].add_chunk();
      chunk_start = blocks;
      room += FloatSequence::chunk_capacity(chunk);
    }
    const std::size_t index = blocks - chunk_start;
    // Data line k of the block holds parameters 10k to 10k + 9 (fewer on the
    // last line).
    for (std::uint64_t first = 0; first < n; first += kFieldsPerLine) {
      const auto count = static_cast<unsigned>(std::min(kFieldsPerLine, n - first));
      float* const* const slots = storage.data() + first;
      auto where = [first](unsigned field) { return first + field == 0 ? kBadTime : kBadValue; };
      // A line of the usual kind that lies whole in the buffer is read there.
      if (layout.has_layout()) {
        const std::string_view unread = lines.unread();
        if (const std::size_t next = read_buffered_line(layout, kernel, unread.data(),
                                                        unread.size(), 0, count, slots, index)) {
          lines.skip(next);
          continue;
        }
      }
      if (!lines.next()) raise_failure("Error reading line", kNoDataLine);
      const std::string_view line = lines.line();
      // When every field lies within the line and every offset is a character
      // boundary (an ASCII line), the fields need no range checks.
      std::uint64_t span;  // the bytes the line's fields cover
      if (!__builtin_mul_overflow(count, n_digits, &span) && span <= line.size() &&
          lines.line_is_ascii()) {
        LineDecode decoded{0, 0};
        if (layout.has_layout()) {
          // The kernels read sixteen bytes from the start of each field.
          const bool room = lines.line_room() >= span - layout.width() + kFieldReadBytes;
          decoded = (room ? kernel : portable_kernel)(layout, line.data(), count, slots, index);
        }
        store_undone(layout, line.data(), n_digits, count, decoded, slots, index, where);
      } else {
        for (unsigned field = 0; field < count; ++field) {
          slots[field][index] = parse_field(field_of(line, field, n_digits), where(field));
        }
      }
    }
    ++blocks;
  }
  data.blocks = blocks;
  return data;
}

}  // namespace tolvik
