// Reading the usual blocks straight from bytes already read: each a lead line
// of plain ASCII, then its data lines in the simulation's layout (see
// text/data_line.h), each ending right after its last field with "\n" or
// "\r\n". Such blocks need none of the line source's work per line (finding
// the end, checking the UTF-8, gathering across refills); any other block is
// left to the caller, which reads it the general way, with the same result.
#pragma once

#include <cstddef>
#include <cstdint>

#include "text/data_line.h"
#include "text/growable.h"

namespace tolvik {

struct BlocksRead {
  std::size_t blocks;  // whole blocks read
  std::size_t bytes;   // the bytes they took, from the start of the text
};

// Reads the data line of `count` fields (1 to 10) at text[at] with the line
// kernel, when it ends right after its last field and lies whole in the `size`
// bytes at `text`: stores its values at slots[f][index] and returns the
// offset of the next line; returns 0 otherwise.
std::size_t read_buffered_line(const DataLineLayout& layout, LineKernelFunction kernel,
                               const char* text, std::size_t size, std::size_t at, unsigned count,
                               float* const* slots, std::size_t index);

// The value of a field in the layout that a kernel left to its caller: read
// by position, else parsed from its text (the field without a leading blank,
// which always parses). False if, against that, it does not. Out of line:
// rare.
[[gnu::cold, gnu::noinline]] bool resolve_field(const DataLineLayout& layout, const char* field,
                                                float& value);

// Memory a block reader of a vector kernel works in, made once per read: the
// fields of a run of blocks (their digits and signs as four 32-bit words
// each) and their values, in file order.
struct BlockScratch {
  std::size_t run_blocks = 0;  // the most blocks in a run; 0: no block reader
  Growable<std::uint32_t> words;
  Growable<float> values;
  // The fields of a group converted together (up to sixteen) from `first`,
  // of which those in the mask `fields` were left to the exact algorithm.
  struct Undone {
    std::size_t first;
    std::uint32_t fields;
  };
  Growable<Undone> undone;
};

// Where the blocks of a run that a block reader has read lie, for resolving
// the values it left undone.
struct BlockRun {
  const DataLineLayout& layout;
  const char* text;
  const std::size_t* block_starts;  // where each block starts, and where the last one ends
  std::uint64_t n;
};

// Resolves the values left undone (`count` entries, in file order) into
// `values`, which hold the run's fields in file order; returns the blocks of
// the run that are read, fewer than `blocks` when a field cannot be read
// after all (the run then ends before its block). Out of line: rare.
[[gnu::cold, gnu::noinline]] std::size_t resolve_undone(const BlockRun& run,
                                                        const BlockScratch::Undone* undone,
                                                        std::size_t count, float* values,
                                                        std::size_t blocks);

// A vector kernel's block reader (below), with BufferedBlocks::read's
// contract.
using BlockRunReader = BlocksRead (*)(const DataLineLayout& layout, const char* text,
                                      std::size_t size, std::uint64_t n, float* const* storage,
                                      std::size_t index, std::size_t max_blocks,
                                      BlockScratch& scratch);

// Reads whole blocks of n parameters straight from bytes already read, as many
// as lie there in the usual layout.
class BufferedBlocks {
 public:
  // For a layout that has the layout; throws OutOfMemory.
  BufferedBlocks(const DataLineLayout& layout, LineKernelFunction kernel, std::uint64_t n);

  // Reads whole blocks from the `size` bytes at `text`, at most `max_blocks`
  // of them: parameter p of block b goes to storage[p][index + b]. Stops
  // before the first block that is not of the usual kind or does not lie whole
  // in the text (its slots may have been written; the general way writes them
  // again).
  BlocksRead read(const char* text, std::size_t size, float* const* storage, std::size_t index,
                  std::size_t max_blocks);

 private:
  const DataLineLayout& layout_;
  LineKernelFunction kernel_;
  std::uint64_t n_;
  BlockScratch scratch_;
  BlockRunReader run_reader_ = nullptr;  // when scratch_ is sized for runs
};

#if defined(__x86_64__)
// The block readers of the AVX-512 and AVX2 kernels, with BufferedBlocks::read's
// contract: each reads the fields of a run of blocks first, then converts
// them sixteen (eight) at a time across line ends, and stores each
// parameter's values of the run together. `scratch` is sized by
// size_block_scratch for runs of kAvx512RunBlocks (kAvx2RunBlocks).
constexpr std::size_t kAvx512RunBlocks = 16;
constexpr std::size_t kAvx2RunBlocks = 8;
BlocksRead read_blocks_avx512(const DataLineLayout& layout, const char* text, std::size_t size,
                              std::uint64_t n, float* const* storage, std::size_t index,
                              std::size_t max_blocks, BlockScratch& scratch);
BlocksRead read_blocks_avx2(const DataLineLayout& layout, const char* text, std::size_t size,
                            std::uint64_t n, float* const* storage, std::size_t index,
                            std::size_t max_blocks, BlockScratch& scratch);
#endif

// Sizes `scratch` for runs of up to `run_blocks` blocks of n parameters (fewer
// when blocks are large), or leaves it empty (run_blocks 0) when blocks are
// too large for runs; throws OutOfMemory.
void size_block_scratch(BlockScratch& scratch, std::uint64_t n, std::size_t run_blocks);

}  // namespace tolvik
