// The buffer holds one contiguous stretch of the file: each block read goes just before the
// bytes not yet taken. When there is no room before them they move to the buffer's end first
// (a partial line at most, as the lines after it have been taken), and the buffer grows only
// when a line with the block before it does not fit, up to the longest line kept. A line end
// is the last LF or CR of the stretch; an LF also takes the CR before it, so CR LF is never
// split and a CR found alone is a lone CR.

#include "backward_line_reader.hpp"

#include <algorithm>
#include <cstring>
#include <string>
#include <system_error>

#include <orvex/errors.hpp>
#include <orvex/interrupt.hpp>

namespace orvex {

BackwardLineReader::BackwardLineReader(const EventFile& file, std::uint64_t size, LineEnds ends,
                                       std::size_t block_size, std::size_t max_line)
    : file_(file),
      size_(size),
      ends_(ends),
      block_size_(std::max<std::size_t>(block_size, 1)),
      max_line_(max_line) {}

BackwardLineReader::~BackwardLineReader() = default;

void BackwardLineReader::read_block() {
  // A long backward scan (a selection that matches nothing, a line too long to keep) must
  // stop on Ctrl-C; between blocks is often enough and costs nothing.
  check_interrupt();
  const std::uint64_t block_start = (start_ - 1) / block_size_ * block_size_;
  const auto length = static_cast<std::size_t>(start_ - block_start);
  const auto kept = static_cast<std::size_t>(end_ - start_);
  std::size_t index = buffer_ ? static_cast<std::size_t>(start_ - base_) : 0;
  if (!buffer_ || index < length) {
    const std::size_t needed = kept + length;
    std::size_t new_index;
    if (needed > capacity_) {
      const std::size_t wanted = std::min<std::uint64_t>(
          {std::max(2 * capacity_, 2 * block_size_), max_line_ + 2 * block_size_, size_});
      const std::size_t capacity = std::max(needed, wanted);
      // Zeroed, so that every byte after a line's text is an initialized readable byte.
      auto bigger = std::make_unique<char[]>(capacity + EventFile::kPadding);
      new_index = static_cast<std::size_t>(std::min<std::uint64_t>(capacity - kept, start_));
      if (kept > 0) std::memcpy(bigger.get() + new_index, at(start_), kept);
      buffer_ = std::move(bigger);
      capacity_ = capacity;
    } else {
      new_index = static_cast<std::size_t>(std::min<std::uint64_t>(capacity_ - kept, start_));
      if (kept > 0) std::memmove(buffer_.get() + new_index, at(start_), kept);
    }
    base_ = start_ - new_index;
    index = new_index;
  }
  if (file_.read_at(buffer_.get() + index - length, length, block_start) < length) {
    throw OSError("cannot read '" + file_.path().string() + "': the file shrank while it was read",
                  std::make_error_code(std::errc::io_error), file_.path());
  }
  start_ = block_start;
}

std::optional<std::uint64_t> BackwardLineReader::find_line_end(std::uint64_t from,
                                                               std::uint64_t to) const {
  if (from >= to) return std::nullopt;
  const char* data = at(from);
  const auto length = static_cast<std::size_t>(to - from);
  const void* lf = ::memrchr(data, '\n', length);
  const std::size_t after_lf = lf ? static_cast<const char*>(lf) - data + 1 : 0;
  if (ends_ == LineEnds::text) {
    if (const void* cr = ::memrchr(data + after_lf, '\r', length - after_lf)) {
      return from + static_cast<std::size_t>(static_cast<const char*>(cr) - data);
    }
  }
  if (lf) return from + after_lf - 1;
  return std::nullopt;
}

void BackwardLineReader::start() {
  started_ = true;
  if (size_ == 0) {
    done_ = true;
    return;
  }
  start_ = end_ = scanned_ = size_;
  read_block();
  // The line end of the last line; without one the last line is unfinished.
  const char last = *at(size_ - 1);
  if (last == '\n' || (ends_ == LineEnds::text && last == '\r')) {
    end_ = size_ - 1;
    if (last == '\n' && ends_ == LineEnds::text && end_ > 0) {
      if (start_ == end_) read_block();
      if (*at(end_ - 1) == '\r') --end_;
    }
  } else {
    last_piece_ended_ = false;
  }
  scanned_ = end_;
}

const EventFile::Line* BackwardLineReader::peek() {
  if (line_) return &*line_;
  if (!started_) start();
  if (done_) return nullptr;
  std::optional<std::uint64_t> found;
  for (;;) {
    found = find_line_end(start_, scanned_);
    if (found || start_ == 0) break;
    scanned_ = start_;
    if (!skipping_ && end_ - start_ > max_line_) skipping_ = true;
    if (skipping_) end_ = start_;  // keep nothing of a line too long to keep
    read_block();
  }
  std::uint64_t line_start = 0;
  if (found) {
    line_start = *found + 1;
    next_end_ = *found;
    if (ends_ == LineEnds::text && *at(*found) == '\n' && *found > 0) {
      if (*found == start_) read_block();
      if (*at(*found - 1) == '\r') next_end_ = *found - 1;
    }
  }
  const bool too_long = skipping_ || end_ - line_start > max_line_;
  EventFile::Line line{std::string_view(), last_piece_ended_, line_start};
  if (too_long) {
    line.too_long = true;
  } else {
    line.text = std::string_view(at(line_start), static_cast<std::size_t>(end_ - line_start));
  }
  line_ = line;
  return &*line_;
}

void BackwardLineReader::pop() noexcept {
  if (!line_) return;
  if (line_->offset == 0) done_ = true;  // the file's first line
  end_ = scanned_ = next_end_;
  skipping_ = false;
  last_piece_ended_ = true;
  line_.reset();
}

}  // namespace orvex
