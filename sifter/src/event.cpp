#include <orvex/event.hpp>

#include <orvex/errors.hpp>

namespace orvex {

OrvexEvent decode_event(std::string_view line) {
  try {
    return OrvexEvent::parse(line.begin(), line.end());
  } catch (const nlohmann::json::exception& error) {
    // Syntax errors and numbers out of range ("1e400") alike: the line is no JSON text.
    throw JSONDecodeError(error.what());
  }
}

}  // namespace orvex
