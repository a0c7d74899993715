// The date readers. The strict reader runs once for every dated line of a time-range scan, so
// it walks the text once with a cursor, allocates nothing and throws only on failure. The
// lenient reader splits the user's text into words and classifies each one (ISO date, numeric
// date, month name, time, meridiem, zone, day word), then assembles one date and one time
// from them; a word that fits nowhere, or a part given twice, refuses the whole text.

#include <orvex/date_time.hpp>

#include <time.h>

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include <base/ascii.hpp>
#include <base/terminal_safe.hpp>
#include <base/utf8.hpp>
#include <orvex/errors.hpp>

#include "date_text.hpp"

namespace orvex {

namespace {

using std::chrono::days;
using std::chrono::hours;
using std::chrono::local_days;
using std::chrono::microseconds;
using std::chrono::minutes;
using std::chrono::seconds;

std::string quote(std::string_view text) { return base::quoted(text); }

[[noreturn]] void refuse_iso(std::string_view text) {
  throw ValueError("invalid ISO 8601 date-time " + quote(text));
}

[[noreturn]] void refuse_user(std::string_view text) {
  throw ValueError("unreadable date " + quote(text) +
                   " (write it as YYYY-MM-DD [hh:mm[:ss]], a time hh:mm, or e.g. -2h, today)");
}

std::optional<local_days> make_date(int y, int m, int d) {
  if (y < 1 || y > 9999 || m < 1 || m > 12 || d < 1 || d > 31) return std::nullopt;
  std::chrono::year_month_day ymd{std::chrono::year{y}, std::chrono::month{unsigned(m)},
                                  std::chrono::day{unsigned(d)}};
  if (!ymd.ok()) return std::nullopt;
  return local_days{ymd};
}

// ISO week `week` (1..52 or 53) of `y`, `day_of_week` 1 (Monday) to 7. Week 1 holds 4 January.
std::optional<local_days> make_week_date(int y, int week, int day_of_week) {
  if (y < 1 || y > 9999 || week < 1 || week > 53 || day_of_week < 1 || day_of_week > 7) {
    return std::nullopt;
  }
  using std::chrono::weekday;
  local_days jan4{std::chrono::year{y} / std::chrono::January / 4};
  local_days week1 = jan4 - days{weekday{jan4}.iso_encoding() - 1};
  if (week == 53) {
    // A year has 53 weeks when it starts on a Thursday, or is a leap year starting on a
    // Wednesday.
    weekday jan1{local_days{std::chrono::year{y} / std::chrono::January / 1}};
    bool leap = std::chrono::year{y}.is_leap();
    if (!(jan1 == std::chrono::Thursday || (leap && jan1 == std::chrono::Wednesday))) {
      return std::nullopt;
    }
  }
  return week1 + days{(week - 1) * 7 + (day_of_week - 1)};
}

bool in_range(DateTime value) { return value >= kSmallestDateTime && value <= kLargestDateTime; }

// A read position in a text; every accessor is bounds-checked.
class Cursor {
 public:
  explicit Cursor(std::string_view text) : text_(text) {}
  bool at_end() const { return pos_ >= text_.size(); }
  std::string_view rest() const { return at_end() ? std::string_view() : text_.substr(pos_); }
  char peek(std::size_t ahead = 0) const {
    return pos_ + ahead < text_.size() ? text_[pos_ + ahead] : '\0';
  }
  bool is_digit(std::size_t ahead = 0) const {
    char ch = peek(ahead);
    return ch >= '0' && ch <= '9';
  }
  void advance(std::size_t count = 1) { pos_ += count; }
  bool take(char ch) {
    if (at_end() || text_[pos_] != ch) return false;
    ++pos_;
    return true;
  }
  // Reads exactly `count` ASCII digits into `value`.
  bool digits(std::size_t count, int& value) {
    int result = 0;
    for (std::size_t i = 0; i < count; ++i) {
      if (!is_digit(i)) return false;
      result = result * 10 + (text_[pos_ + i] - '0');
    }
    pos_ += count;
    value = result;
    return true;
  }
  // Skips one character: a whole UTF-8 sequence when the byte starts one.
  void skip_character() {
    ++pos_;
    while (pos_ < text_.size() && base::is_continuation_byte(text_[pos_])) ++pos_;
  }

