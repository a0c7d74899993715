// What the command line says about itself: --help within 80 columns with its closing notes,
// the parser's usage errors in our words, --list-types on another settings folder, and a
// host without libarchive.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "lookout_fixture.hpp"

namespace orvex {
namespace {

namespace fs = std::filesystem;
using testing::RunResult;
using testing::sh;

class CliHelpTest : public LookoutTest {};

TEST_F(CliHelpTest, HelpFitsEightyColumnsAndNamesTheDefaultFileStatusesAndEnvironment) {
  RunResult help = lookout({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.err, "");
  std::istringstream lines(help.out);
  for (std::string line; std::getline(lines, line);) {
    EXPECT_LE(line.size(), 80u) << line;
  }
  for (const char* needed : {"/vantel/log/orvex/events", " 130 ", " 141 ", "143, 129, 131",
                             "NO_COLOR", "TERM", "COLUMNS", "LC_ALL", "--settings-dir DIR"}) {
    EXPECT_NE(help.out.find(needed), std::string::npos) << needed;
  }
}

TEST_F(CliHelpTest, UsageErrorsNameWhatWasWrongAndPointToHelp) {
  const std::string hint = "Run 'orvex-lookout --help' for the options.\n";
  struct Row {
    std::vector<std::string> args;
    std::string err;
  };
  const std::vector<Row> rows = {
      {{"--bogus"}, "unexpected argument: '--bogus'"},
      {{"-a", "-x"}, "unexpected argument: '-x'"},
      {{"-n", "ten"}, "--count: invalid value 'ten'"},
      {{"--color=sometimes"}, "--color: invalid value 'sometimes' (valid: auto,always,never)"},
      {{"-a", "-S"}, "--since needs a value"},
      {{"--all=maybe"}, "--all: invalid value 'maybe'"},
      // What the user typed is shown, never acted on by the terminal.
      {{"--\x1b[2J"}, "unexpected argument: '--\\x1b[2J'"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(::testing::PrintToString(row.args));
    RunResult result = lookout(row.args);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "orvex-lookout: " + row.err + "\n" + hint);
    EXPECT_EQ(result.status, 2);
  }
}

TEST_F(CliHelpTest, ListTypesReadsTheGivenSettingsFolder) {
  RunResult bundled = lookout({"--list-types", "--settings-dir", EXAMPLES_DIR "/event-settings"});
  EXPECT_EQ(bundled.err, "");
  EXPECT_EQ(bundled.status, 0);
  EXPECT_NE(bundled.out.find("\nuser-login\n"), std::string::npos) << bundled.out;

  // A type is text from a file: written terminal-safe, like the log.
  dir_.write("settings/a.json", "{\"message-type\": \"bell\x07-type\"}\n");
  RunResult hostile =
      lookout({"--list-types", "--settings-dir", (dir_.path() / "settings").string()});
  EXPECT_EQ(hostile.out, "bell\\x07-type\n");
  EXPECT_EQ(hostile.status, 0);

  // No folder is not an error (the logger's module may be absent), but it is said.
  const std::string missing = (dir_.path() / "missing").string();
  RunResult none = lookout({"--list-types", "--settings-dir", missing});
  EXPECT_EQ(none.out, "");
  EXPECT_EQ(none.err,
            "orvex-lookout: no event-settings folder '" + missing + "': no message types listed\n");
  EXPECT_EQ(none.status, 0);
  const std::string file = dir_.write("plain", "x\n").string();
  RunResult not_folder = lookout({"--list-types", "--settings-dir", file});
  EXPECT_EQ(not_folder.err,
            "orvex-lookout: '" + file + "' is not a folder: no message types listed\n");
  EXPECT_EQ(not_folder.status, 0);
  // A folder that is there but out of reach is an error, not a missing module.
  dir_.write("locked/settings/a.json", "{\"message-type\": \"t\"}\n");
  fs::permissions(dir_.path(), fs::perms::others_exec, fs::perm_options::add);
  fs::permissions(dir_.path() / "locked", fs::perms::none);
  const std::string locked = (dir_.path() / "locked" / "settings").string();
  RunResult denied = lookout_as_nobody({"--list-types", "--settings-dir", locked});
  fs::permissions(dir_.path() / "locked", fs::perms::owner_all);
  EXPECT_EQ(denied.out, "");
  EXPECT_EQ(denied.err, "orvex-lookout: cannot read '" + locked + "': Permission denied\n");
  EXPECT_EQ(denied.status, 1);
}

// A host without libarchive reads plain logs, and says what is missing for an archive rather
// than calling the archive corrupted.
TEST_F(CliHelpTest, AMissingLibarchiveIsNamedWithItsPackage) {
  std::string staged = report_tree("host-report", 2);
  const std::string archive = (dir_.path() / "sos.tar.gz").string();
  sh("tar -czf " + archive + " -C " + staged + " host-report");
  RunResult missing =
      lookout({"-a", "-o", "%id", archive}, {"ORVEX_LOOKOUT_LIBARCHIVE=libarchive-absent.so.13"});
  EXPECT_EQ(missing.out, "");
  EXPECT_EQ(missing.err.rfind("orvex-lookout: cannot read report archives: the library "
                              "libarchive-absent.so.13 cannot be used (",
                              0),
            0u)
      << missing.err;
  EXPECT_NE(missing.err.find("); install the package libarchive13\n"), std::string::npos);
  EXPECT_EQ(missing.err.find("corrupted"), std::string::npos);
  EXPECT_EQ(missing.status, 1);

  // Only a bare library name is taken: a path is ignored and the system's library is used.
  RunResult path = lookout({"-a", "-o", "%id", archive}, {"ORVEX_LOOKOUT_LIBARCHIVE=/tmp/x.so"});
  EXPECT_EQ(path.out, "1\n2\n");
  EXPECT_EQ(path.status, 0);
}

}  // namespace
}  // namespace orvex
