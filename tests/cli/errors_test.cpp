// Runs that fail: one clear message and the status, for missing or unreadable inputs, bad
// dates and text, output that cannot be written, and odd command lines (usage errors, filter
// values of separators only); also --help, --list-types and --version.
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

class CliErrorsTest : public LookoutTest {};

TEST_F(CliErrorsTest, ErrorsGiveOneClearMessageAndStatus) {
  fs::path log = dir_.write(
      "events", event_line({.id = "1", .isodate = "2024-01-15T10:00:00", .russian = true}) +
                    event_line({.id = "2", .isodate = "Mar  5 10:00:00", .russian = true}) +
                    event_line({.id = "3", .isodate = "2024-01-15T12:00:00", .russian = true}));
  fs::path bad_text = dir_.write(
      "latin1", event_line({.id = "1", .isodate = "2024-01-15T10:00:00", .russian = true}) +
                    "{\"name\": \"caf\xe9\"}\n");
  std::string missing = (dir_.path() / "missing").string();
  struct Row {
    std::vector<std::string> args;
    std::string out, err;
    int status;
  };
  const std::vector<Row> rows = {
      {{missing}, "", "orvex-lookout: No such file: " + missing + "\n", 1},
      {{"-a", missing}, "", "orvex-lookout: No such file: " + missing + "\n", 1},
      {{"-S", "not a date", log.string()},
       "",
       "orvex-lookout: Invalid date format: unreadable date 'not a date' (write it as "
       "YYYY-MM-DD [hh:mm[:ss]], a time hh:mm, or e.g. -2h, today)\n",
       1},
      {{"-S", "2024-01-01", "-o", "%id", log.string()},
       "1\nInvalid date format: invalid ISO 8601 date-time 'Mar  5 10:00:00'\n",
       "",
       1},
      {{"-a", "-o", "%id", bad_text.string()},
       "1\nInvalid text encoding: '" + bad_text.string() + "': invalid UTF-8 at byte offset " +
           std::to_string(
               event_line({.id = "1", .isodate = "2024-01-15T10:00:00", .russian = true}).size() +
               13) +
           "\n",
       "",
       1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(::testing::PrintToString(row.args));
    RunResult result = lookout(row.args);
    EXPECT_EQ(result.out, row.out);
    EXPECT_EQ(result.err, row.err);
    EXPECT_EQ(result.status, row.status);
  }
}

TEST_F(CliErrorsTest, UsageHelpAndVersion) {
  RunResult bogus = lookout({"--bogus"});
  EXPECT_EQ(bogus.status, 2);
  EXPECT_NE(bogus.err.find("--bogus"), std::string::npos);
  EXPECT_EQ(lookout({"--color=sometimes"}).status, 2);
  EXPECT_EQ(lookout({"-n", "ten"}).status, 2);
  RunResult help = lookout({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("the first of these that is given decides"), std::string::npos);
  if (!fs::exists("/usr/share/syslog-ng-mod-orvex/event-settings")) {
    RunResult types = lookout({"--list-types"});
    EXPECT_EQ(types.out, "");
    EXPECT_EQ(types.status, 0);
  }
  RunResult version = lookout({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out.rfind("orvex-lookout ", 0), 0u);
}

}  // namespace
}  // namespace orvex
