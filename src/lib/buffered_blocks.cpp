#include "lib/buffered_blocks.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "text/ascii_line.h"
#include "text/parse_float.h"

namespace tolvik {

bool resolve_field(const DataLineLayout& layout, const char* field, float& value) {
  if (layout.fields().shaped_value(field, value)) return true;
  std::string_view text(field, layout.width());
  if (text.front() == ' ') text.remove_prefix(1);
  ParseFloatError error;
  return parse_float32(text, value, error);
}

namespace {

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
      if (!resolve_field(layout_, text + at + field * width_, slots[field][index])) return 0;
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

void size_block_scratch(BlockScratch& scratch, std::uint64_t n, const BlockRunPasses& passes) {
  // Runs of run_blocks blocks (each parameter's values of a run then fill
  // one whole-register store), fewer for blocks of many parameters; blocks of
  // more than 4096 parameters are read line by line.
  constexpr std::uint64_t kRunFields = 4096;
  if (n > kRunFields) return;
  const std::size_t run_blocks = passes.run_blocks;
  const std::size_t blocks =
      n <= kRunFields / run_blocks ? run_blocks : static_cast<std::size_t>(kRunFields / n);
  const std::size_t fields = blocks * static_cast<std::size_t>(n);
  // Room past the last field for the vector code's whole-register loads and
  // stores (up to fifteen fields' words, sixteen values); zeroed, so that no
  // unset word is ever read.
  if (passes.words_per_field != 0) {
    const std::size_t words = passes.words_per_field * fields + 64;
    scratch.words.reserve_exact(words);
    std::memset(scratch.words.data(), 0, words * sizeof(std::uint32_t));
  }
  scratch.values.reserve_exact(fields + 16);
  std::memset(scratch.values.data(), 0, (fields + 16) * sizeof(float));
  // At most one entry for each group of fields converted together: eight at
  // the least, within a block or across block ends.
  scratch.undone.reserve_exact(blocks * static_cast<std::size_t>((n + 7) / 8) + fields / 8 + 1);
  scratch.run_fields = fields;
  scratch.run_blocks = blocks;
}

namespace {

// The text of parameter p of the block from `block` to `end`, a block read
// whole (rare: for a value left to the exact algorithm).
const char* field_text(const char* block, const char* end, std::uint64_t p, unsigned width) {
  auto after_line = [end](const char* line) {
    return static_cast<const char*>(std::memchr(line, '\n', static_cast<std::size_t>(end - line))) +
           1;
  };
  const char* line = after_line(block);  // the lead line
  for (std::uint64_t k = 0; k < p / 10; ++k) line = after_line(line);
  return line + (p % 10) * width;
}

// Where the blocks of a run lie, for resolving the values left undone.
struct BlockRun {
  const DataLineLayout& layout;
  const char* text;
  const std::size_t* block_starts;  // where each block starts, and where the last one ends
  std::uint64_t n;
};

// Resolves the values left undone (`count` groups, in file order) into
// `values`, the run's in file order; returns the blocks of the run that are
// read, fewer than `blocks` when a field cannot be read after all (the run
// then ends before its block). Out of line: rare.
[[gnu::cold, gnu::noinline]] std::size_t resolve_undone(const BlockRun& run,
                                                        const BlockScratch::Undone* undone,
                                                        std::size_t count, float* values,
                                                        std::size_t blocks) {
  for (std::size_t i = 0; i < count; ++i) {
    for (unsigned left = undone[i].fields; left != 0; left &= left - 1) {
      const std::size_t field = undone[i].first + static_cast<unsigned>(__builtin_ctz(left));
      const std::size_t block = field / run.n;
      if (block >= blocks) return blocks;
      const char* text =
          field_text(run.text + run.block_starts[block], run.text + run.block_starts[block + 1],
                     field % run.n, run.layout.width());
      if (!resolve_field(run.layout, text, values[field])) return block;
    }
  }
  return blocks;
}

// BufferedBlocks::read with a vector kernel's block reader, run after run.
BlocksRead read_block_runs(const BlockRunPasses& passes, const DataLineLayout& layout,
                           const char* text, std::size_t size, std::uint64_t n,
                           float* const* storage, std::size_t index, std::size_t max_blocks,
                           BlockScratch& scratch) {
  BlocksRead done{0, 0};
  while (done.blocks < max_blocks) {
    const std::size_t wanted = std::min(scratch.run_blocks, max_blocks - done.blocks);
    std::size_t block_starts[kMaxRunBlocks + 1];  // and where the last one ends
    block_starts[0] = done.bytes;
    scratch.cut = false;
    std::size_t blocks = passes.fields(layout, text, size, n, wanted, block_starts, scratch);
    // A run cut short by a field that cannot be read after all is no cut.
    bool cut = blocks < wanted && scratch.cut;
    if (blocks != 0) {
      const std::size_t undone = passes.values != nullptr
                                     ? passes.values(layout, blocks * n, scratch)
                                     : scratch.undone.size();
      if (undone != 0) {
        const std::size_t resolved =
            resolve_undone({layout, text, block_starts, n}, scratch.undone.data(), undone,
                           scratch.values.data(), blocks);
        if (resolved < blocks) {
          blocks = resolved;
          cut = false;
        }
      }
    }
    if (blocks != 0) {
      passes.columns(scratch.values.data(), blocks, n, storage, index + done.blocks);
      done.blocks += blocks;
      done.bytes = block_starts[blocks];
    }
    if (blocks < wanted) {
      done.cut = cut;
      break;
    }
  }
  return done;
}

}  // namespace

BufferedBlocks::BufferedBlocks(const DataLineLayout& layout, LineKernelFunction kernel,
                               std::uint64_t n)
    : layout_(layout), kernel_(kernel), n_(n) {
#if defined(__x86_64__)
  if (kernel == line_kernel(LineKernel::Avx512)) runs_ = &kAvx512BlockRuns;
  if (kernel == line_kernel(LineKernel::Avx2)) runs_ = &kAvx2BlockRuns;
#endif
  if (runs_ == nullptr) return;
  size_block_scratch(scratch_, n, *runs_);
  if (scratch_.run_blocks != 0 && runs_->prepare != nullptr) runs_->prepare(layout, n, scratch_);
}

BlocksRead BufferedBlocks::read(const char* text, std::size_t size, float* const* storage,
                                std::size_t index, std::size_t max_blocks) {
  if (scratch_.run_blocks != 0) {
    return read_block_runs(*runs_, layout_, text, size, n_, storage, index, max_blocks, scratch_);
  }
  // Lines of ten fields, then one of the rest (one to ten).
  const std::uint64_t full_lines = (n_ - 1) / 10;
  const auto last = static_cast<unsigned>(n_ - 10 * full_lines);
  float* const* const last_slots = storage + 10 * full_lines;
  const LineReader full_line(layout_, kernel_, 10);
  const LineReader last_line(layout_, kernel_, last);
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
