#pragma once

// The error kinds shared by every orvex library. All derive from orvex::Error, except the
// two control-flow signals KeyboardInterrupt and ExitRequest, which a catch of Error never
// swallows.

#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>

#include <orvex/sifter_export.hpp>

namespace orvex {

class ORVEX_SIFTER_API Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
  ~Error() override;
};

// A failed system call on a file: carries the errno as std::error_code and the path.
class ORVEX_SIFTER_API OSError : public Error {
 public:
  OSError(const std::string& message, std::error_code code, std::filesystem::path path);
  ~OSError() override;
  const std::error_code& code() const noexcept { return code_; }
  const std::filesystem::path& path() const noexcept { return path_; }

 private:
  std::error_code code_;
  std::filesystem::path path_;
};

class ORVEX_SIFTER_API FileNotFoundError : public OSError {
 public:
  using OSError::OSError;
  ~FileNotFoundError() override;
};

class ORVEX_SIFTER_API PermissionError : public OSError {
 public:
  using OSError::OSError;
  ~PermissionError() override;
};

// An unreadable value: above all a date or date-time text that cannot be read.
class ORVEX_SIFTER_API ValueError : public Error {
 public:
  using Error::Error;
  ~ValueError() override;
};

// A line that is not exactly one JSON text.
class ORVEX_SIFTER_API JSONDecodeError : public ValueError {
 public:
  using ValueError::ValueError;
  ~JSONDecodeError() override;
};

// Bytes that are not valid UTF-8; names the file and the offset of the first bad byte.
class ORVEX_SIFTER_API UnicodeDecodeError : public ValueError {
 public:
  UnicodeDecodeError(std::filesystem::path path, std::uint64_t offset);
  ~UnicodeDecodeError() override;
  const std::filesystem::path& path() const noexcept { return path_; }
  std::uint64_t offset() const noexcept { return offset_; }

 private:
  std::filesystem::path path_;
  std::uint64_t offset_;
};

// A missing field of an event.
class ORVEX_SIFTER_API KeyError : public Error {
 public:
  using Error::Error;
  ~KeyError() override;
};

class ORVEX_SIFTER_API IndexError : public Error {
 public:
  using Error::Error;
  ~IndexError() override;
};

// A value of the wrong kind (a number where text is needed, say).
class ORVEX_SIFTER_API TypeError : public Error {
 public:
  using Error::Error;
  ~TypeError() override;
};

// An archive that is not a readable tar in one of the supported compressions.
class ORVEX_SIFTER_API ReadError : public Error {
 public:
  using Error::Error;
  ~ReadError() override;
};

// The user's interrupt (SIGINT).
class ORVEX_SIFTER_API KeyboardInterrupt {
 public:
  KeyboardInterrupt() = default;
  virtual ~KeyboardInterrupt();
};

// Thrown where the process is to end with `status`, after the final clean-up has run.
class ORVEX_SIFTER_API ExitRequest {
 public:
  explicit ExitRequest(int status) : status(status) {}
  virtual ~ExitRequest();
  int status;
};

// Throws FileNotFoundError for ENOENT, PermissionError for EACCES and EPERM, KeyboardInterrupt
// for EINTR (a blocking call gives up with it only when the user's interrupt has arrived),
// OSError otherwise; the message reads "<action> '<path>': <strerror>".
[[noreturn]] ORVEX_SIFTER_API void raise_os_error(int err, const std::filesystem::path& path,
                                                  std::string_view action);

}  // namespace orvex
