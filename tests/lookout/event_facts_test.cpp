// The scan reads the members the overview counts exactly as the fast parser and the reference
// decoder do, on lines shaped to trip a reader that only looks between quotes.
#include "event_facts.hpp"

#include <gtest/gtest.h>

#include <orvex/date_time.hpp>
#include <orvex/errors.hpp>

#include <optional>
#include <string>
#include <vector>

namespace orvex {
namespace {

using Way = EventFactsReader::Way;
using Text = std::optional<std::string_view>;

TEST(EventFactsTest, EveryWayReadsTheSameMembers) {
  struct Row {
    std::string line;
    EventFacts facts;
    bool scanned;  // whether the scan reads it, rather than handing it to the parser
  };
  const Text none;
  const std::vector<Row> rows = {
      {R"({"PRIORITY":"info","ISODATE":"2024-01-15T10:00:00","DATE":"Jan 15 10:00:00",)"
       R"("MSG":{"orvex-audit":{"type_en":"Audit","name_en":"Login"}}})",
       {"info", "2024-01-15T10:00:00", "orvex-audit", "Audit"},
       true},
      // Blanks everywhere, numbers and literals among the members.
      {R"(  { "n" : -1.5e3 , "PRIORITY" : "err" , "t" : true , "MSG" : { "k" : { "x" : null ,)"
       R"( "type_en" : "T" } } , "z" : [ 1 , false ] }  )",
       {"err", none, "k", "T"},
       true},
      // Brackets and names inside strings and arrays are text, not structure.
      {R"({"x":["]}{[",{"PRIORITY":"crit"}],"y":"\"","PRIORITY":"notice"})",
       {"notice", none, none, none},
       false},
      {R"({"x":["]}{[",{"PRIORITY":"crit","MSG":{"a":{}}}],"y":"{\"MSG\":1}","PRIORITY":"notice"})",
       {"notice", none, none, none},
       false},
      {R"({"x":["]}{[",{"PRIORITY":"crit","MSG":{"a":{}}}],"y":"MSG","PRIORITY":"notice"})",
       {"notice", none, none, none},
       true},
      // Of duplicate members the last counts.
      {R"({"PRIORITY":"info","PRIORITY":"crit","DATE":"d1","DATE":7})",
       {"crit", none, none, none},
       true},
      // Values of other kinds are no text.
      {R"({"PRIORITY":3,"ISODATE":null,"DATE":"2024-01-15"})", {none, none, none, none}, true},
      {R"({"PRIORITY":["err"],"ISODATE":{"a":"2024-01-15"}})", {none, none, none, none}, true},
      {R"({"PRIORITY":{"x":"err"},"DATE":"2024-01-15"})", {none, "2024-01-15", none, none}, true},
      // A message of another kind, an empty one, a member that holds no fields.
      {R"({"MSG":"kernel","type_en":"Top"})", {none, none, none, none}, true},
      {R"({"MSG":["k",{"type_en":"T"}],"type_en":"Top"})", {none, none, none, none}, true},
      {R"({"MSG":{},"type_en":"Top"})", {none, none, none, none}, true},
      {R"({"MSG":{"k":"v"},"type_en":"Top"})", {none, none, "k", "Top"}, true},
      {R"({"type_en":"Top","MSG":{"k":{"name_en":"n"}}})", {none, none, "k", "Top"}, true},
      {R"({"type_en":"Top","MSG":{"k":{"type_en":5}}})", {none, none, "k", none}, true},
      {R"({"MSG":{"k":{"type_en":{"type_en":"deep"}}}})", {none, none, "k", none}, true},
      // Only the first member of the message counts, with the last value of its name; a later
      // "MSG" replaces the first.
      {R"({"MSG":{"k":{"type_en":"A"},"j":{"type_en":"B"}}})", {none, none, "k", "A"}, true},
      {R"({"MSG":{"k":{"type_en":"A"},"j":{},"k":{"name_en":"x"}},"type_en":"Top"})",
       {none, none, "k", "Top"},
       true},
      {R"({"MSG":{"k":{"type_en":"A","type_en":"B"}}})", {none, none, "k", "B"}, true},
      {R"({"MSG":{"a":{"type_en":"A"}},"MSG":{"b":{}}})", {none, none, "b", none}, true},
      {R"({"MSG":{"a":{"type_en":"A"}},"MSG":5})", {none, none, none, none}, true},
      // Names written with escapes, and escapes in the values read: for the parser.
      {R"({"PRI\u004fRITY":"crit","MSG":{"k\u00e9y":{"type_\u0065n":"T\n"}}})",
       {"crit", none, "k\u00e9y", "T\n"},
       false},
      {R"({"PRIORITY":"e\u0072r","a":"C:\\dir"})", {"err", none, none, none}, false},
      // Text in any script passes as it is.
      {R"({"PRIORITY":"info","MSG":{"kernel":{"type_en":"Ядро"}}})",
       {"info", none, "kernel", "Ядро"},
       true},
      // Deep values are skipped by counting brackets.
      {R"({"PRIORITY":"debug","a":)" + std::string(70, '[') + std::string(70, ']') + "}",
       {"debug", none, none, none},
       true},
  };
  EventFactsReader reader("type_en");
  for (const Row& row : rows) {
    SCOPED_TRACE(row.line);
    std::optional<EventFacts> scanned = reader.read(row.line, Way::scan);
    EXPECT_EQ(scanned.has_value(), row.scanned);
    if (scanned) {
      EXPECT_EQ(*scanned, row.facts);
    }
    std::optional<EventFacts> parsed = reader.read(row.line, Way::parser);
    ASSERT_TRUE(parsed.has_value());
    EXPECT_EQ(*parsed, row.facts);
    std::optional<EventFacts> decoded = reader.read(row.line, Way::decoder);
    ASSERT_TRUE(decoded.has_value());
    EXPECT_EQ(*decoded, row.facts);
    EXPECT_EQ(reader.read(row.line), row.facts);
  }
}

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
