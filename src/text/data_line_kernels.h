// The line kernels, one per instruction set; each has exactly the contract of
// LineKernelFunction. Only the choice of kernel and the checks that compare
// the kernels call them by name.
#pragma once

#include <array>
#include <cstddef>
#include <utility>

#include "text/data_line.h"

namespace tolvik {

// The reference: field by field, in plain C++.
LineDecode decode_line_portable(const DataLineLayout& layout, const char* line, unsigned count,
                                float* const* slots, std::size_t index) noexcept;

#if defined(__x86_64__)
// The whole line's layout checked sixteen bytes at a time, then field by field
// (SSE2, which every x86-64 processor has).
LineDecode decode_line_sse2(const DataLineLayout& layout, const char* line, unsigned count,
                            float* const* slots, std::size_t index) noexcept;
// Two fields to a 256-bit register, four converted at once (AVX2 and FMA).
LineDecode decode_line_avx2(const DataLineLayout& layout, const char* line, unsigned count,
                            float* const* slots, std::size_t index) noexcept;
// Four fields to a 512-bit register, eight converted at once (AVX-512 with
// the BW, VL and VBMI extensions, and FMA).
LineDecode decode_line_avx512(const DataLineLayout& layout, const char* line, unsigned count,
                              float* const* slots, std::size_t index) noexcept;
#endif

// A kernel's decoders, one for each width (11 to 15) and field count (1 to
// 10), from its Decoder<Width, Count>::line: table[width - 11][count - 1].
using DecoderTable = std::array<std::array<CountDecoder, kMaxLineFields>, 5>;
template <template <unsigned, unsigned> class Decoder, unsigned Width, std::size_t... C>
constexpr std::array<CountDecoder, sizeof...(C)> decoders_of_width(std::index_sequence<C...>) {
  return {Decoder<Width, C + 1>::line...};
}
template <template <unsigned, unsigned> class Decoder, std::size_t... W>
constexpr auto decoders_of_widths(std::index_sequence<W...>) {
  return std::array{
      decoders_of_width<Decoder, W + 11>(std::make_index_sequence<kMaxLineFields>())...};
}
template <template <unsigned, unsigned> class Decoder>
constexpr auto decoder_table() {
  return decoders_of_widths<Decoder>(std::make_index_sequence<5>());
}

// The decoder of `table` for the layout's width (which has the layout) and
// `count` fields.
inline CountDecoder decoder_at(const DecoderTable& table, const DataLineLayout& layout,
                               unsigned count) noexcept {
  return table[layout.width() - 11][count - 1];
}

// The decoder tables of the vector kernels.
#if defined(__x86_64__)
const DecoderTable& avx2_decoders() noexcept;
const DecoderTable& avx512_decoders() noexcept;
#endif

// A vector kernel's entry: the decoder for the layout's width and the line's
// field count, or the reference at a width without the layout.
inline LineDecode decode_with_table(const DecoderTable& table, const DataLineLayout& layout,
                                    const char* line, unsigned count, float* const* slots,
                                    std::size_t index) noexcept {
  if (!layout.has_layout()) return decode_line_portable(layout, line, count, slots, index);
  return decoder_at(table, layout, count)(layout, line, slots, index);
}

// What a vector decoder returns when all Count fields have the layout: the
// fields whose values it stored.
template <unsigned Count>
constexpr LineDecode whole_line(unsigned done) noexcept {
  constexpr unsigned kAll = (1u << Count) - 1;
  return {kAll, done & kAll};
}

}  // namespace tolvik
