#include <base/fd.hpp>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

// The interrupt flag belongs to libsifter, which installs the handlers and exports this query.
// The reference is weak so that a library that does not link libsifter (the message-type
// scan) still loads on its own; in a process that has libsifter it finds the one flag.
namespace orvex {
[[gnu::weak, gnu::visibility("default")]] bool interrupt_pending() noexcept;
}

namespace orvex::base {

namespace {

// Runs `call` until it does not fail with EINTR, or until a termination signal is recorded.
// Opening an input and reading also look at the flag first: a signal that arrived just before
// a call that waits (a FIFO without a writer) would not cut that wait short. Writes and opens
// below a folder do not, so that after an interrupt what was shown can still be flushed and a
// temporary folder still removed.
template <typename Call>
auto retrying(Call call, bool look_first = true) noexcept {
  for (;;) {
    if (look_first && interrupt_requested()) {
      errno = EINTR;
      return decltype(call())(-1);
    }
    auto result = call();
    if (result >= 0 || errno != EINTR || interrupt_requested()) return result;
  }
}

}  // namespace

bool interrupt_requested() noexcept {
  return &orvex::interrupt_pending != nullptr && orvex::interrupt_pending();
}

int Fd::close() noexcept {
  if (fd_ < 0) return 0;
  // Linux releases the descriptor even when close(2) fails, EINTR included: never retry.
  int result = ::close(std::exchange(fd_, -1));
  return result == 0 || errno == EINTR ? 0 : errno;
}

Fd open_file(const char* path, int flags, mode_t mode) noexcept {
  return Fd(retrying([&] { return ::open(path, flags | O_CLOEXEC, mode); }));
}

Fd open_file_at(int dir_fd, const char* path, int flags, mode_t mode) noexcept {
  return Fd(retrying([&] { return ::openat(dir_fd, path, flags | O_CLOEXEC, mode); }, false));
}

ssize_t read_some(int fd, void* buffer, std::size_t size) noexcept {
  return retrying([&] { return ::read(fd, buffer, size); });
}

ssize_t read_at(int fd, void* buffer, std::size_t size, off_t offset) noexcept {
  auto* bytes = static_cast<char*>(buffer);
  std::size_t done = 0;
  while (done < size) {
    ssize_t got = retrying(
        [&] { return ::pread(fd, bytes + done, size - done, offset + static_cast<off_t>(done)); });
    if (got < 0) return -1;
    if (got == 0) break;
    done += static_cast<std::size_t>(got);
  }
  return static_cast<ssize_t>(done);
}

bool write_all(int fd, const void* data, std::size_t size) noexcept {
  const auto* bytes = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t written = retrying([&] { return ::write(fd, bytes, size); }, false);
    if (written < 0) return false;
    bytes += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

}  // namespace orvex::base
