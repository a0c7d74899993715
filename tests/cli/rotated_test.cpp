// --rotated: a log and its rotated files, plain or compressed in every form, read as one log;
// inside a report archive too; damaged and unreadable rotated files reported and passed over.
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

class CliRotatedTest : public LookoutTest {
 protected:
  // Writes events `first`..`last` (dated `date`, hours from 01) to `name` in the fixture folder,
  // then runs `pack` on it ("gzip", "xz", ... or "" to leave it plain); returns the final path.
  fs::path part(const std::string& name, int first, int last, const std::string& date,
                const std::string& pack = "") {
    std::string text;
    for (int id = first; id <= last; ++id) {
      const int hour = id % 24;
      text += event_line(
          {.id = std::to_string(id),
           .isodate = date + (hour < 10 ? "T0" : "T") + std::to_string(hour) + ":00:00"});
    }
    fs::path path = dir_.write(name, text);
    if (!pack.empty()) sh(pack + " '" + path.string() + "'");
    return path;
  }
  std::string q(const fs::path& path) {
    std::string text = "'";
    text += path.string();
    text += '\'';
    return text;
  }
};

std::string lines(int first, int last, int step = 1) {
  std::string text;
  for (int id = first; step > 0 ? id <= last : id >= last; id += step) {
    text += std::to_string(id) + "\n";
  }
  return text;
}

TEST_F(CliRotatedTest, EveryFormIsReadOldestFirstAsOneLog) {
  part("events-20240101", 1, 2, "2024-01-01");
  part("events-20240102", 3, 4, "2024-01-02", "zstd -q --rm");
  part("events.5", 5, 6, "2024-01-03", "bzip2");
  part("events.4", 7, 8, "2024-01-04", "xz");
  part("events.3", 9, 10, "2024-01-05", "gzip");
  part("events.2", 11, 12, "2024-01-06", "zstd -q --rm");
  // Compressed without the suffix that says so: told by its content.
  part("events.1", 13, 14, "2024-01-07", "gzip");
  fs::rename(dir_.path() / "events.1.gz", dir_.path() / "events.1");
  fs::path log = part("events", 15, 16, "2024-01-08");
  sh("touch -d 2024-01-02 " + q(dir_.path() / "events-20240101") + " " +
     q(dir_.path() / "events-20240102.zst"));

  struct Row {
    std::vector<std::string> args;
    std::string out;
  };
  const std::vector<Row> rows = {
      {{"-a", "--rotated"}, lines(1, 16)},
      {{"-a"}, lines(15, 16)},
      {{"-a", "--rotated", "--reverse"}, lines(16, 1, -1)},
      // The last lines reach back through the current log into the compressed files.
      {{"-n", "5", "--rotated"}, lines(12, 16)},
      {{"-n", "5", "--rotated", "--reverse"}, lines(16, 12, -1)},
      {{"-n", "100", "--rotated"}, lines(1, 16)},
      {{"-S", "2024-01-03 06:00", "-U", "2024-01-05", "--rotated"}, lines(6, 10)},
      {{"-S", "2024-01-03 06:00", "-U", "2024-01-05", "--rotated", "--reverse"}, lines(10, 6, -1)},
  };
  for (const Row& row : rows) {
    std::vector<std::string> args = row.args;
    args.insert(args.end(), {"-o", "%id", log.string()});
    SCOPED_TRACE(::testing::PrintToString(args));
    RunResult result = lookout(args);
    EXPECT_EQ(result.out, row.out);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.status, 0);
  }
  RunResult json = lookout({"-a", "--rotated", "--json", log.string()});
  EXPECT_EQ(json.out.substr(0, json.out.find('\n') + 1),
            R"({"id":"1","PRIORITY":"info","ISODATE":"2024-01-01T01:00:00","MSG":{"orvex-audit":)"
            R"({"type_en":"Audit","name_en":"Login 1"}}})"
            "\n");
}

