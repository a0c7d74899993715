#pragma once

#include <cstddef>
#include <memory>
#include <streambuf>

namespace orvex {

// A stream buffer over a file descriptor with one large buffer: events are written in big
// blocks, and a failed write(2) leaves errno for the caller to tell a closed pipe (EPIPE)
// from a real failure.
class FdOutputBuffer : public std::streambuf {
 public:
  explicit FdOutputBuffer(int fd, std::size_t size = 1 << 16);
  ~FdOutputBuffer() override;
  FdOutputBuffer(const FdOutputBuffer&) = delete;
  FdOutputBuffer& operator=(const FdOutputBuffer&) = delete;

 protected:
  int_type overflow(int_type ch) override;
  std::streamsize xsputn(const char* data, std::streamsize count) override;
  int sync() override;

 private:
  bool flush_buffer();
  bool write_all(const char* data, std::size_t count);

  int fd_;
  std::unique_ptr<char[]> buffer_;
  std::size_t size_;
  bool failed_ = false;
};

}  // namespace orvex
