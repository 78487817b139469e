#include "text/data_line.h"

#include <cstdio>
#include <cstdlib>

#include "text/data_line_kernels.h"

namespace tolvik {
namespace {

// The lane tables, four lanes, for fields that start their lanes.
DataLineLayout::Lanes make_lanes(unsigned width) {
  constexpr unsigned char kZero = 0x80;    // a shuffle index that selects zero
  const unsigned significant = width - 6;  // the lead digit and the fraction digits
  // Field byte of significant digit s (0: the lead digit).
  auto digit_byte = [](unsigned s) { return static_cast<unsigned char>(s == 0 ? 1 : 2 + s); };
  DataLineLayout::Lanes lanes{};
  for (unsigned i = 0; i < 64; ++i) {
    const unsigned t = i % 16;
    lanes.expected[i] = t < width ? DataLineLayout::allowed_classes(width, t) : 0;
    lanes.outside[i] = t < width ? 0 : 1;
    const bool letter = lanes.expected[i] == DataLineLayout::kClassLetter;
    lanes.fold[i] = letter ? 0x20 : 0;
    lanes.flip[i] = t >= width                                         ? 0
                    : lanes.expected[i] == DataLineLayout::kClassDigit ? 0x30
                    : letter                                           ? 0x60
                                                                       : 0x20;
    unsigned char digit = kZero;
    if (t < 8 && t + significant >= 8) {
      digit = digit_byte(significant - 8 + t);
    } else if (t == 8 || t == 9) {
      digit = static_cast<unsigned char>(width - 10 + t);  // width - 2, width - 1
    } else if (t == 12 && significant == 9) {
      digit = digit_byte(0);
    } else if (t == 13) {
      digit = 0;
    } else if (t == 14) {
      digit = static_cast<unsigned char>(width - 3);
    }
    lanes.digits[i] = digit;
  }
  return lanes;
}

LineKernelFunction choose() noexcept {
#if defined(TOLVIK_FORCE_LINE_KERNEL)
  // A build for the tests that runs one kernel only.
  if (LineKernelFunction forced = line_kernel(LineKernel::TOLVIK_FORCE_LINE_KERNEL)) return forced;
  std::fputs("tolvik: this processor does not run the kernel this build is forced to use\n",
             stderr);
  std::abort();
#else
  for (LineKernel kernel : {LineKernel::Avx512, LineKernel::Avx2, LineKernel::Sse2}) {
    if (LineKernelFunction function = line_kernel(kernel)) return function;
  }
  return decode_line_portable;
#endif
}

// The decoders of a kernel without a table of its own: each passes its field
// count on to the kernel.
template <LineKernelFunction Kernel>
struct CountPassed {
  template <unsigned Width, unsigned Count>
  struct Decoder {
    static LineDecode line(const DataLineLayout& layout, const char* text, float* const* slots,
                           std::size_t index) noexcept {
      return Kernel(layout, text, Count, slots, index);
    }
  };
};
constexpr DecoderTable kPortableDecoders =
    decoder_table<CountPassed<decode_line_portable>::Decoder>();
#if defined(__x86_64__)
constexpr DecoderTable kSse2Decoders = decoder_table<CountPassed<decode_line_sse2>::Decoder>();
#endif

// The table of a kernel that line_kernel gives: one of the four kernels, the
// portable one when none of the others.
const DecoderTable& decoders_of(LineKernelFunction kernel) noexcept {
#if defined(__x86_64__)
  if (kernel == decode_line_sse2) return kSse2Decoders;
  if (kernel == decode_line_avx2) return avx2_decoders();
  if (kernel == decode_line_avx512) return avx512_decoders();
#endif
  (void)kernel;
  return kPortableDecoders;
}

}  // namespace

CountDecoder count_decoder(LineKernelFunction kernel, const DataLineLayout& layout,
                           unsigned count) noexcept {
  return decoder_at(decoders_of(kernel), layout, count);
}

DataLineLayout::DataLineLayout(std::uint64_t width) noexcept
    : fields_(width), width_(fields_.has_layout() ? static_cast<unsigned>(width) : 0) {
  if (!has_layout()) return;
  lanes_ = make_lanes(width_);
  for (unsigned i = 0; i < 64; ++i)
    spread_[i] = static_cast<unsigned char>(i / 16 * width_ + i % 16);
}

LineKernelFunction line_kernel(LineKernel kernel) noexcept {
  switch (kernel) {
    case LineKernel::Portable:
      return decode_line_portable;
#if defined(__x86_64__)
    case LineKernel::Sse2:
      return decode_line_sse2;
    case LineKernel::Avx2:
      return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma") ? decode_line_avx2
                                                                             : nullptr;
    case LineKernel::Avx512:
      return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                     __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512vl") &&
                     __builtin_cpu_supports("avx512vbmi") && __builtin_cpu_supports("bmi2") &&
                     __builtin_cpu_supports("fma")
                 ? decode_line_avx512
                 : nullptr;
#else
    case LineKernel::Sse2:
    case LineKernel::Avx2:
    case LineKernel::Avx512:
      return nullptr;
#endif
  }
  return nullptr;
}

LineKernelFunction chosen_line_kernel() noexcept {
  static const LineKernelFunction chosen = choose();
  return chosen;
}

}  // namespace tolvik
