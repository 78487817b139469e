#include "lib/plot_reader.h"

#include <algorithm>
#include <new>
#include <optional>
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

// Without topping up, a block cut by the buffer's end (all of it that is
// there in the usual layout) is moved before the buffer when the buffer is
// refilled, so that it is read whole from there; up to this many bytes of it.
constexpr std::size_t kStitchRoom = std::size_t{16} << 10;

// The buffer of a read into arrays: 256 KiB, which reads of large files
// found a few percent faster than 64 KiB or 128 KiB (fewer system calls),
// and no slower than 1 MiB (it stays in the cache beside the values).
constexpr std::size_t kArraysBuffer = std::size_t{256} << 10;

// The line source with the reader's handling of its outcomes: a read error ends
// the read wherever it happens. Counts the lines it hands out, so that a
// failure can say which line of the file it is about.
class PlotLines {
 public:
  PlotLines(FileDescriptor file, const ReadOptions& options)
      : source_(std::move(file), options.buffer_bytes, options.top_up ? 0 : kStitchRoom),
        reporting_(options.reporting) {}

  // True with line() set, false at the end of input.
  bool next() {
    switch (source_.next_line()) {
      case LineSource::Status::Line:
        ++count_;
        return true;
      case LineSource::Status::End:
        return false;
      case LineSource::Status::Error:
        break;
    }
    const IoError& error = source_.error();
    fail_at(count_ + 1, "Failed to read line!", error.describe(), kReadFailed, error.os_error());
  }

  std::string_view line() const noexcept { return source_.line(); }
  bool line_is_ascii() const noexcept { return source_.line_is_ascii(); }
  std::size_t line_room() const noexcept { return source_.line_room(); }
  bool skip_ascii_line() noexcept {
    if (!source_.skip_ascii_line()) return false;
    ++count_;
    return true;
  }
  std::string_view unread() const noexcept { return source_.unread(); }
  bool top_up() { return source_.top_up(); }
  bool stitch() { return source_.stitch(); }
  // Consumes `lines` whole lines, `bytes` bytes of unread().
  void skip(std::size_t bytes, std::uint64_t lines) noexcept {
    source_.skip(bytes);
    count_ += lines;
  }
  const LineSource& source() const noexcept { return source_; }

  // The number of the line last handed out (0 before the first).
  std::uint64_t count() const noexcept { return count_; }

  // Ends the read with `message` about line `line` of the file.
  [[noreturn]] void fail_at(std::uint64_t line, std::string message, Location where,
                            int os_error = 0) const {
    raise_failure(ReaderFailure(std::move(message), where, line, os_error), reporting_);
  }
  // The same, with the underlying error's description after the context text.
  [[noreturn]] void fail_at(std::uint64_t line, std::string_view context,
                            const std::string& description, Location where,
                            int os_error = 0) const {
    std::string message(context);
    message += ": ";
    message += description;
    fail_at(line, std::move(message), where, os_error);
  }
  // Ends the read with a failure about the line last handed out.
  [[noreturn]] void fail(std::string message, Location where) const {
    fail_at(count_, std::move(message), where);
  }
  // Ends the read where the next line is due and none is there.
  [[noreturn]] void fail_missing(std::string message, Location where) const {
    fail_at(count_ + 1, std::move(message), where);
  }

  Reporting reporting() const noexcept { return reporting_; }

 private:
  LineSource source_;
  Reporting reporting_;
  std::uint64_t count_ = 0;
};

std::uint64_t read_parameter_count(const PlotLines& lines) {
  const std::string_view count_line = lines.line();
  std::string_view token;
  bool any = false;
  for (SplitWhitespace tokens = split_whitespace(count_line); tokens.next(token);) any = true;
  if (!any) return 0;
  if (auto count = parse_count(token)) return *count;
  if (lines.reporting() == Reporting::Diagnostic) {
    std::string notice = "Error: '";
    notice += token;
    notice += "' is not a valid number of parameters!\n";
    print_stdout(notice);
  }
  std::string message = "The first line should end with the number of parameters:\n'";
  message += count_line;
  message += '\'';
  lines.fail(std::move(message), kBadCount);
}

