#include <orvex/time_range_event_iterator.hpp>

#include <base/terminal_safe.hpp>
#include <orvex/errors.hpp>
#include <orvex/interrupt.hpp>

#include "date_finder.hpp"
#include "time_bounds.hpp"

namespace orvex {

namespace {

// Lines read between two looks at the interrupt flag: a scan of a large file that selects
// nothing still stops promptly on SIGINT.
constexpr unsigned kInterruptStride = 4096;

bool is_given(const std::optional<std::string>& bound) { return bound && !bound->empty(); }

}  // namespace

DateTime end_of_day_if_midnight(DateTime until) {
  const auto day = std::chrono::floor<std::chrono::days>(until);
  if (until != day) return until;
  // The last microsecond of the day, not 23:59:59 sharp: event dates carry fractions of a
  // second, and the events of the day's last second belong to the day too.
  return until + std::chrono::days{1} - std::chrono::microseconds{1};
}

TimeBounds read_time_bounds(const std::optional<std::string>& since,
                            const std::optional<std::string>& until) {
  const DateTime now = local_now();
  return {is_given(since) ? parse_user_datetime(*since, now) : kSmallestDateTime,
          end_of_day_if_midnight(is_given(until) ? parse_user_datetime(*until, now)
                                                 : kLargestDateTime)};
}

OrvexTimeRangeEventIterator::OrvexTimeRangeEventIterator(
    const std::filesystem::path& event_file_path, std::optional<std::string> date_since,
    std::optional<std::string> date_until)
    : OrvexEventIterator(event_file_path) {
  const TimeBounds bounds = read_time_bounds(date_since, date_until);
  date_since_ = bounds.since;
  date_until_ = bounds.until;
}

OrvexTimeRangeEventIterator::~OrvexTimeRangeEventIterator() = default;

DateTime OrvexTimeRangeEventIterator::adjust_end_date(DateTime date_until) {
  return end_of_day_if_midnight(date_until);
}

std::optional<OrvexEvent> OrvexTimeRangeEventIterator::next() {
  if (pass_over()) return std::nullopt;
  unsigned skipped = 0;
  bool past_range = false;
  while (std::optional<EventFile::Line> line = file_.read_line(!keeps_file_at_end())) {
    if (++skipped == kInterruptStride) {
      skipped = 0;
      check_interrupt();
    }
    std::optional<std::string_view> date_text = find_date(line->text);
    if (!date_text) {
      // Undated lines are no events of a range; those that are not even JSON are damage.
      if (has_damage_reporter() && (!line->text.empty() || line->too_long))
        decode_and_filter(*line);
      continue;
    }
    DateTime date;
    try {
      date = parse_iso_datetime(*date_text);
    } catch (const ValueError&) {
      if (!report_damage(*line, Damage::Kind::unreadable_date, base::quoted(*date_text))) throw;
      continue;
    }
    if (date < date_since_) continue;
    if (date > date_until_) {
      past_range = true;
      break;
    }
    if (std::optional<OrvexEvent> event = decode_and_filter(*line)) return event;
  }
  // Stopped at the upper bound, the pass has not seen the end: a follower starts afresh.
  end_pass(/*at_end_of_file=*/!past_range);
  return std::nullopt;
}

}  // namespace orvex
