// Runs the built orvex-lookout on small fixtures and compares standard output, standard
// error and the exit status exactly. No run may leave a temporary folder in /tmp.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "process.hpp"
#include "temp_path.hpp"

namespace orvex {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using testing::RunResult;

const std::string kExe = ORVEX_LOOKOUT_EXE;

// The local date `offset` days from today, YYYY-MM-DD.
std::string local_date(int offset) {
  time_t now = time(nullptr) + offset * 86400;
  struct tm local {};
  localtime_r(&now, &local);
  char text[16];
  std::strftime(text, sizeof text, "%Y-%m-%d", &local);
  return text;
}

std::string event_line(const std::string& id, const std::string& isodate,
                       const std::string& priority = "info", const std::string& type = "orvex-audit") {
  return "{\"id\": \"" + id + "\", \"PRIORITY\": \"" + priority + "\", \"ISODATE\": \"" + isodate +
         "\", \"MSG\": {\"" + type + "\": {\"type_en\": \"Audit\", \"name_en\": \"Login " + id +
         "\", \"type_ru\": \"Аудит\", \"name_ru\": \"Вход " + id + "\"}}}\n";
}

class CliTest : public ::testing::Test {
 protected:
  void SetUp() override { before_ = testing::viewer_temp_dirs(); }
  void TearDown() override {
    std::set<fs::path> left;
    for (const fs::path& dir : testing::viewer_temp_dirs()) {
      if (!before_.count(dir)) left.insert(dir);
    }
    for (const fs::path& dir : left) {
      ADD_FAILURE() << "temporary folder left behind: " << dir;
      fs::remove_all(dir);
    }
  }
  RunResult lookout(std::vector<std::string> args, std::vector<std::string> env = {}) {
    args.insert(args.begin(), kExe);
    env.insert(env.begin(), {"LC_ALL=C", "LANGUAGE", "NO_COLOR"});
    return testing::run(args, env);
  }
  // A log of events dated relative to today, one id each, in date order.
  fs::path dated_log() {
    std::string text = event_line("d-5", local_date(-5) + "T12:00:00") +
                       event_line("d-3", local_date(-3) + "T00:00:00") +
                       event_line("d-1", local_date(-1) + "T23:59:59.900") +
                       event_line("d0", local_date(0) + "T00:00:00") +
                       event_line("d+1", local_date(1) + "T08:00:00");
    return dir_.write("events", text);
  }
  testing::TempDir dir_;
  std::set<fs::path> before_;
};

TEST_F(CliTest, SelectionFollowsTheFirstRuleThatHolds) {
  fs::path log = dated_log();
  struct Row {
    std::vector<std::string> args;
    std::string ids;
  };
  const std::vector<Row> rows = {
      {{}, "d0 d+1"},
      {{"-d", "3", "-a"}, "d-3 d-1 d0 d+1"},
      {{"-d", "0", "-a"}, "d-5 d-3 d-1 d0 d+1"},
      {{"-d", "-1"}, "d+1"},
      {{"-t", "-a"}, "d0 d+1"},
      {{"-a"}, "d-5 d-3 d-1 d0 d+1"},
      {{"-n", "2"}, "d0 d+1"},
      {{"-n", "0"}, "d0 d+1"},
      {{"-a", "-n", "1"}, "d-5 d-3 d-1 d0 d+1"},
      {{"-U", local_date(-1)}, "d-5 d-3 d-1"},
      {{"-S", local_date(-3), "-U", local_date(-1), "-a"}, "d-3 d-1"},
      {{"-S", local_date(-3) + " 00:00:01"}, "d-1 d0 d+1"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(::testing::PrintToString(row.args));
    std::vector<std::string> args = row.args;
    for (const char* extra : {"-o", "%id", log.c_str()}) args.push_back(extra);
    RunResult result = lookout(args);
    std::string ids;
    for (char c : result.out) ids += c == '\n' ? ' ' : c;
    if (!ids.empty()) ids.pop_back();
    EXPECT_EQ(ids, row.ids);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.status, 0);
  }
}

TEST_F(CliTest, LayoutsFiltersAndColour) {
  fs::path log = dir_.write(
      "events", event_line("1", "2024-01-15T10:20:30.250+03:00", "warning") +
                    event_line("2", "2024-01-15T11:00:00", "crit", "kernel") +
                    event_line("3", "2024-01-16T09:00:00", "info", "orvex-net-fw"));
  struct Row {
    std::vector<std::string> args, env;
    std::string out;
  };
  const std::vector<Row> rows = {
      {{"-a"}, {}, "15.01.2024 10:20:30, warning, Audit, Login 1\n"
                   "15.01.2024 11:00:00, crit, Audit, Login 2\n"
                   "16.01.2024 09:00:00, info, Audit, Login 3\n"},
      {{"-a", "-p", "crit,warning"}, {}, "15.01.2024 10:20:30, warning, Audit, Login 1\n"
                                         "15.01.2024 11:00:00, crit, Audit, Login 2\n"},
      {{"-a", "-p", "info", "-p", "crit"}, {}, "15.01.2024 11:00:00, crit, Audit, Login 2\n"
                                               "16.01.2024 09:00:00, info, Audit, Login 3\n"},
      {{"-a", "-s", "net", "-s", "kern"}, {}, "15.01.2024 11:00:00, crit, Audit, Login 2\n"
                                              "16.01.2024 09:00:00, info, Audit, Login 3\n"},
      {{"-a", "-o", "%PRIORITY|%source"}, {}, "warning|audit\ncrit|kernel\ninfo|net\n"},
      {{"-a", "-s", "kernel", "-r"}, {}, "id:       2\n"
                                         "PRIORITY: crit\n"
                                         "ISODATE:  2024-01-15T11:00:00\n"
                                         "source:   kernel\n"
                                         "type_en:  Audit\n"
                                         "name_en:  Login 2\n\n"},
      {{"-a", "-s", "kernel", "-m", "--iso-date"}, {}, "Id:       2\n"
                                                       "Priority: crit\n"
                                                       "Isodate:  2024-01-15T11:00:00\n"
                                                       "Source:   kernel\n"
                                                       "Type_en:  Audit\n"
                                                       "Name_en:  Login 2\n\n"},
      {{"-a", "-p", "crit", "--iso-date"}, {}, "2024-01-15T11:00:00, crit, Audit, Login 2\n"},
      {{"-a", "-p", "crit", "--color=always"}, {},
       "\x1b[90m15.01.2024 11:00:00\x1b[0m\x1b[90m, \x1b[0m\x1b[91mcrit\x1b[0m\x1b[90m, "
       "\x1b[0m\x1b[90mAudit\x1b[0m\x1b[90m, \x1b[0mLogin 2\n"},
      {{"-a", "-p", "crit", "--color=always", "--no-color"}, {},
       "15.01.2024 11:00:00, crit, Audit, Login 2\n"},
      {{"-a", "-p", "crit", "--color=auto"}, {"NO_COLOR="},
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

TEST_F(CliTest, ErrorsGiveOneClearMessageAndStatus) {
  fs::path log = dir_.write("events", event_line("1", "2024-01-15T10:00:00") +
                                          event_line("2", "Mar  5 10:00:00") +
                                          event_line("3", "2024-01-15T12:00:00"));
  fs::path bad_text = dir_.write("latin1", event_line("1", "2024-01-15T10:00:00") +
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
           std::to_string(event_line("1", "2024-01-15T10:00:00").size() + 13) + "\n",
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

TEST_F(CliTest, UsageHelpAndVersion) {
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
