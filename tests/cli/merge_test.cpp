// Several inputs read as one log: the merge by date with its ties and undated events, the labels
// of the inputs, -n and --reverse over the merge, --json, following two files, a missing input,
// and the worker threads giving exactly the output of one thread.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "lookout_fixture.hpp"

namespace orvex {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using testing::event_line;
using testing::RunResult;
using testing::sh;

// An event without any date field.
std::string undated_line(const std::string& id) {
  return "{\"id\": \"" + id +
         "\", \"PRIORITY\": \"info\", \"MSG\": {\"orvex-audit\": {\"type_en\": \"Audit\", "
         "\"name_en\": \"Login " +
         id + "\"}}}\n";
}

std::string at(const std::string& id, const std::string& time) {
  return event_line({.id = id, .isodate = "2024-01-15T" + time});
}

class CliMergeTest : public LookoutTest {
 protected:
  // a: two events, an undated one after the second, a third; b: at the same times as a's
  // second and third; c: an undated event first, then one at the time of a's first.
  void write_three() {
    a_ = dir_.write("a.log", at("a1", "10:00:00") + at("a2", "10:05:00") + undated_line("au") +
                                 at("a4", "10:10:00"))
             .string();
    b_ = dir_.write("b.log", at("b1", "10:05:00") + at("b2", "10:07:00") + at("b3", "10:10:00"))
             .string();
    c_ = dir_.write("c.log", undated_line("cu") + at("c1", "10:00:00")).string();
  }
  std::string a_, b_, c_;
};

TEST_F(CliMergeTest, MergesByDateTiesInArgumentOrderUndatedAfterTheirPredecessor) {
  write_three();
  RunResult result = lookout({"-a", "-o", "%INPUT:%id", a_, b_, c_});
  EXPECT_EQ(result.out,
            "c.log:cu\na.log:a1\nc.log:c1\na.log:a2\na.log:au\nb.log:b1\nb.log:b2\na.log:a4\n"
            "b.log:b3\n");
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.status, 0);
  // Another argument order changes only the ties.
  EXPECT_EQ(lookout({"-a", "-o", "%INPUT:%id", c_, b_, a_}).out,
            "c.log:cu\nc.log:c1\na.log:a1\nb.log:b1\na.log:a2\na.log:au\nb.log:b2\nb.log:b3\n"
            "a.log:a4\n");
}

TEST_F(CliMergeTest, ReverseAndLastLinesOverTheMerge) {
  write_three();
  // Newest first, the last input first at the same moment; an undated event stays right after
  // the event listed before it from its file.
  EXPECT_EQ(lookout({"--reverse", "-a", "-o", "%id", a_, b_, c_}).out,
            "b3\na4\nau\nb2\nb1\na2\nc1\ncu\na1\n");
  // The last 4 lines of the merged log, whichever files they are in.
  EXPECT_EQ(lookout({"-n", "4", "-o", "%id", a_, b_, c_}).out, "b1\nb2\na4\nb3\n");
  EXPECT_EQ(lookout({"-n", "4", "--reverse", "-o", "%id", a_, b_, c_}).out, "b3\na4\nb2\nb1\n");
  // Lines count whether or not their events are shown.
  fs::path d = dir_.write("d.log", at("d1", "10:08:00") + "not json\n\n" + at("d2", "10:09:00"));
  EXPECT_EQ(lookout({"-n", "3", "-o", "%id", a_, d.string()}).out, "d2\na4\n");
  RunResult none = lookout({"-n", "-1", "-o", "%id", a_, d.string()});
  EXPECT_EQ(none.out, "");
  EXPECT_EQ(none.status, 0);
}

// Each input may be a rotated set: its older files, compressed or not, join its own events in
// the merge; the last lines of several sets are refused rather than guessed.
TEST_F(CliMergeTest, EachInputMayBeARotatedSet) {
  write_three();
  dir_.write("a.log.1", at("a0", "09:00:00") + at("a05", "09:50:00"));
  sh("gzip '" + dir_.path().string() + "/a.log.1'");
  dir_.write("b.log.1", "not json\n" + at("b0", "09:30:00"));
  RunResult result = lookout({"-a", "--rotated", "-o", "%INPUT:%id", a_, b_});
  EXPECT_EQ(result.out,
            "a.log:a0\nb.log:b0\na.log:a05\na.log:a1\na.log:a2\na.log:au\nb.log:b1\n"
            "b.log:b2\na.log:a4\nb.log:b3\n");
  EXPECT_NE(result.err.find("b.log.1', line 1: not JSON; skipped"), std::string::npos)
      << result.err;
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(lookout({"-a", "--rotated", "-j", "1", "-o", "%INPUT:%id", a_, b_}).out, result.out);

  RunResult refused = lookout({"-n", "3", "--rotated", a_, b_});
  EXPECT_EQ(refused.status, 2);
  EXPECT_NE(refused.err.find("--count"), std::string::npos) << refused.err;
  EXPECT_EQ(refused.out, "");
}

