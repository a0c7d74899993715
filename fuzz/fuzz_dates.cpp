// The date readers and the time-range iterator. The input is split at its first two LFs into
// a lower bound, an upper bound and the event file.
//
// Every date read must be a real date-time between the smallest and the largest one, and must
// read back from its own ISO text. The iterator must select what the documented rule selects
// on the reference pieces: the first "ISODATE" or "DATE" field of the raw line, read with
// parse_iso_datetime, compared with the bounds in force, the line decoded by the reference
// decoder; an unreadable date raises ValueError and the iteration goes on after it; a line
// that is not UTF-8 raises UnicodeDecodeError; the first line dated after the upper bound ends
// it. Readers may reject a text only with ValueError.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <orvex/date_time.hpp>
#include <orvex/errors.hpp>
#include <orvex/event.hpp>
#include <orvex/time_range_event_iterator.hpp>

#include "support.hpp"

namespace {

using namespace orvex;
using namespace std::chrono;

// "YYYY-MM-DDTHH:MM:SS.ffffff"
std::string iso_text(DateTime date) {
  const local_days day = floor<days>(date);
  const year_month_day ymd(day);
  const hh_mm_ss<microseconds> time(date - day);
  char text[40];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02lld.%06lld",
                static_cast<int>(ymd.year()), static_cast<unsigned>(ymd.month()),
                static_cast<unsigned>(ymd.day()), static_cast<int>(time.hours().count()),
                static_cast<int>(time.minutes().count()),
                static_cast<long long>(time.seconds().count()),
                static_cast<long long>(time.subseconds().count()));
  return text;
}

void check_range(DateTime date, const std::string& what) {
  if (date < kSmallestDateTime || date > kLargestDateTime) {
    fuzz::fail(what + " is out of range: " + std::to_string(date.time_since_epoch().count()) +
               " us");
  }
}

// The moments the relative forms count from: an ordinary one and the two ends of the range.
const DateTime kNows[] = {
    local_days{year{2024} / March / 5} + hours{12} + minutes{34} + seconds{56} +
        microseconds{789012},
    kSmallestDateTime,
    kLargestDateTime,
};

void check_readers(std::string_view text) {
  const std::string quoted = "'" + fuzz::printable(text) + "'";
  try {
    DateTime date = parse_iso_datetime(text);
    check_range(date, "parse_iso_datetime(" + quoted + ")");
    std::string again = iso_text(date);
    if (parse_iso_datetime(again) != date) {
      fuzz::fail("parse_iso_datetime(" + quoted + ") gives " + again +
                 ", which does not read back the same");
    }
  } catch (const ValueError&) {
  }
  for (DateTime now : kNows) {
    const std::string call = "parse_user_datetime(" + quoted + ", " + iso_text(now) + ")";
    try {
      DateTime date = parse_user_datetime(text, now);
      check_range(date, call);
      std::string again = iso_text(date);
      if (parse_user_datetime(again, now) != date) {
        fuzz::fail(call + " gives " + again + ", which does not read back the same");
      }
    } catch (const ValueError&) {
    }
  }
}

// One step of the iteration.
struct Step {
  enum Kind { kEvent, kBadDate, kNotUtf8, kEnd } kind;
  OrvexEvent event;

  std::string describe() const {
    switch (kind) {
      case kEvent:
        return "event " + fuzz::dump(event);
      case kBadDate:
        return "ValueError";
      case kNotUtf8:
        return "UnicodeDecodeError";
      case kEnd:
        return "end";
    }
    return "?";
  }
};

std::vector<Step> expected(std::string_view content, DateTime since, DateTime until) {
  std::vector<Step> steps;
  for (const fuzz::Line& line : fuzz::split_lines(content)) {
    if (fuzz::first_invalid_utf8(line.text)) {
      steps.push_back({Step::kNotUtf8, {}});
      return steps;
    }
    std::optional<std::string_view> text = fuzz::find_date_field(line.text);
    if (!text) continue;
    DateTime date;
    try {
      date = parse_iso_datetime(*text);
    } catch (const ValueError&) {
      steps.push_back({Step::kBadDate, {}});
      continue;
    }
    if (date < since) continue;
    if (date > until) break;
    if (auto event = fuzz::reference_event(line.text)) {
      steps.push_back({Step::kEvent, std::move(*event)});
    }
  }
  steps.push_back({Step::kEnd, {}});
  return steps;
}

void check_iterator(const std::filesystem::path& path, std::string_view content,
                    const std::optional<std::string>& since,
                    const std::optional<std::string>& until) {
  std::optional<OrvexTimeRangeEventIterator> iterator;
  try {
    iterator.emplace(path, since, until);
  } catch (const ValueError& error) {
    fuzz::note(error.what());  // a bound that cannot be read
    return;
  }
  check_range(iterator->date_since(), "the lower bound");
  check_range(iterator->date_until(), "the upper bound");

  std::vector<Step> want = expected(content, iterator->date_since(), iterator->date_until());
  std::vector<Step> got;
  // Each line gives at most one step: more means the iteration does not advance.
  while (got.size() <= want.size()) {
    try {
      std::optional<OrvexEvent> event = iterator->next();
      if (!event) {
        got.push_back({Step::kEnd, {}});
        break;
      }
      got.push_back({Step::kEvent, std::move(*event)});
    } catch (const UnicodeDecodeError& error) {
      fuzz::note(error.what());
      got.push_back({Step::kNotUtf8, {}});
      break;
    } catch (const ValueError& error) {
      fuzz::note(error.what());
      got.push_back({Step::kBadDate, {}});
    }
  }
  if (got.back().kind == Step::kEnd && iterator->next()) {
    fuzz::fail("the iterator yields an event after its end");
  }

  for (std::size_t i = 0; i < got.size() || i < want.size(); ++i) {
    bool same = i < got.size() && i < want.size() && got[i].kind == want[i].kind &&
                (got[i].kind != Step::kEvent || fuzz::same_event(got[i].event, want[i].event));
    if (!same) {
      fuzz::fail(
          "step " + std::to_string(i) + " is " + (i < got.size() ? got[i].describe() : "missing") +
          ", expected " + (i < want.size() ? want[i].describe() : "nothing") + " (bounds " +
          iso_text(iterator->date_since()) + " to " + iso_text(iterator->date_until()) + ")");
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::filesystem::path path = fuzz::scratch_dir("orvex-fuzz-dates") / "events";
  std::string_view input(reinterpret_cast<const char*>(data), size);

  // Without an LF a bound is absent, not empty.
  std::optional<std::string> since, until;
  std::string_view content = input;
  if (std::size_t lf = content.find('\n'); lf != std::string_view::npos) {
    since.emplace(content.substr(0, lf));
    content.remove_prefix(lf + 1);
    if (lf = content.find('\n'); lf != std::string_view::npos) {
      until.emplace(content.substr(0, lf));
      content.remove_prefix(lf + 1);
    }
  }
  if (since) check_readers(*since);
  if (until) check_readers(*until);
  for (const fuzz::Line& line : fuzz::split_lines(content)) {
    if (std::optional<std::string_view> date = fuzz::find_date_field(line.text)) {
      check_readers(*date);
    }
  }

  fuzz::write_file(path, content);
  check_iterator(path, content, since, until);
  return 0;
}
