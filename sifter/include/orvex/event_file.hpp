#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string_view>

#include <orvex/sifter_export.hpp>

namespace orvex {

// The one reader of event files: a file descriptor with a large buffer, lines found with
// memchr. Move-only; closes its descriptor on destruction.
//
// Text mode: LF, CR LF and a lone CR each end a line, and every line is checked to be UTF-8.
// Binary mode: only LF ends a line, and the bytes are not checked.
class ORVEX_SIFTER_API EventFile {
 public:
  enum class Mode { text, binary };

  // One line as read. `text` excludes the line end and stays valid until the next call on
  // the file; at least kPadding readable bytes follow it in memory (a fast JSON parser
  // relies on that). `ended` is false when the file ended before a line end.
  struct Line {
    std::string_view text;
    bool ended;
    std::uint64_t offset;  // file offset of the line's first byte
    // 1 for the file's first line; unknown after a seek to anywhere but the start.
    std::optional<std::uint64_t> number = std::nullopt;
    // Set only when the file keeps invalid lines (keep_invalid_lines): the offset within
    // `text` of the first byte that is not UTF-8.
    std::optional<std::size_t> invalid_at = std::nullopt;
    // The line is longer than kMaxLineBytes: `text` is empty and the rest of the line is
    // skipped without being kept, up to its line end.
    bool too_long = false;
    // Read without the UTF-8 check (read_line with `check_utf8` false): whoever decodes the
    // text checks it.
    bool unchecked = false;
  };

  static constexpr std::size_t kPadding = 64;
  // The size of each read: big enough to keep the system-call count low on big logs, small
  // enough to stay in the cache. A longer line grows the buffer, so memory follows the
  // longest line, not the file.
  static constexpr std::size_t kBufferSize = 128 << 10;
  // The longest line kept: a longer one (a file of NUL bytes, a hole, a hostile writer) is
  // reported too long and skipped, so memory stays bounded whatever the input.
  static constexpr std::size_t kMaxLineBytes = 16 << 20;

  EventFile() noexcept;  // a closed file
  // Opens `path` for reading. Throws FileNotFoundError, PermissionError or OSError, and
  // KeyboardInterrupt when the open waits (a FIFO without a writer) and SIGINT arrives.
  EventFile(const std::filesystem::path& path, Mode mode);
  EventFile(EventFile&& other) noexcept;
  EventFile& operator=(EventFile&& other) noexcept;
  EventFile(const EventFile&) = delete;
  EventFile& operator=(const EventFile&) = delete;
  ~EventFile();

  bool is_open() const noexcept { return fd_ >= 0; }
  Mode mode() const noexcept { return mode_; }
  // Reads the following lines in `mode`; the position and the buffered bytes stay.
  void set_mode(Mode mode) noexcept { mode_ = mode; }
  // Text mode: return lines that are not UTF-8 (marked) instead of throwing.
  void keep_invalid_lines(bool keep) noexcept { keep_invalid_ = keep; }
  const std::filesystem::path& path() const noexcept { return path_; }

  // Reads the next line, or returns std::nullopt when the file holds no further byte.
  // A last line without a line end is returned with `ended` false; with `take_unfinished`
  // false it is left unread instead (std::nullopt), and a later call returns it whole once
  // its line end has arrived. Each call that finds the buffer empty makes one read(2), so a
  // call at the end of a growing file sees what was appended since.
  // Text mode: a line that is not UTF-8 throws UnicodeDecodeError naming the file and the
  // offset of the bad byte; the position stays at the start of that line. Unless invalid
  // lines are kept: then the line is returned with `invalid_at` set.
  // A line longer than kMaxLineBytes is returned with `too_long` set as soon as the limit is
  // passed (its rest is skipped by the following calls, never returned).
  // Throws OSError when a read fails, and when the file is closed; KeyboardInterrupt when
  // SIGINT has arrived (checked before each read(2), so long scans stay interruptible, and
  // ending a read that waits for data).
  // With `check_utf8` false, while invalid lines are kept, the text is not checked and the line
  // comes back `unchecked`: for a decoder whose parser checks UTF-8 anyway (the iterators'
  // do), so that the bytes are not read twice.
  std::optional<Line> read_line(bool take_unfinished = true, bool check_utf8 = true);

  // Reads up to `size` bytes at `offset` into `buffer` without moving the position or
  // touching the buffered lines; returns the bytes read, fewer only at the end of the file.
  // Throws OSError, KeyboardInterrupt.
  std::size_t read_at(char* buffer, std::size_t size, std::uint64_t offset) const;

  // Offset of the next byte that read_line will return.
  std::uint64_t tell() const;
  // Moves to `offset` from the start (SEEK_SET) or from the end (SEEK_END); drops the buffer.
  // Returns the new offset. Throws OSError.
  std::uint64_t seek(std::int64_t offset, int whence);
  // The file's current size in bytes. Throws OSError.
  std::uint64_t size() const;
  // Whether the open file is a regular file (not a pipe or a device). Throws OSError.
  bool is_regular() const;

  // Another reader of the same open file (not of what its name may name by now), in the same
  // mode and keeping invalid lines alike, with a position of its own at the start: readers of
  // one file on several threads, each reading its own part. Reads with pread(2), so the file
  // must allow it (a regular file). Throws OSError.
  EventFile another_reader() const;
  // Moves to the first line that starts at `offset` or after it and before `limit`, and returns
  // true; false when no line starts there (the position is then unspecified). A line starts at
  // the start of the file and after each line end, so the rest of a line that started before
  // `offset` is skipped, and no byte at or after `limit` is read but the one after a CR. Line
  // numbers are unknown from there (but at the start). Throws OSError.
  bool seek_line_start(std::uint64_t offset, std::uint64_t limit);
  // Closes the descriptor; closing a closed file does nothing.
  void close() noexcept;

 private:
  [[gnu::visibility("hidden")]] bool
  fill();  // reads more at the end of the buffer; false when read(2) gave nothing

  int fd_ = -1;
  Mode mode_ = Mode::text;
  std::filesystem::path path_;
  std::unique_ptr<char[]> buf_;
  std::size_t cap_ = 0;                           // usable bytes of buf_; kPadding more follow
  std::size_t begin_ = 0;                         // next unread byte in buf_
  std::size_t end_ = 0;                           // end of the data in buf_
  std::uint64_t buf_offset_ = 0;                  // file offset of buf_[0]
  std::optional<std::uint64_t> next_number_ = 1;  // of the line at begin_
  bool keep_invalid_ = false;
  bool skipping_ = false;    // inside a line that was too long: drop bytes up to its end
  bool positional_ = false;  // reads with pread(2) at its own position (another_reader)
};

}  // namespace orvex
