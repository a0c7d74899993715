// How a run prints the events it shows: the summary line, -m, -r, -o, --iso-date, the
// localised names and colour, also as decided on a real terminal.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "lookout_fixture.hpp"

namespace orvex {
namespace {

namespace fs = std::filesystem;
using testing::event_line;
using testing::RunResult;

class CliLayoutsTest : public LookoutTest {};

TEST_F(CliLayoutsTest, LayoutsFiltersAndColour) {
  fs::path log = dir_.write("events", event_line({.id = "1",
                                                  .priority = "warning",
                                                  .isodate = "2024-01-15T10:20:30.250+03:00",
                                                  .russian = true}) +
                                          event_line({.id = "2",
                                                      .priority = "crit",
                                                      .isodate = "2024-01-15T11:00:00",
                                                      .key = "kernel",
                                                      .russian = true}) +
                                          event_line({.id = "3",
                                                      .isodate = "2024-01-16T09:00:00",
                                                      .key = "orvex-net-fw",
                                                      .russian = true}));
  struct Row {
    std::vector<std::string> args, env;
    std::string out;
  };
  const std::vector<Row> rows = {
      {{"-a"},
       {},
       "15.01.2024 10:20:30, warning, Audit, Login 1\n"
       "15.01.2024 11:00:00, crit, Audit, Login 2\n"
       "16.01.2024 09:00:00, info, Audit, Login 3\n"},
      {{"-a", "-p", "crit,warning"},
       {},
       "15.01.2024 10:20:30, warning, Audit, Login 1\n"
       "15.01.2024 11:00:00, crit, Audit, Login 2\n"},
      {{"-a", "-p", "info", "-p", "crit"},
       {},
       "15.01.2024 11:00:00, crit, Audit, Login 2\n"
       "16.01.2024 09:00:00, info, Audit, Login 3\n"},
      {{"-a", "-s", "net", "-s", "kern"},
       {},
       "15.01.2024 11:00:00, crit, Audit, Login 2\n"
       "16.01.2024 09:00:00, info, Audit, Login 3\n"},
      {{"-a", "-o", "%PRIORITY|%source"}, {}, "warning|audit\ncrit|kernel\ninfo|net\n"},
      {{"-a", "-s", "kernel", "-r"},
       {},
       "id:       2\n"
       "PRIORITY: crit\n"
       "ISODATE:  2024-01-15T11:00:00\n"
       "source:   kernel\n"
       "type_en:  Audit\n"
       "name_en:  Login 2\n\n"},
      {{"-a", "-s", "kernel", "-m", "--iso-date"},
       {},
       "Id:       2\n"
       "Priority: crit\n"
       "Isodate:  2024-01-15T11:00:00\n"
       "Source:   kernel\n"
       "Type_en:  Audit\n"
       "Name_en:  Login 2\n\n"},
      {{"-a", "-p", "crit", "--iso-date"}, {}, "2024-01-15T11:00:00, crit, Audit, Login 2\n"},
      {{"-a", "-p", "crit", "--color=always"},
       {},
       "\x1b[90m15.01.2024 11:00:00\x1b[0m\x1b[90m, \x1b[0m\x1b[91mcrit\x1b[0m\x1b[90m, "
       "\x1b[0m\x1b[90mAudit\x1b[0m\x1b[90m, \x1b[0mLogin 2\n"},
      {{"-a", "-p", "crit", "--color=always", "--no-color"},
       {},
       "15.01.2024 11:00:00, crit, Audit, Login 2\n"},
      {{"-a", "-p", "crit", "--color=auto"},
       {"NO_COLOR="},
       "15.01.2024 11:00:00, crit, Audit, Login 2\n"},
      {{"-a", "-p", "crit"}, {"LC_ALL=ru_RU.UTF-8"}, "15.01.2024 11:00:00, crit, Аудит, Вход 2\n"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(::testing::PrintToString(row.args));
    std::vector<std::string> args = row.args;
    args.push_back(log.string());
    RunResult result = lookout(args, row.env);
    EXPECT_EQ(result.out, row.out);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.status, 0);
  }
}

TEST_F(CliLayoutsTest, ColourFollowsTheTerminalColorAndNoColor) {
  fs::path log = dir_.write("events", event_line({.id = "1", .priority = "crit"}));
  const std::string plain = "15.01.2024 10:00:00, crit, Audit, Login 1\r\n";
  const std::string coloured =
      "\x1b[90m15.01.2024 10:00:00\x1b[0m\x1b[90m, \x1b[0m\x1b[91mcrit\x1b[0m\x1b[90m, "
      "\x1b[0m\x1b[90mAudit\x1b[0m\x1b[90m, \x1b[0mLogin 1\r\n";
  struct Row {
    std::vector<std::string> args, env;
    bool colour;
  };
  const std::vector<Row> rows = {
      {{}, {}, true},
      {{"--color=auto"}, {"NO_COLOR=1"}, false},
      {{}, {"NO_COLOR="}, true},  // an empty NO_COLOR does not count
      {{"--color=never"}, {}, false},
      {{"--nocolor"}, {}, false},
      {{"--color=always"}, {"NO_COLOR=1"}, true},
      {{"--color=always", "--no-color"}, {}, false},
      // A terminal that cannot show colour, or none named, gets none unless asked.
      {{}, {"TERM=dumb"}, false},
      {{}, {"TERM"}, false},
      {{}, {"TERM="}, false},
      {{"--color=always"}, {"TERM=dumb"}, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(::testing::PrintToString(row.args) + " " + ::testing::PrintToString(row.env));
    std::vector<std::string> args = {"-a"};
    args.insert(args.end(), row.args.begin(), row.args.end());
    args.push_back(log.string());
    std::vector<std::string> env = {"TERM=xterm"};
    env.insert(env.end(), row.env.begin(), row.env.end());
    RunResult result = lookout_on_terminal(args, env);
    EXPECT_EQ(result.out, row.colour ? coloured : plain);
    EXPECT_EQ(result.status, 0);
  }
  // Not a terminal: --color=always still wins over NO_COLOR.
  RunResult piped = lookout({"-a", "--color=always", log.string()}, {"NO_COLOR=1"});
  std::string expected = coloured;
  expected.erase(expected.size() - 2, 1);
  EXPECT_EQ(piped.out, expected);
  EXPECT_EQ(piped.status, 0);
}

}  // namespace
}  // namespace orvex
