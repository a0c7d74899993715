#include <gtest/gtest.h>

#include <time.h>

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include <orvex/date_time.hpp>

#include <orvex/errors.hpp>
#include "date_text.hpp"

namespace orvex {
namespace {

struct Accepted {
  std::string text;
  std::string expected;  // as format_datetime writes it
};

TEST(DateTimeTest, LimitsAreTheFirstAndLastMicrosecondOfTheCalendar) {
  EXPECT_EQ(format_datetime(kSmallestDateTime), "0001-01-01 00:00:00.000000");
  EXPECT_EQ(format_datetime(kLargestDateTime), "9999-12-31 23:59:59.999999");
}

TEST(DateTimeTest, IsoReaderAcceptsEveryListedForm) {
  const std::vector<Accepted> rows = {
      {"2024-03-05", "2024-03-05 00:00:00.000000"},
      {"20240305", "2024-03-05 00:00:00.000000"},
      {"2024", "2024-01-01 00:00:00.000000"},
      {"2024-03", "2024-03-01 00:00:00.000000"},
      {"2024-02-29", "2024-02-29 00:00:00.000000"},
      {"2024-W01-1", "2024-01-01 00:00:00.000000"},
      {"2024-W10", "2024-03-04 00:00:00.000000"},
      {"2024-W10-3", "2024-03-06 00:00:00.000000"},
      {"2025-W01-1", "2024-12-30 00:00:00.000000"},
      {"2020-W53-7", "2021-01-03 00:00:00.000000"},
      {"2024-W10-3T08:15", "2024-03-06 08:15:00.000000"},
      {"2024-03-05T10", "2024-03-05 10:00:00.000000"},
      {"2024-03-05T10:30", "2024-03-05 10:30:00.000000"},
      {"2024-03-05T1030", "2024-03-05 10:30:00.000000"},
      {"2024-03-05T10:30:15", "2024-03-05 10:30:15.000000"},
      {"2024-03-05T103015", "2024-03-05 10:30:15.000000"},
      {"2024-03-05 10:30:15", "2024-03-05 10:30:15.000000"},
      {"2024-03-05x10:30:15", "2024-03-05 10:30:15.000000"},
      {"2024-03-05\xC2\xA0"
       "10:30",
       "2024-03-05 10:30:00.000000"},
      {"20240305T101500", "2024-03-05 10:15:00.000000"},
      {"2024-03-05T10:30:15.5", "2024-03-05 10:30:15.500000"},
      {"2024-03-05T10:30:15,25", "2024-03-05 10:30:15.250000"},
      {"2024-03-05T103015.123", "2024-03-05 10:30:15.123000"},
      {"2024-03-05T10:30:15.123456789", "2024-03-05 10:30:15.123456"},
      {"2024-03-05T24:00", "2024-03-06 00:00:00.000000"},
      {"2024-12-31T24:00:00.000", "2025-01-01 00:00:00.000000"},
      {"2024-03-05T23:30:00+03:00", "2024-03-05 23:30:00.000000"},
      {"2024-03-05T10:00:00Z", "2024-03-05 10:00:00.000000"},
      {"2024-03-05T10:00:00.000001-0500", "2024-03-05 10:00:00.000001"},
      {"2024-03-05T10+03", "2024-03-05 10:00:00.000000"},
      {"20240305T1015Z", "2024-03-05 10:15:00.000000"},
      {"0001-01-01", "0001-01-01 00:00:00.000000"},
      {"9999-12-31T23:59:59.999999", "9999-12-31 23:59:59.999999"},
  };
  for (const Accepted& row : rows) {
    SCOPED_TRACE(row.text);
    EXPECT_EQ(format_datetime(parse_iso_datetime(row.text)), row.expected);
  }
}

TEST(DateTimeTest, IsoReaderRefusesEverythingElse) {
  const std::vector<std::string> rows = {
      "",
      "Mar  5 10:00:00",
      "2024-3-5",
      "2024-03-5",
      "2024/03/05",
      "202403",
      "2024-0305",
      "0000-01-01",
      "2024-13-01",
      "2024-00-10",
      "2024-02-30",
      "2023-02-29",
      "2024-W00",
      "2024-W10-8",
      "2019-W53",
      "2024-W1",
      "2024-03T10",
      "2024T10",
      "2024-03-05T",
      "2024-03-05T1",
      "2024-03-05T25:00",
      "2024-03-05T24:00:01",
      "2024-03-05T24:00:00.5",
      "2024-03-05T10:60",
      "2024-03-05T10:00:60",
      "2024-03-05T10:00.5",
      "2024-03-05T10:00:00.",
      "2024-03-05T10:0030",
      "2024-03-05T10:00:00+3",
      "2024-03-05T10:00:00+24:00",
      "2024-03-05T10:00:00+03:60",
      "2024-03-05T10:00:00z",
      "2024-03-05T10:00:00Zx",
      "2024-03-05T10:00:00 ",
      " 2024-03-05",
      "2024-03-05Z",
      "9999-12-31T24:00",
      "\xEF\xBC\x92\xEF\xBC\x90\xEF\xBC\x92\xEF\xBC\x94",
  };
  for (const std::string& text : rows) {
    SCOPED_TRACE(text);
    try {
      parse_iso_datetime(text);
      ADD_FAILURE() << "accepted";
    } catch (const ValueError& error) {
      EXPECT_NE(std::string(error.what()).find("'" + text + "'"), std::string::npos)
          << error.what();
    }
  }
}

TEST(DateTimeTest, MessagesShowHostileTextSafely) {
  try {
    parse_iso_datetime("\x1b[31m2024" + std::string(200, 'x'));
    FAIL() << "accepted";
  } catch (const ValueError& error) {
    std::string message = error.what();
    EXPECT_EQ(message.find('\x1b'), std::string::npos);
    EXPECT_NE(message.find("'\\x1b[31m2024xxx"), std::string::npos) << message;
    EXPECT_LT(message.size(), 150u) << "a long value is cut";
  }
}

// `seconds` since the epoch as localtime_r reads them, the way format_datetime writes it.
std::string local_text(time_t seconds) {
  struct tm local {};
  if (localtime_r(&seconds, &local) == nullptr) return "(localtime_r failed)";
  char text[64];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S.000000", &local);
  return text;
}

// Tuesday, 5 March 2024, 14:30:45.123456.
const DateTime kNow = DateTime{std::chrono::local_days{std::chrono::year{2024} / 3 / 5}} +
                      std::chrono::hours{14} + std::chrono::minutes{30} + std::chrono::seconds{45} +
                      std::chrono::microseconds{123456};

TEST(DateTimeTest, UserReaderAcceptsIsoFreeWritingsWordsAndRelativeTimes) {
  const std::vector<Accepted> rows = {
      // ISO calendar forms, zones dropped
      {"2024-03-05", "2024-03-05 00:00:00.000000"},
      {"  20231224\t", "2023-12-24 00:00:00.000000"},
      {"2024-03-05 10:00", "2024-03-05 10:00:00.000000"},
      {"2024-03-05T10:00:30", "2024-03-05 10:00:30.000000"},
      {"2024-03-05t1000", "2024-03-05 10:00:00.000000"},
      {"2024-03-05 10:00:30.25", "2024-03-05 10:00:30.250000"},
      {"2024-03-05T10:00:00+03:00", "2024-03-05 10:00:00.000000"},
      {"2024-03-05 10:00:00Z", "2024-03-05 10:00:00.000000"},
      {"2024-03-05 10:00 UTC", "2024-03-05 10:00:00.000000"},
      {"2024-03-05 10:00 -0500", "2024-03-05 10:00:00.000000"},
      {"20240305T101500", "2024-03-05 10:15:00.000000"},
      // a time alone is today
      {"10:00", "2024-03-05 10:00:00.000000"},
      {"9:05:07", "2024-03-05 09:05:07.000000"},
      {"10:00 PM", "2024-03-05 22:00:00.000000"},
      {"10pm", "2024-03-05 22:00:00.000000"},
      {"10 p.m.", "2024-03-05 22:00:00.000000"},
      {"12 am", "2024-03-05 00:00:00.000000"},
      {"12:30 PM", "2024-03-05 12:30:00.000000"},
      {"11:59:59am", "2024-03-05 11:59:59.000000"},
      // named months
      {"March 5 2024", "2024-03-05 00:00:00.000000"},
      {"5 Mar 2024", "2024-03-05 00:00:00.000000"},
      {"Mar 5, 2024 10:00", "2024-03-05 10:00:00.000000"},
      {"mar. 5th, 2024", "2024-03-05 00:00:00.000000"},
      {"SEPTEMBER 1, 2023 8:15 am", "2023-09-01 08:15:00.000000"},
      {"Sept 30 2023", "2023-09-30 00:00:00.000000"},
      {"Dec 25", "2024-12-25 00:00:00.000000"},
      {"10:00 Feb 29 2024", "2024-02-29 10:00:00.000000"},
      // slashes: month first when ambiguous
      {"2024/03/05", "2024-03-05 00:00:00.000000"},
      {"03/05/2024", "2024-03-05 00:00:00.000000"},
      {"12/25/2023 18:00", "2023-12-25 18:00:00.000000"},
      {"25/12/2023", "2023-12-25 00:00:00.000000"},
      {"3/5", "2024-03-05 00:00:00.000000"},
      // dots: year first with four digits, otherwise day first as the summary writes it
      {"2024.3.5", "2024-03-05 00:00:00.000000"},
      {"2024.03.05", "2024-03-05 00:00:00.000000"},
      {"03.05.2024", "2024-05-03 00:00:00.000000"},
      {"05.12.2026", "2026-12-05 00:00:00.000000"},
      {"5.12.2026", "2026-12-05 00:00:00.000000"},
      {"05.12.2026 10:24", "2026-12-05 10:24:00.000000"},
      {"05.12.2026 10:24:18", "2026-12-05 10:24:18.000000"},
      {"10:24 5.1.2026", "2026-01-05 10:24:00.000000"},
      {"25.12.2023", "2023-12-25 00:00:00.000000"},
      {"29.02.2024", "2024-02-29 00:00:00.000000"},
      {"05.12", "2024-12-05 00:00:00.000000"},
      {"5.3", "2024-03-05 00:00:00.000000"},
      // words
      {"now", "2024-03-05 14:30:45.123456"},
      {"Today", "2024-03-05 00:00:00.000000"},
      {"yesterday", "2024-03-04 00:00:00.000000"},
      {"tomorrow", "2024-03-06 00:00:00.000000"},
      {"yesterday 10:00", "2024-03-04 10:00:00.000000"},
      {"9pm tomorrow", "2024-03-06 21:00:00.000000"},
      // relative times
      {"-2h", "2024-03-05 12:30:45.123456"},
      {"+30min", "2024-03-05 15:00:45.123456"},
      {"-90s", "2024-03-05 14:29:15.123456"},
      {"-3d", "2024-03-02 14:30:45.123456"},
      {"1 week ago", "2024-02-27 14:30:45.123456"},
      {"2 hours ago", "2024-03-05 12:30:45.123456"},
      {"+1 day", "2024-03-06 14:30:45.123456"},
      {"- 5 minutes", "2024-03-05 14:25:45.123456"},
      {"-2 weeks", "2024-02-20 14:30:45.123456"},
      {"10 secs ago", "2024-03-05 14:30:35.123456"},
      // Unix time, as the local wall-clock time
      {"@0", local_text(0)},
      {"@1733687211", local_text(1733687211)},
      {"@-86400", local_text(-86400)},
      {" @60 ", local_text(60)},
  };
  for (const Accepted& row : rows) {
    SCOPED_TRACE(row.text);
    EXPECT_EQ(format_datetime(parse_user_datetime(row.text, kNow)), row.expected);
  }
}

TEST(DateTimeTest, UserReaderRefusesWhatItCannotRead) {
  const std::vector<std::string> rows = {
      "",
      "   ",
      "garbage",
      "2024",
      "2024-03",
      "Mar",
      "5th",
      "pm",
      "Z",
      "2024-13-01",
      "2024-03-05T",
      "2024-03-05 10",
      "02/30/2024",
      "13/13/2024",
      "03/05/24",
      "Mar 32 2024",
      "Mar 5 6",
      "March 5 2024 2025",
      "Mar Apr 5",
      "10:00 10:30",
      "2024-03-05 2024-03-06",
      "today yesterday",
      "today 2024-03-05",
      "today Mar 5",
      "13pm",
      "0 am",
      "10:00 am pm",
      "25:00",
      "10:00:00.",
      "10:00 Z Z",
      "2024-03-05 +03:00",
      "2h",
      "-2h ago",
      "-2m",
      "-1 month",
      "-2 lightyears",
      "+99999999999999999d",
      "-3000000 days",
      "1234567890",
      "31.02.2024",
      "12.25.2023",
      "5.13",
      "05.12.26",
      "05.12.2026.1",
      "@",
      "@x",
      "@-",
      "@+5",
      "@1.5",
      "@1e3",
      "@ 0",
      "@0 10:00",
      "10:00 @0",
      "@1000000000000",
      "@300000000000",
      "@-300000000000",
  };
  for (const std::string& text : rows) {
    SCOPED_TRACE(text);
    try {
      parse_user_datetime(text, kNow);
      ADD_FAILURE() << "accepted";
    } catch (const ValueError& error) {
      EXPECT_NE(std::string(error.what()).find("'" + text + "'"), std::string::npos)
          << error.what();
    }
  }
}

// Sets the TZ variable for the life of the object and restores it after.
class ScopedZone {
 public:
  explicit ScopedZone(const char* zone) {
    if (const char* before = std::getenv("TZ")) before_ = before;
    setenv("TZ", zone, 1);
    tzset();
  }
  ~ScopedZone() {
    if (before_) {
      setenv("TZ", before_->c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }
  ScopedZone(const ScopedZone&) = delete;
  ScopedZone& operator=(const ScopedZone&) = delete;

 private:
  std::optional<std::string> before_;
};

// In a zone away from UTC, so that reading the seconds as UTC wall-clock time would show.
TEST(DateTimeTest, UnixTimeIsTheWallClockTimeOfTheLocalZone) {
  struct Row {
    const char* zone;  // POSIX TZ values, which need no zone database
    std::string text;
    std::string expected;  // empty: refused
  };
  const std::vector<Row> rows = {
      {"<+0530>-5:30", "@1733687211", "2024-12-09 01:16:51.000000"},
      {"<+0530>-5:30", "@0", "1970-01-01 05:30:00.000000"},
      {"<-03>3", "@1733687211", "2024-12-08 16:46:51.000000"},
      {"<-03>3", "@0", "1969-12-31 21:00:00.000000"},
      {"UTC0", "@-1", "1969-12-31 23:59:59.000000"},
      // the last second of the calendar is in range only where its wall-clock time is
      {"UTC0", "@253402300799", "9999-12-31 23:59:59.000000"},
      {"<-03>3", "@253402300799", "9999-12-31 20:59:59.000000"},
      {"<+0530>-5:30", "@253402300799", ""},
      {"UTC0", "@-62135596800", "0001-01-01 00:00:00.000000"},
      {"<-03>3", "@-62135596800", ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.zone) + " " + row.text);
    ScopedZone zone(row.zone);
    if (row.expected.empty()) {
      EXPECT_THROW(parse_user_datetime(row.text, kNow), ValueError);
    } else {
      EXPECT_EQ(format_datetime(parse_user_datetime(row.text, kNow)), row.expected);
    }
  }
}

}  // namespace
}  // namespace orvex
