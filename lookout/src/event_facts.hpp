#pragma once

// The date of an event as counting reads it.

#include <optional>
#include <string_view>

#include <orvex/date_time.hpp>

namespace orvex {

// The date-time of an event's date text as parse_iso_datetime() reads it, the wall-clock
// reading without the zone; std::nullopt when that reader refuses it. The form the logger
// writes, YYYY-MM-DDThh:mm:ss with a fraction and a zone, is read without the general reader.
std::optional<DateTime> read_event_date(std::string_view text);

}  // namespace orvex
