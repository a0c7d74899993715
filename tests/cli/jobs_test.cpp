// A whole listing on worker threads (-j 2, the default) writes what one thread (-j 1) writes:
// the same bytes on standard output and standard error, interleaved the same way, the same
// status; a closed pipe and an interrupt end it as they end one thread.
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
using testing::RunResult;
using testing::sh;

class CliJobsTest : public LookoutTest {
 protected:
  // Standard output and standard error written to one file, as a terminal shows them.
  std::string interleaved(const std::vector<std::string>& args) {
    std::string script = "\"$0\" \"$@\" >'" + (dir_.path() / "both").string() + "' 2>&1";
    std::vector<std::string> command{"sh", "-c", script, exe()};
    command.insert(command.end(), args.begin(), args.end());
    testing::run(command, env());
    return testing::read_file(dir_.path() / "both");
  }
};

TEST_F(CliJobsTest, WorkersWriteWhatOneThreadWrites) {
  // About 1.5 MB: several batches and ranges, damage in each of them, one line longer than a
  // batch.
  fs::path log = dir_.write("events", testing::mixed_log(6000));
  std::string staged = stage("host-report", testing::mixed_log(3000));
  std::string archive = (dir_.path() / "report.tar.gz").string();
  sh("tar -czf " + archive + " -C " + staged + " host-report");

  const std::vector<std::vector<std::string>> rows = {
      {"-a"},
      {"-a", "-m"},
      {"-a", "-r"},
      {"-a", "--json"},
      {"-a", "--iso-date"},
      {"-a", "--color=always"},
      {"-a", "-o", "%id|%PRIORITY|%source|%name_en"},
      {"-a", "-o", "%INPUT %id"},
      {"-a", "-g", "ent 1\\d"},
      {"-a", "--json", "-g", "mount"},
      {"-a", "-p", "crit,err", "-s", "audit"},
      {"-a", "--archive"},
      // An overview's workers read parts of the file themselves.
      {"-a", "--stats"},
      {"-a", "--stats", "--json", "--archive"},
  };
  for (std::vector<std::string> args : rows) {
    std::string input = log.string();
    if (args.back() == "--archive") {
      args.pop_back();
      input = archive;
    }
    std::string shown;
    for (const std::string& arg : args) shown += arg + " ";
    SCOPED_TRACE(shown);
    std::vector<std::string> one = args, two = args;
    one.insert(one.end(), {"-j", "1", input});
    two.insert(two.end(), {"-j", "2", input});
    RunResult single = lookout(one);
    RunResult workers = lookout(two);
    ASSERT_EQ(single.status, 0) << single.err;
    EXPECT_FALSE(single.out.empty());
    EXPECT_NE(single.err.find("damaged lines skipped"), std::string::npos) << single.err;
    EXPECT_EQ(workers.status, single.status);
    EXPECT_TRUE(workers.out == single.out) << "standard output differs";
    EXPECT_EQ(workers.err, single.err);
    EXPECT_TRUE(interleaved(two) == interleaved(one)) << "the interleaving differs";
  }
}

// Damage far into the log, after the output has been flushed many times and in batches the
// workers made: each notice lands between the same events as with one thread.
TEST_F(CliJobsTest, NoticesLandBetweenTheSameEvents) {
  std::string text;
  for (int i = 1; i <= 8000; ++i) {
    if (i == 3000 || i == 6000 || i == 6001 || i == 7999) {
      text += "-- logger restarted --\n";
    } else if (i == 4500) {
      text += "{\"id\": \"no message\", \"PRIORITY\": \"info\"}\n";
    } else {
      text += testing::event_line({.id = std::to_string(i), .russian = i % 3 == 0});
    }
  }
  fs::path log = dir_.write("events", text);
  for (const char* layout : {"-r", "-m", "--json"}) {
    SCOPED_TRACE(layout);
    std::string single = interleaved({"-a", layout, "-j", "1", log.string()});
    EXPECT_NE(single.find("line 7999: not JSON"), std::string::npos);
    EXPECT_TRUE(interleaved({"-a", layout, "-j", "2", log.string()}) == single)
        << "the interleaving differs";
  }
}

TEST_F(CliJobsTest, ManyJobsAndBadCounts) {
  fs::path log = dir_.write("events", testing::mixed_log(300));
  RunResult single = lookout({"-a", "-j", "1", log.string()});
  RunResult many = lookout({"-a", "--jobs", "64", log.string()});
  EXPECT_EQ(many.status, 0);
  EXPECT_TRUE(many.out == single.out);
  EXPECT_EQ(many.err, single.err);
  for (const char* count : {"0", "-1", "x"}) {
    SCOPED_TRACE(count);
    RunResult bad = lookout({"-a", "-j", count, log.string()});
    EXPECT_EQ(bad.status, 2);
    EXPECT_EQ(bad.out, "");
    EXPECT_NE(bad.err.find("--jobs"), std::string::npos) << bad.err;
  }
}

TEST_F(CliJobsTest, AClosedPipeEndsTheWorkersQuietly) {
  fs::path log = dir_.write("events", testing::mixed_log(20000));
  RunResult piped = testing::run({"bash", "-c",
                                  "set -o pipefail; '" + exe() + "' -a -j 2 -o %id '" +
                                      log.string() + "' | head -n 1 >/dev/null"},
                                 env());
  EXPECT_EQ(piped.status, 141);
  // The damage notices of what was read before the pipe closed, no error.
  EXPECT_EQ(piped.err.find("rror"), std::string::npos) << piped.err;
}

// Ctrl-C while the writer waits on a full pipe and the workers have batches ready: the run
// ends promptly with the status of SIGINT, its threads with it, the unpacked copy removed.
TEST_F(CliJobsTest, AnInterruptEndsAListingOnWorkers) {
  std::string staged = stage("host-report", testing::mixed_log(20000));
  std::string archive = (dir_.path() / "big.tar.gz").string();
  sh("tar -czf " + archive + " -C " + staged + " host-report");
  testing::Child child(command({"-a", "-j", "2", "-m", archive}), env());
  ASSERT_FALSE(child.read_lines(10, milliseconds(10000)).empty());
  // Nobody reads further: the pipe fills and the writer blocks.
  std::this_thread::sleep_for(milliseconds(300));
  child.signal(SIGINT);
  RunResult result = child.wait(milliseconds(5000));
  EXPECT_EQ(result.status, 130) << result.err;
  expect_no_viewer_folder();
}

}  // namespace
}  // namespace orvex
