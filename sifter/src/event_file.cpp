#include <orvex/event_file.hpp>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include <base/fd.hpp>
#include <base/utf8.hpp>
#include <orvex/errors.hpp>
#include <orvex/interrupt.hpp>

namespace orvex {

namespace {

// Only the padding is cleared: the fast parser may read it, the rest is always written
// before it is read.
std::unique_ptr<char[]> allocate(std::size_t capacity) {
  std::unique_ptr<char[]> buffer(new char[capacity + EventFile::kPadding]);
  std::memset(buffer.get() + capacity, 0, EventFile::kPadding);
  return buffer;
}

}  // namespace

EventFile::EventFile() noexcept = default;

EventFile::EventFile(const std::filesystem::path& path, Mode mode) : mode_(mode), path_(path) {
  base::Fd fd = base::open_file(path.c_str(), O_RDONLY);
  if (!fd) raise_os_error(errno, path, "cannot open");
  struct stat st {};
  if (::fstat(fd.get(), &st) == 0 && S_ISDIR(st.st_mode))
    raise_os_error(EISDIR, path, "cannot read");
  fd_ = fd.release();
}

EventFile::EventFile(EventFile&& other) noexcept { *this = std::move(other); }

EventFile& EventFile::operator=(EventFile&& other) noexcept {
  if (this != &other) {
    close();
    fd_ = std::exchange(other.fd_, -1);
    mode_ = other.mode_;
    path_ = std::move(other.path_);
    buf_ = std::move(other.buf_);
    cap_ = std::exchange(other.cap_, 0);
    begin_ = std::exchange(other.begin_, 0);
    end_ = std::exchange(other.end_, 0);
    buf_offset_ = std::exchange(other.buf_offset_, 0);
    next_number_ = other.next_number_;
    keep_invalid_ = other.keep_invalid_;
    skipping_ = std::exchange(other.skipping_, false);
    positional_ = std::exchange(other.positional_, false);
  }
  return *this;
}

EventFile::~EventFile() { close(); }

void EventFile::close() noexcept {
  base::Fd(std::exchange(fd_, -1)).reset();
  buf_.reset();
  cap_ = begin_ = end_ = 0;
}

bool EventFile::fill() {
  // Every buffer refill is a point where a long scan over a big file can be interrupted.
  check_interrupt();
  if (!buf_) {
    cap_ = kBufferSize;
    buf_ = allocate(cap_);
  }
  if (begin_ > 0) {
    // Keep the unread tail at the front so a line split across reads stays contiguous.
    std::memmove(buf_.get(), buf_.get() + begin_, end_ - begin_);
    buf_offset_ += begin_;
    end_ -= begin_;
    begin_ = 0;
  }
  if (end_ == cap_) {
    std::size_t new_cap = cap_ * 2;
    std::unique_ptr<char[]> bigger = allocate(new_cap);
    std::memcpy(bigger.get(), buf_.get(), end_);
    buf_ = std::move(bigger);
    cap_ = new_cap;
  }
  ssize_t got = positional_ ? base::read_at(fd_, buf_.get() + end_, cap_ - end_,
                                            static_cast<off_t>(buf_offset_ + end_))
                            : base::read_some(fd_, buf_.get() + end_, cap_ - end_);
  if (got < 0) raise_os_error(errno, path_, "cannot read");
  end_ += static_cast<std::size_t>(got);
  return got > 0;
}

std::optional<EventFile::Line> EventFile::read_line(bool take_unfinished, bool check_utf8) {
  if (fd_ < 0) raise_os_error(EBADF, path_, "cannot read closed file");
  std::size_t scanned = begin_;  // bytes before this hold no line end
  for (;;) {
    const char* data = buf_ ? buf_.get() : nullptr;
    std::size_t stop = 0, skip = 0;
    bool found = false;
    if (end_ > scanned) {
      const void* lf = std::memchr(data + scanned, '\n', end_ - scanned);
      std::size_t lf_at = lf ? static_cast<const char*>(lf) - data : end_;
      if (mode_ == Mode::text) {
        // A lone CR ends a line too; CR LF ends it once.
        const void* cr = std::memchr(data + scanned, '\r', lf_at - scanned);
        if (cr) {
          std::size_t cr_at = static_cast<const char*>(cr) - data;
          if (cr_at + 1 < end_ || lf) {
            stop = cr_at;
            skip = (cr_at + 1 < end_ && data[cr_at + 1] == '\n') ? 2 : 1;
            found = true;
          } else {
            // CR is the last byte read: whether LF follows decides on the next read.
            lf_at = cr_at;
          }
        }
      }
      if (!found && lf) {
        stop = lf_at;
        skip = 1;
        found = true;
      }
      if (!found) scanned = lf_at;
    }
    if (!found) {
      if (skipping_) {
        begin_ = scanned;  // the rest of a line too long to keep
      } else if (scanned - begin_ >= kMaxLineBytes) {
        Line line{std::string_view(), false, buf_offset_ + begin_, next_number_};
        line.too_long = true;
        begin_ = scanned;
        skipping_ = true;
        return line;
      }
      std::size_t before = begin_;
      bool more = fill();
      scanned -= before - begin_;  // fill() may have moved the data to the front
      if (more) continue;
      if (end_ == begin_) return std::nullopt;
      if (mode_ == Mode::text && buf_[end_ - 1] == '\r') {
        stop = end_ - 1;  // a CR at the very end of the file ends the last line
        skip = 1;
        found = true;
      } else {
        if (!take_unfinished) return std::nullopt;
        stop = end_;
      }
      data = buf_.get();
    }
    if (skipping_) {
      // The end of the line that was too long: drop it and read on.
      begin_ = stop + skip;
      skipping_ = false;
      if (next_number_) ++*next_number_;
      scanned = begin_;
      continue;
    }
    Line line{std::string_view(data + begin_, stop - begin_), found, buf_offset_ + begin_,
              next_number_};
    if (mode_ == Mode::text && !check_utf8 && keep_invalid_) {
      line.unchecked = true;
    } else if (mode_ == Mode::text) {
      if (auto bad = base::find_invalid_utf8(line.text)) {
        if (!keep_invalid_) throw UnicodeDecodeError(path_, line.offset + *bad);
        line.invalid_at = *bad;
      }
    }
    begin_ = stop + skip;
    if (next_number_) ++*next_number_;
    return line;
  }
}

std::uint64_t EventFile::tell() const { return buf_offset_ + begin_; }

std::size_t EventFile::read_at(char* buffer, std::size_t size, std::uint64_t offset) const {
  if (fd_ < 0) raise_os_error(EBADF, path_, "cannot read closed file");
  ssize_t got = base::read_at(fd_, buffer, size, static_cast<off_t>(offset));
  if (got < 0) raise_os_error(errno, path_, "cannot read");
  return static_cast<std::size_t>(got);
}

std::uint64_t EventFile::seek(std::int64_t offset, int whence) {
  if (fd_ < 0) raise_os_error(EBADF, path_, "cannot seek in closed file");
  off_t at = 0;
  if (positional_) {
    // The descriptor's own offset is shared with the other readers: this one keeps its own.
    at = static_cast<off_t>(whence == SEEK_END ? static_cast<std::int64_t>(size()) + offset
                                               : offset);
    if (at < 0) raise_os_error(EINVAL, path_, "cannot seek in");
  } else {
    at = ::lseek(fd_, static_cast<off_t>(offset), whence);
    if (at < 0) raise_os_error(errno, path_, "cannot seek in");
  }
  buf_offset_ = static_cast<std::uint64_t>(at);
  begin_ = end_ = 0;
  skipping_ = false;
  next_number_ = at == 0 ? std::optional<std::uint64_t>(1) : std::nullopt;
  return buf_offset_;
}

bool EventFile::is_regular() const {
  struct stat st {};
  if (fd_ < 0 || ::fstat(fd_, &st) != 0)
    raise_os_error(fd_ < 0 ? EBADF : errno, path_, "cannot stat");
  return S_ISREG(st.st_mode);
}

EventFile EventFile::another_reader() const {
  if (fd_ < 0) raise_os_error(EBADF, path_, "cannot read closed file");
  EventFile other;
  other.fd_ = ::fcntl(fd_, F_DUPFD_CLOEXEC, 0);
  if (other.fd_ < 0) raise_os_error(errno, path_, "cannot read");
  other.mode_ = mode_;
  other.path_ = path_;
  other.keep_invalid_ = keep_invalid_;
  other.positional_ = true;
  return other;
}

bool EventFile::seek_line_start(std::uint64_t offset, std::uint64_t limit) {
  if (offset >= limit) return false;
  std::uint64_t start = offset;
  if (offset > 0) {
    // The line end before it, looked for from the byte before `offset`, a piece at a time.
    constexpr std::size_t kPiece = 64 << 10;
    char piece[kPiece + 1];
    std::uint64_t at = offset - 1;
    bool found = false;
    while (!found && at < limit) {
      // One byte more than the piece: whether LF follows a CR.
      const std::size_t want =
          static_cast<std::size_t>(std::min<std::uint64_t>(kPiece, limit - at));
      const std::size_t got = read_at(piece, want + 1, at);
      const std::size_t usable = std::min(got, want);
      for (std::size_t i = 0; i < usable; ++i) {
        const char c = piece[i];
        if (c == '\n' ||
            (mode_ == Mode::text && c == '\r' && !(i + 1 < got && piece[i + 1] == '\n'))) {
          start = at + i + 1;
          found = true;
          break;
        }
      }
      if (got < want + 1 && !found) return false;  // the file ends inside the line
      at += usable;
    }
    if (!found || start >= limit) return false;
  }
  seek(static_cast<std::int64_t>(start), SEEK_SET);
  return true;
}

std::uint64_t EventFile::size() const {
  struct stat st {};
  if (fd_ < 0 || ::fstat(fd_, &st) != 0)
    raise_os_error(fd_ < 0 ? EBADF : errno, path_, "cannot stat");
  return static_cast<std::uint64_t>(st.st_size);
}

}  // namespace orvex