// The overview of several inputs counts exactly the events of their merged listing, and the
// damaged lines of all of them.
TEST_F(CliMergeTest, TheOverviewCountsTheMergedSelection) {
  write_three();
  dir_.write("d.log", "garbage\n" + at("d1", "10:01:00"));
  const std::string d = (dir_.path() / "d.log").string();
  RunResult listing = lookout({"-a", "--json", a_, b_, c_, d});
  RunResult overview = lookout({"-a", "--stats", "--json", a_, b_, c_, d});
  ASSERT_EQ(overview.status, 0) << overview.err;
  std::size_t lines = 0;
  for (char c : listing.out) lines += c == '\n';
  EXPECT_EQ(lines, 10u);
  EXPECT_NE(overview.out.find("\"events\":10,"), std::string::npos) << overview.out;
  EXPECT_NE(overview.out.find("\"damaged_lines_skipped\":1,"), std::string::npos) << overview.out;
  EXPECT_EQ(overview.err, listing.err);
}

TEST_F(CliMergeTest, LabelsPrecedeSummariesAndBlocks) {
  fs::path a = dir_.write("a.log", at("1", "10:00:00"));
  fs::path b = dir_.write("long.log", at("2", "10:01:00"));
  EXPECT_EQ(lookout({"-a", a.string(), b.string()}).out,
            "a.log    15.01.2024 10:00:00, info, Audit, Login 1\n"
            "long.log 15.01.2024 10:01:00, info, Audit, Login 2\n");
  std::string coloured = lookout({"-a", "--color=always", a.string(), b.string()}).out;
  EXPECT_EQ(coloured.rfind("\x1b[90ma.log\x1b[0m    \x1b[90m15.01.2024 10:00:00", 0), 0u)
      << coloured;
  EXPECT_NE(coloured.find("\n\x1b[90mlong.log\x1b[0m \x1b[90m15.01.2024 10:01:00"),
            std::string::npos)
      << coloured;
  EXPECT_EQ(lookout({"-a", "-r", a.string(), b.string()}).out,
            "a.log\nid:       1\nPRIORITY: info\nISODATE:  2024-01-15T10:00:00\nsource:   audit\n"
            "type_en:  Audit\nname_en:  Login 1\n\n"
            "long.log\nid:       2\nPRIORITY: info\nISODATE:  2024-01-15T10:01:00\n"
            "source:   audit\ntype_en:  Audit\nname_en:  Login 2\n\n");
  // A label is text from outside too: escaped, never passed to the terminal as it is.
  fs::path evil = dir_.write("e\x1b[31mvil.log", at("3", "10:02:00"));
  RunResult escaped = lookout({"-a", "-o", "%INPUT", a.string(), evil.string()});
  EXPECT_EQ(escaped.out.find('\x1b'), std::string::npos) << escaped.out;
  EXPECT_EQ(escaped.status, 0);
  // --json adds nothing: the stored lines alone, in merged order.
  EXPECT_EQ(lookout({"-a", "--json", b.string(), a.string()}).out,
            "{\"id\":\"1\",\"PRIORITY\":\"info\",\"ISODATE\":\"2024-01-15T10:00:00\",\"MSG\":{"
            "\"orvex-audit\":{\"type_en\":\"Audit\",\"name_en\":\"Login 1\"}}}\n"
            "{\"id\":\"2\",\"PRIORITY\":\"info\",\"ISODATE\":\"2024-01-15T10:01:00\",\"MSG\":{"
            "\"orvex-audit\":{\"type_en\":\"Audit\",\"name_en\":\"Login 2\"}}}\n");
  // One input has its label in %INPUT too, and no label before its lines.
  EXPECT_EQ(lookout({"-a", "-o", "%INPUT %id", a.string()}).out, "a.log 1\n");
  EXPECT_EQ(lookout({"-a", a.string()}).out, "15.01.2024 10:00:00, info, Audit, Login 1\n");
}

TEST_F(CliMergeTest, ReportArchivesAreLabelledWithTheirHostName) {
  std::string out = dir_.path().string();
  std::string staged = report_tree("host-a", 2);
  sh("tar -cJf " + out + "/one.tar.xz -C " + staged + " host-a");
  staged = report_tree("host-b", 1);
  sh("tar -czf " + out + "/two.tar.gz -C " + staged + " host-b");
  fs::path plain = dir_.write("plain.log", at("p", "09:00:00"));
  RunResult result =
      lookout({"-a", "-o", "%INPUT %id", out + "/one.tar.xz", out + "/two.tar.gz", plain.string()});
  EXPECT_EQ(result.out, "plain.log p\nhost-a 1\nhost-a 2\nhost-b 1\n");
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.status, 0);
  // Two reports of one host are told apart by the paths given.
  sh("cp " + out + "/one.tar.xz " + out + "/again.tar.xz");
  EXPECT_EQ(lookout({"-n", "1", "-o", "%INPUT", out + "/one.tar.xz", out + "/again.tar.xz"}).out,
            out + "/again.tar.xz\n");
}

