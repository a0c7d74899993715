// Options for the way administrators work: search in the events' text, JSON lines for jq, and
// a word on a terminal when nothing matched.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "lookout_fixture.hpp"

namespace orvex {
namespace {

namespace fs = std::filesystem;
using testing::event_line;
using testing::RunResult;

class CliOptionsTest : public LookoutTest {};

TEST_F(CliOptionsTest, GrepKeepsEventsWhoseTextMatches) {
  fs::path log = dir_.write(
      "events", event_line({.id = "1", .name = "User logged in", .russian = true}) +
                    event_line({.id = "2", .key = "kernel", .name = "Module LOADED"}) +
                    event_line({.id = "3", .priority = "crit", .name = "Out of memory"}));
  struct Row {
    std::vector<std::string> args;
    std::string ids;
  };
  const std::vector<Row> rows = {
      {{"-g", "logged"}, "1\n"},
      {{"-g", "loaded"}, "2\n"},  // no capital: any case
      {{"-g", "Loaded"}, ""},     // a capital: as written
      {{"-g", "LOADED"}, "2\n"},
      {{"-g", "loaded", "--case-sensitive"}, ""},
      {{"--grep", "вход"}, "1\n"},                     // Russian names are searched too
      {{"-g", "^Out of mem"}, "3\n"},                  // anchored at a value's start
      {{"-g", "memory|logged", "-p", "crit"}, "3\n"},  // after the other filters
      {{"-g", "orvex"}, ""},                           // message keys are no text
      {{"-g", "2024-01-15"}, "1\n2\n3\n"},
      {{"-g", "x{0}"}, "1\n2\n3\n"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(::testing::PrintToString(row.args));
    std::vector<std::string> args = {"-a", "-o", "%id"};
    args.insert(args.end(), row.args.begin(), row.args.end());
    args.push_back(log.string());
    RunResult result = lookout(args);
    EXPECT_EQ(result.out, row.ids);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.status, 0);
  }
  RunResult bad = lookout({"-a", "-g", "(unclosed", log.string()});
  EXPECT_EQ(bad.out, "");
  EXPECT_EQ(bad.err,
            "orvex-lookout: bad --grep pattern: missing closing parenthesis at position 10 of "
            "the pattern '(unclosed'\n");
  EXPECT_EQ(bad.status, 2);
}

// Every line of --json reads back as the stored event; characters a terminal would act on are
// escaped, and a line stored with spaces comes out compact.
TEST_F(CliOptionsTest, JsonLinesAreTheStoredEventsTerminalSafe) {
  const std::string hostile =
      "{\"id\":\"h\",\"name\":\"del\x7f c1\xc2\x9b bidi\xe2\x80\xae esc\\u001b\"}";
  const std::string spaced = R"( { "id" : "s" , "list" : [ 1 , 2 ] , "id" : "last" } )";
  const std::string plain =
      R"({"id":"1","PRIORITY":"info","MSG":{"orvex-audit":{"name_ru":"Вход 1"}}})"
      "\n";
  fs::path log = dir_.write("events", plain + hostile + "\n" + spaced + "\nnot json\n");
  RunResult result = lookout({"-a", "--json", log.string()});
  std::istringstream lines(result.out);
  std::vector<std::string> out;
  for (std::string line; std::getline(lines, line);) out.push_back(line);
  ASSERT_EQ(out.size(), 3u) << result.out;
  EXPECT_EQ(out[0] + "\n", plain) << "a compact stored line is written as it stands";
  EXPECT_EQ(out[1], "{\"id\":\"h\",\"name\":\"del\\u007f c1\\u009b bidi\\u202e esc\\u001b\"}");
  EXPECT_EQ(out[2], R"({"id":"s","list":[1,2],"id":"last"})");
  const std::vector<std::string> stored = {plain, hostile, spaced};
  for (std::size_t i = 0; i < out.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(nlohmann::ordered_json::parse(out[i]), nlohmann::ordered_json::parse(stored[i]));
  }
  EXPECT_NE(result.err.find("line 4: not JSON; skipped"), std::string::npos) << result.err;
  EXPECT_EQ(result.status, 0);

  // The same events through a search, which builds them.
  RunResult searched = lookout({"-a", "--json", "-g", "bidi", log.string()});
  EXPECT_EQ(searched.out, out[1] + "\n");

  for (const char* layout : {"-m", "-r"}) {
    RunResult refused = lookout({"-a", "--json", layout, log.string()});
    EXPECT_EQ(refused.status, 2) << layout;
    EXPECT_EQ(refused.out, "");
  }
  EXPECT_EQ(lookout({"-a", "--json", "-o", "%id", log.string()}).status, 2);
}

TEST_F(CliOptionsTest, PriorityFormsAndTheirErrors) {
  std::string text;
  for (const char* priority : {"emerg", "crit", "error", "err", "warning", "notice", "debug"}) {
    text += event_line({.id = priority, .priority = priority});
  }
  fs::path log = dir_.write("events", text);
  struct Row {
    std::string form, ids;
  };
  const std::vector<Row> rows = {
      {"err", "err"},  // a standard name matches exactly, as always
      {"Err", "err"},
      {"3", "err"},
      {"error", "error err"},
      {"warning..", "emerg crit error err warning"},
      {"..notice", "notice debug"},
      {"crit..err", "crit error err"},
      {"err..crit", "crit error err"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.form);
    RunResult result = lookout({"-a", "-p", row.form, "-o", "%id", log.string()});
    std::string ids;
    for (char c : result.out) ids += c == '\n' ? ' ' : c;
    if (!ids.empty()) ids.pop_back();
    EXPECT_EQ(ids, row.ids);
    EXPECT_EQ(result.status, 0);
  }
  RunResult typo = lookout({"-a", "-p", "warnig", log.string()});
  EXPECT_EQ(typo.out, "");
  EXPECT_EQ(typo.err.rfind("orvex-lookout: unknown priority 'warnig' (use emerg, alert", 0), 0u)
      << typo.err;
  EXPECT_EQ(typo.status, 2);
}

// Newest first is the forward listing reversed, for every selection, on a file of many read
// blocks; with follow it is refused.
TEST_F(CliOptionsTest, ReverseIsTheForwardListingReversed) {
  std::string text;
  for (int i = 0; i < 3000; ++i) {
    char date[32];
    std::snprintf(date, sizeof date, "2024-01-%02dT%02d:%02d:00", 1 + i / 200, (i / 60) % 24,
                  i % 60);
    text += event_line(
        {.id = std::to_string(i), .priority = i % 7 == 0 ? "crit" : "info", .isodate = date});
    if (i % 500 == 3) text += "damaged line\n";
  }
  fs::path log = dir_.write("events", text);
  ASSERT_GT(fs::file_size(log), 3u * 65536);
  for (const std::vector<std::string>& selection :
       std::vector<std::vector<std::string>>{{"-a"},
                                             {"-a", "-p", "crit"},
                                             {"-n", "777"},
                                             {"-S", "2024-01-03 12:00", "-U", "2024-01-09"}}) {
    SCOPED_TRACE(::testing::PrintToString(selection));
    std::vector<std::string> args = selection;
    args.insert(args.end(), {"-o", "%id", log.string()});
    RunResult forward = lookout(args);
    args.push_back("--reverse");
    RunResult reverse = lookout(args);
    std::vector<std::string> forward_ids, reverse_ids;
    std::istringstream f(forward.out), r(reverse.out);
    for (std::string id; std::getline(f, id);) forward_ids.push_back(id);
    for (std::string id; std::getline(r, id);) reverse_ids.insert(reverse_ids.begin(), id);
    EXPECT_FALSE(forward_ids.empty());
    EXPECT_EQ(reverse_ids, forward_ids);
    EXPECT_EQ(reverse.status, 0);
  }
  EXPECT_EQ(lookout({"-f", "--reverse", log.string()}).status, 2);
}

TEST_F(CliOptionsTest, AnEmptyResultSaysSoOnATerminalOnly) {
  fs::path log = dir_.write("events", event_line({.id = "1"}));
  RunResult terminal = lookout_on_terminal({"-a", "-p", "crit", log.string()});
  EXPECT_EQ(terminal.out, "-- No entries --\r\n");  // standard error is the terminal too
  EXPECT_EQ(terminal.status, 0);
  RunResult piped = lookout({"-a", "-p", "crit", log.string()});
  EXPECT_EQ(piped.out, "");
  EXPECT_EQ(piped.err, "");
  EXPECT_EQ(piped.status, 0);
}

}  // namespace
}  // namespace orvex
