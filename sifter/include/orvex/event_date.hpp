#pragma once

#include <optional>
#include <string_view>

#include <orvex/date_time.hpp>
#include <orvex/sifter_export.hpp>

namespace orvex {

// The date of a raw event line as OrvexTimeRangeEventIterator reads it: the text of the line's
// first "ISODATE" or "DATE" field, read with parse_iso_datetime (a zone dropped, the wall-clock
// reading kept). std::nullopt when the line has no such field or its text is no ISO 8601
// date-time. Never throws.
ORVEX_SIFTER_API std::optional<DateTime> event_line_date(std::string_view line) noexcept;

}  // namespace orvex
