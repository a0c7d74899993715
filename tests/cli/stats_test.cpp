// --stats: the overview counts exactly what the same command would list, puts each event in
// the period of the date the summary shows, keeps silent periods visible, fits the width it is
// given, and writes nothing from the log unescaped.
#include <gtest/gtest.h>

#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "lookout_fixture.hpp"

namespace orvex {
namespace {

namespace fs = std::filesystem;
using testing::event_line;
using testing::RunResult;

class CliStatsTest : public LookoutTest {
 protected:
  // Six events over four hours, one of them silent: 22:00 has three (one crit), 23:00 one
  // warning, 00:00 none, 01:00 two (one err). Dates at both edges of an hour; one with an
  // offset, which the summary does not apply and neither does the timeline.
  fs::path hours_log() {
    return dir_.write(
        "hours",
        event_line({.id = "1", .isodate = "2024-01-15T22:10:00"}) +
            event_line({.id = "2",
                        .priority = "crit",
                        .isodate = "2024-01-15T22:30:00",
                        .key = "kernel"}) +
            event_line({.id = "3", .isodate = "2024-01-15T22:59:59.999999"}) +
            event_line({.id = "4", .priority = "warning", .isodate = "2024-01-15T23:00:00"}) +
            event_line({.id = "5",
                        .priority = "err",
                        .isodate = "2024-01-16T01:30:00+05:00",
                        .key = "orvex-net-fw"}) +
            event_line({.id = "6", .isodate = "2024-01-16T01:45:00"}));
  }

  // Events over two weeks around local midnights, and with `far` one more in June, which makes
  // the span longer than 90 days.
  fs::path weeks_log(bool far) {
    std::string text =
        event_line({.id = "1", .priority = "err", .isodate = "2024-03-01T23:59:59.999999"}) +
        event_line({.id = "2", .isodate = "2024-03-02T00:00:00"}) +
        event_line({.id = "3", .priority = "warning", .isodate = "2024-03-02T13:00:00"}) +
        event_line({.id = "4", .isodate = "2024-03-10T23:59:59"}) +
        event_line({.id = "5", .priority = "crit", .isodate = "2024-03-11T00:00:00"}) +
        event_line({.id = "6", .isodate = "2024-03-14T08:00:00"});
    if (far) text += event_line({.id = "7", .isodate = "2024-06-10T12:00:00"});
    return dir_.write(far ? "months" : "weeks", text);
  }

