#pragma once

// Zone-less, microsecond-exact date-times and the two readers of date text: a strict ISO 8601
// reader for the dates written in the event file and a lenient reader for the bounds a user
// types. Both keep the wall-clock reading of a text that carries a zone or an offset and drop
// the zone, so that event dates and bounds compare as written.

#include <chrono>
#include <string>
#include <string_view>

#include <orvex/sifter_export.hpp>

namespace orvex {

using DateTime = std::chrono::local_time<std::chrono::microseconds>;

// The smallest and largest date-times, 0001-01-01 00:00:00.000000 and
// 9999-12-31 23:59:59.999999; they stand for absent bounds.
inline constexpr DateTime kSmallestDateTime{
    std::chrono::local_days{std::chrono::year{1} / std::chrono::January / 1}};
inline constexpr DateTime kLargestDateTime{
    std::chrono::local_days{std::chrono::year{9999} / std::chrono::December / 31} +
    std::chrono::hours{23} + std::chrono::minutes{59} + std::chrono::seconds{59} +
    std::chrono::microseconds{999999}};

// Reads an ISO 8601 date-time as event files write it:
//   date   YYYY-MM-DD, YYYYMMDD, YYYY-Www, YYYY-Www-D, or YYYY and YYYY-MM (these two take no
//          time); missing parts take their lowest value
//   then optionally exactly one separator character (any) and a time:
//   time   hh, hh:mm, hhmm, hh:mm:ss, hhmmss; after the seconds a fraction after "." or ","
//          (digits past the sixth are ignored); 24:00 is midnight of the next day
//   zone   optionally after the time: Z, +HH:MM, +HHMM, +HH (or with "-"); dropped, the
//          wall-clock reading is kept
// Throws ValueError quoting the text when it is anything else or names no real date-time.
ORVEX_SIFTER_API DateTime parse_iso_datetime(std::string_view text);

// Reads a date-time as a user writes it, relative to `now` (the local wall-clock time):
//   ISO      2024-03-05, 20240305, either with " " or "T" and a time hh:mm[:ss[.ffffff]] and an
//            optional zone (Z, UTC, GMT, +HH:MM, +HHMM, +HH), which is dropped
//   numeric  2024/03/05, 2024.03.05 (a four-digit year first: year, month, day);
//            with slashes month first unless the first number cannot be a month: 03/05/2024,
//            03/05 (this year) are 5 March; with dots always day first, as the viewer's
//            summary writes dates: 05.03.2024, 5.3.2024, 05.03 (this year) are 5 March
//   named    March 5 2024, 5 Mar 2024, Mar 5, 2024, Mar 5th (this year); months in full or
//            abbreviated, any letter case
//   time     10:00, 10:00:30.5, 10:00 PM, 10pm, in any order with a date
//   words    now, today, yesterday, tomorrow (the last three at 00:00, or at a time given
//            after them: "yesterday 10:00")
//   relative -2h, +30min, -3d, 1 week ago, 2 hours ago; units s, sec, second, min, minute, h,
//            hour, d, day, w, week, singular or plural
//   unix     @SECONDS: whole seconds since 1970-01-01 00:00:00 UTC, optionally negative
//            (@1733687211, @-86400; no fraction, no "+"), as the local wall-clock time of that
//            instant; alone, with no other word
// A date alone means 00:00:00 of that date, a time alone that time on the day of `now`.
// Throws ValueError quoting the text when it cannot be read or is out of range.
ORVEX_SIFTER_API DateTime parse_user_datetime(std::string_view text, DateTime now);

// The local wall-clock time now, to the microsecond.
ORVEX_SIFTER_API DateTime local_now();

}  // namespace orvex
