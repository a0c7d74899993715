// The date of an event as the overview reads it, at the cost of a few comparisons for the form
// the logger writes.

#include "event_facts.hpp"

#include <chrono>

#include <orvex/errors.hpp>

namespace orvex {

namespace {

// `count` digits at `at` as a number, or -1.
int number_at(std::string_view text, std::size_t at, std::size_t count) {
  int value = 0;
  for (std::size_t i = at; i < at + count; ++i) {
    const char c = text[i];
    if (c < '0' || c > '9') return -1;
    value = value * 10 + (c - '0');
  }
  return value;
}

// YYYY-MM-DDThh:mm:ss[.f...][Z|+hh:mm|-hh:mm], with a year from 1000 and an hour below 24;
// std::nullopt for everything else, which the general reader decides.
std::optional<DateTime> read_common_date(std::string_view text) {
  using namespace std::chrono;
  if (text.size() < 19 || text[4] != '-' || text[7] != '-' ||
      (text[10] != 'T' && text[10] != ' ') || text[13] != ':' || text[16] != ':') {
    return std::nullopt;
  }
  const int y = number_at(text, 0, 4), mo = number_at(text, 5, 2), d = number_at(text, 8, 2);
  const int h = number_at(text, 11, 2), mi = number_at(text, 14, 2), s = number_at(text, 17, 2);
  if (y < 1000 || mo < 1 || mo > 12 || d < 1 || h < 0 || h > 23 || mi < 0 || mi > 59 || s < 0 ||
      s > 59) {
    return std::nullopt;
  }
  const year_month_day date{year{y}, month{unsigned(mo)}, day{unsigned(d)}};
  if (!date.ok()) return std::nullopt;
  std::size_t at = 19;
  std::int64_t micros = 0;
  if (at + 1 < text.size() && text[at] == '.' && text[at + 1] >= '0' && text[at + 1] <= '9') {
    int taken = 0;
    for (++at; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
      if (taken < 6) {
        micros = micros * 10 + (text[at] - '0');
        ++taken;
      }
    }
    for (; taken < 6; ++taken) micros *= 10;
  }
  if (at < text.size()) {
    if (text[at] == 'Z') {
      ++at;
    } else if ((text[at] == '+' || text[at] == '-') && text.size() - at == 6 &&
               text[at + 3] == ':') {
      const int zone_hours = number_at(text, at + 1, 2), zone_minutes = number_at(text, at + 4, 2);
      if (zone_hours < 0 || zone_hours > 23 || zone_minutes < 0 || zone_minutes > 59) {
        return std::nullopt;
      }
      at += 6;
    }
    if (at != text.size()) return std::nullopt;
  }
  return DateTime{local_days{date}} + hours{h} + minutes{mi} + seconds{s} + microseconds{micros};
}

}  // namespace

std::optional<DateTime> read_event_date(std::string_view text) {
  if (std::optional<DateTime> date = read_common_date(text)) return date;
  // Every text the general reader takes starts with a digit of the year: the syslog form
  // ("Dec  3 00:12:38") is refused without the cost of an exception.
  if (text.empty() || text[0] < '0' || text[0] > '9') return std::nullopt;
  try {
    return parse_iso_datetime(text);
  } catch (const ValueError&) {
    return std::nullopt;
  }
}

}  // namespace orvex
