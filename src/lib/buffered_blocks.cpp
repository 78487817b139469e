#include "lib/buffered_blocks.h"

#include <string_view>

#include "text/ascii_line.h"
#include "text/parse_float.h"

namespace tolvik {
namespace {

// The value of a field in the layout that the kernel left to its caller:
// read by position, else parsed from its text (the field without a leading
// blank, which always parses). False if, against that, it does not.
[[gnu::cold, gnu::noinline]] bool resolve(const DataLineLayout& layout, const char* field,
                                          float& value) {
  if (layout.fields().shaped_value(field, value)) return true;
  std::string_view text(field, layout.width());
  if (text.front() == ' ') text.remove_prefix(1);
  ParseFloatError error;
  return parse_float32(text, value, error);
}

// Reads data lines of one field count with the kernel's decoder for that
// count, as read_buffered_line does; what depends on the count alone is worked
// out once, since the block loop reads every line with one of two readers.
class LineReader {
 public:
  LineReader(const DataLineLayout& layout, LineKernelFunction kernel, unsigned count) noexcept
      : layout_(layout),
        decoder_(count_decoder(kernel, layout, count)),
        width_(layout.width()),
        span_(count * width_),
        // The kernel reads sixteen bytes from the start of each field.
        need_(span_ - width_ + kFieldReadBytes),
        all_((1u << count) - 1) {}

  std::size_t read(const char* text, std::size_t size, std::size_t at, float* const* slots,
                   std::size_t index) const {
    if (size - at < need_) return 0;
    const LineDecode decoded = decoder_(layout_, text + at, slots, index);
    // The terminator follows the last field.
    std::size_t end = at + span_;
    if (text[end] == '\r' && end + 1 < size) ++end;
    if (decoded.shaped != all_ || text[end] != '\n') return 0;
    for (std::uint32_t undone = all_ & ~decoded.done; undone != 0; undone &= undone - 1) {
      const auto field = static_cast<unsigned>(__builtin_ctz(undone));
      if (!resolve(layout_, text + at + field * width_, slots[field][index])) return 0;
    }
    return end + 1;
  }

 private:
  const DataLineLayout& layout_;
  CountDecoder decoder_;
  std::size_t width_;
  std::size_t span_;
  std::size_t need_;
  std::uint32_t all_;
};

}  // namespace

std::size_t read_buffered_line(const DataLineLayout& layout, LineKernelFunction kernel,
                               const char* text, std::size_t size, std::size_t at, unsigned count,
                               float* const* slots, std::size_t index) {
  return LineReader(layout, kernel, count).read(text, size, at, slots, index);
}

BlocksRead read_buffered_blocks(const DataLineLayout& layout, LineKernelFunction kernel,
                                const char* text, std::size_t size, std::uint64_t n,
                                float* const* storage, std::size_t index, std::size_t max_blocks) {
  // Lines of ten fields, then one of the rest (one to ten).
  const std::uint64_t full_lines = (n - 1) / 10;
  const auto last = static_cast<unsigned>(n - 10 * full_lines);
  float* const* const last_slots = storage + 10 * full_lines;
  const LineReader full_line(layout, kernel, 10);
  const LineReader last_line(layout, kernel, last);
  BlocksRead done{0, 0};
  for (; done.blocks < max_blocks; ++done.blocks, ++index) {
    const std::size_t lead = ascii_line_length(text + done.bytes, size - done.bytes);
    if (lead == kNoAsciiLine) break;
    std::size_t at = done.bytes + lead + 1;
    for (std::uint64_t line = 0; line < full_lines && at != 0; ++line) {
      at = full_line.read(text, size, at, storage + 10 * line, index);
    }
    if (at != 0) at = last_line.read(text, size, at, last_slots, index);
    if (at == 0) break;
    done.bytes = at;
  }
  return done;
}

}  // namespace tolvik
