#include <gtest/gtest.h>

#include <signal.h>

#include <optional>
#include <random>
#include <string>
#include <vector>

#include <orvex/all_events_iterator.hpp>
#include <orvex/errors.hpp>
#include <orvex/interrupt.hpp>
#include <orvex/time_range_event_iterator.hpp>

#include "date_text.hpp"
#include "interrupt_control.hpp"

#include "temp_path.hpp"

namespace orvex {
namespace {

std::vector<int> ids(OrvexEventIterator& it) {
  std::vector<int> result;
  for (OrvexEvent& event : it) result.push_back(event.value("id", -1));
  return result;
}

std::string event(int id, const std::string& date, const std::string& key = "ISODATE") {
  return "{\"id\": " + std::to_string(id) + ", \"" + key + "\": \"" + date +
         "\", \"PRIORITY\": \"info\"}\n";
}

using Bound = std::optional<std::string>;

TEST(TimeRangeEventIteratorTest, BoundsAreInclusiveAndADateAloneEndsAtDayEnd) {
  const std::string log = event(1, "2024-03-04T23:59:59.999999") + event(2, "2024-03-05T00:00:00") +
                          event(3, "2024-03-05T10:00:00+03:00") + event(4, "2024-03-05T10:00:00Z") +
                          event(5, "2024-03-05T23:59:59") + event(6, "2024-03-05T23:59:59.5") +
                          event(7, "2024-03-06T00:00:00");
  struct Row {
    Bound since, until;
    std::vector<int> expected;
  };
  const std::vector<Row> rows = {
      {{}, {}, {1, 2, 3, 4, 5, 6, 7}},
      {"", "", {1, 2, 3, 4, 5, 6, 7}},
      {{}, "2024-03-05", {1, 2, 3, 4, 5, 6}},
      {{}, "2024-03-05 00:00", {1, 2, 3, 4, 5, 6}},
      {{}, "2024-03-05 00:00:00.5", {1, 2}},
      {"2024-03-05", "2024-03-05", {2, 3, 4, 5, 6}},
      {"2024-03-05 10:00", "2024-03-05T10:00:00", {3, 4}},
      {"2024-03-05T10:00:00+05:00", "2024-03-05 10:00 UTC", {3, 4}},
      {"2024-03-05 23:59:59", {}, {5, 6, 7}},
      {"2024-03-05 23:59:59.5", "2024-03-05 23:59:59.5", {6}},
      {"2024-03-06", "2024-03-05", {}},
  };
  testing::TempDir dir;
  auto path = dir.write("events", log);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.since.value_or("(none)") + " .. " + row.until.value_or("(none)"));
    OrvexTimeRangeEventIterator it(path, row.since, row.until);
    EXPECT_EQ(ids(it), row.expected);
    EXPECT_FALSE(it.next().has_value()) << "the end is signalled again";
  }
}

TEST(TimeRangeEventIteratorTest, WhichLinesCountAsDated) {
  const std::string log =
      "\n" + event(1, "2024-03-05T10:00:00") + "{\"id\": 2, \"PRIORITY\": \"info\"}\n" +
      "{\"id\": 3, \"ISODATE\": \"\"}\n" + event(4, "2024-03-05 11:00:00", "DATE") +
      "{\"id\": 5, \"MSG\": {\"x\": {\"DATE\": \"2024-03-05T12:00\"}}}\r\n" +
      "{\"id\": 6, \"DATE\": \"\", \"ISODATE\": \"2024-03-05T13:00\"}\n" +
      "{\"id\": 7, \"ISODATE\": \"2024-03-05T14:00\", \"DATE\": \"Mar 5\"}";
  testing::TempDir dir;
  OrvexTimeRangeEventIterator it(dir.write("events", log));
  EXPECT_EQ(ids(it), (std::vector<int>{1, 4, 5, 6, 7}));
}

TEST(TimeRangeEventIteratorTest, TheFirstLinePastTheUpperBoundEndsTheScan) {
  struct Row {
    const char* name;
    std::string log;
    std::vector<int> expected;
  };
  const std::vector<Row> rows = {
      {"out of order: earlier lines skipped wherever they stand, later ones end it",
       event(1, "2024-03-05T09:00") + event(2, "2024-03-04T12:00") + event(3, "2024-03-05T10:00") +
           event(4, "2024-03-07T00:00") + event(5, "2024-03-05T11:00"),
       {1, 3}},
      {"broken JSON in range is skipped",
       event(1, "2024-03-05T09:00") + "{\"id\": 2, \"ISODATE\": \"2024-03-05T09:30\", \n" +
           event(3, "2024-03-05T10:00"),
       {1, 3}},
      {"broken JSON past the bound still ends it",
       event(1, "2024-03-05T09:00") + "{\"ISODATE\": \"2024-03-06T00:00\" broken\n" +
           event(3, "2024-03-05T10:00"),
       {1}},
      {"a line the filter rejects past the bound still ends it",
       event(1, "2024-03-05T09:00") +
           "{\"id\": 2, \"ISODATE\": \"2024-03-06T00:00\", \"PRIORITY\": \"debug\"}\n" +
           event(3, "2024-03-05T10:00"),
       {1}},
      {"the first key in the line wins",
       event(1, "2024-03-05T09:00") +
           "{\"id\": 2, \"DATE\": \"2024-03-06\", \"ISODATE\": \"2024-03-05\"}\n" +
           event(3, "2024-03-05T10:00"),
       {1}},
  };
  testing::TempDir dir;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    OrvexTimeRangeEventIterator it(dir.write("events", row.log), "2024-03-05", "2024-03-05");
    it.set_priority_filter({"info"});
    EXPECT_EQ(ids(it), row.expected);
  }
}

