// The backward scan of the recent-events iterator. It gives the same offsets as stepping
// back one byte at a time from the last byte, counting LF bytes and taking the offset after
// each of the first count + 1 of them, but reads the tail in blocks aligned to the block size
// and finds the LF bytes of a block with memrchr, so its cost follows the tail it reads, not
// the file size.

#include "backward_scan.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include <orvex/errors.hpp>
#include <orvex/interrupt.hpp>

namespace orvex {

namespace {

// A file shrinking under the scan (the logger's log rotation truncating it) makes a block
// read come up short; the scan then starts over on the new size, a few times at most.
constexpr int kAttempts = 4;

}  // namespace

std::vector<std::uint64_t> find_line_starts(const EventFile& file, std::int64_t count,
                                            std::size_t block_size) {
  block_size = std::max<std::size_t>(block_size, 1);
  for (int attempt = 1;; ++attempt) {
    const std::uint64_t file_size = file.size();

    std::vector<std::uint64_t> positions;
    if (count < 0) return positions;  // the first LF, or none at all, already ends the scan
    std::unique_ptr<char[]> buffer(new char[std::min<std::uint64_t>(block_size, file_size) + 1]);
    std::int64_t lines_found = 0;
    bool left_early = false;
    bool shrank = false;
    std::uint64_t block_end = file_size;
    while (block_end > 0 && !left_early) {
      check_interrupt();
      const std::uint64_t block_start = (block_end - 1) / block_size * block_size;
      const auto length = static_cast<std::size_t>(block_end - block_start);
      if (file.read_at(buffer.get(), length, block_start) < length) {
        shrank = true;
        break;
      }
      std::size_t limit = length;
      while (limit > 0) {
        const void* lf = ::memrchr(buffer.get(), '\n', limit);
        if (lf == nullptr) break;
        const auto at = static_cast<std::size_t>(static_cast<const char*>(lf) - buffer.get());
        ++lines_found;
        // lines_found > count + 1, written so that it cannot overflow for the largest count.
        if (lines_found - 1 > count) {
          left_early = true;
          break;
        }
        positions.push_back(block_start + at + 1);
        limit = at;
      }
      block_end = block_start;
    }
    if (shrank) {
      if (attempt < kAttempts) continue;
      throw OSError("cannot read '" + file.path().string() + "': the file shrank while it was read",
                    std::make_error_code(std::errc::io_error), file.path());
    }
    if (lines_found <= count) positions.push_back(0);
    std::reverse(positions.begin(), positions.end());
    return positions;
  }
}

}  // namespace orvex
