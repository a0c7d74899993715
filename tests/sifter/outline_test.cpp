// An outline reads the members that count an event the same way on every path: from the fast
// parser's document through an iterator and through a line decoder for another thread, from the
// reference decoder's event when the fast parser leaves a line to it, and from a built event.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <orvex/all_events_iterator.hpp>
#include <orvex/event.hpp>
#include <orvex/line_decoding.hpp>

#include "temp_path.hpp"

namespace orvex {
namespace {

using Text = std::optional<std::string_view>;

TEST(OutlineTest, EveryPathReadsTheSameMembers) {
  struct Row {
    std::string line;
    EventOutline outline;
  };
  const Text none;
  const std::vector<Row> rows = {
      {R"({"PRIORITY":"info","ISODATE":"2024-01-15T10:00:00","DATE":"Jan 15 10:00:00",)"
       R"("MSG":{"orvex-audit":{"type_en":"Audit","name_en":"Login"}}})",
       {"info", "2024-01-15T10:00:00", "orvex-audit", "Audit"}},
      // Blanks everywhere, numbers and literals among the members.
      {R"(  { "n" : -1.5e3 , "PRIORITY" : "err" , "t" : true , "MSG" : { "k" : { "x" : null ,)"
       R"( "type_en" : "T" } } , "z" : [ 1 , false ] }  )",
       {"err", none, "k", "T"}},
      // Brackets and names inside strings and arrays are text, not structure.
      {R"({"x":["]}{[",{"PRIORITY":"crit"}],"y":"\"","PRIORITY":"notice"})",
       {"notice", none, none, none}},
      {R"({"x":["]}{[",{"PRIORITY":"crit","MSG":{"a":{}}}],"y":"{\"MSG\":1}","PRIORITY":"notice"})",
       {"notice", none, none, none}},
      {R"({"x":["]}{[",{"PRIORITY":"crit","MSG":{"a":{}}}],"y":"MSG","PRIORITY":"notice"})",
       {"notice", none, none, none}},
      // Of duplicate members the last counts.
      {R"({"PRIORITY":"info","PRIORITY":"crit","DATE":"d1","DATE":7})", {"crit", none, none, none}},
      // Values of other kinds are no text.
      {R"({"PRIORITY":3,"ISODATE":null,"DATE":"2024-01-15"})", {none, none, none, none}},
      {R"({"PRIORITY":["err"],"ISODATE":{"a":"2024-01-15"}})", {none, none, none, none}},
      {R"({"PRIORITY":{"x":"err"},"DATE":"2024-01-15"})", {none, "2024-01-15", none, none}},
      // A message of another kind, an empty one, a member that holds no fields.
      {R"({"MSG":"kernel","type_en":"Top"})", {none, none, none, none}},
      {R"({"MSG":["k",{"type_en":"T"}],"type_en":"Top"})", {none, none, none, none}},
      {R"({"MSG":{},"type_en":"Top"})", {none, none, none, none}},
      {R"({"MSG":{"k":"v"},"type_en":"Top"})", {none, none, "k", "Top"}},
      {R"({"type_en":"Top","MSG":{"k":{"name_en":"n"}}})", {none, none, "k", "Top"}},
      {R"({"type_en":"Top","MSG":{"k":{"type_en":5}}})", {none, none, "k", none}},
      {R"({"MSG":{"k":{"type_en":{"type_en":"deep"}}}})", {none, none, "k", none}},
      // Only the first member of the message counts, with the last value of its name; a later
      // "MSG" replaces the first.
      {R"({"MSG":{"k":{"type_en":"A"},"j":{"type_en":"B"}}})", {none, none, "k", "A"}},
      {R"({"MSG":{"k":{"type_en":"A"},"j":{},"k":{"name_en":"x"}},"type_en":"Top"})",
       {none, none, "k", "Top"}},
      {R"({"MSG":{"k":{"type_en":"A","type_en":"B"}}})", {none, none, "k", "B"}},
      {R"({"MSG":{"a":{"type_en":"A"}},"MSG":{"b":{}}})", {none, none, "b", none}},
      {R"({"MSG":{"a":{"type_en":"A"}},"MSG":5})", {none, none, none, none}},
      // Names written with escapes, and escapes in the values read.
      {R"({"PRI\u004fRITY":"crit","MSG":{"k\u00e9y":{"type_\u0065n":"T\n"}}})",
       {"crit", none, "k\u00e9y", "T\n"}},
      {R"({"PRIORITY":"e\u0072r","a":"C:\\dir"})", {"err", none, none, none}},
      // Text in any script passes as it is.
      {R"({"PRIORITY":"info","MSG":{"kernel":{"type_en":"Ядро"}}})",
       {"info", none, "kernel", "Ядро"}},
      // Deep values.
      {R"({"PRIORITY":"debug","a":)" + std::string(70, '[') + std::string(70, ']') + "}",
       {"debug", none, none, none}},
      // Longer than the fast parser takes: the reference decoder's event holds the texts.
      {R"({"PRIORITY":"alert","pad":")" + std::string(1 << 21, 'x') +
           R"(","MSG":{"k":{"type_en":"Long"}}})",
       {"alert", none, "k", "Long"}},
  };
  std::string log;
  for (const Row& row : rows) log += row.line + "\n";
  testing::TempDir dir;
  const auto file = dir.write("events", log);

  OrvexAllEventsIterator lines(file);
  lines.set_build_events(false);
  lines.set_outline_field("type_en");
  OrvexAllEventsIterator other(file);
  other.set_build_events(false);
  other.set_outline_field("type_en");
  std::unique_ptr<EventLineDecoder> decoder = other.make_line_decoder();
  EventFile read(file, EventFile::Mode::text);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.line.substr(0, 200));
    EXPECT_EQ(outline_of(decode_event(row.line), "type_en"), row.outline);
    ASSERT_TRUE(lines.next().has_value());
    EXPECT_EQ(lines.outline(), row.outline);
    std::optional<EventFile::Line> line = read.read_line();
    ASSERT_TRUE(line.has_value());
    EXPECT_EQ(decoder->decode(*line).outline, row.outline);
  }
  EXPECT_FALSE(lines.next().has_value());
}

}  // namespace
}  // namespace orvex
