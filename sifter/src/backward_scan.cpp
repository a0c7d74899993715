// The backward scan of the recent-events iterator. It gives the same offsets as stepping
// back one byte at a time from the last byte, counting LF bytes and taking the offset after
// each of the first count + 1 of them, but reads the tail in blocks aligned to the block size
// and finds the LF bytes of a block with memrchr, so its cost follows the tail it reads, not
// the file size.

#include "backward_scan.hpp"

#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include <orvex/errors.hpp>
#include <orvex/interrupt.hpp>

namespace orvex {

namespace {

constexpr std::size_t kBlockSize = 64 * 1024;

// A file shrinking under the scan (the logger's log rotation truncating it) makes a block
// read come up short; the scan then starts over on the new size, a few times at most.
constexpr int kAttempts = 4;

class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// Reads `size` bytes at `offset`; false when the file ended first.
bool read_block(int fd, const std::filesystem::path& path, char* buffer, std::size_t size,
                std::uint64_t offset) {
  std::size_t done = 0;
  while (done < size) {
    ssize_t got = ::pread(fd, buffer + done, size - done, static_cast<off_t>(offset + done));
    if (got < 0) {
      if (errno == EINTR) {
        check_interrupt();
        continue;
      }
      raise_os_error(errno, path, "cannot read");
    }
    if (got == 0) return false;
    done += static_cast<std::size_t>(got);
  }
  return true;
}

}  // namespace

std::vector<std::uint64_t> find_line_starts(const std::filesystem::path& path, std::int64_t count) {
  return find_line_starts(path, count, kBlockSize);
}

std::vector<std::uint64_t> find_line_starts(const std::filesystem::path& path, std::int64_t count,
                                            std::size_t block_size) {
  block_size = std::max<std::size_t>(block_size, 1);
  Descriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) raise_os_error(errno, path, "cannot open");

  for (int attempt = 1;; ++attempt) {
    off_t end_offset = ::lseek(fd.get(), 0, SEEK_END);
    if (end_offset < 0) raise_os_error(errno, path, "cannot seek in");
    const auto file_size = static_cast<std::uint64_t>(end_offset);

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
      if (!read_block(fd.get(), path, buffer.get(), length, block_start)) {
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
      throw OSError("cannot read '" + path.string() + "': the file shrank while it was read",
                    std::make_error_code(std::errc::io_error), path);
    }
    if (lines_found <= count) positions.push_back(0);
    std::reverse(positions.begin(), positions.end());
    return positions;
  }
}

}  // namespace orvex
