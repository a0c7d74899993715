#include <orvex/event.hpp>

#include <orvex/errors.hpp>

namespace orvex {

OrvexEvent decode_event(std::string_view line) {
  // JSON text never holds a raw NUL byte, and the parser would take one for the end of the
  // input: whatever follows it would be dropped unseen.
  if (line.find('\0') != std::string_view::npos) {
    throw JSONDecodeError("a NUL byte at offset " + std::to_string(line.find('\0')));
  }
  try {
    return OrvexEvent::parse(line.begin(), line.end());
  } catch (const nlohmann::json::exception& error) {
    // Syntax errors and numbers out of range ("1e400") alike: the line is no JSON text.
    throw JSONDecodeError(error.what());
  }
}

}  // namespace orvex
