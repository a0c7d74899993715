#include <orvex/errors.hpp>

#include <cerrno>
#include <cstring>

namespace orvex {

Error::~Error() = default;

OSError::OSError(const std::string& message, std::error_code code, std::filesystem::path path)
    : Error(message), code_(code), path_(std::move(path)) {}
OSError::~OSError() = default;
FileNotFoundError::~FileNotFoundError() = default;
PermissionError::~PermissionError() = default;
ValueError::~ValueError() = default;
JSONDecodeError::~JSONDecodeError() = default;

namespace {

std::string utf8_message(const std::filesystem::path& path, std::uint64_t offset) {
  std::string message = "'";
  message += path.string();
  message += "': invalid UTF-8 at byte offset ";
  message += std::to_string(offset);
  return message;
}

}  // namespace

UnicodeDecodeError::UnicodeDecodeError(std::filesystem::path path, std::uint64_t offset)
    : ValueError(utf8_message(path, offset)), path_(std::move(path)), offset_(offset) {}
UnicodeDecodeError::~UnicodeDecodeError() = default;

KeyError::~KeyError() = default;
IndexError::~IndexError() = default;
TypeError::~TypeError() = default;
ReadError::~ReadError() = default;
KeyboardInterrupt::~KeyboardInterrupt() = default;
ExitRequest::~ExitRequest() = default;

void raise_os_error(int err, const std::filesystem::path& path, std::string_view action) {
  // The system-call loops give up with EINTR only once the user's interrupt has arrived.
  if (err == EINTR) throw KeyboardInterrupt();
  std::string message = std::string(action) + " '" + path.string() + "': " + std::strerror(err);
  std::error_code code(err, std::generic_category());
  if (err == ENOENT) throw FileNotFoundError(message, code, path);
  if (err == EACCES || err == EPERM) throw PermissionError(message, code, path);
  throw OSError(message, code, path);
}

}  // namespace orvex
