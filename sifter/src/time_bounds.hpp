#pragma once

#include <optional>
#include <string>

#include <orvex/date_time.hpp>

namespace orvex {

struct TimeBounds {
  DateTime since, until;
};

// The bounds of a time range as the user wrote them, read with parse_user_datetime against one
// reading of the local clock: an absent or empty bound is open, and an upper bound at exactly
// midnight runs to the day's last microsecond. Throws ValueError quoting a bound it cannot read.
TimeBounds read_time_bounds(const std::optional<std::string>& since,
                            const std::optional<std::string>& until);

// `until`, moved to the last microsecond of its day when it is exactly midnight.
DateTime end_of_day_if_midnight(DateTime until);

}  // namespace orvex
