// The summary's date reader. It is stricter than a general ISO 8601 reader on purpose: the
// logger writes one fixed family of forms, and anything else ("Z", a week date, "T10:2")
// means the field is not what it should be, which is reported rather than guessed at.
// The text is read left to right in one pass; every part has a fixed width, so a position
// is all the state there is.
#include "iso_date.hpp"

#include <base/utf8.hpp>
#include <orvex/errors.hpp>

#include "display_form.hpp"

namespace orvex {

namespace {

struct Reader {
  std::string_view text;
  std::size_t pos = 0;

  bool at_end() const { return pos == text.size(); }
  bool peek(char c) const { return pos < text.size() && text[pos] == c; }
  bool take(char c) {
    if (!peek(c)) return false;
    ++pos;
    return true;
  }
  // Reads exactly `width` ASCII digits.
  bool digits(std::size_t width, int& value) {
    if (text.size() - pos < width) return false;
    value = 0;
    for (std::size_t i = 0; i < width; ++i) {
      char c = text[pos + i];
      if (c < '0' || c > '9') return false;
      value = value * 10 + (c - '0');
    }
    pos += width;
    return true;
  }
  // The number of ASCII digits from the current position.
  std::size_t digit_run() const {
    std::size_t n = 0;
    while (pos + n < text.size() && text[pos + n] >= '0' && text[pos + n] <= '9') ++n;
    return n;
  }
  // Skips one UTF-8 character (a stray byte counts as one).
  void skip_character() { pos += base::decode_utf8(text, pos).length; }
};

bool is_leap_year(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int days_in_month(int year, int month) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && is_leap_year(year) ? 29 : kDays[month - 1];
}

[[noreturn]] void fail(std::string_view field, std::string_view text, const char* what) {
  throw ValueError("field '" + std::string(field) + "': invalid date-time " +
                   display::describe_text(text) + ": " + what);
}

void put_two(char* at, int value) {
  at[0] = static_cast<char>('0' + value / 10);
  at[1] = static_cast<char>('0' + value % 10);
}

}  // namespace

void append_summary_date(std::string& out, std::string_view text, std::string_view field) {
  Reader r{text};
  int year, month, day, hour = 0, minute = 0, second = 0;
  if (!(r.digits(4, year) && r.take('-') && r.digits(2, month) && r.take('-') &&
        r.digits(2, day))) {
    fail(field, text, "expected a date YYYY-MM-DD");
  }
  if (!r.at_end()) {
    r.skip_character();  // the date-time separator may be any one character
    if (!r.digits(2, hour)) fail(field, text, "expected the hour HH after the date");
    if (r.take(':')) {
      if (!r.digits(2, minute)) fail(field, text, "expected the minutes MM after the hour");
      if (r.take(':')) {
        if (!r.digits(2, second)) fail(field, text, "expected the seconds SS after the minutes");
        if (r.take('.')) {
          std::size_t n = r.digit_run();
          if (n != 3 && n != 6)
            fail(field, text, "the fraction of a second must have 3 or 6 digits");
          r.pos += n;
        }
      }
    }
    if (r.peek('+') || r.peek('-')) {
      ++r.pos;
      int offset_hour, offset_minute, offset_second = 0;
      if (!(r.digits(2, offset_hour) && r.take(':') && r.digits(2, offset_minute))) {
        fail(field, text, "expected a UTC offset +HH:MM or -HH:MM");
      }
      if (r.take(':')) {
        if (!r.digits(2, offset_second)) fail(field, text, "expected the offset's seconds SS");
        if (r.take('.')) {
          if (r.digit_run() != 6)
            fail(field, text, "the fraction of the offset must have 6 digits");
          r.pos += 6;
        }
      }
      if (offset_hour > 23 || offset_minute > 59 || offset_second > 59) {
        fail(field, text, "UTC offset out of range");
      }
    }
    if (!r.at_end()) fail(field, text, "unexpected text after the time");
  }
  if (year < 1) fail(field, text, "year out of range");
  if (month < 1 || month > 12) fail(field, text, "month out of range");
  if (day < 1 || day > days_in_month(year, month))
    fail(field, text, "day out of range for the month");
  if (hour > 23) fail(field, text, "hour out of range");
  if (minute > 59) fail(field, text, "minute out of range");
  if (second > 59) fail(field, text, "second out of range");

  char shown[] = "DD.MM.YYYY HH:MM:SS";
  put_two(shown, day);
  put_two(shown + 3, month);
  put_two(shown + 6, year / 100);
  put_two(shown + 8, year % 100);
  put_two(shown + 11, hour);
  put_two(shown + 14, minute);
  put_two(shown + 17, second);
  out.append(shown, sizeof shown - 1);
}

}  // namespace orvex