 private:
  std::string_view text_;
  std::size_t pos_ = 0;
};

struct TimeOfDay {
  microseconds value{0};  // 24:00 gives 24 hours
};

// hh, hh:mm, hhmm, hh:mm:ss, hhmmss and a fraction after the seconds. With `allow_short` false
// the time needs at least hh:mm and the extended (colon) form. Leaves the cursor after the
// time; 24:00 (all zero) is allowed and returned as 24 hours.
std::optional<TimeOfDay> read_time(Cursor& c, bool allow_short) {
  int h = 0, m = 0, s = 0;
  if (!c.digits(2, h)) return std::nullopt;
  bool have_seconds = false;
  if (c.peek() == ':') {
    c.advance();
    if (!c.digits(2, m)) return std::nullopt;
    if (c.peek() == ':') {
      c.advance();
      if (!c.digits(2, s)) return std::nullopt;
      have_seconds = true;
    }
  } else if (!allow_short) {
    return std::nullopt;
  } else if (c.is_digit()) {
    if (!c.digits(2, m)) return std::nullopt;
    if (c.is_digit()) {
      if (!c.digits(2, s)) return std::nullopt;
      have_seconds = true;
    }
  }
  std::int64_t micros = 0;
  if (have_seconds && (c.peek() == '.' || c.peek() == ',') && c.is_digit(1)) {
    c.advance();
    int taken = 0;
    while (c.is_digit()) {
      if (taken < 6) {
        micros = micros * 10 + (c.peek() - '0');
        ++taken;
      }
      c.advance();
    }
    for (; taken < 6; ++taken) micros *= 10;
  }
  if (m > 59 || s > 59) return std::nullopt;
  if (h > 24 || (h == 24 && (m != 0 || s != 0 || micros != 0))) return std::nullopt;
  return TimeOfDay{hours{h} + minutes{m} + seconds{s} + microseconds{micros}};
}

// +HH:MM, +HHMM, +HH or the same with "-"; the cursor stands on the sign.
bool read_offset(Cursor& c) {
  if (c.peek() != '+' && c.peek() != '-') return false;
  c.advance();
  int h = 0, m = 0;
  if (!c.digits(2, h)) return false;
  if (c.peek() == ':') {
    c.advance();
    if (!c.digits(2, m)) return false;
  } else if (c.is_digit()) {
    if (!c.digits(2, m)) return false;
  }
  return h <= 23 && m <= 59;
}

// A zone after an ISO time: Z or an offset. True when none follows or one was read.
bool read_iso_zone(Cursor& c, char z) {
  if (c.at_end()) return true;
  if (c.take(z)) return true;
  return read_offset(c);
}

DateTime combine(local_days date, TimeOfDay time) { return DateTime{date} + time.value; }

}  // namespace

DateTime parse_iso_datetime(std::string_view text) {
  Cursor c(text);
  int y = 0;
  if (!c.digits(4, y)) refuse_iso(text);
  std::optional<local_days> date;
  if (c.at_end()) {
    date = make_date(y, 1, 1);
    if (!date) refuse_iso(text);
    return DateTime{*date};
  }
  if (c.take('-')) {
    if (c.take('W')) {
      int week = 0, weekday = 1;
      if (!c.digits(2, week)) refuse_iso(text);
      if (c.peek() == '-' && c.is_digit(1)) {
        c.advance();
        c.digits(1, weekday);
      }
      date = make_week_date(y, week, weekday);
    } else {
      int m = 0, d = 0;
      if (!c.digits(2, m)) refuse_iso(text);
      if (c.at_end()) {
        date = make_date(y, m, 1);
        if (!date) refuse_iso(text);
        return DateTime{*date};
      }
      if (!c.take('-') || !c.digits(2, d)) refuse_iso(text);
      date = make_date(y, m, d);
    }
  } else {
    int m = 0, d = 0;
    if (!c.digits(2, m) || !c.digits(2, d)) refuse_iso(text);
    date = make_date(y, m, d);
  }
  if (!date) refuse_iso(text);
  if (c.at_end()) return DateTime{*date};

  c.skip_character();  // the separator, "T" by the standard; any one character is taken
  std::optional<TimeOfDay> time = read_time(c, true);
  if (!time || !read_iso_zone(c, 'Z') || !c.at_end()) refuse_iso(text);
  DateTime result = combine(*date, *time);
  if (!in_range(result)) refuse_iso(text);
  return result;
}

namespace {

using base::is_space;

bool all_digits(std::string_view s) {
  if (s.empty()) return false;
  for (char ch : s) {
    if (ch < '0' || ch > '9') return false;
  }
  return true;
}

int to_int(std::string_view digits) {
  int value = 0;
  for (char ch : digits) value = value * 10 + (ch - '0');
  return value;
}

std::optional<int> month_from_name(std::string_view word) {
  if (!word.empty() && word.back() == '.') word.remove_suffix(1);
  static constexpr std::array<std::string_view, 12> kNames = {
      "january", "february", "march",     "april",   "may",      "june",
      "july",    "august",   "september", "october", "november", "december"};
  for (std::size_t i = 0; i < kNames.size(); ++i) {
    if (word == kNames[i] || word == kNames[i].substr(0, 3)) return static_cast<int>(i) + 1;
  }
  if (word == "sept") return 9;
  return std::nullopt;
}

// Seconds per unit of a relative time, or 0 for an unknown unit.
std::int64_t unit_seconds(std::string_view unit) {
  struct Unit {
    std::string_view name;
    std::int64_t seconds;
  };
  static constexpr Unit kUnits[] = {
      {"s", 1},       {"sec", 1},       {"secs", 1},       {"second", 1},   {"seconds", 1},
      {"min", 60},    {"mins", 60},     {"minute", 60},    {"minutes", 60}, {"h", 3600},
      {"hour", 3600}, {"hours", 3600},  {"d", 86400},      {"day", 86400},  {"days", 86400},
      {"w", 604800},  {"week", 604800}, {"weeks", 604800},
  };
  for (const Unit& u : kUnits) {
    if (unit == u.name) return u.seconds;
  }
  return 0;
}

// "-2h", "+30 min", "3 days ago". Returns std::nullopt when the text is not of that shape;
// refuses it when it is but the amount is out of range.
std::optional<DateTime> read_relative(std::string_view text, std::string_view original,
                                      DateTime now) {
  std::size_t i = 0;
  int sign = 0;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) sign = text[i++] == '-' ? -1 : 1;
  while (i < text.size() && is_space(text[i])) ++i;
  std::size_t start = i;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i;
  if (i == start) return std::nullopt;
  std::string_view amount_text = text.substr(start, i - start);
  while (i < text.size() && is_space(text[i])) ++i;
  std::size_t unit_start = i;
  while (i < text.size() && text[i] >= 'a' && text[i] <= 'z') ++i;
  std::string_view unit = text.substr(unit_start, i - unit_start);
  std::size_t after_unit = i;
  while (i < text.size() && is_space(text[i])) ++i;
  std::string_view tail = text.substr(i);
  if (tail == "ago" && i > after_unit) {
    if (sign != 0) return std::nullopt;
    sign = -1;
  } else if (!tail.empty()) {
    return std::nullopt;
  }
  if (sign == 0) return std::nullopt;
  std::int64_t per_unit = unit_seconds(unit);
  if (per_unit == 0) return std::nullopt;

