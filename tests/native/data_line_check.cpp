// Checks every line kernel this machine runs against a plain statement of the
// kernels' contract, and so against each other. For widths 11 to 15 and lines
// of 1 to 10 fields: every one-byte change of a line in the layout to every
// byte value, with other bytes past the fields each time; and lines whose
// fields run through every written exponent, every digit in every position,
// the limits of the double shortcut and values that are float midpoints.
// Prints the number of mismatches.
#include <bit>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "field_text.h"
#include "text/data_line.h"
#include "text/fast_decimal.h"
#include "text/parse_float.h"

namespace {

using tolvik::LineKernel;
using tolvik::LineKernelFunction;

constexpr LineKernel kKernels[] = {LineKernel::Portable, LineKernel::Sse2, LineKernel::Avx2,
                                   LineKernel::Avx512};
constexpr const char* kNames[] = {"portable", "sse2", "avx2", "avx512"};

std::mt19937_64 random_bits(20261208);

unsigned below(unsigned n) {
  return static_cast<unsigned>(random_bits() % n);
}

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

// Whether the field of the given width has the layout, byte by byte.
bool in_layout(const char* field, unsigned width) {
  for (unsigned i = 0; i < width; ++i) {
    const char c = field[i];
    const bool ok = i == 0              ? c == ' ' || c == '+' || c == '-'
                    : i == 2            ? c == '.'
                    : i == width - 4    ? c == 'E' || c == 'e'
                    : i == width - 3    ? c == '+' || c == '-'
                                        : is_digit(c);
    if (!ok) return false;
  }
  return true;
}

struct Expected {
  bool shaped = false;
  bool done = false;
  float value = 0;
};

// What a kernel must report for one field: its layout; whether the double
// shortcut covers w * 10^e, from the digits read one by one; and then the
// value parse_float32 gives for the field's text.
Expected expected(const char* field, unsigned width) {
  Expected out;
  if (!in_layout(field, width)) return out;
  out.shaped = true;
  std::uint64_t w = static_cast<std::uint64_t>(field[1] - '0');
  for (unsigned i = 3; i < width - 4; ++i) w = w * 10 + static_cast<std::uint64_t>(field[i] - '0');
  const int written = (field[width - 2] - '0') * 10 + (field[width - 1] - '0');
  const std::int64_t e = (field[width - 3] == '-' ? -written : written) - (static_cast<int>(width) - 7);
  float shortcut;
  out.done = tolvik::fast_decimal_to_float(w, e, shortcut);
  if (out.done) {
    std::string text(field, width);
    if (text[0] == ' ') text.erase(0, 1);
    tolvik::ParseFloatError error;
    tolvik::parse_float32(text, out.value, error);
  }
  return out;
}

std::string random_field(unsigned width, bool realistic) {
  std::string field(width, '0');
  for (char& c : field) c = static_cast<char>('0' + below(10));
  field[0] = " +-"[below(3)];
  field[2] = '.';
  field[width - 4] = below(2) ? 'E' : 'e';
  const unsigned exponent = realistic ? below(13) : below(100);
  field[width - 3] = below(2) ? '+' : '-';
  field[width - 2] = static_cast<char>('0' + exponent / 10);
  field[width - 1] = static_cast<char>('0' + exponent % 10);
  return field;
}

struct Checker {
  long checks = 0;
  long mismatches = 0;

  void report(const char* what, unsigned kernel, const std::string& line, unsigned count) {
    if (++mismatches <= 10) {
      std::printf("%s: %s kernel, %u fields: \"%s\"\n", what, kNames[kernel], count, line.c_str());
    }
  }

