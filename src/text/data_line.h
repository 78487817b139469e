// A data line in the simulation's layout decoded whole: each field a blank or
// a sign, one digit, a point, width - 7 fraction digits, an exponent letter,
// the exponent's sign and two digits (see e_field.h), up to ten fields with
// no separator.
//
// A line kernel tells, for each of the line's first `count` fields, whether it
// has the layout, and stores the value of every such field whose value the
// one-operation double shortcut (fast_decimal.h) covers. Fields it gives no
// value for are left to the caller, which reads them the general way; a
// field's value, where given, is the one parse_float32 gives for the field's
// text.
//
// There are several kernels, one per instruction set, all with exactly the
// same contract; the portable kernel is the reference that the others are
// checked against. The kernel is chosen once per process, from what the
// processor runs.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "text/e_field.h"

namespace tolvik {

// The most fields a data line holds.
constexpr unsigned kMaxLineFields = 10;
// Bytes that must be readable from the start of each field: the kernels read a
// field as sixteen bytes, so up to 16 - width bytes past the line's last
// field (which do not change the outcome).
constexpr unsigned kFieldReadBytes = 16;

// Bit f stands for field f.
struct LineDecode {
  std::uint32_t shaped;  // the field has the layout
  std::uint32_t done;    // its value is stored (always a subset of shaped)
};

// What the kernels need to know about one field width, made once per read.
class DataLineLayout {
 public:
  explicit DataLineLayout(std::uint64_t width) noexcept;

  // Widths 11 to 15 have the layout; at any other width no field has it.
  bool has_layout() const noexcept { return fields_.has_layout(); }
  unsigned width() const noexcept { return width_; }
  const EFieldLayout& fields() const noexcept { return fields_; }

  // Tables for the kernels that read each field as sixteen bytes (a lane)
  // that start with it, four lanes side by side (kernels with narrower
  // registers take the first two or one).
  struct Lanes {
    // Per byte: the classes of byte the field allows there (0 outside the
    // field; see kClass* below).
    alignas(64) std::array<unsigned char, 64> expected;
    // Per byte: 1 outside the field, 0 inside.
    alignas(64) std::array<unsigned char, 64> outside;
    // Shuffle of the bytes less '0' (0x80 selects zero): bytes 0 to 7 the
    // significand's last eight digits, right aligned; 8 and 9 the exponent's
    // digits; 12 the ninth digit from the end, if any; 13 the value's sign
    // and 14 the exponent's sign (' ', '+' and '-' less '0' are 0xF0, 0xFB
    // and 0xFD: bit 2 is set for '-' alone). It serves as well for the bytes
    // folded and flipped as below, where a digit becomes its value and ' ',
    // '+' and '-' become 0x00, 0x0B and 0x0D (bit 2 likewise).
    alignas(64) std::array<unsigned char, 64> digits;
    // Per byte, for the kernels that take a byte's class from its low four
    // bits: a bit to set (0x20 at the exponent letter, where 'E' and 'e' then
    // become alike), then the bits to flip: the high four bits of the bytes
    // the field allows there (0x30 at a digit, 0x20 at a blank, sign or
    // point, 0x60 at the letter; 0 outside the field). A byte the field
    // allows there then is below 16, and its class is kClassLow's for it.
    alignas(64) std::array<unsigned char, 64> fold;
    alignas(64) std::array<unsigned char, 64> flip;
  };
  const Lanes& lanes() const noexcept { return lanes_; }
  // After the shuffle, multiply-adds of byte pairs by (10, 1) and of word
  // pairs by these weights give four 32-bit words per lane: the digits 0 to 3
  // and 4 to 7 as numbers, the exponent's digits as a number, and a code: the
  // ninth digit + 16 * the value's sign + 4096 * the exponent's sign.
  static constexpr std::array<std::int16_t, 8> kPairWeights = {100, 1, 100, 1, 1, 0, 1, 4096};
  // The byte weights of the first multiply-add: (10, 1) for digit pairs,
  // (1, 16) for the ninth digit and the value's sign, (1, 0) for the
  // exponent's sign.
  static constexpr std::array<std::int8_t, 16> kByteWeights = {10, 1, 10, 1, 10, 1,  10, 1,
                                                               10, 1, 0,  0, 1,  16, 1,  0};