  // Anything beyond the span of the calendar is out of range; checking the digit count first
  // keeps the multiplication from overflowing.
  constexpr std::int64_t kSpanSeconds = 10000LL * 366 * 86400;
  if (amount_text.size() > 12) refuse_user(original);
  std::int64_t amount = 0;
  for (char ch : amount_text) amount = amount * 10 + (ch - '0');
  if (amount > kSpanSeconds / per_unit) refuse_user(original);
  DateTime result = now + seconds{sign * amount * per_unit};
  if (!in_range(result)) refuse_user(original);
  return result;
}

struct Parts {
  std::optional<local_days> date;  // a complete date from one word
  std::optional<int> month;        // from a month name
  std::vector<int> small_numbers;  // 1 or 2 digits: a day, or an hour before am/pm
  std::optional<int> year;         // 4 digits
  std::optional<TimeOfDay> time;
  std::optional<int> hour_only;  // "10 pm", "10pm"
  std::optional<bool> pm;
  bool zone = false;
  bool ordinal_day = false;  // "5th": only with a month name
};

bool read_meridiem(std::string_view word, Parts& parts) {
  bool pm;
  if (word == "am" || word == "a.m.") {
    pm = false;
  } else if (word == "pm" || word == "p.m.") {
    pm = true;
  } else {
    return false;
  }
  if (parts.pm) return false;
  parts.pm = pm;
  return true;
}

// hh:mm[:ss[.f]] with an optional attached am/pm or zone; "9:30" counts as "09:30".
bool read_time_word(std::string_view word, Parts& parts) {
  if (parts.time || parts.hour_only) return false;
  std::string padded;
  if (word.size() >= 2 && word[1] == ':') {
    padded.reserve(word.size() + 1);
    padded.push_back('0');
    padded.append(word);
    word = padded;
  }
  Cursor c(word);
  std::optional<TimeOfDay> time = read_time(c, false);
  if (!time) return false;
  parts.time = time;
  std::string_view rest = c.rest();
  if (rest.empty() || read_meridiem(rest, parts)) return true;
  if (rest == "z" || rest == "utc" || rest == "gmt") {
    parts.zone = true;
    return true;
  }
  Cursor zone(rest);
  if (read_offset(zone) && zone.at_end()) {
    parts.zone = true;
    return true;
  }
  return false;
}

// Y/M/D with either separator; with "/" M/D/Y (or D/M/Y when the first number cannot be a
// month) and M/D; with "." D.M.Y and D.M, the order the viewer's summary writes, so that a
// date copied from it reads back as the same day.
bool read_numeric_date(std::string_view word, char sep, const DateTime& now, Parts& parts) {
  std::vector<std::string_view> fields;
  std::size_t start = 0;
  for (;;) {
    std::size_t at = word.find(sep, start);
    fields.push_back(word.substr(start, at == std::string_view::npos ? at : at - start));
    if (at == std::string_view::npos) break;
    start = at + 1;
  }
  if (fields.size() < 2 || fields.size() > 3) return false;
  for (std::string_view f : fields) {
    if (!all_digits(f)) return false;
  }
  std::optional<local_days> date;
  if (fields.size() == 3 && fields[0].size() == 4) {
    if (fields[1].size() > 2 || fields[2].size() > 2) return false;
    date = make_date(to_int(fields[0]), to_int(fields[1]), to_int(fields[2]));
  } else {
    int year;
    if (fields.size() == 3) {
      if (fields[2].size() != 4) return false;
      year = to_int(fields[2]);
    } else {
      year = int(std::chrono::year_month_day{std::chrono::floor<days>(now)}.year());
    }
    if (fields[0].size() > 2 || fields[1].size() > 2) return false;
    int first = to_int(fields[0]), second = to_int(fields[1]);
    if (sep == '.') {
      date = make_date(year, second, first);
    } else {
      // Ambiguous day and month read month first; only a first number above 12 is a day.
      date = first <= 12 ? make_date(year, first, second) : make_date(year, second, first);
    }
  }
  if (!date) return false;
  if (parts.date) return false;
  parts.date = date;
  return true;
}

// YYYY-MM-DD or YYYYMMDD, optionally with "t", an ISO time and a zone attached.
bool read_iso_word(std::string_view word, Parts& parts) {
  Cursor c(word);
  int y = 0, m = 0, d = 0;
  if (!c.digits(4, y)) return false;
  if (c.take('-')) {
    if (!c.digits(2, m) || !c.take('-') || !c.digits(2, d)) return false;
  } else if (!c.digits(2, m) || !c.digits(2, d)) {
    return false;
  }
  std::optional<local_days> date = make_date(y, m, d);
  if (!date || parts.date) return false;
  parts.date = date;
  if (c.at_end()) return true;
  if (!c.take('t')) return false;
  std::optional<TimeOfDay> time = read_time(c, true);
  if (!time || parts.time || parts.hour_only) return false;
  parts.time = time;
  if (c.at_end()) return true;
  if (c.take('z')) {
    parts.zone = true;
  } else if (read_offset(c)) {
    parts.zone = true;
  }
  return c.at_end();
}

bool read_word(std::string_view word, const DateTime& now, Parts& parts) {
  if (read_meridiem(word, parts)) return true;
  if (auto month = month_from_name(word)) {
    if (parts.month) return false;
    parts.month = month;
    return true;
  }
  if (word == "z" || word == "utc" || word == "gmt") {
    if (parts.zone) return false;
    parts.zone = true;
    return true;
  }
  if (word[0] == '+' || word[0] == '-') {
    Cursor c(word);
    if (parts.zone || !read_offset(c) || !c.at_end()) return false;
    parts.zone = true;
    return true;
  }
  if (word[0] < '0' || word[0] > '9') return false;

  if (word.size() >= 5 && word[4] == '-') return read_iso_word(word, parts);
  if (word.size() >= 8 && all_digits(word.substr(0, 8)) && (word.size() == 8 || word[8] == 't')) {
    return read_iso_word(word, parts);
  }
  if (word.find(':') != std::string_view::npos) return read_time_word(word, parts);
  if (word.find('/') != std::string_view::npos) return read_numeric_date(word, '/', now, parts);
  if (word.find('.') != std::string_view::npos) return read_numeric_date(word, '.', now, parts);

  std::size_t digit_end = 0;
  while (digit_end < word.size() && word[digit_end] >= '0' && word[digit_end] <= '9') {
    ++digit_end;
  }
  std::string_view number = word.substr(0, digit_end);
  std::string_view suffix = word.substr(digit_end);
  if (suffix.empty()) {
    if (number.size() <= 2) {
      parts.small_numbers.push_back(to_int(number));
      return true;
    }
    if (number.size() == 4 && !parts.year) {
      parts.year = to_int(number);
      return true;
    }
    return false;
  }
  if (number.size() > 2) return false;
  if (suffix == "st" || suffix == "nd" || suffix == "rd" || suffix == "th") {
    parts.small_numbers.push_back(to_int(number));
    parts.ordinal_day = true;
    return true;
  }
  if (parts.hour_only || parts.time) return false;
  if (!read_meridiem(suffix, parts)) return false;
  parts.hour_only = to_int(number);
  return true;
}

// "@SECONDS": whole seconds since 1970-01-01 00:00 UTC, optionally negative, as the local
// wall-clock time of that instant. Returns std::nullopt when the text does not start with "@".
std::optional<DateTime> read_unix_time(std::string_view text, std::string_view original) {
  if (text.empty() || text.front() != '@') return std::nullopt;
  std::string_view digits = text.substr(1);
  bool negative = !digits.empty() && digits.front() == '-';
  if (negative) digits.remove_prefix(1);
  // Twelve digits reach past the end of the calendar in any zone; more cannot be in range and
  // would overflow.
  if (!all_digits(digits) || digits.size() > 12) refuse_user(original);
  std::int64_t value = 0;
  for (char ch : digits) value = value * 10 + (ch - '0');
  time_t whole = static_cast<time_t>(negative ? -value : value);
  struct tm local {};
  if (localtime_r(&whole, &local) == nullptr) refuse_user(original);
  std::optional<local_days> date = make_date(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
  if (!date) refuse_user(original);
  DateTime result =
      DateTime{*date} + hours{local.tm_hour} + minutes{local.tm_min} + seconds{local.tm_sec};
  if (!in_range(result)) refuse_user(original);
  return result;
}

}  // namespace

DateTime parse_user_datetime(std::string_view text, DateTime now) {
  std::string lower;
  lower.reserve(text.size());
  for (char ch : text) lower += (ch >= 'A' && ch <= 'Z') ? char(ch - 'A' + 'a') : ch;
  std::string_view trimmed = lower;
  while (!trimmed.empty() && is_space(trimmed.front())) trimmed.remove_prefix(1);
  while (!trimmed.empty() && is_space(trimmed.back())) trimmed.remove_suffix(1);
  if (trimmed.empty()) refuse_user(text);

  if (trimmed == "now") return now;
  if (auto unix_time = read_unix_time(trimmed, text)) return *unix_time;
  if (auto relative = read_relative(trimmed, text, now)) return *relative;

  local_days today = std::chrono::floor<days>(now);
  Parts parts;
  std::optional<local_days> day_word;
  std::size_t i = 0;
  while (i < trimmed.size()) {
    while (i < trimmed.size() && (is_space(trimmed[i]) || trimmed[i] == ',')) ++i;
    std::size_t start = i;
    while (i < trimmed.size() && !is_space(trimmed[i]) && trimmed[i] != ',') ++i;
    if (i == start) break;
    std::string_view word = trimmed.substr(start, i - start);
    if (word == "today" || word == "yesterday" || word == "tomorrow") {
      if (day_word) refuse_user(text);
      day_word = today + days{word == "today" ? 0 : word == "yesterday" ? -1 : 1};
      continue;
    }
    if (!read_word(word, now, parts)) refuse_user(text);
  }

  // The hour of "10 pm": a lone small number right before a separate am/pm.
  if (parts.pm && !parts.time && !parts.hour_only && !parts.month &&
      parts.small_numbers.size() == 1) {
    parts.hour_only = parts.small_numbers.back();
    parts.small_numbers.clear();
  }

  std::optional<local_days> date = parts.date;
  if (parts.month) {
    if (date || day_word || parts.small_numbers.size() != 1) refuse_user(text);
    int year = parts.year ? *parts.year
                          : int(std::chrono::year_month_day{std::chrono::floor<days>(now)}.year());
    date = make_date(year, *parts.month, parts.small_numbers.front());
    if (!date) refuse_user(text);
  } else if (!parts.small_numbers.empty() || parts.year || parts.ordinal_day) {
    refuse_user(text);
  }
  if (day_word) {
    if (date) refuse_user(text);
    date = day_word;
  }

  std::optional<TimeOfDay> time = parts.time;
  if (parts.hour_only) time = TimeOfDay{hours{*parts.hour_only}};
  if (parts.pm) {
    if (!time) refuse_user(text);
    auto h = std::chrono::floor<hours>(time->value).count();
    if (h < 1 || h > 12) refuse_user(text);
    if (*parts.pm && h != 12) time->value += hours{12};
    if (!*parts.pm && h == 12) time->value -= hours{12};
  }
  if (parts.zone && !time) refuse_user(text);
  if (!date && !time) refuse_user(text);

  DateTime result = combine(date.value_or(today), time.value_or(TimeOfDay{}));
  if (!in_range(result)) refuse_user(text);
  return result;
}

DateTime local_now() {
  auto now = std::chrono::time_point_cast<microseconds>(std::chrono::system_clock::now());
  time_t whole = static_cast<time_t>(std::chrono::floor<seconds>(now).time_since_epoch().count());
  struct tm parts {};
  long offset = 0;
  if (localtime_r(&whole, &parts) != nullptr) offset = parts.tm_gmtoff;
  return DateTime{now.time_since_epoch() + seconds{offset}};
}

std::string format_datetime(DateTime value) {
  local_days day = std::chrono::floor<days>(value);
  std::chrono::year_month_day ymd{day};
  std::chrono::hh_mm_ss<microseconds> clock{value - day};
  auto put = [](std::string& out, long long number, int width) {
    char digits[20];
    int n = 0;
    do {
      digits[n++] = char('0' + number % 10);
      number /= 10;
    } while (number > 0);
    for (int pad = n; pad < width; ++pad) out += '0';
    while (n > 0) out += digits[--n];
  };
  std::string out;
  put(out, int(ymd.year()), 4);
  out += '-';
  put(out, unsigned(ymd.month()), 2);
  out += '-';
  put(out, unsigned(ymd.day()), 2);
  out += ' ';
  put(out, clock.hours().count(), 2);
  out += ':';
  put(out, clock.minutes().count(), 2);
  out += ':';
  put(out, clock.seconds().count(), 2);
  out += '.';
  put(out, clock.subseconds().count(), 6);
  return out;
}

}  // namespace orvex
