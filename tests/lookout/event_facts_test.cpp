#include "event_facts.hpp"

#include <gtest/gtest.h>

#include <orvex/date_time.hpp>
#include <orvex/errors.hpp>

#include <optional>
#include <string>
#include <vector>

namespace orvex {
namespace {

// The short way through the logger's own form gives what the general reader gives, and leaves
// every other form to it.
TEST(EventFactsTest, EventDatesReadAsTheGeneralReaderReadsThem) {
  const std::vector<std::string> texts = {
      "2024-01-15T10:20:30",
      "2024-01-15 10:20:30",
      "2024-01-15T10:20:30.250",
      "2024-01-15T10:20:30.1234567",
      "2024-01-15T10:20:30.120406+03:00",
      "2024-01-15T10:20:30-11:30",
      "2024-01-15T10:20:30Z",
      "2024-01-15T10:20:30,5",
      "2024-01-15T10:20:30+0300",
      "2024-01-15T10:20:30+03",
      "2024-01-15T10:20",
      "2024-01-15",
      "20240115T102030",
      "2024-W03-1T10:00:00",
      "2024-02-29T23:59:59.999999",
      "2023-02-29T10:00:00",
      "2024-04-31T10:00:00",
      "2024-13-01T10:00:00",
      "2024-01-15T24:00:00",
      "2024-01-15T23:60:00",
      "2024-01-15T23:00:60",
      "2024-01-15T10:20:30+24:00",
      "2024-01-15T10:20:30+03:60",
      "2024-01-15T10:20:30.",
      "2024-01-15T10:20:30.5x",
      "2024-01-15T10:20:30Zx",
      "2024-01-15x10:20:30",
      "0999-01-15T10:20:30",
      "0001-01-01T00:00:00",
      "9999-12-31T23:59:59.999999",
      "Dec  3 00:12:38",
      "",
      "someday",
  };
  for (const std::string& text : texts) {
    SCOPED_TRACE(text);
    std::optional<DateTime> expected;
    try {
      expected = parse_iso_datetime(text);
    } catch (const ValueError&) {
    }
    EXPECT_EQ(read_event_date(text), expected);
  }
}

}  // namespace
}  // namespace orvex
