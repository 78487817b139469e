// Checks the block readers of the vector kernels (BufferedBlocks with such a
// kernel) against the block reader of the portable kernel, which reads line
// by line: every block a vector reader reads, the portable one reads too,
// taking the same bytes and giving every value the same bits; and it reads at
// least the blocks the portable one does. (The portable reader wants sixteen
// bytes readable from each field's start, so near the end of the text it is
// given the bytes after it as well.) And the conversions those readers use,
// scaled_product::to_float and split_to_float, against the exact one: for
// every w below 10^6 (widths up to 12) and every exponent of their table, and
// for random w up to 10^9. Texts of many blocks in the simulation's layout at
// widths 11 to 15 with one to forty parameters and more, "\n" and "\r\n";
// fields of every kind (exponents past the shortcut's tables, float
// midpoints, zeros of both signs); every one-byte change to bytes that matter
// in the first blocks and around the ends of the first runs; every cut of the
// text and every limit on the blocks around a run's end. Prints the number of
// mismatches.
#include <bit>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "field_text.h"
#include "lib/buffered_blocks.h"
#include "text/data_line.h"
#include "text/parse_float.h"
#include "text/scaled_product.h"

namespace {

using tolvik::BlocksRead;
using tolvik::BufferedBlocks;
using tolvik::DataLineLayout;
using tolvik::LineKernel;

std::mt19937_64 random_bits(20261208);

unsigned below(unsigned n) {
  return static_cast<unsigned>(random_bits() % n);
}

// A field of the given width, its exponent letter now and then lower case.
std::string any_field(unsigned width, std::uint64_t w, int x, char sign) {
  return field_of(width, w, x, sign, below(8) == 0 ? 'e' : 'E');
}

std::string random_field(unsigned width) {
  std::uint64_t top = 1;
  for (unsigned i = 0; i < width - 6; ++i) top *= 10;
  const char sign = " -+"[below(3)];
  switch (below(16)) {
    case 0:  // any written exponent, the shortcut's tables' ends included
      return any_field(width, random_bits() % top, static_cast<int>(below(199)) - 99, sign);
    case 1:  // zero
      return any_field(width, 0, static_cast<int>(below(21)) - 10, sign);
    case 2: {  // an odd multiple of 2^j from 2^(24 + j): a float midpoint
      std::uint64_t m = ((std::uint64_t{1} << 24) + 2 * below(1u << 23) + 1) << below(5);
      int x = static_cast<int>(width) - 7;
      while (m >= top) {
        if (m % 10 != 0) return any_field(width, random_bits() % top, 0, sign);
        m /= 10;
        ++x;
      }
      while (m * 10 < top) m *= 10, --x;
      return any_field(width, m, x, sign);
    }
    default:
      return any_field(width, random_bits() % top, static_cast<int>(below(25)) - 12, sign);
  }
}

// Blocks whose lead lines mostly keep the length of the one before, as a
// simulation writes them (the AVX-512 reader takes a block to be like the
// one before), now and then another.
std::string random_text(unsigned width, std::uint64_t n, unsigned blocks, bool crlf) {
  std::string text;
  const char* end = crlf ? "\r\n" : "\n";
  unsigned lead = below(30);
  for (unsigned b = 0; b < blocks; ++b) {
    if (below(4) == 0) lead = below(30);
    for (unsigned i = 0; i < lead; ++i) text += static_cast<char>(' ' + below(95));
    text += end;
    for (std::uint64_t p = 0; p < n; ++p) {
      text += random_field(width);
      if (p % 10 == 9 || p + 1 == n) text += end;
    }
  }
  return text;
}

struct Checker {
  long checks = 0;
  long mismatches = 0;

  // Reads the first `size` bytes of `text`, at most `max_blocks` blocks, with
  // the block reader of `kernel` and with the portable one.
  void run(const std::string& text, std::size_t size, std::size_t max_blocks, unsigned width,
           std::uint64_t n, LineKernel kernel, const char* name) {
    const DataLineLayout layout(width);
    if (tolvik::line_kernel(kernel) == nullptr) return;
    ++checks;
    // The text with bytes past `size` that the vector reader must not depend on:
    // a line end first, then anything.
    std::string buffer = text.substr(0, size) + '\n';
    for (int i = 1; i < 64; ++i) buffer += static_cast<char>(random_bits());
    std::vector<float> cells[2];
    auto read = [&](int k, LineKernel with, std::size_t bytes, std::size_t limit) {
      BufferedBlocks reader(layout, tolvik::line_kernel(with), n);
      cells[k].assign(n * (max_blocks + 1), 0.0f);
      std::vector<float*> storage(n);
      for (std::uint64_t p = 0; p < n; ++p) storage[p] = cells[k].data() + p * (max_blocks + 1) + 1;
      return reader.read(buffer.data(), bytes, storage.data(), 0, limit);
    };
    const BlocksRead least = read(1, LineKernel::Portable, size, max_blocks);
    const BlocksRead got = read(0, kernel, size, max_blocks);
    const BlocksRead want = read(1, LineKernel::Portable, size + 64, got.blocks);
    bool same = got.blocks == want.blocks && got.bytes == want.bytes && got.bytes <= size &&
                got.blocks >= least.blocks;
    for (std::uint64_t p = 0; same && p < n; ++p) {
      const std::size_t row = p * (max_blocks + 1) + 1;
      same = std::memcmp(cells[0].data() + row, cells[1].data() + row,
                         got.blocks * sizeof(float)) == 0;
    }
    if (!same && ++mismatches <= 10) {
      std::printf(
          "%s kernel, width %u, %llu parameters, %zu bytes, at most %zu blocks: "
          "%zu blocks / %zu bytes; portable %zu / %zu, within the bytes %zu\n",
          name, width, static_cast<unsigned long long>(n), size, max_blocks, got.blocks, got.bytes,
          want.blocks, want.bytes, least.blocks);
    }
  }

