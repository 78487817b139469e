// libFuzzer harness for read_plot_file, built without Python (tools/fuzz.sh).
// Each input is also read the way tolvik_arrays reads it (into an ArrayStore,
// silently, topping the buffer up) and, into the same store, the way tolvik
// reads it (refilling the buffer only when it is used up, with blocks cut by
// its end stitched to the refill); both with a buffer of 512 bytes, so that
// blocks are cut by its end all the time. Each must give the same values bit
// for bit, or the same failure, without writing anything.
//
// Input layout; tools/fuzz_replay.py decodes inputs by the same rule:
//   empty input            -> n_digits = 12, empty file
//   first byte B < 0xF0    -> n_digits = B % 41 (0 to 40), file = the bytes after B
//   first byte B >= 0xF0   -> n_digits = the next 8 bytes as an unsigned 64-bit
//                             little-endian integer (bytes missing at the end of the
//                             input count as 0), file = the bytes after those 8
// So most inputs use a small width (the seeds for widths 12 and 15 start with the
// bytes 0x0C and 0x0F), and about one in sixteen uses an arbitrary one.
//
// The file lives in a memfd and is read through /proc/self/fd/N, so every call
// goes through the real open, read and close. Success, ReaderFailure and
// OutOfMemory are the reader's normal outcomes; anything else escaping it, a
// sanitizer report or a broken invariant below is a finding.
//
// Every failure writes a diagnostic to descriptor 2 and an invalid count also
// writes a line to descriptor 1: run with -close_fd_mask=3 to keep the fuzzer's
// own output readable. Broken invariants are reported on a copy of the original
// standard error taken before libFuzzer closes it.

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "binding/failure.h"
#include "lib/plot_reader.h"
#include "text/parse_count.h"
#include "text/utf8.h"
#include "text/whitespace.h"

