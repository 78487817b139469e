#include "text/data_line_kernels.h"

#if defined(__x86_64__)

namespace tolvik {

LineDecode decode_line_sse2(const DataLineLayout& layout, const char* line, unsigned count,
                            float* const* slots, std::size_t index) noexcept {
  const EFieldLayout& fields = layout.fields();
  // Usually the whole line is in the layout; otherwise each field is looked at.
  if (!fields.line_matches(line, count)) {
    return decode_line_portable(layout, line, count, slots, index);
  }
  LineDecode result{(1u << count) - 1, 0};
  for (unsigned f = 0; f < count; ++f) {
    if (fields.shaped_fast_value(line + f * layout.width(), slots[f][index])) {
      result.done |= 1u << f;
    }
  }
  return result;
}

}  // namespace tolvik

#endif