  // Runs every kernel on the first `count` fields of `line`, with arbitrary
  // bytes past them, and compares each with the plain statement.
  void line(const std::string& text, unsigned width, unsigned count) {
    std::vector<Expected> want(count);
    for (unsigned f = 0; f < count; ++f) want[f] = expected(text.data() + f * width, width);
    const tolvik::DataLineLayout layout(width);
    std::string buffer = text.substr(0, count * width);
    for (unsigned i = 0; i < tolvik::kFieldReadBytes; ++i) {
      buffer += static_cast<char>(random_bits());
    }
    for (unsigned k = 0; k < std::size(kKernels); ++k) {
      const LineKernelFunction kernel = tolvik::line_kernel(kKernels[k]);
      if (kernel == nullptr) continue;
      ++checks;
      float values[16];
      float* slots[16];
      const float untouched = std::bit_cast<float>(0x7F8DEAD1u);
      for (unsigned f = 0; f < 16; ++f) values[f] = untouched, slots[f] = values + f;
      const tolvik::LineDecode got = kernel(layout, buffer.data(), count, slots, 0);
      for (unsigned f = 0; f < count; ++f) {
        const bool shaped = got.shaped >> f & 1;
        const bool done = got.done >> f & 1;
        if (shaped != want[f].shaped || done != want[f].done) {
          report("layout or shortcut", k, text, count);
          break;
        }
        if (done && std::bit_cast<std::uint32_t>(values[f]) !=
                        std::bit_cast<std::uint32_t>(want[f].value)) {
          report("value", k, text, count);
          break;
        }
      }
      if ((got.shaped | got.done) >> count != 0) report("bits past the line", k, text, count);
      for (unsigned f = count; f < 16; ++f) {
        if (std::bit_cast<std::uint32_t>(values[f]) != std::bit_cast<std::uint32_t>(untouched)) {
          report("a slot past the line written", k, text, count);
          break;
        }
      }
    }
  }

  // Lines of up to ten of the given fields, each field once in each position.
  void fields(const std::vector<std::string>& all, unsigned width) {
    for (std::size_t start = 0; start < all.size(); start += 10) {
      std::string text;
      unsigned count = 0;
      for (std::size_t i = start; i < all.size() && count < 10; ++i, ++count) text += all[i];
      line(text, width, count);
      // The same fields in every other position of a full line.
      if (count == 10) {
        for (unsigned shift = 1; shift < 10; ++shift) {
          line(text.substr(shift * width) + text.substr(0, shift * width), width, 10);
        }
      }
    }
  }
};

}  // namespace

int main() {
  Checker check;
  for (unsigned width = 11; width <= 15; ++width) {
    const unsigned digits = width - 6;
    std::uint64_t top = 1;  // 10^digits
    for (unsigned i = 0; i < digits; ++i) top *= 10;

    // Every one-byte change of a line, to every byte value.
    for (unsigned count = 1; count <= 10; ++count) {
      std::string text;
      for (unsigned f = 0; f < count; ++f) text += random_field(width, f % 2 == 0);
      check.line(text, width, count);
      for (unsigned i = 0; i < count * width; ++i) {
        const char original = text[i];
        for (int c = 0; c < 256; ++c) {
          text[i] = static_cast<char>(c);
          check.line(text, width, count);
        }
        text[i] = original;
      }
    }

    std::vector<std::string> all;
    // Every written exponent, both signs of the value, both letters.
    for (int x = -99; x <= 99; ++x) {
      std::string field = field_of(width, random_bits() % top, x, "+- "[below(3)]);
      if (below(2)) field[width - 4] = 'e';
      all.push_back(field);
    }
    // Every digit in every position.
    for (unsigned position = 0; position < digits; ++position) {
      for (unsigned d = 0; d <= 9; ++d) {
        std::string field = field_of(width, random_bits() % top, static_cast<int>(below(25)) - 12);
        field[position == 0 ? 1 : 2 + position] = static_cast<char>('0' + d);
        all.push_back(field);
      }
    }
    // The shortcut's limits: the exponents at and just past each end of its
    // table, with the largest and smallest significands.
    for (int e : {-23, -22, 22, 23}) {
      const int x = e + static_cast<int>(width - 7);
      if (x < -99 || x > 99) continue;
      for (std::uint64_t w : {std::uint64_t{1}, top - 1}) all.push_back(field_of(width, w, x));
    }
    for (std::uint64_t w : {std::uint64_t{0}, std::uint64_t{1}, top / 10, top - 1}) {
      for (int x : {-99, -45, -22, -12, 0, 12, 22, 45, 99}) all.push_back(field_of(width, w, x));
    }
    // Float midpoints: odd multiples of 2^j in [2^(24 + j), 2^(25 + j)) lie
    // halfway between two floats; written as an integer, or times 10^k with
    // k more fraction digits, as far as the width's digits go.
    for (unsigned j = 0; j < 6; ++j) {
      for (int repeat = 0; repeat < 20; ++repeat) {
        const std::uint64_t m = ((std::uint64_t{1} << 24) + 2 * below(1u << 23) + 1) << j;
        int x = static_cast<int>(digits) - 1;  // the written exponent of w * 10^0
        for (std::uint64_t w = m; w < top; w *= 10, --x) all.push_back(field_of(width, w, x));
      }
    }
    check.fields(all, width);
  }
  std::printf("%ld mismatches in %ld checks\n", check.mismatches, check.checks);
  return check.mismatches == 0 ? 0 : 1;
}