  RunResult stats(const fs::path& log, std::vector<std::string> args,
                  std::vector<std::string> env = {"COLUMNS=60"}) {
    args.insert(args.begin(), "--stats");
    args.push_back(log.string());
    return lookout(args, env);
  }
};

// The number of characters a terminal shows for `line`: colour sequences take none, and each
// UTF-8 character one.
std::size_t shown_width(const std::string& line) {
  std::size_t width = 0;
  for (std::size_t i = 0; i < line.size(); ++i) {
    if (line[i] == '\x1b') {
      i = line.find('m', i);
      continue;
    }
    if ((static_cast<unsigned char>(line[i]) & 0xC0) != 0x80) ++width;
  }
  return width;
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::string repeat(const std::string& piece, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += piece;
  return out;
}

TEST_F(CliStatsTest, HourlyOverviewInTheLogsOwnClockWhateverTheZone) {
  fs::path log = hours_log();
  const std::string expected =
      "Events shown: 6\n"
      "Damaged lines skipped: 0\n"
      "First event: 15.01.2024 22:10:00\n"
      "Last event: 16.01.2024 01:45:00\n"
      "\n"
      "By priority\n"
      "  emerg     0    0.0%\n"
      "  alert     0    0.0%\n"
      "  crit      1   16.7%\n"
      "  err       1   16.7%\n"
      "  warning   1   16.7%\n"
      "  notice    0    0.0%\n"
      "  info      3   50.0%\n"
      "  debug     0    0.0%\n"
      "\n"
      "By type\n"
      "  Audit  orvex-audit   4   66.7%\n"
      "  Audit  kernel        1   16.7%\n"
      "  Audit  orvex-net-fw  1   16.7%\n"
      "\n"
      "Timeline, one row per hour\n"
      "  15.01.2024 22:00  " +
      repeat("#", 38) +
      " 3\n"
      "  15.01.2024 23:00  " +
      repeat("#", 13) + repeat(" ", 25) +
      " 1\n"
      "  16.01.2024 00:00  " +
      repeat(" ", 38) +
      " 0\n"
      "  16.01.2024 01:00  " +
      repeat("#", 25) + repeat(" ", 13) + " 2\n";
  for (const char* zone : {"TZ=UTC", "TZ=Asia/Kathmandu", "TZ=America/St_Johns"}) {
    SCOPED_TRACE(zone);
    RunResult result = stats(log, {"-a"}, {"COLUMNS=60", zone});
    EXPECT_EQ(result.out, expected);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.status, 0);
  }
}

TEST_F(CliStatsTest, ColourSharesAndEighthBlocks) {
  RunResult result = stats(hours_log(), {"-a", "--color=always"});
  ASSERT_EQ(result.status, 0) << result.err;
  const std::string red = "\x1b[91m", yellow = "\x1b[93m", end = "\x1b[0m", full = "\u2588";
  // The priorities as the summary colours them.
  EXPECT_NE(result.out.find("  " + red + "crit" + end + "      1"), std::string::npos);
  EXPECT_NE(result.out.find("  " + yellow + "err" + end + "       1"), std::string::npos);
  EXPECT_NE(result.out.find("  " + yellow + "warning" + end + "   1"), std::string::npos);
  EXPECT_NE(result.out.find("  info      3"), std::string::npos);
  // 22:00: 3 of 3 fill 38 cells, one crit in three of them red. 23:00: 1 of 3 is 101 eighths,
  // twelve cells and five eighths, all warning. 01:00: 2 of 3 is 203 eighths, half of the 26
  // cells for the err.
  const std::vector<std::string> rows = {
      "  15.01.2024 22:00  " + red + repeat(full, 13) + end + repeat(full, 25) + " 3",
      "  15.01.2024 23:00  " + yellow + repeat(full, 12) + "\u258b" + end + repeat(" ", 25) + " 1",
      "  16.01.2024 00:00  " + repeat(" ", 38) + " 0",
      "  16.01.2024 01:00  " + red + repeat(full, 13) + end + repeat(full, 12) + "\u258d" +
          repeat(" ", 12) + " 2",
  };
  for (const std::string& row : rows) {
    EXPECT_NE(result.out.find("\n" + row + "\n"), std::string::npos) << row;
  }
  EXPECT_NE(result.out.find("Timeline, one row per hour\n  red: err and worse; yellow: warning\n"),
            std::string::npos);
}

TEST_F(CliStatsTest, EveryLineFitsTheWidthAndTheBusiestRowFillsIt) {
  fs::path log = hours_log();
  fs::path russian = dir_.write("russian", event_line({.id = "1", .russian = true}) +
                                               event_line({.id = "2",
                                                           .isodate = "2024-01-15T12:00:00",
                                                           .key = "orvex-long-message-type-name",
                                                           .russian = true}));
  struct Row {
    fs::path log;
    std::string columns;
    std::vector<std::string> extra;
  };
  const std::vector<Row> rows = {
      {log, "COLUMNS=40", {}},
      {log, "COLUMNS=80", {}},
      {log, "COLUMNS=200", {}},
      {log, "COLUMNS=40", {"--color=always"}},
      {log, "COLUMNS=200", {"--color=always"}},
      {russian, "COLUMNS=40", {}},
      // Not a number, and no terminal: 80.
      {log, "COLUMNS=wide", {}},
      {log, "COLUMNS", {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.columns + " " + row.log.filename().string() + " " +
                 ::testing::PrintToString(row.extra));
    std::vector<std::string> args = {"-a"};
    args.insert(args.end(), row.extra.begin(), row.extra.end());
    RunResult result = stats(row.log, args, {row.columns, "LC_ALL=ru_RU.UTF-8"});
    ASSERT_EQ(result.status, 0) << result.err;
    std::size_t columns = row.columns.size() > 8 && std::isdigit(row.columns[8])
                              ? std::stoul(row.columns.substr(8))
                              : 80;
    std::size_t widest = 0;
    for (const std::string& line : lines_of(result.out)) {
      EXPECT_LE(shown_width(line), columns) << line;
      if (line.rfind("  ", 0) == 0 && line.size() > 2 && std::isdigit(line[2]) &&
          line.find(':') != std::string::npos) {
        widest = std::max(widest, shown_width(line));
      }
    }
    EXPECT_EQ(widest, columns) << result.out;
  }
  RunResult result = stats(russian, {"-a"}, {"COLUMNS=40", "LC_ALL=ru_RU.UTF-8"});
  EXPECT_NE(result.out.find("  Аудит  orvex-audit  "), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("  Аудит  orvex-long-messag...  1"), std::string::npos) << result.out;
}

TEST_F(CliStatsTest, DaysFromLocalMidnightAndWeeksFromMonday) {
  RunResult days = stats(weeks_log(false), {"-a"});
  ASSERT_EQ(days.status, 0) << days.err;
  // 1 March 2024 was a Friday.
  const char* weekdays[] = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};
  std::string timeline = "Timeline, one row per day\n";
  for (int day = 1; day <= 14; ++day) {
    char label[32];
    std::snprintf(label, sizeof label, "  %s %02d.03.2024  ", weekdays[(day + 3) % 7], day);
    const int count = day == 2 ? 2 : day == 1 || day == 10 || day == 11 || day == 14 ? 1 : 0;
    timeline += label + repeat("#", 20 * count) + repeat(" ", 40 - 20 * count) + " " +
                std::to_string(count) + "\n";
  }
  ASSERT_GE(days.out.size(), timeline.size());
  EXPECT_EQ(days.out.substr(days.out.size() - timeline.size()), timeline);

  RunResult weeks = stats(weeks_log(true), {"-a", "--json"});
  ASSERT_EQ(weeks.status, 0) << weeks.err;
  nlohmann::json overview = nlohmann::json::parse(weeks.out);
  EXPECT_EQ(overview["timeline"]["unit"], "week");
  const auto& buckets = overview["timeline"]["buckets"];
  // From the Monday before 1 March to the Monday of 10 June: sixteen weeks.
  ASSERT_EQ(buckets.size(), 16u);
  std::map<std::string, nlohmann::json> busy;
  for (const auto& bucket : buckets) {
    if (bucket["count"] != 0) busy[bucket["start"].get<std::string>()] = bucket;
  }
  const std::map<std::string, nlohmann::json> expected = {
      {"2024-02-26T00:00:00",
       {{"start", "2024-02-26T00:00:00"}, {"count", 3}, {"err_and_worse", 1}, {"warning", 1}}},
      {"2024-03-04T00:00:00",
       {{"start", "2024-03-04T00:00:00"}, {"count", 1}, {"err_and_worse", 0}, {"warning", 0}}},
      {"2024-03-11T00:00:00",
       {{"start", "2024-03-11T00:00:00"}, {"count", 2}, {"err_and_worse", 1}, {"warning", 0}}},
      {"2024-06-10T00:00:00",
       {{"start", "2024-06-10T00:00:00"}, {"count", 1}, {"err_and_worse", 0}, {"warning", 0}}},
  };
  EXPECT_EQ(busy, expected);
  EXPECT_EQ(buckets[1]["start"], "2024-03-04T00:00:00");
  EXPECT_NE(stats(weeks_log(true), {"-a"})
                .out.find("Timeline, one row per week from Monday\n  26.02.2024  "),
            std::string::npos);
}

TEST_F(CliStatsTest, JsonHoldsTheSameFigures) {
  // An undated event with a priority -p would not read, a damaged line, a dated event.
  fs::path log = dir_.write(
      "json", event_line({.id = "0", .priority = "loud", .isodate = "someday"}) + "{broken\n" +
                  event_line({.id = "1", .isodate = "2024-01-15T22:10:00"}));
  RunResult result = stats(log, {"-a", "--json"});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out,
            R"({"events":2,"damaged_lines_skipped":1,"undated":1,)"
            R"("first":"2024-01-15T22:10:00.000000","last":"2024-01-15T22:10:00.000000",)"
            R"("by_priority":{"emerg":0,"alert":0,"crit":0,"err":0,"warning":0,"notice":0,)"
            R"("info":1,"debug":0,"other":1},)"
            R"("by_type":[{"key":"orvex-audit","type":"Audit","count":2}],"by_type_untracked":0,)"
            R"("timeline":{"unit":"hour","buckets":[{"start":"2024-01-15T22:00:00","count":1,)"
            R"("err_and_worse":0,"warning":0}]}})"
            "\n");
  EXPECT_NE(result.err.find("line 2: not JSON; skipped"), std::string::npos) << result.err;
}

// The overview counts what the listing of the same command shows, for every way of selecting.
TEST_F(CliStatsTest, CountsMatchThePlainListing) {
  std::string text;
  const char* priorities[] = {"err", "info", "warn", "error", "crit", "notice", "loud", "debug"};
  const char* keys[] = {"orvex-audit", "kernel", "orvex-net-fw"};
  for (int i = 0; i < 40; ++i) {
    char date[32];
    std::snprintf(date, sizeof date, "2024-03-%02dT%02d:17:00", 1 + i % 20, (i * 7) % 24);
    text += event_line({.id = std::to_string(i),
                        .priority = priorities[i % 8],
                        .isodate = date,
                        .key = keys[i % 3]});
    if (i % 13 == 0) text += "not json\n";
  }
  fs::path log = dir_.write("mixed", text);
  const std::vector<std::vector<std::string>> selections = {
      {"-a"},
      {"-a", "-p", "warning.."},
      {"-a", "-s", "net"},
      {"-a", "-g", "Login 1"},
      {"-S", "2024-03-05", "-U", "2024-03-12"},
      {"-n", "9"},
      {"-a", "--reverse", "-p", "info,err"},
  };
  const std::map<std::string, std::string> level_of = {
      {"err", "err"},   {"error", "err"},     {"crit", "crit"},   {"warn", "warning"},
      {"info", "info"}, {"notice", "notice"}, {"debug", "debug"}, {"loud", "other"}};
  for (const std::vector<std::string>& selection : selections) {
    SCOPED_TRACE(::testing::PrintToString(selection));
    std::vector<std::string> args = selection;
    args.push_back("--json");
    RunResult overview_run = stats(log, args);
    ASSERT_EQ(overview_run.status, 0) << overview_run.err;
    nlohmann::json overview = nlohmann::json::parse(overview_run.out);

    args.push_back(log.string());
    RunResult listing = lookout(args);
    ASSERT_EQ(listing.status, 0) << listing.err;
    std::map<std::string, int> by_level, by_key;
    int events = 0;
    for (const std::string& line : lines_of(listing.out)) {
      nlohmann::json event = nlohmann::json::parse(line);
      ++events;
      ++by_level[level_of.at(event["PRIORITY"].get<std::string>())];
      ++by_key[event["MSG"].begin().key()];
    }
    EXPECT_EQ(overview["events"], events);
    for (const auto& [level, count] : overview["by_priority"].items()) {
      EXPECT_EQ(count, by_level[level]) << level;
    }
    std::map<std::string, int> overview_keys;
    for (const auto& type : overview["by_type"]) {
      overview_keys[type["key"].get<std::string>()] = type["count"].get<int>();
    }
    EXPECT_EQ(overview_keys, by_key);
    int in_timeline = 0;
    for (const auto& bucket : overview["timeline"]["buckets"]) {
      in_timeline += bucket["count"].get<int>();
    }
    EXPECT_EQ(in_timeline, events);
    // The same damage notices, and the same count of damaged lines.
    EXPECT_EQ(overview_run.err, listing.err);
  }
}

TEST_F(CliStatsTest, EmptySelectionAndRefusedCombinations) {
  fs::path log = hours_log();
  RunResult empty = lookout_on_terminal({"--stats", "-a", "-p", "emerg", log.string()});
  EXPECT_EQ(empty.status, 0);
  EXPECT_EQ(empty.out, "Events shown: 0\r\nDamaged lines skipped: 0\r\n");

  struct Row {
    std::vector<std::string> args;
    std::string message;
  };
  const std::vector<Row> rows = {
      {{"--stats", "-f"}, "--stats counts what is there: it goes with no --follow"},
      {{"--stats", "-F"}, "--stats counts what is there: it goes with no --follow"},
      {{"--stats", "-o", "%PRIORITY"},
       "--stats prints an overview, not events: it goes with neither -o, -m nor -r"},
      {{"--stats", "-m"},
       "--stats prints an overview, not events: it goes with neither -o, -m nor -r"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(::testing::PrintToString(row.args));
    std::vector<std::string> args = row.args;
    args.push_back(log.string());
    RunResult result = lookout(args);
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "orvex-lookout: " + row.message + "\n");
  }
}

TEST_F(CliStatsTest, LogTextIsWrittenTerminalSafe) {
  fs::path log = dir_.write(
      "hostile", R"({"PRIORITY": "crit\u001b[2J", "ISODATE": "2024-01-15T10:00:00", )"
                 R"("MSG": {"evil\u001b]0;x\u0007": {"type_en": "Audit \u202egnp\u009b31m"}}})"
                 "\n");
  for (const char* colour : {"--color=never", "--color=always"}) {
    SCOPED_TRACE(colour);
    RunResult result = stats(log, {"-a", colour});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.out.find(R"(  Audit \u202egnp\u009b31m  evil\x1b]0;x\x07  1  100.0%)"),
              std::string::npos)
        << result.out;
    EXPECT_NE(result.out.find("  other     1  100.0%"), std::string::npos) << result.out;
  }
  RunResult json = stats(log, {"-a", "--json"});
  ASSERT_EQ(json.status, 0) << json.err;
  EXPECT_EQ(json.out.find('\x1b'), std::string::npos);
  EXPECT_EQ(json.out.find("\u202e"), std::string::npos);
  EXPECT_EQ(json.out.find("\u009b"), std::string::npos);
  nlohmann::json overview = nlohmann::json::parse(json.out);
  EXPECT_EQ(overview["by_type"][0]["key"], "evil\x1b]0;x\x07");
  EXPECT_EQ(overview["by_type"][0]["type"], "Audit \u202egnp\u009b31m");
}

}  // namespace
}  // namespace orvex
