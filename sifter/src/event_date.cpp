#include <orvex/event_date.hpp>

#include <orvex/errors.hpp>

#include "date_finder.hpp"

namespace orvex {

std::optional<DateTime> event_line_date(std::string_view line) noexcept {
  std::optional<std::string_view> text = find_date(line);
  if (!text) return std::nullopt;
  try {
    return parse_iso_datetime(*text);
  } catch (...) {
    // A date the range would report as unreadable gives no place in time.
    return std::nullopt;
  }
}

}  // namespace orvex