namespace {

constexpr std::uint64_t kDefaultDigits = 12;
constexpr unsigned kSmallWidths = 41;  // widths 0 to 40
constexpr unsigned char kWideMarker = 0xF0;
constexpr std::size_t kWideBytes = 8;

struct FuzzInput {
  std::uint64_t n_digits;
  std::string_view content;
};

FuzzInput decode(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return {kDefaultDigits, {}};
  const char* bytes = reinterpret_cast<const char*>(data);
  if (data[0] < kWideMarker) return {data[0] % kSmallWidths, {bytes + 1, size - 1}};
  std::uint64_t n_digits = 0;
  std::size_t i = 1;
  for (std::size_t k = 0; k < kWideBytes; ++k, ++i) {
    if (i < size) n_digits |= static_cast<std::uint64_t>(data[i]) << (8 * k);
  }
  if (i > size) i = size;
  return {n_digits, {bytes + i, size - i}};
}

int file_fd = -1;
std::string file_path;
int report_fd = 2;

[[noreturn]] void broken(const char* what, const FuzzInput& input) {
  char text[256];
  int n =
      std::snprintf(text, sizeof text,
                    "\nread_plot_file_fuzzer: invariant broken: %s (n_digits %llu, %zu bytes)\n",
                    what, static_cast<unsigned long long>(input.n_digits), input.content.size());
  if (n > 0) {
    [[maybe_unused]] ssize_t w =
        ::write(report_fd, text, std::min(static_cast<std::size_t>(n), sizeof text - 1));
  }
  std::abort();
}

void check(bool holds, const char* what, const FuzzInput& input) {
  if (!holds) broken(what, input);
}

// Lines as the reader counts them: each "\n" ends one, and a last line without
// "\n" counts too.
std::uint64_t count_lines(std::string_view content) {
  std::uint64_t lines = 0;
  for (char c : content) lines += (c == '\n');
  if (!content.empty() && content.back() != '\n') ++lines;
  return lines;
}

// The parameter count of a file that was read successfully (so its first line
// exists, is valid UTF-8 and ends with a valid count, or holds no token at all).
std::optional<std::uint64_t> parameter_count(std::string_view content) {
  std::string_view first = content.substr(0, content.find('\n'));
  if (first.size() < content.size() && !first.empty() && first.back() == '\r') {
    first.remove_suffix(1);
  }
  std::string_view token;
  bool any = false;
  for (auto tokens = tolvik::split_whitespace(first); tokens.next(token);) any = true;
  if (!any) return 0;
  return tolvik::parse_count(token);
}

void check_result(const tolvik::PlotData& data, const FuzzInput& input) {
  const std::optional<std::uint64_t> n = parameter_count(input.content);
  check(n.has_value() && *n >= 1, "success without a valid count of at least 1", input);
  check(data.columns.size() == *n - 1, "column count is not n - 1", input);
  // Every sequence has the chunks that hold its blocks, and no more.
  const std::uint64_t blocks = data.blocks;
  const std::size_t chunks = data.times.chunk_count();
  std::uint64_t room = 0;
  for (std::size_t k = 0; k < chunks; ++k) room += tolvik::FloatSequence::chunk_capacity(k);
  check(room >= blocks &&
            (chunks == 0 || room - tolvik::FloatSequence::chunk_capacity(chunks - 1) < blocks),
        "the chunks do not fit the blocks", input);
  for (const auto& column : data.columns) {
    check(column.chunk_count() == chunks, "a column is not as long as times", input);
  }
  // A successful read consumes the whole file: count line, n name lines, and
  // per block a lead line and ceil(n / 10) data lines.
  const std::uint64_t per_block = 1 + (*n + 9) / 10;
  check(count_lines(input.content) == 1 + *n + blocks * per_block,
        "blocks do not account for every line of the file", input);
}

void check_failure(const tolvik::ReaderFailure& failure, const FuzzInput& input) {
  check(!failure.message().empty(), "empty failure message", input);
  // The message becomes a Python str: it must be well-formed UTF-8.
  check(tolvik::is_valid_utf8(failure.message()), "failure message is not valid UTF-8", input);
  check(failure.location().file != nullptr, "failure without a source file", input);
}

// The same read into arrays (through a 512-byte buffer, topped up or not):
// the same outcome, every value the same bits in the same place, the names
// one per parameter, a failure on a line the file has (or the one after its
// last) and no errno without an open or read error.
void check_arrays(const std::variant<tolvik::PlotData, tolvik::ReaderFailure>& lists,
                  const FuzzInput& input, bool top_up) {
  std::variant<tolvik::PlotArrays, tolvik::ReaderFailure> arrays = tolvik::ReaderFailure("", {});
  try {
    tolvik::ArrayStore store;
    const std::size_t blocks = tolvik::read_plot(file_path, input.n_digits, store,
                                                 {tolvik::Reporting::Silent, 512, top_up});
    arrays = std::move(store).finish(blocks);
  } catch (const tolvik::ReaderFailure& failure) {
    arrays = failure;
  } catch (const tolvik::OutOfMemory&) {
    return;  // the arrays may need more room at once than the chunks
  }
  check(lists.index() == arrays.index(), "arrays and lists disagree on success", input);
  if (const auto* failure = std::get_if<tolvik::ReaderFailure>(&arrays)) {
    const auto& expected = std::get<tolvik::ReaderFailure>(lists);
    check(failure->message() == expected.message(), "arrays fail with another message", input);
    check(failure->line() == expected.line() && failure->os_error() == expected.os_error(),
          "arrays fail at another line", input);
    const std::uint64_t last = count_lines(input.content) + 1;
    check(failure->line() >= 1 && failure->line() <= last, "failure line outside the file", input);
    return;
  }
  const auto& data = std::get<tolvik::PlotData>(lists);
  const auto& got = std::get<tolvik::PlotArrays>(arrays);
  check(got.blocks == data.blocks && got.names.size() == data.columns.size() + 1,
        "arrays of another shape", input);
  check(got.times.size() == got.blocks && got.values.size() == data.columns.size() * got.blocks,
        "arrays not cut to their values", input);
  auto same = [&](const tolvik::FloatSequence& sequence, const float* values) {
    for (std::size_t k = 0, done = 0; done < got.blocks; ++k) {
      const std::size_t n = std::min(tolvik::FloatSequence::chunk_capacity(k), got.blocks - done);
      if (std::memcmp(sequence.chunk(k), values + done, n * sizeof(float)) != 0) return false;
      done += n;
    }
    return true;
  };
  check(same(data.times, got.times.data()), "arrays hold other times", input);
  for (std::size_t p = 0; p < data.columns.size(); ++p) {
    check(same(data.columns[p], got.values.data() + p * got.blocks), "arrays hold other values",
          input);
  }
}

// The lowest free descriptor; the reader's open gets exactly this one.
int lowest_free_fd() {
  int fd = ::fcntl(file_fd, F_DUPFD, 0);
  if (fd < 0) std::abort();
  ::close(fd);
  return fd;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // A copy of standard error that survives -close_fd_mask, for broken invariants.
  report_fd = ::fcntl(2, F_DUPFD_CLOEXEC, 3);
  if (report_fd < 0) report_fd = 2;
  // Backtraces in every failure diagnostic would only slow the run down.
  ::unsetenv("TOLVIK_BACKTRACE");
  file_fd = ::memfd_create("plot", MFD_CLOEXEC);
  if (file_fd < 0) {
    std::perror("memfd_create");
    std::abort();
  }
  file_path = "/proc/self/fd/" + std::to_string(file_fd);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const FuzzInput input = decode(data, size);

  if (::ftruncate(file_fd, 0) != 0) std::abort();
  std::size_t done = 0;
  while (done < input.content.size()) {
    ssize_t n = ::pwrite(file_fd, input.content.data() + done, input.content.size() - done,
                         static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) std::abort();
    done += static_cast<std::size_t>(n);
  }

  const int reader_fd = lowest_free_fd();
  std::variant<tolvik::PlotData, tolvik::ReaderFailure> lists = tolvik::PlotData{};
  try {
    lists = tolvik::read_plot_file(file_path, input.n_digits);
    check_result(std::get<tolvik::PlotData>(lists), input);
  } catch (const tolvik::ReaderFailure& failure) {
    check_failure(failure, input);
    lists = failure;
  } catch (const tolvik::OutOfMemory&) {
    // Allocation refused (the sanitizer's allocation limit): a normal outcome.
    return 0;
  }
  check(::fcntl(reader_fd, F_GETFD) == -1 && errno == EBADF,
        "the plot file is still open after the read", input);
  for (const bool top_up : {true, false}) {
    check_arrays(lists, input, top_up);
    check(::fcntl(reader_fd, F_GETFD) == -1 && errno == EBADF,
          "the plot file is still open after reading the arrays", input);
  }
  return 0;
}