// Field `index` of the current data line, trimmed; fails when it cannot be cut
// out.
std::string_view field_of(const PlotLines& lines, std::uint64_t index, std::uint64_t n_digits) {
  const std::string_view line = lines.line();
  const std::uint64_t begin = index * n_digits;
  const std::uint64_t end = begin + n_digits;
  std::string_view field;
  if (!slice_bytes(line, begin, end, field)) {
    lines.fail(slice_failure_text(line, begin, end), kBadFieldRange);
  }
  return trim_whitespace(field);
}

[[noreturn, gnu::cold, gnu::noinline]] void fail_to_parse(const PlotLines& lines,
                                                          ParseFloatError error, Location where) {
  lines.fail_at(lines.count(), "Could not parse line", std::string(describe(error)), where);
}

// On the path of every value: kept inline, its failure out of line.
[[gnu::always_inline]] inline float parse_field(const PlotLines& lines, std::string_view field,
                                                Location where) {
  float value;
  ParseFloatError error;
  if (!parse_float32(field, value, error)) [[unlikely]]
    fail_to_parse(lines, error, where);
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
[[gnu::noinline]] void store_undone(const PlotLines& lines, const DataLineLayout& layout,
                                    const char* line, std::uint64_t width, unsigned count,
                                    const LineDecode& decoded, float* const* slots,
                                    std::size_t block, Where where) {
  for (unsigned field = 0; field < count; ++field) {
    if (decoded.done >> field & 1) continue;
    const char* text = line + field * width;
    float value;
    if (!(decoded.shaped >> field & 1 && layout.fields().shaped_value(text, value))) {
      value =
          parse_field(lines, trim_ascii_whitespace(std::string_view(text, width)), where(field));
    }
    slots[field][block] = value;
  }
}

}  // namespace

