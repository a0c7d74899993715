#include "output.hpp"

#include <cstring>

#include <base/fd.hpp>

namespace orvex {

FdOutputBuffer::FdOutputBuffer(int fd, std::size_t size)
    : fd_(fd), buffer_(new char[size]), size_(size) {
  setp(buffer_.get(), buffer_.get() + size_);
}

FdOutputBuffer::~FdOutputBuffer() { flush_buffer(); }

bool FdOutputBuffer::write_all(const char* data, std::size_t count) {
  // A write blocked on a full pipe gives up with EINTR once the user interrupts; errno then
  // tells the viewer so.
  if (base::write_all(fd_, data, count)) return true;
  failed_ = true;
  return false;
}

bool FdOutputBuffer::flush_buffer() {
  if (failed_) return false;
  std::size_t pending = static_cast<std::size_t>(pptr() - pbase());
  setp(buffer_.get(), buffer_.get() + size_);
  return pending == 0 || write_all(buffer_.get(), pending);
}

FdOutputBuffer::int_type FdOutputBuffer::overflow(int_type ch) {
  if (!flush_buffer()) return traits_type::eof();
  if (traits_type::eq_int_type(ch, traits_type::eof())) return traits_type::not_eof(ch);
  *pptr() = traits_type::to_char_type(ch);
  pbump(1);
  return ch;
}

std::streamsize FdOutputBuffer::xsputn(const char* data, std::streamsize count) {
  std::size_t n = static_cast<std::size_t>(count);
  std::size_t room = static_cast<std::size_t>(epptr() - pptr());
  if (n <= room) {
    std::memcpy(pptr(), data, n);
    pbump(static_cast<int>(n));
    return count;
  }
  if (!flush_buffer()) return 0;
  if (n >= size_) return write_all(data, n) ? count : 0;
  std::memcpy(pptr(), data, n);
  pbump(static_cast<int>(n));
  return count;
}

int FdOutputBuffer::sync() { return flush_buffer() ? 0 : -1; }

}  // namespace orvex
