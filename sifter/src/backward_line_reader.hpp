#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include <orvex/event_file.hpp>

namespace orvex {

// Reads the lines of an event file last first, in blocks from its end, with positional reads
// on the file's own descriptor (its position and buffered lines stay as they are). The lines
// are the ones a forward read gives, with the same `text`, `offset`, `ended` and `too_long`;
// `number` stays empty (unknown when reading backwards) and the bytes are not checked for
// UTF-8. Memory follows the block size and the longest line kept, never the file size.
class BackwardLineReader {
 public:
  // text: LF, CR LF and a lone CR each end a line, as EventFile's text mode reads them.
  // lf: only LF ends a line, as its binary mode reads them.
  enum class LineEnds { text, lf };

  static constexpr std::size_t kBlockSize = 64 << 10;

  // Reads the first `size` bytes of `file` (the file as it stood when the caller looked),
  // `block_size` bytes (at least 1) at a time. A line of more than `max_line` bytes is
  // returned with `too_long` set and empty text, found and skipped in constant memory.
  // `file` must outlive the reader and stay open while it reads.
  BackwardLineReader(const EventFile& file, std::uint64_t size, LineEnds ends,
                     std::size_t block_size = kBlockSize,
                     std::size_t max_line = EventFile::kMaxLineBytes);
  ~BackwardLineReader();
  BackwardLineReader(const BackwardLineReader&) = delete;
  BackwardLineReader& operator=(const BackwardLineReader&) = delete;

  // The last line not yet taken, or nullptr when the first line of the file has been taken.
  // The same line until pop(); its text stays valid, followed by EventFile::kPadding readable
  // bytes, until the next call of peek() after a pop(). A last line without a line end comes
  // first, with `ended` false. Throws OSError when a read fails or comes up short (the file
  // shrank), KeyboardInterrupt when SIGINT has arrived (checked before each block read).
  const EventFile::Line* peek();
  // Takes the line peek() returned, so that the next peek() returns the one before it.
  void pop() noexcept;

  // The bytes of the buffer, for the check that memory stays flat.
  std::size_t capacity() const noexcept { return capacity_; }

 private:
  void start();
  void read_block();  // prepends the block before start_, keeping [start_, end_)
  std::optional<std::uint64_t> find_line_end(std::uint64_t from, std::uint64_t to) const;
  const char* at(std::uint64_t offset) const noexcept { return buffer_.get() + (offset - base_); }

  const EventFile& file_;
  const std::uint64_t size_;
  const LineEnds ends_;
  const std::size_t block_size_;
  const std::size_t max_line_;

  // The buffer holds the file's bytes [start_, ...) from buffer_[start_ - base_] on; those
  // before end_ (the end of the text of the next line to return) are not taken yet.
  std::unique_ptr<char[]> buffer_;
  std::size_t capacity_ = 0;  // kPadding readable bytes follow
  std::uint64_t base_ = 0;    // the file offset buffer_[0] stands for
  std::uint64_t start_ = 0;
  std::uint64_t end_ = 0;
  std::uint64_t scanned_ = 0;  // [scanned_, end_) holds no line end
  bool skipping_ = false;      // the line being looked at is too long: keep none of it
  bool started_ = false;
  bool done_ = false;
  bool last_piece_ended_ = true;  // whether a line end follows end_

  std::optional<EventFile::Line> line_;  // the line peek() found
  std::uint64_t next_end_ = 0;           // end_ once it is taken
};

}  // namespace orvex
