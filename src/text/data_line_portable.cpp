#include "text/data_line_kernels.h"

namespace tolvik {

LineDecode decode_line_portable(const DataLineLayout& layout, const char* line, unsigned count,
                                float* const* slots, std::size_t index) noexcept {
  LineDecode result{0, 0};
  const EFieldLayout& fields = layout.fields();
  for (unsigned f = 0; f < count; ++f) {
    const char* field = line + f * layout.width();
    if (!fields.matches(field)) continue;
    result.shaped |= 1u << f;
    if (fields.shaped_fast_value(field, slots[f][index])) result.done |= 1u << f;
  }
  return result;
}

}  // namespace tolvik