  // Byte j of lane i is byte i * width + j of four fields (for a byte
  // permutation that spreads four fields into four lanes).
  const std::array<unsigned char, 64>& spread() const noexcept { return spread_; }

  // Byte classes: what a byte of a field in the layout may be.
  static constexpr unsigned char kClassDigit = 0x01;   // '0' to '9'
  static constexpr unsigned char kClassBlank = 0x02;   // ' '
  static constexpr unsigned char kClassSign = 0x04;    // '+' or '-'
  static constexpr unsigned char kClassPoint = 0x08;   // '.'
  static constexpr unsigned char kClassLetter = 0x10;  // 'E' or 'e'
  // A byte's class is high[byte >> 4] & low[byte & 15] (0 for a byte of no
  // class, every byte from 0x80 on included when looked up by shuffle).
  static constexpr std::array<unsigned char, 16> kClassHigh = {
      0,
      0,
      kClassBlank | kClassSign | kClassPoint,
      kClassDigit,
      kClassLetter,
      0,
      kClassLetter,
      0,
      0,
      0,
      0,
      0,
      0,
      0,
      0,
      0};
  static constexpr std::array<unsigned char, 16> kClassLow = {kClassBlank | kClassDigit,
                                                              kClassDigit,
                                                              kClassDigit,
                                                              kClassDigit,
                                                              kClassDigit,
                                                              kClassDigit | kClassLetter,
                                                              kClassDigit,
                                                              kClassDigit,
                                                              kClassDigit,
                                                              kClassDigit,
                                                              0,
                                                              kClassSign,
                                                              0,
                                                              kClassSign,
                                                              kClassPoint,
                                                              0};

  // The classes of byte allowed at byte i of a field of the given width.
  static constexpr unsigned char allowed_classes(unsigned width, unsigned i) {
    if (i == 0) return kClassBlank | kClassSign;
    if (i == 2) return kClassPoint;
    if (i == width - 4) return kClassLetter;
    if (i == width - 3) return kClassSign;
    return kClassDigit;
  }

  // The written exponent plus this is the table index of the double
  // shortcut (fast_decimal.h), e + 22.
  int exponent_bias() const noexcept { return 22 - static_cast<int>(width_ - 7); }

 private:
  EFieldLayout fields_;
  unsigned width_;
  Lanes lanes_{};
  alignas(64) std::array<unsigned char, 64> spread_{};
};

// Decodes the first `count` fields (1 to kMaxLineFields) of the data line at
// `line`, any bytes, kFieldReadBytes readable from the start of each field.
// For each field f it tells whether the field has the layout (shaped) and
// whether, in addition, the double shortcut covers its value (done); the
// value of each done field is stored at slots[f][index]. slots[f][index] may
// be written for any f below count, done or not.
using LineKernelFunction = LineDecode (*)(const DataLineLayout& layout, const char* line,
                                          unsigned count, float* const* slots,
                                          std::size_t index) noexcept;

// A kernel's decoder for the data lines of one field count at one width that
// has the layout: the contract of LineKernelFunction with that count.
using CountDecoder = LineDecode (*)(const DataLineLayout& layout, const char* line,
                                    float* const* slots, std::size_t index) noexcept;

// The decoder of `kernel` (a kernel that line_kernel or chosen_line_kernel
// gave) for lines of `count` fields, 1 to kMaxLineFields, at the width of
// `layout`, which has the layout. Chosen once for many lines, it spares each
// line the kernel's choice by width and count.
CountDecoder count_decoder(LineKernelFunction kernel, const DataLineLayout& layout,
                           unsigned count) noexcept;

enum class LineKernel { Portable, Sse2, Avx2, Avx512 };

// The kernel of this process: the fastest that the processor runs (or, in a
// build for the tests that forces one, that one).
LineKernelFunction chosen_line_kernel() noexcept;

// Every kernel built in, for the checks that compare them: null for one
// that this build lacks or this processor does not run.
LineKernelFunction line_kernel(LineKernel kernel) noexcept;

}  // namespace tolvik
