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

}  // namespace

std::size_t read_buffered_line(const DataLineLayout& layout, LineKernelFunction kernel,
                               const char* text, std::size_t size, std::size_t at, unsigned count,
                               float* const* slots, std::size_t index) {
  const std::size_t width = layout.width();
  const std::size_t span = count * width;
  // The kernel reads sixteen bytes from the start of each field; the
  // terminator follows the last field.
  if (size - at < span - width + kFieldReadBytes) return 0;
  const LineDecode decoded = kernel(layout, text + at, count, slots, index);
  std::size_t end = at + span;
  if (text[end] == '\r' && end + 1 < size) ++end;
  if (decoded.shaped != (1u << count) - 1 || text[end] != '\n') return 0;
  for (std::uint32_t undone = decoded.shaped & ~decoded.done; undone != 0; undone &= undone - 1) {
    const auto field = static_cast<unsigned>(__builtin_ctz(undone));
    if (!resolve(layout, text + at + field * width, slots[field][index])) return 0;
  }
  return end + 1;
}

BlocksRead read_buffered_blocks(const DataLineLayout& layout, LineKernelFunction kernel,
                                const char* text, std::size_t size, std::uint64_t n,
                                float* const* storage, std::size_t index, std::size_t max_blocks) {
  // Lines of ten fields, then one of the rest (one to ten).
  const std::uint64_t full_lines = (n - 1) / 10;
  const auto last = static_cast<unsigned>(n - 10 * full_lines);
  float* const* const last_slots = storage + 10 * full_lines;
  BlocksRead done{0, 0};
  for (; done.blocks < max_blocks; ++done.blocks, ++index) {
    const std::size_t lead = ascii_line_length(text + done.bytes, size - done.bytes);
    if (lead == kNoAsciiLine) break;
    std::size_t at = done.bytes + lead + 1;
    for (std::uint64_t line = 0; line < full_lines && at != 0; ++line) {
      at = read_buffered_line(layout, kernel, text, size, at, 10, storage + 10 * line, index);
    }
    if (at != 0) at = read_buffered_line(layout, kernel, text, size, at, last, last_slots, index);
    if (at == 0) break;
    done.bytes = at;
  }
  return done;
}

}  // namespace tolvik
