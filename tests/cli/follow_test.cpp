// Follow mode: appended events shown as they come, through the same filters as the first pass
// and only once whole, the archive's folder kept private until the interrupt ends the run with
// status 0; following the name through rotations and a truncation.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <filesystem>
#include <random>
#include <sstream>
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

// The follower goes on where the first pass stopped reading: a last line that the first pass
// found without its line end is shown once, when it is finished, whatever chose the events.
TEST_F(CliFollowTest, FollowShowsALastLineFinishedLaterOnce) {
  const std::string now = testing::today();
  const std::vector<std::vector<std::string>> selections = {{"-a"}, {"-n", "5"}, {"-t"}};
  for (const std::vector<std::string>& selection : selections) {
    SCOPED_TRACE(selection[0]);
    std::string second = event_line({.id = "2", .isodate = now + "T00:00:01"});
    second.pop_back();  // whole but for its line end
    fs::path log =
        dir_.write("events", event_line({.id = "1", .isodate = now + "T00:00:01"}) + second);
    std::vector<std::string> args = {"-f", "-o", "%id", log.string()};
    args.insert(args.begin(), selection.begin(), selection.end());
    testing::Child child(command(args), env({"ORVEX_LOOKOUT_POLL_MS=20"}));
    ASSERT_EQ(child.read_lines(1, milliseconds(5000)), "1\n");
    testing::append_file(log, "\n");
    testing::append_file(log, event_line({.id = "3", .isodate = now + "T00:00:01"}));
    EXPECT_EQ(child.read_lines(3, milliseconds(5000)), "1\n2\n3\n");
    child.signal(SIGINT);
    RunResult result = child.wait();
    EXPECT_EQ(result.out, "1\n2\n3\n");
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.status, 0);
  }
}

// A report archive is unpacked once; there is no name to follow.
TEST_F(CliFollowTest, FollowNameRefusesAnArchive) {
  for (const char* option : {"-F", "--follow-name"}) {
    SCOPED_TRACE(option);
    RunResult result = lookout({option, (dir_.path() / "report.tar.xz").string()});
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err,
              "orvex-lookout: --follow-name cannot follow a report archive: its log is unpacked "
              "once; use --follow\n");
    EXPECT_EQ(result.status, 2);
  }
}

// Writes a stream of events the way a logger does: in pieces of random size, so that a line
// is split across writes and one write holds several lines, through one descriptor opened for
// appending, with short pauses so that the follower also finds unfinished lines.
class PieceWriter {
 public:
  PieceWriter(fs::path path, int first, int last, unsigned seed)
      : path_(std::move(path)), rng_(seed) {
    for (int id = first; id <= last; ++id) {
      starts_.push_back(stream_.size());
      stream_ += event_line({.id = std::to_string(id), .name = "x"});
    }
    open_file();
  }
  ~PieceWriter() { close(fd_); }

  // Writes on up to the start of the line of the `index`-th event of the stream (0 first),
  // the last piece possibly ending inside that line; `index` past the end writes everything.
  void write_to(std::size_t index) {
    std::size_t until = index < starts_.size() ? starts_[index] : stream_.size();
    while (written_ < until) {
      put(std::min<std::size_t>(1 + rng_() % 300, stream_.size() - written_));
      if (rng_() % 4 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  // Finishes the line the last piece ended in, as a logger does before it moves on.
  void finish_line() {
    if (written_ > 0 && stream_[written_ - 1] != '\n') {
      put(stream_.find('\n', written_) + 1 - written_);
    }
  }
  // mv FILE FILE.<n>, and a new FILE.
  void rotate(int n) {
    fs::rename(path_, path_.string() + "." + std::to_string(n));
    close(fd_);
    open_file();
  }
  void truncate() { ASSERT_EQ(ftruncate(fd_, 0), 0); }
  // Events whose line is complete in the files.
  std::size_t lines_written() const {
    std::size_t lines = 0;
    while (lines < starts_.size() && starts_[lines] < written_) ++lines;
    return stream_[written_ - 1] == '\n' ? lines : lines - 1;
  }

 private:
  void open_file() {
    fd_ = open(path_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    ASSERT_GE(fd_, 0);
  }
  void put(std::size_t size) {
    ASSERT_EQ(write(fd_, stream_.data() + written_, size), static_cast<ssize_t>(size));
    written_ += size;
  }

  fs::path path_;
  std::mt19937 rng_;
  std::string stream_;
  std::vector<std::size_t> starts_;
  std::size_t written_ = 0;
  int fd_ = -1;
};

// Every event shown exactly once and in order, or what went wrong, briefly.
std::string check_ids(const std::string& out, int last) {
  std::istringstream lines(out);
  std::vector<int> seen(static_cast<std::size_t>(last) + 1, 0);
  std::string line, problems;
  int expected = 0;
  while (std::getline(lines, line)) {
    int id = std::stoi(line);
    if (id < 0 || id > last) return "unexpected id " + line;
    if (++seen[static_cast<std::size_t>(id)] > 1) problems += " shown twice: " + line;
    if (id != expected && problems.empty()) problems += " out of order at " + line;
    expected = id + 1;
  }
  for (int id = 0; id <= last; ++id) {
    if (seen[static_cast<std::size_t>(id)] == 0) (problems += " lost: ") += std::to_string(id);
  }
  return problems;
}

// A logger writes while the viewer follows the name: two rotations (mv and a new file) with a
// truncation in between. The follower reads each old file to its end before it goes on with
// the new one, and the truncated file from its start: every event is shown once, in order,
// and each switch is announced on standard error.
TEST_F(CliFollowTest, FollowNameShowsEveryEventOnceThroughRotationsAndATruncation) {
  constexpr int kLast = 400;
  fs::path log = dir_.write("events", event_line({.id = "0", .name = "x"}));
  testing::Child child(command({"-F", "-a", "-o", "%id", log.string()}),
                       env({"ORVEX_LOOKOUT_POLL_MS=5"}));
  ASSERT_EQ(child.read_lines(1, milliseconds(5000)), "0\n");
  PieceWriter writer(log, 1, kLast, 20261210);
  writer.write_to(100);
  writer.finish_line();
  writer.rotate(1);
  writer.write_to(200);
  writer.finish_line();
  // A truncation loses what was not read before it: let the follower catch up first.
  auto lines_in = [](const std::string& text) {
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
  };
  const std::size_t before_truncation = writer.lines_written() + 1;
  ASSERT_EQ(lines_in(child.read_lines(before_truncation, milliseconds(5000))), before_truncation);
  writer.truncate();
  // Less than was there, so that the follower sees the file shrink, and then caught up.
  writer.write_to(writer.lines_written() + 10);
  writer.finish_line();
  child.read_lines(writer.lines_written() + 1, milliseconds(5000));
  writer.write_to(300);
  writer.finish_line();
  writer.rotate(2);
  writer.write_to(kLast + 1);
  child.read_lines(kLast + 1, milliseconds(10000));
  child.signal(SIGINT);
  RunResult result = child.wait();
  EXPECT_EQ(check_ids(result.out, kLast), "");
  auto notice = [&](const char* what) { return "orvex-lookout: '" + log.native() + "' " + what; };
  EXPECT_EQ(result.err, notice("was replaced; following the new file\n") +
                            notice("was truncated; reading it from the start\n") +
                            notice("was replaced; following the new file\n"));
  EXPECT_EQ(result.status, 0);
}

}  // namespace
}  // namespace orvex
