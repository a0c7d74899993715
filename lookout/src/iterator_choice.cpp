#include "iterator_choice.hpp"

#include <time.h>

#include <chrono>
#include <cstdio>

#include <orvex/all_events_iterator.hpp>
#include <orvex/errors.hpp>
#include <orvex/recent_event_iterator.hpp>
#include <orvex/reverse_event_iterator.hpp>
#include <orvex/time_range_event_iterator.hpp>

namespace orvex {

namespace {

bool holds(const std::optional<std::string>& text) { return text && !text->empty(); }

}  // namespace

ReverseSelection reverse_selection(const OrvexViewerOptions& args) {
  if (holds(args.since) || holds(args.until)) {
    return ReverseSelection::time_range(args.since, args.until);
  }
  if (args.days_back != 0) return ReverseSelection::time_range(local_date_text(args.days_back), {});
  if (args.today) return ReverseSelection::time_range(local_date_text(0), {});
  if (args.all) return ReverseSelection::all();
  if (args.count != 0) return ReverseSelection::recent(args.count);
  return ReverseSelection::time_range(local_date_text(0), {});
}

std::string local_date_text(std::int64_t days_back) {
  using namespace std::chrono;
  time_t now = time(nullptr);
  struct tm local {};
  localtime_r(&now, &local);
  sys_days today =
      year{local.tm_year + 1900} / month{unsigned(local.tm_mon + 1)} / day{unsigned(local.tm_mday)};
  // Beyond these the date has no four-digit year; refuse rather than wrap around.
  constexpr std::int64_t kMaxDays = 3660000;
  if (days_back > kMaxDays || days_back < -kMaxDays) {
    throw ValueError("days back out of range: " + std::to_string(days_back));
  }
  year_month_day date{today - days{days_back}};
  int y = int(date.year());
  if (y < 1 || y > 9999) throw ValueError("days back out of range: " + std::to_string(days_back));
  char text[16];
  std::snprintf(text, sizeof text, "%04d-%02u-%02u", y, unsigned(date.month()),
                unsigned(date.day()));
  return text;
}

bool selects_last_lines(const OrvexViewerOptions& args) {
  return !(holds(args.since) || holds(args.until)) && args.days_back == 0 && !args.today &&
         !args.all && args.count != 0;
}

std::unique_ptr<OrvexEventIterator> choose_iterator(const OrvexViewerOptions& args,
                                                    const std::filesystem::path& file) {
  if (args.reverse) {
    return std::make_unique<OrvexReverseEventIterator>(file, reverse_selection(args));
  }
  if (holds(args.since) || holds(args.until)) {
    return std::make_unique<OrvexTimeRangeEventIterator>(file, args.since, args.until);
  }
  if (args.days_back != 0) {
    return std::make_unique<OrvexTimeRangeEventIterator>(file, local_date_text(args.days_back));
  }
  if (args.today) return std::make_unique<OrvexTimeRangeEventIterator>(file, local_date_text(0));
  if (args.all) return std::make_unique<OrvexAllEventsIterator>(file);
  if (args.count != 0) return std::make_unique<OrvexRecentEventIterator>(file, args.count);
  return std::make_unique<OrvexTimeRangeEventIterator>(file, local_date_text(0));
}

}  // namespace orvex