TEST_F(CliRotatedTest, DamagedAndUnreadableRotatedFilesAreReportedAndPassedOver) {
  const std::string today = testing::today();
  // A compressed file that holds no log, one cut short, one not readable by the user.
  dir_.write("noise",
             "\x7f"
             "ELF\x02\x01\x01\xff\xfe binary\n");
  sh("gzip -c " + q(dir_.path() / "noise") + " > " + q(dir_.path() / "events.4.gz"));
  part("events.3", 1, 2000, today, "gzip");
  sh("head -c 4000 " + q(dir_.path() / "events.3.gz") + " > " + q(dir_.path() / "events.3.tmp") +
     " && mv " + q(dir_.path() / "events.3.tmp") + " " + q(dir_.path() / "events.3.gz"));
  part("events.2", 3001, 3001, today, "xz");
  part("events.1", 3002, 3002, today);
  fs::path log = part("events", 3003, 3003, today);
  sh("chmod -R a+rX " + q(dir_.path()) + " && chmod 600 " + q(dir_.path() / "events.1"));

  RunResult result = lookout_as_nobody({"--rotated", "-o", "%id", log.string()});
  const std::string d = dir_.path().string();
  // Every line of the cut file up to the cut, then the cut itself; nothing of the others.
  EXPECT_EQ(result.out.substr(result.out.size() - 10), "3001\n3003\n");
  EXPECT_EQ(result.out.rfind("1\n2\n3\n", 0), 0u);
  EXPECT_NE(result.err.find("orvex-lookout: '" + d + "/events.4.gz', line 1: not valid UTF-8"),
            std::string::npos)
      << result.err;
  EXPECT_NE(result.err.find("orvex-lookout: '" + d + "/events.3.gz', from byte "),
            std::string::npos)
      << result.err;
  EXPECT_NE(result.err.find("orvex-lookout: '" + d +
                            "/events.1', from line 1 on: cannot be read: Permission denied; "
                            "skipped\n"),
            std::string::npos)
      << result.err;
  EXPECT_NE(result.err.find("damaged lines skipped (first at '" + d + "/events.4.gz', line 1)"),
            std::string::npos)
      << result.err;
  EXPECT_EQ(result.status, 0);
}

// A date range passes over a compressed file last written well before it starts without
// opening it, so even a damaged one says nothing; written within a day of the start, it is read.
TEST_F(CliRotatedTest, ADateRangePassesOverOldCompressedFilesByTheirTime) {
  dir_.write("noise", "not an event\n");
  sh("gzip -c " + q(dir_.path() / "noise") + " > " + q(dir_.path() / "events.1.gz"));
  fs::path log = part("events", 1, 1, testing::today());
  struct Row {
    const char* touched;
    std::string err;
  };
  const std::vector<Row> rows = {
      {"-3 days", ""},
      {"-1 hour", "orvex-lookout: '" + (dir_.path() / "events.1.gz").string() +
                      "', line 1: not JSON; skipped\n"
                      "orvex-lookout: 1 damaged line skipped (first at '" +
                      (dir_.path() / "events.1.gz").string() + "', line 1)\n"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.touched);
    sh(std::string("touch -d '") + row.touched + "' " + q(dir_.path() / "events.1.gz"));
    RunResult result = lookout({"-d", "1", "--rotated", "-o", "%id", log.string()});
    EXPECT_EQ(result.out, "1\n");
    EXPECT_EQ(result.err, row.err);
    EXPECT_EQ(result.status, 0);
  }
}

TEST_F(CliRotatedTest, AReportArchiveGivesItsRotatedFiles) {
  const std::string staged = report_tree("host-report", 2);
  const fs::path orvex = fs::path(staged) / "host-report/vantel/log/orvex";
  dir_.write("stage/host-report/vantel/log/orvex/events.1",
             event_line({.id = "b", .name = "x"}) + "not json\n");
  dir_.write("stage/host-report/vantel/log/orvex/events.2", event_line({.id = "a", .name = "x"}));
  sh("gzip " + q(orvex / "events.2"));
  const fs::path archive = dir_.path() / "sos.tar.xz";
  sh("tar -cJf " + q(archive) + " -C " + staged + " host-report");

  RunResult plain = lookout({"-a", "-o", "%id", archive.string()});
  EXPECT_EQ(plain.out, "1\n2\n");
  RunResult rotated = lookout({"-a", "--rotated", "-o", "%id", archive.string()});
  EXPECT_EQ(rotated.out, "a\nb\n1\n2\n");
  // Named by the archive and the member, never by the private copy.
  EXPECT_EQ(rotated.err, "orvex-lookout: '" + archive.string() +
                             ":host-report/vantel/log/orvex/events.1', line 2: not JSON; skipped\n"
                             "orvex-lookout: 1 damaged line skipped (first at '" +
                             archive.string() +
                             ":host-report/vantel/log/orvex/events.1', line 2)\n");
  EXPECT_EQ(rotated.status, 0);
}

TEST_F(CliRotatedTest, FollowGoesOnWithTheCurrentLog) {
  part("events.1", 1, 1, "2024-01-01", "gzip");
  fs::path log = part("events", 2, 2, "2024-01-02");
  testing::Child child(command({"-f", "-a", "--rotated", "-o", "%id", log.string()}),
                       env({"ORVEX_LOOKOUT_POLL_MS=50"}));
  EXPECT_EQ(child.read_lines(2, milliseconds(5000)), "1\n2\n");
  std::this_thread::sleep_for(milliseconds(200));
  testing::append_file(log, event_line({.id = "3"}));
  EXPECT_EQ(child.read_lines(3, milliseconds(5000)), "1\n2\n3\n");
  child.signal(SIGINT);
  RunResult result = child.wait();
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.status, 0);
}

}  // namespace
}  // namespace orvex