TEST(TimeRangeEventIteratorTest, AnEventDateThatIsNotIsoIsReported) {
  testing::TempDir dir;
  auto path =
      dir.write("events", event(1, "2024-03-05T09:00") + event(2, "Mar  5 10:00:00", "DATE") +
                              event(3, "2024-03-05T10:00"));
  OrvexTimeRangeEventIterator it(path);
  it.iter();
  EXPECT_EQ(it.next()->value("id", -1), 1);
  try {
    it.next();
    FAIL() << "no error";
  } catch (const ValueError& error) {
    EXPECT_NE(std::string(error.what()).find("'Mar  5 10:00:00'"), std::string::npos)
        << error.what();
  }
  EXPECT_EQ(it.next()->value("id", -1), 3) << "the file stays open after the bad line";
}

TEST(TimeRangeEventIteratorTest, ConstructionErrors) {
  testing::TempDir dir;
  auto path = dir.write("events", event(1, "2024-03-05"));
  try {
    OrvexTimeRangeEventIterator it(path, "not a date");
    FAIL() << "accepted";
  } catch (const ValueError& error) {
    EXPECT_NE(std::string(error.what()).find("'not a date'"), std::string::npos);
  }
  EXPECT_THROW(OrvexTimeRangeEventIterator(path, {}, "2024-02-30"), ValueError);
  EXPECT_THROW(OrvexTimeRangeEventIterator(dir.path() / "absent", "not a date"), FileNotFoundError)
      << "the file is opened before the bounds are read";
}

TEST(TimeRangeEventIteratorTest, UpperBoundAdjustment) {
  testing::TempDir dir;
  auto path = dir.write("events", "");
  struct Row {
    Bound until;
    std::string expected;
  };
  const std::vector<Row> rows = {
      {{}, "9999-12-31 23:59:59.999999"},
      {"2024-03-05", "2024-03-05 23:59:59.999999"},
      {"2024-03-05T00:00:00+03:00", "2024-03-05 23:59:59.999999"},
      {"2024-03-05 00:00:00.5", "2024-03-05 00:00:00.500000"},
      {"2024-03-05 00:00:01", "2024-03-05 00:00:01.000000"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.until.value_or("(none)"));
    OrvexTimeRangeEventIterator it(path, {}, row.until);
    EXPECT_EQ(format_datetime(it.date_until()), row.expected);
    EXPECT_EQ(it.date_since(), kSmallestDateTime);
  }
}

TEST(TimeRangeEventIteratorTest, ALongScanStopsOnInterrupt) {
  std::string log;
  for (int i = 0; i < 10000; ++i) log += "{\"PRIORITY\": \"info\"}\n";
  testing::TempDir dir;
  OrvexTimeRangeEventIterator it(dir.write("events", log));
  install_interrupt_handler();
  ::raise(SIGINT);
  EXPECT_THROW(it.next(), KeyboardInterrupt);
  reset_interrupt();
}

// Without bounds, on a file whose every line is dated, the time-range iterator selects what
// the all-events iterator selects, under the same filters.
TEST(TimeRangeEventIteratorTest, WithoutBoundsEqualsAllEvents) {
  const char* const priorities[] = {"info", "notice", "crit", "debug"};
  const char* const sources[] = {"orvex-audit", "kernel", "device_mount"};
  std::mt19937 rng(3);
  std::string log;
  for (int id = 1; id <= 400; ++id) {
    std::string date = "2024-03-05T10:" + std::to_string(10 + id % 50) + ":00+03:00";
    std::string line = "{\"id\": " + std::to_string(id) + ", \"PRIORITY\": \"" +
                       priorities[rng() % 4] + "\", \"ISODATE\": \"" + date + "\", \"MSG\": {\"" +
                       sources[rng() % 3] + "\": {\"name_en\": \"n\"}}}";
    switch (rng() % 20) {
      case 0:
        line.resize(line.size() / 2 + 20);  // truncated after the date
        break;
      case 1:
        line += "{}";
        break;
      case 2:
        line += "\r";
        break;
    }
    log += line + "\n";
  }
  testing::TempDir dir;
  auto path = dir.write("events", log);
  struct Row {
    std::vector<std::string> priority, source;
  };
  const std::vector<Row> rows = {
      {{}, {}}, {{"crit", "debug"}, {}}, {{}, {"mount"}}, {{"info"}, {"audit", "kern"}}};
  for (const Row& row : rows) {
    SCOPED_TRACE(std::to_string(row.priority.size()) + " priorities, " +
                 std::to_string(row.source.size()) + " sources");
    OrvexAllEventsIterator all(path);
    OrvexTimeRangeEventIterator range(path);
    for (OrvexEventIterator* it :
         {static_cast<OrvexEventIterator*>(&all), static_cast<OrvexEventIterator*>(&range)}) {
      if (!row.priority.empty()) it->set_priority_filter(row.priority);
      if (!row.source.empty()) it->set_source_filter(row.source);
    }
    std::vector<OrvexEvent> expected, actual;
    for (OrvexEvent& e : all) expected.push_back(e);
    for (OrvexEvent& e : range) actual.push_back(e);
    EXPECT_FALSE(expected.empty());
    EXPECT_EQ(actual, expected);
  }
}

}  // namespace
}  // namespace orvex
