// A hostile or damaged log can neither blind nor hijack its reader: text from the log never
// reaches the terminal as a control, in any layout; a damaged line is skipped and reported on
// standard error, and every later event is still shown with the status of a clean run.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "lookout_fixture.hpp"

namespace orvex {
namespace {

namespace fs = std::filesystem;
using testing::event_line;
using testing::RunResult;

class CliDamageTest : public LookoutTest {};

const std::string kHostileName =
    R"(evil\u001b]0;pwned\u0007\r\n15.01.2024 10:00:00, crit, Audit, forged \u009b31m \u202egnp)";

std::string hostile_line() {
  return R"({"id": "h", "PRIORITY": "crit\u001b[2J", "ISODATE": "2024-01-15T10:00:01", )"
         R"("MSG": {"orvex-audit": {"type_en": "Audit\t", "name_en": ")" +
         kHostileName +
         R"("}}})"
         "\n";
}

TEST_F(CliDamageTest, LogTextNeverDrivesTheTerminal) {
  fs::path log = dir_.write("events", hostile_line());
  const std::string safe_name =
      R"(evil\x1b]0;pwned\x07\r\n15.01.2024 10:00:00, crit, Audit, forged \u009b31m \u202egnp)";
  struct Row {
    std::vector<std::string> args;
    std::string out;
  };
  const std::vector<Row> rows = {
      {{"-a"}, "15.01.2024 10:00:01, crit\\x1b[2J, Audit\\t, " + safe_name + "\n"},
      {{"-a", "--color=always"},
       "\x1b[90m15.01.2024 10:00:01\x1b[0m\x1b[90m, \x1b[0mcrit\\x1b[2J\x1b[90m, "
       "\x1b[0m\x1b[90mAudit\\t\x1b[0m\x1b[90m, \x1b[0m" +
           safe_name + "\n"},
      {{"-a", "-o", "%PRIORITY|%name_en"}, "crit\\x1b[2J|" + safe_name + "\n"},
      {{"-a", "-r"},
       "id:       h\nPRIORITY: crit\\x1b[2J\nISODATE:  2024-01-15T10:00:01\n"
       "source:   audit\ntype_en:  Audit\\t\nname_en:  " +
           safe_name + "\n\n"},
      {{"-a", "-m", "--iso-date"},
       "Id:       h\nPriority: crit\\x1b[2J\nIsodate:  2024-01-15T10:00:01\n"
       "Source:   audit\nType_en:  Audit\\t\nName_en:  " +
           safe_name + "\n\n"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(::testing::PrintToString(row.args));
    std::vector<std::string> args = row.args;
    args.push_back(log.string());
    RunResult result = lookout(args);
    EXPECT_EQ(result.out, row.out);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.status, 0);
  }
}

// One table of damaged lines, each between two good events: the good ones show, the damaged
// one is named on standard error with its line and why, and the status stays 0.
TEST_F(CliDamageTest, DamagedLinesAreReportedAndSkipped) {
  struct Row {
    std::string name, line, why;
    std::vector<std::string> args = {"-a"};
  };
  const std::string dated = R"("ISODATE": "2024-01-15T10:00:00")";
  const std::vector<Row> rows = {
      {"not JSON", "{\"id\": \"x\", \"PRIORITY\": \"info\"", "not JSON"},
      {"a list", "[1, 2, 3]", "not a JSON object"},
      {"no MSG", "{\"id\": \"x\", \"PRIORITY\": \"info\", " + dated + "}",
       "cannot be shown: the event has no field 'MSG'"},
      {"MSG a text", "{\"PRIORITY\": \"info\", " + dated + ", \"MSG\": \"text\"}",
       "cannot be shown: field 'MSG' holds text 'text', not a mapping"},
      {"MSG empty", "{\"PRIORITY\": \"info\", " + dated + ", \"MSG\": {}}",
       "cannot be shown: field 'MSG' is an empty mapping: it names no message"},
      {"Latin-1 byte", "{\"PRIORITY\": \"info\", \"name\": \"caf\xe9\"}",
       "not valid UTF-8 (byte 34 of the line)"},
      {"summary date",
       R"({"PRIORITY": "info", "ISODATE": "2024-01-15T10:00:00Z", "MSG": {"k": {}}})",
       "cannot be shown: field 'ISODATE': "},
      {"range date",
       R"({"PRIORITY": "info", "ISODATE": "2024-13-01", "MSG": {"k": {}}})",
       "unreadable date '2024-13-01'",
       {"-S", "2024-01-01"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    fs::path log =
        dir_.write("events", event_line({.id = "1"}) + row.line + "\n\n" + event_line({.id = "2"}));
    std::vector<std::string> args = row.args;
    args.insert(args.end(), {"-o", "%id", log.string()});
    if (row.name == "summary date") args = {"-a", log.string()};
    RunResult result = lookout(args);
    if (row.name == "summary date") {
      EXPECT_EQ(result.out,
                "15.01.2024 10:00:00, info, Audit, Login 1\n"
                "15.01.2024 10:00:00, info, Audit, Login 2\n");
    } else {
      EXPECT_EQ(result.out, "1\n2\n");
    }
    const std::string notice = "orvex-lookout: '" + log.string() + "', line 2: " + row.why;
    EXPECT_EQ(result.err.rfind(notice, 0), 0u) << result.err;
    EXPECT_NE(result.err.find("orvex-lookout: 1 damaged line skipped (first at line 2)\n"),
              std::string::npos)
        << result.err;
    EXPECT_EQ(result.status, 0);
  }
}

TEST_F(CliDamageTest, ALogOfDamageOnlyListsAFewAndCountsTheRest) {
  std::string text;
  for (int i = 0; i < 12; ++i) text += "garbage " + std::to_string(i) + "\n";
  fs::path log = dir_.write("events", text);
  RunResult result = lookout({"-a", log.string()});
  EXPECT_EQ(result.out, "");
  std::string expected;
  for (int line = 1; line <= 5; ++line) {
    expected += "orvex-lookout: '" + log.string() + "', line " + std::to_string(line) +
                ": not JSON; skipped\n";
  }
  expected +=
      "orvex-lookout: further damaged lines are counted, not listed\n"
      "orvex-lookout: 12 damaged lines skipped (first at line 1)\n";
  EXPECT_EQ(result.err, expected);
  EXPECT_EQ(result.status, 0);

  // The bundled log holds two lines that are not JSON among blank ones: every event shows.
  RunResult bundled = lookout({"-a", "-o", "%PRIORITY", EXAMPLES_DIR "/events"});
  EXPECT_EQ(std::count(bundled.out.begin(), bundled.out.end(), '\n'), 398);
  EXPECT_NE(bundled.err.find("2 damaged lines skipped (first at line 121)"), std::string::npos)
      << bundled.err;
  EXPECT_EQ(bundled.status, 0);
}

// A line far longer than any event costs no more memory than the limit: it is skipped.
TEST_F(CliDamageTest, AnEndlessLineIsSkippedInBoundedMemory) {
  fs::path log = dir_.write("events", event_line({.id = "1"}) + std::string(17 << 20, 'x') + "\n" +
                                          event_line({.id = "2"}));
  RunResult result = lookout({"-a", "-o", "%id", log.string()});
  EXPECT_EQ(result.out, "1\n2\n");
  EXPECT_NE(result.err.find("line 2: longer than 16 MiB; skipped"), std::string::npos)
      << result.err;
  EXPECT_EQ(result.status, 0);
}

}  // namespace
}  // namespace orvex
