// Follow mode: appended events shown as they come, through the same filters as the first pass
// and only once whole, the archive's folder kept private until the interrupt ends the run with
// status 0.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>

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

class CliFollowTest : public LookoutTest {};

TEST_F(CliFollowTest, FollowShowsAppendedEventsAndEndsCleanlyOnInterrupt) {
  fs::path log = dir_.write("events", event_line({.id = "1", .name = "x"}));
  testing::Child child(command({"-f", "-a", "-o", "%id", log.string()}), env());
  EXPECT_EQ(child.read_lines(1, milliseconds(5000)), "1\n");
  // Let the follower start at the end of the file before anything is appended.
  std::this_thread::sleep_for(milliseconds(300));
  testing::append_file(log,
                       event_line({.id = "2", .name = "x"}) + event_line({.id = "3", .name = "x"}));
  auto appended = std::chrono::steady_clock::now();
  EXPECT_EQ(child.read_lines(3, milliseconds(5000)), "1\n2\n3\n");
  EXPECT_LT(std::chrono::steady_clock::now() - appended, milliseconds(1500));
  child.signal(SIGINT);
  RunResult result = child.wait();
  EXPECT_EQ(result.out, "1\n2\n3\n");
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.status, 0);
}

TEST_F(CliFollowTest, FollowOnAnArchiveKeepsAPrivateFolderUntilTheInterrupt) {
  std::string staged = report_tree("host-report", 2);
  std::string archive = (dir_.path() / "sos.tar.xz").string();
  sh("tar -cJf " + archive + " -C " + staged + " host-report");
  testing::Child child(command({"-f", "-a", "-o", "%id", archive}), env());
  EXPECT_EQ(child.read_lines(2, milliseconds(5000)), "1\n2\n");
  std::vector<fs::path> dirs = new_viewer_folders();
  ASSERT_EQ(dirs.size(), 1u);
  struct stat st {};
  ASSERT_EQ(stat(dirs[0].c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0700u);
  EXPECT_TRUE(fs::is_regular_file(dirs[0] / "host-report/vantel/log/orvex/events"));
  child.signal(SIGINT);
  RunResult result = child.wait();
  EXPECT_EQ(result.out, "1\n2\n");
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.status, 0);
  EXPECT_FALSE(fs::exists(dirs[0]));
}

// The follower gets the same filters as the first pass, and an event that the logger writes
// in two pieces is shown once, whole.
TEST_F(CliFollowTest, FollowFiltersAppendedEventsAndWaitsForTheWholeLine) {
  const std::string now = testing::today();
  fs::path log = dir_.write(
      "events", event_line({.id = "old", .priority = "crit"}) +
                    event_line({.id = "a", .isodate = now + "T10:00:00"}) +
                    event_line({.id = "b", .priority = "crit", .isodate = now + "T10:00:00"}));
  testing::Child child(command({"-f", "-p", "crit", "-o", "%id", log.string()}), env());
  // The first pass reaches the pipe only with the flush before the follower's first wait, so
  // the follower is at the end of the file by then.
  ASSERT_EQ(child.read_lines(1, milliseconds(5000)), "b\n");
  std::string split = event_line({.id = "c", .priority = "crit", .isodate = now + "T10:00:00"});
  testing::append_file(
      log, event_line({.id = "skipped", .isodate = now + "T10:00:00"}) + split.substr(0, 30));
  // Past one poll, so that the follower has seen the unfinished line.
  std::this_thread::sleep_for(milliseconds(1100));
  testing::append_file(log, split.substr(30));
  EXPECT_EQ(child.read_lines(2, milliseconds(3000)), "b\nc\n");
  child.signal(SIGINT);
  RunResult result = child.wait();
  EXPECT_EQ(result.out, "b\nc\n");
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.status, 0);
}

}  // namespace
}  // namespace orvex