std::size_t read_plot(std::string_view file_path, std::uint64_t n_digits, PlotStore& store,
                      const ReadOptions& options) {
  const Reporting reporting = options.reporting;
  auto opened = open_read_only(file_path);
  if (auto* error = std::get_if<IoError>(&opened)) {
    std::string message = "Plot file not found!: ";
    message += error->describe();
    raise_failure(ReaderFailure(std::move(message), kOpenFailed, 0, error->os_error()), reporting);
  }
  PlotLines lines(std::move(std::get<FileDescriptor>(opened)), options);

  if (!lines.next()) lines.fail_missing("Failed ot read line!", kNoCountLine);
  const std::uint64_t n = read_parameter_count(lines);

  for (std::uint64_t i = 0; i < n; ++i) {
    if (!lines.next()) lines.fail_missing("Failed to read line!", kNoNameLine);
    store.add_name(lines.line());
  }

  // n - 1 columns in unsigned arithmetic: a count of 0 asks for 2^64 - 1 of
  // them. The count is refused when n - 1 column records of 24 bytes each
  // would pass the largest size of an object.
  constexpr std::uint64_t kRecordBytes = 24;
  if (n - 1 > static_cast<std::uint64_t>(PTRDIFF_MAX) / kRecordBytes) {
    raise_capacity_overflow(reporting, lines.count());
  }
  store.start(n, n_digits, lines.source());

  const DataLineLayout layout(n_digits);
  const LineKernelFunction kernel = chosen_line_kernel();
  const LineKernelFunction portable_kernel = line_kernel(LineKernel::Portable);
  // Where each parameter's values go: slots[p][b - first] for block b of the
  // store's current room.
  std::vector<float*> storage = storage_pointers(n);
  // Lines of a block: the lead line and its data lines.
  const std::uint64_t block_lines = 1 + (n - 1) / kFieldsPerLine + 1;
  std::optional<BufferedBlocks> buffered;
  if (layout.has_layout()) buffered.emplace(layout, kernel, n);

  // Values are written straight into their slots; blocks first to room - 1
  // have slots.
  std::size_t blocks = 0;
  std::size_t room = 0;
  std::size_t first = 0;
  for (;;) {
    // Usually the blocks that follow are in the buffer, in the simulation's
    // layout: read as many of them there at once as the store has room for.
    if (buffered && blocks < room) {
      const std::string_view unread = lines.unread();
      const BlocksRead read = buffered->read(unread.data(), unread.size(), storage.data(),
                                             blocks - first, room - blocks);
      if (read.blocks != 0) {
        lines.skip(read.bytes, read.blocks * block_lines);
        blocks += read.blocks;
        continue;
      }
      // The next block may be cut by the buffer's end: with the buffer less
      // than half full, top it up once and look again. Without topping up,
      // when the next block is cut by the buffer's end, the refill that
      // reading it line by line would make is made now, the block's bytes kept
      // before the new ones.
      if (options.top_up) {
        if (unread.size() < options.buffer_bytes / 2 && lines.top_up()) continue;
      } else if (read.cut && lines.stitch()) {
        continue;
      }
    }
    // One block the general way. Its lead line is dropped unexamined; its end
    // is the end of the blocks.
    if (!(lines.skip_ascii_line() || lines.next())) break;
    // A block is there: room for its values.
    if (blocks == room) {
      const PlotStore::Room made = store.make_room(blocks, storage.data(), lines.source());
      first = made.first;
      room = made.first + made.count;
    }
    const std::size_t index = blocks - first;
    // Data line k of the block holds parameters 10k to 10k + 9 (fewer on the
    // last line).
    for (std::uint64_t first_p = 0; first_p < n; first_p += kFieldsPerLine) {
      const auto count = static_cast<unsigned>(std::min(kFieldsPerLine, n - first_p));
      float* const* const slots = storage.data() + first_p;
      auto where = [first_p](unsigned field) {
        return first_p + field == 0 ? kBadTime : kBadValue;
      };
      // A line of the usual kind that lies whole in the buffer is read there.
      if (layout.has_layout()) {
        const std::string_view unread = lines.unread();
        if (const std::size_t next = read_buffered_line(layout, kernel, unread.data(),
                                                        unread.size(), 0, count, slots, index)) {
          lines.skip(next, 1);
          continue;
        }
      }
      if (!lines.next()) lines.fail_missing("Error reading line", kNoDataLine);
      const std::string_view line = lines.line();
      // When every field lies within the line and every offset is a character
      // boundary (an ASCII line), the fields need no range checks.
      std::uint64_t span;  // the bytes the line's fields cover
      if (!__builtin_mul_overflow(count, n_digits, &span) && span <= line.size() &&
          lines.line_is_ascii()) {
        LineDecode decoded{0, 0};
        if (layout.has_layout()) {
          // The kernels read sixteen bytes from the start of each field.
          const bool fits = lines.line_room() >= span - layout.width() + kFieldReadBytes;
          decoded = (fits ? kernel : portable_kernel)(layout, line.data(), count, slots, index);
        }
        store_undone(lines, layout, line.data(), n_digits, count, decoded, slots, index, where);
      } else {
        for (unsigned field = 0; field < count; ++field) {
          slots[field][index] = parse_field(lines, field_of(lines, field, n_digits), where(field));
        }
      }
    }
    ++blocks;
  }
  return blocks;
}

PlotData read_plot_file(std::string_view file_path, std::uint64_t n_digits) {
  PlotDataStore store;
  const std::size_t blocks = read_plot(file_path, n_digits, store,
                                       {Reporting::Diagnostic, LineSource::kBufferSize, false});
  return std::move(store).take(blocks);
}

PlotArrays read_plot_arrays(std::string_view file_path, std::uint64_t n_digits) {
  ArrayStore store;
  const std::size_t blocks =
      read_plot(file_path, n_digits, store, {Reporting::Silent, kArraysBuffer, true});
  return std::move(store).finish(blocks);
}

}  // namespace tolvik