  // Every block reader of a vector kernel that this processor runs (the SSE2
  // kernel has none: it reads line by line, as the portable one does).
  void all_kernels(const std::string& text, std::size_t size, std::size_t max_blocks,
                   unsigned width, std::uint64_t n) {
    run(text, size, max_blocks, width, n, LineKernel::Avx512, "avx512");
    run(text, size, max_blocks, width, n, LineKernel::Avx2, "avx2");
  }
};

// Where block b of the text starts.
std::vector<std::size_t> block_starts(const std::string& text, std::uint64_t n) {
  std::vector<std::size_t> starts;
  const std::uint64_t lines = 1 + (n + 9) / 10;
  std::size_t at = 0;
  while (at < text.size()) {
    starts.push_back(at);
    for (std::uint64_t i = 0; i < lines; ++i) at = text.find('\n', at) + 1;
  }
  starts.push_back(text.size());
  return starts;
}

// The float nearest w * 10^e, from the exact algorithm.
float exact(std::uint64_t w, int e) {
  float value;
  if (tolvik::scaled_decimal_to_float(w, e, value)) return value;
  const std::string text = std::to_string(w) + "e" + std::to_string(e);
  tolvik::ParseFloatError error;
  tolvik::parse_float32(text, value, error);
  return value;
}

// The conversions of the vector block readers (scaled_product::to_float, and
// split_to_float, which looks 10^e up as two factors) wherever they decide,
// against the exact value; returns how many they left undecided.
long check_products(Checker& check) {
  namespace sp = tolvik::scaled_product;
  long undecided = 0;
  auto one = [&](std::uint32_t w, int e) {
    for (auto convert : {sp::to_float, sp::split_to_float}) {
      float got;
      ++check.checks;
      if (!convert(w, e, got)) {
        ++undecided;
        continue;
      }
      if (std::bit_cast<std::uint32_t>(got) != std::bit_cast<std::uint32_t>(exact(w, e)) &&
          ++check.mismatches <= 10) {
        std::printf("scaled product: %u * 10^%d\n", w, e);
      }
    }
  };
  for (int e = sp::kMinExponent; e <= sp::kMaxExponent; ++e) {
    for (std::uint32_t w = 0; w < 1000000; ++w) one(w, e);
    for (int i = 0; i < 100000; ++i) one(static_cast<std::uint32_t>(random_bits() % 1000000000), e);
  }
  return undecided;
}

}  // namespace

int main() {
  Checker check;
  const long undecided = check_products(check);
  const std::uint64_t counts[] = {1, 5, 10, 11, 23, 25, 40};
  const char changes[] = {' ', '0', '-', '.', 'e', 'x', '\n', '\r', '\x80'};
  for (unsigned width = 11; width <= 15; ++width) {
    for (const std::uint64_t n : counts) {
      for (const bool crlf : {false, true}) {
        const unsigned blocks = 18;  // a run of sixteen (two of eight), and two more
        // Blocks around the ends of runs of eight and of sixteen.
        const std::size_t run_ends[] = {8, 16};
        std::string text = random_text(width, n, blocks, crlf);
        const std::vector<std::size_t> starts = block_starts(text, n);
        check.all_kernels(text, text.size(), blocks, width, n);
        // Every one-byte change in the first block and in the blocks around
        // the ends of the first runs; elsewhere a sample.
        for (std::size_t i = 0; i < text.size(); ++i) {
          bool near = i < starts[1];
          for (const std::size_t end : run_ends)
            near |= i >= starts[end - 1] && i < starts[end + 1];
          if (!near && below(8) != 0) continue;
          const char original = text[i];
          for (const char c : changes) {
            if (!near && below(4) != 0) continue;
            text[i] = c;
            check.all_kernels(text, text.size(), blocks, width, n);
          }
          text[i] = original;
        }
        // Every cut of the text near the ends of the first runs and of the
        // text, and every limit on the blocks near a run's end.
        for (const std::size_t end : run_ends) {
          for (std::size_t size = starts[end - 1]; size <= starts[end + 1]; ++size) {
            check.all_kernels(text, size, blocks, width, n);
          }
        }
        for (std::size_t size = starts[blocks - 1]; size <= text.size(); ++size) {
          check.all_kernels(text, size, blocks, width, n);
        }
        for (std::size_t limit = 0; limit <= blocks; ++limit) {
          check.all_kernels(text, text.size(), limit, width, n);
        }
      }
    }
  }
  // Blocks of many parameters: runs of fewer blocks, and none at all.
  for (const std::uint64_t n : {257, 300, 513, 1000, 4097}) {
    for (unsigned width : {12u, 15u}) {
      const std::string text = random_text(width, n, 20, false);
      check.all_kernels(text, text.size(), 20, width, n);
    }
  }
  std::printf("%ld mismatches in %ld checks (%ld conversions left to the exact algorithm)\n",
              check.mismatches, check.checks, undecided);
  return check.mismatches == 0 ? 0 : 1;
}
