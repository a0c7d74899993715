#pragma once

// The one owner of a file descriptor and the system-call loops that every library uses.
//
// One rule for EINTR everywhere: a call cut short by a signal is tried again, unless the
// user's interrupt (or another termination signal) has been recorded; then the call gives up
// with errno EINTR, and the caller raises it like any other error. The libraries map EINTR to
// KeyboardInterrupt when they raise, so a process blocked on a FIFO, a full pipe or a slow
// disk ends promptly on Ctrl-C instead of waiting for data or reporting a failed call.
//
// The functions return -1 (or false) with errno set, as the system calls do: the callers know
// the path and the action to name in their own error kinds.

#include <sys/types.h>

#include <cstddef>
#include <utility>

namespace orvex::base {

// True when a termination signal has been recorded by the handlers the front end installs.
// Without those handlers (a library used on its own) it is always false.
bool interrupt_requested() noexcept;

// Closes its descriptor on destruction. Move-only.
class Fd {
 public:
  Fd() noexcept = default;
  explicit Fd(int fd) noexcept : fd_(fd) {}
  Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) {
      reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { reset(); }

  int get() const noexcept { return fd_; }
  bool is_open() const noexcept { return fd_ >= 0; }
  explicit operator bool() const noexcept { return fd_ >= 0; }
  // Closes now; returns 0, or the errno of a failed close(2) (a write error seen only then).
  int close() noexcept;
  void reset() noexcept { (void)close(); }
  int release() noexcept { return std::exchange(fd_, -1); }

 private:
  int fd_ = -1;
};

// open(2) and openat(2); O_CLOEXEC is always added. open_file gives up at once when the
// interrupt is recorded (an input may be a FIFO that waits); open_file_at, for the entries of a
// folder, only when a call is cut short.
Fd open_file(const char* path, int flags, mode_t mode = 0) noexcept;
Fd open_file_at(int dir_fd, const char* path, int flags, mode_t mode = 0) noexcept;

// One read(2): the bytes read, 0 at the end, -1 on error.
ssize_t read_some(int fd, void* buffer, std::size_t size) noexcept;
// pread(2) until `size` bytes or the end: the bytes read (fewer only at the end), -1 on error.
ssize_t read_at(int fd, void* buffer, std::size_t size, off_t offset) noexcept;
// write(2) until everything is written; false on error.
bool write_all(int fd, const void* data, std::size_t size) noexcept;

}  // namespace orvex::base
