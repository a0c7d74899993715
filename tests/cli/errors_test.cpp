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
using testing::sh;

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
      // A date or a byte that cannot be read damages its line only: the later events show.
      {{"-S", "2024-01-01", "-o", "%id", log.string()},
       "1\n3\n",
       "orvex-lookout: '" + log.string() +
           "', line 2: unreadable date 'Mar  5 10:00:00'; skipped\n"
           "orvex-lookout: 1 damaged line skipped (first at line 2)\n",
       0},
      {{"-a", "-o", "%id", bad_text.string()},
       "1\n",
       "orvex-lookout: '" + bad_text.string() +
           "', line 2: not valid UTF-8 (byte 14 of the line); skipped\n"
           "orvex-lookout: 1 damaged line skipped (first at line 2)\n",
       0},
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

TEST_F(CliErrorsTest, OddInputsAndOutputsGiveOneLineAndStatusOne) {
  fs::create_directory(dir_.path() / "folder");
  fs::create_directory(dir_.path() / "folder.tar");
  fs::path log = dir_.write("events", event_line({.id = "1"}));
  struct Row {
    std::vector<std::string> args;
    std::string err;
  };
  const std::vector<Row> rows = {
      {{"-a", (dir_.path() / "folder").string()},
       "orvex-lookout: cannot read '" + (dir_.path() / "folder").string() + "': Is a directory\n"},
      {{"-a", log.string() + "/"},
       "orvex-lookout: cannot open '" + log.string() + "/': Not a directory\n"},
      {{"-d", "4000000", log.string()},
       "orvex-lookout: Invalid date format: days back out of range: 4000000\n"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(::testing::PrintToString(row.args));
    RunResult result = lookout(row.args);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, row.err);
    EXPECT_EQ(result.status, 1);
  }
  // Output that cannot be written is an error, never a success; also after an archive.
  std::string staged = stage("host-report", event_line({.id = "1"}));
  sh("tar -czf " + dir_.path().string() + "/sos.tar.gz -C " + staged + " host-report");
  for (const std::string& input : {log.string(), dir_.path().string() + "/sos.tar.gz"}) {
    SCOPED_TRACE(input);
    RunResult full =
        testing::run({"sh", "-c", "exec '" + exe() + "' -a '" + input + "' >/dev/full"}, env());
    expect_no_viewer_folder();
    EXPECT_EQ(full.err,
              "orvex-lookout: cannot write to 'standard output': No space left on device\n");
    EXPECT_EQ(full.status, 1);
  }
  // An archive name on a folder: the error names it, and the viewer's folder is gone.
  RunResult folder_archive = lookout({"-a", (dir_.path() / "folder.tar").string()});
  EXPECT_EQ(folder_archive.out, "");
  EXPECT_NE(
      folder_archive.err.find(quoted_with_reason(dir_.path() / "folder.tar", "Is a directory")),
      std::string::npos)
      << folder_archive.err;
  EXPECT_EQ(folder_archive.status, 1);
}

// A filter value made only of separators names no filter; it must not take the next word of
// the command line as its value (the file to read, or the next option).
TEST_F(CliErrorsTest, AFilterOfSeparatorsOnlyDoesNotSwallowTheNextArgument) {
  fs::path log =
      dir_.write("events", event_line({.id = "1"}) + event_line({.id = "2", .priority = "crit"}));
  const std::vector<std::vector<std::string>> rows = {
      {"-a", "-o", "%id", "-p", ",", log.string()},
      {"-a", "-o", "%id", "-s", ",,", log.string()},
      {"-s", ",", "-a", "-o", "%id", log.string()},
      {"--source=,", "-a", "-o", "%id", log.string()},
  };
  for (const std::vector<std::string>& args : rows) {
    SCOPED_TRACE(::testing::PrintToString(args));
    RunResult result = lookout(args);
    if (result.status == 2) continue;  // refused as a usage error: also sound
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.status, 0);
    if (args[0] != "-a") {
      EXPECT_EQ(result.out, "1\n2\n") << "--all was taken as a filter value";
    }
  }
}

}  // namespace
}  // namespace orvex
