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
  // The text ends inside the next block, every whole line of which before
  // that end (its lead line included) is of the usual kind: what is read on
  // from there is read as reading that block line by line would read it,
  // with no failure before its end. False when not known.
  bool cut = false;
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
// fields of a run of blocks in the kernel's own form (for the AVX2 reader,
// their digits and signs as four 32-bit words each), their values in file
// order, and the groups of values left undone.
struct BlockScratch {
  std::size_t run_blocks = 0;     // the most blocks in a run; 0: no block reader
  std::size_t run_fields = 0;     // the most fields in a run: run_blocks * n
  Growable<std::uint32_t> words;  // words_per_field * run_fields + 64 of them
  // What a reader works out once for a read (see BlockRunPasses::prepare).
  Growable<std::uint64_t> plan;
  // What a reader found of the last block it read, for taking the next ones
  // to be alike (0 at first).
  std::uint32_t last_shape = 0;
  // Set by a fields pass that stops before the blocks wanted: whether it
  // stopped at a block cut by the text's end (see BlocksRead::cut).
  bool cut = false;
  Growable<float> values;
  // The fields of a group converted together (up to sixteen) from `first`,
  // of which those in the mask `fields` were left to the exact algorithm.
  struct Undone {
    std::size_t first;
    std::uint32_t fields;
  };
  Growable<Undone> undone;
};

// A vector kernel's block reader: BufferedBlocks::read for runs of up to
// run_blocks blocks, each run read in passes over memory that stays in the
// cache (the kernels' files say how):
//
// 1. fields: the fields of up to `wanted` blocks from text[block_starts[0]]
//    on, each data line's checked against the layout and its digits and signs
//    taken into the scratch's words in file order across line and block ends
//    (words_per_field of them a field). Where each block read ends goes to
//    block_starts[1 ...]. Stops before a lead line or data line that is not
//    of the usual kind or not whole in the `size` bytes; returns the blocks
//    read.
// 2. values: the values of the first `count` fields so taken, converted many
//    at a time across line ends, to the scratch's values in file order; the
//    groups converted together (up to sixteen fields) with values left to the
//    exact algorithm are recorded in its undone, in file order. Returns how
//    many. A reader whose fields pass converts the values as it goes (and
//    needs no words) has no values pass: its fields pass leaves the values
//    so, and the count of undone groups as the undone's size.
// 3. columns: the values of `blocks` blocks, n each, block after block at
//    `values`, to storage[p][index + b]: each parameter's values of the run
//    together.
//
// `prepare`, if not null, is called once for a read, with the scratch sized,
// to work out in its plan what the passes need for blocks of n parameters.
struct BlockRunPasses {
  std::size_t run_blocks;
  std::size_t words_per_field;  // the scratch's words a field takes between passes
  void (*prepare)(const DataLineLayout& layout, std::uint64_t n, BlockScratch& scratch);
  std::size_t (*fields)(const DataLineLayout& layout, const char* text, std::size_t size,
                        std::uint64_t n, std::size_t wanted, std::size_t* block_starts,
                        BlockScratch& scratch);
  std::size_t (*values)(const DataLineLayout& layout, std::size_t count, BlockScratch& scratch);
  void (*columns)(const float* values, std::size_t blocks, std::uint64_t n, float* const* storage,
                  std::size_t index);
};
// The most blocks in a run of any block reader.
constexpr std::size_t kMaxRunBlocks = 16;

#if defined(__x86_64__)
// The block readers of the AVX-512 kernel (runs of sixteen blocks, eight
// values converted at a time as each group of eight fields is taken) and of
// the AVX2 kernel (runs of eight blocks, eight values at a time).
extern const BlockRunPasses kAvx512BlockRuns;
extern const BlockRunPasses kAvx2BlockRuns;
#endif

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
  const BlockRunPasses* runs_ = nullptr;  // a vector kernel's block reader, if used
};

// Sizes `scratch` for the runs of `passes` (up to their run_blocks blocks of
// n parameters, fewer when blocks are large), or leaves it empty (run_blocks
// 0) when blocks are too large for runs; throws OutOfMemory.
void size_block_scratch(BlockScratch& scratch, std::uint64_t n, const BlockRunPasses& passes);

}  // namespace tolvik