TEST_F(CliMergeTest, AMissingInputFailsAtTheStartNamingIt) {
  fs::path a = dir_.write("a.log", at("1", "10:00:00"));
  std::string missing = (dir_.path() / "missing.log").string();
  std::string out = dir_.path().string();
  std::string staged = report_tree("host-a", 1);
  sh("tar -cJf " + out + "/one.tar.xz -C " + staged + " host-a");
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"-a", a.string(), missing}, {"-a", out + "/one.tar.xz", missing, a.string()}}) {
    SCOPED_TRACE(args[2]);
    RunResult result = lookout(args);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "orvex-lookout: No such file: " + missing + "\n");
    EXPECT_EQ(result.status, 1);
  }
}

TEST_F(CliMergeTest, FollowsEveryPlainFile) {
  fs::path a = dir_.write("a.log", at("1", "10:00:00"));
  fs::path b = dir_.write("b.log", at("2", "10:01:00"));
  std::string out = dir_.path().string();
  std::string staged = report_tree("host-a", 1);
  sh("tar -cJf " + out + "/one.tar.xz -C " + staged + " host-a");
  testing::Child child(
      command({"-f", "-a", "-o", "%INPUT %id", a.string(), b.string(), out + "/one.tar.xz"}),
      env({"ORVEX_LOOKOUT_POLL_MS=50"}));
  EXPECT_EQ(child.read_lines(3, milliseconds(5000)), "a.log 1\nhost-a 1\nb.log 2\n");
  std::this_thread::sleep_for(milliseconds(300));
  testing::append_file(b, at("3", "11:00:00"));
  EXPECT_EQ(child.read_lines(4, milliseconds(5000)), "a.log 1\nhost-a 1\nb.log 2\nb.log 3\n");
  testing::append_file(a, at("4", "11:01:00"));
  EXPECT_EQ(child.read_lines(5, milliseconds(5000)),
            "a.log 1\nhost-a 1\nb.log 2\nb.log 3\na.log 4\n");
  child.signal(SIGINT);
  RunResult result = child.wait();
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.status, 0);
}

// Logs of a few thousand events each, so that the workers go through many batches: dates
// interleaved across the files with many ties, undated events, damaged lines (more in one file
// than are listed one by one, and in another so many that the workers keep them as a count), a
// field that an expression cannot show, a few crit events.
TEST_F(CliMergeTest, WorkersGiveTheOutputOfOneThread) {
  std::vector<std::string> files;
  for (int f = 0; f < 4; ++f) {
    std::string text;
    for (int i = 0; i < 3000; ++i) {
      const std::string id = std::to_string(f) + "-" + std::to_string(i);
      const int second = i * (f + 1) / 2;
      char time[16];
      std::snprintf(time, sizeof time, "%02d:%02d:%02d", 10 + second / 3600, second / 60 % 60,
                    second % 60);
      if (i % 97 == 5) {
        text += undated_line(id);
      } else if (const int every = f == 2 ? 150 : f == 3 ? 4 : 1100; i % every == 7 % every) {
        text += "{\"id\": \"" + id + "\", broken\n";
      } else if (i % 501 == 9) {
        text += "{\"id\": 5, \"PRIORITY\": \"info\", \"ISODATE\": \"2024-01-15T" +
                std::string(time) + "\", \"MSG\": {\"orvex-audit\": {\"type_en\": \"Audit\"}}}\n";
      } else {
        text += event_line({.id = id,
                            .priority = i % 13 == 0 ? "crit" : "info",
                            .isodate = "2024-01-15T" + std::string(time)});
      }
    }
    files.push_back(dir_.write("log" + std::to_string(f), text).string());
  }
  const std::vector<std::vector<std::string>> rows = {
      {"-a"},
      {"-a", "-p", "crit", "-m"},
      {"-a", "-o", "%INPUT %id %ISODATE"},
      {"-a", "--json"},
      {"-a", "-g", "login 1-1"},
      {"--reverse", "-a"},
      {"-n", "2500"},
      {"-S", "2024-01-15 10:10", "-U", "2024-01-15 10:20"},
  };
  for (const std::vector<std::string>& row : rows) {
    std::vector<std::string> args = row;
    args.insert(args.end(), files.begin(), files.end());
    args.insert(args.begin(), {"-j", "1"});
    RunResult one = lookout(args);
    ASSERT_EQ(one.status, 0) << one.err;
    for (const char* jobs : {"2", "3", "8"}) {
      std::string trace = "-j " + std::string(jobs);
      for (const std::string& arg : row) trace += " " + arg;
      SCOPED_TRACE(trace);
      args[1] = jobs;
      RunResult many = lookout(args);
      EXPECT_EQ(many.out, one.out);
      EXPECT_EQ(many.err, one.err);
      EXPECT_EQ(many.status, one.status);
    }
  }
  // The fixture does what it is meant to: damage listed and counted, events unusable for -o.
  RunResult expression = lookout({"-a", "-o", "%id", files[0], files[2]});
  EXPECT_NE(expression.err.find("further damaged lines are counted"), std::string::npos);
  EXPECT_NE(expression.err.find("'" + files[2] + "': "), std::string::npos) << expression.err;
  EXPECT_NE(expression.err.find("which a format expression needs"), std::string::npos);
}

}  // namespace
}  // namespace orvex
