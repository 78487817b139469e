// Cuts an open file into lines through one buffer of 8192 bytes.
//
// A line ends at "\n" (a "\r" just before it goes too); a last line without
// "\n" is still a line. Every line must be well-formed UTF-8. End of input is
// reported only when a call finds no byte at all.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "text/file_descriptor.h"
#include "text/growable.h"
#include "text/io_error.h"

namespace tolvik {

class LineSource {
 public:
  static constexpr std::size_t kBufferSize = 8192;

  enum class Status { Line, End, Error };

  // Takes the file over; allocates the buffer of `buffer_size` bytes, and
  // before it room for `stitch_room` bytes that stitch() moves there (throws
  // OutOfMemory). Each refill asks the system for up to `buffer_size` bytes.
  explicit LineSource(FileDescriptor file, std::size_t buffer_size = kBufferSize,
                      std::size_t stitch_room = 0);

  // Reads the next line. After Line, line() is the line without its terminator,
  // valid until the next call; after Error, error() says what went wrong.
  Status next_line();

  std::string_view line() const noexcept { return line_; }

  // Consumes the next line without handing it out, when it lies whole in the
  // buffer and is plain ASCII (so well-formed), and returns true; otherwise
  // consumes nothing and returns false, and next_line() reads the line.
  bool skip_ascii_line() noexcept;

  // The bytes read from the file and not yet handed out, for a caller that
  // can recognise the next line among them itself.
  std::string_view unread() const noexcept {
    return std::string_view(buffer_.data() + pos_, filled_ - pos_);
  }
  // Consumes the first `count` bytes of unread() (at most its size): a line
  // and its terminator that the caller has recognised there as a whole,
  // well-formed line. line() is not changed.
  void skip(std::size_t count) noexcept { pos_ += count; }
  // Moves unread() to the front of the buffer and asks the system once for
  // more bytes after it, for a caller that found the lines it wants cut by the
  // buffer's end. True when bytes were added; false at the end of the file,
  // with a full buffer, or when the read fails, whose error the next line that
  // needs bytes from the system then reports. line() is no longer valid.
  bool top_up();
  // The refill that the next line would make once unread() is handed out,
  // made now: unread() (at most stitch_room bytes) moves to just before the
  // buffer, the system is asked for up to buffer_size bytes into the buffer
  // as a refill asks, and unread() then holds the bytes it held followed by
  // those read. True when bytes were added. At the end of the file, or when
  // the read fails, it returns false and unread() is as it was: the refill
  // that the next line then needs gives that end or that error, without
  // asking the system again. The system is asked for the same bytes, in the
  // same pieces, as without it. line() is no longer valid.
  bool stitch();
  // How many bytes from the start of the current line may be read, all of
  // them set: the line, its terminator and the bytes read from the file
  // after them (for a line gathered across refills, kLineSlack zero bytes
  // past it).
  std::size_t line_room() const noexcept { return line_room_; }
  static constexpr std::size_t kLineSlack = 16;
  // Whether the current line is plain ASCII (so every offset is a boundary).
  bool line_is_ascii() const noexcept { return line_is_ascii_; }
  const IoError& error() const noexcept { return *error_; }

  // Bytes of the file handed out so far: every line consumed with its
  // terminator.
  std::uint64_t consumed() const noexcept { return read_total_ - (filled_ - pos_); }
  // The size of the file (asked of the system on each call); none for a pipe
  // or anything else whose size cannot be had.
  std::optional<std::uint64_t> file_size() const noexcept;

 private:
  // Refills the empty buffer; false with error_ set when the read fails.
  bool refill();
  // Asks the system for bytes from offset `at` to the buffer's end (from the
  // buffer's start: buffer_size_ bytes), repeating an interrupted read, and
  // sets filled_ after them; the error if the read fails.
  std::optional<IoError> read_from(std::size_t at);

  FileDescriptor file_;
  // stitch_room_ bytes, then the buffer of exactly buffer_size_ bytes,
  // allocated once; offsets below are from the start of it all.
  Growable<char> buffer_;
  std::size_t buffer_size_;
  std::size_t stitch_room_;
  std::size_t pos_;               // next byte not yet handed out
  std::size_t filled_;            // end of the bytes that hold file data
  std::uint64_t read_total_ = 0;  // bytes read from the file so far
  Growable<char> spill_;          // a line that spans refills is gathered here
  std::string_view line_;
  std::size_t line_room_ = 0;
  bool line_is_ascii_ = false;
  std::optional<IoError> error_;
  // A failure for the next refill: of a top_up's or stitch's read, or of the
  // seek back after file_size (which otherwise changes nothing).
  mutable std::optional<IoError> pending_error_;
  // The end of the file, found by a stitch's read, for the next refill.
  bool pending_end_ = false;
};

}  // namespace tolvik
