// How a run ends when it is interrupted or its reader goes away: quietly, with the status of
// the signal, and without a viewer folder left behind.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
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

class CliSignalsTest : public LookoutTest {};

TEST_F(CliSignalsTest, AClosedPipeEndsTheRunQuietly) {
  std::string staged = report_tree("host-report", 50000);
  std::string archive = (dir_.path() / "big.tar.gz").string();
  sh("tar -czf " + archive + " -C " + staged + " host-report");
  RunResult piped =
      testing::run({"bash", "-c",
                    "set -o pipefail; '" + exe() + "' -a '" + archive + "' | head -n 1 >/dev/null"},
                   env());
  EXPECT_EQ(piped.err, "");
  EXPECT_EQ(piped.status, 141);
}

// A reader that goes away ends a follow at its next write: quietly, with the status of a
// closed pipe, and not only when the first pass was long.
TEST_F(CliSignalsTest, FollowEndsQuietlyWhenTheReaderGoesAway) {
  fs::path log = dir_.write("events", event_line({.id = "1"}) + event_line({.id = "2"}));
  testing::Child child(
      {"bash", "-c",
       "set -o pipefail; '" + exe() + "' -f -a -o %id '" + log.string() + "' | head -n 1"},
      env());
  ASSERT_EQ(child.read_lines(1, milliseconds(5000)), "1\n");
  // head is gone; the next event written meets the closed pipe.
  testing::append_file(log, event_line({.id = "3"}));
  RunResult result = child.wait(milliseconds(5000));
  EXPECT_EQ(result.out, "1\n");
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.status, 141);
}

// The reader going away ends a follow at once, also when no event comes to be written: the
// follower watches the output while it waits.
TEST_F(CliSignalsTest, FollowEndsAtOnceWhenTheReaderGoesAwayWithoutANewEvent) {
  fs::path log = dir_.write("events", event_line({.id = "1"}) + event_line({.id = "2"}));
  testing::Child child(
      {"bash", "-c",
       "set -o pipefail; '" + exe() + "' -f -a -o %id '" + log.string() + "' | head -n 1"},
      env());
  ASSERT_EQ(child.read_lines(1, milliseconds(5000)), "1\n");
  // head has its line and is gone, or about to be; nothing is appended.
  auto head_done = std::chrono::steady_clock::now();
  RunResult result = child.wait(milliseconds(5000));
  EXPECT_LT(std::chrono::steady_clock::now() - head_done, milliseconds(1500));
  EXPECT_EQ(result.out, "1\n");
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.status, 141);
}

// Restores the disposition of a signal on the way out.
class SignalDisposition {
 public:
  SignalDisposition(int signal_number, void (*handler)(int)) : signal_(signal_number) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    sigaction(signal_, &action, &saved_);
  }
  ~SignalDisposition() { sigaction(signal_, &saved_, nullptr); }

 private:
  int signal_;
  struct sigaction saved_ {};
};

// Every termination signal ends the run quietly after the clean-up, with 128 + its number
// (SIGINT in follow mode: 0, the usual end of a follow), whether it comes while a large
// archive is unpacked (stopped within a fraction of a second) or while its log is followed.
TEST_F(CliSignalsTest, EveryTerminationSignalEndsTheRunAndCleansUp) {
  // The runs inherit this test's dispositions; a SIGHUP ignored here would stay ignored.
  SignalDisposition hangup(SIGHUP, SIG_DFL);
  // A 1 GiB log of zeros that takes seconds to unpack: a tar header, then holes in the file.
  fs::path big_stage = dir_.path() / "big-stage";
  fs::resize_file(dir_.write("big-stage/host-report/vantel/log/orvex/events", ""), 1 << 30);
  const std::string big = (dir_.path() / "big.tar").string();
  // Five headers of 512 bytes, the log's last: the rest of the archive is zeros.
  sh("tar -cf - --no-recursion -C '" + big_stage.string() +
     "' host-report host-report/vantel host-report/vantel/log host-report/vantel/log/orvex "
     "host-report/vantel/log/orvex/events | head -c 2560 >'" +
     big + "'");
  fs::resize_file(big, 2560 + (std::uintmax_t{1} << 30) + 1024);
  std::string staged = report_tree("host-report", 2);
  const std::string small = (dir_.path() / "small.tar.gz").string();
  sh("tar -czf " + small + " -C " + staged + " host-report");

  struct Row {
    int signal_number;
    int status_unpacking, status_following;
  };
  const Row rows[] = {
      {SIGINT, 130, 0},
      {SIGTERM, 143, 143},
      {SIGHUP, 129, 129},
      {SIGQUIT, 131, 131},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(strsignal(row.signal_number));
    {
      SCOPED_TRACE("unpacking");
      testing::Child child(command({"-n", "1", big}), env());
      // Signal once the copy has begun to grow.
      auto deadline = std::chrono::steady_clock::now() + milliseconds(5000);
      bool growing = false;
      while (!growing && std::chrono::steady_clock::now() < deadline) {
        for (const fs::path& folder : new_viewer_folders()) {
          std::error_code ignored;
          growing = fs::file_size(folder / "host-report/vantel/log/orvex/events", ignored) > 0 &&
                    !ignored;
        }
        if (!growing) std::this_thread::sleep_for(milliseconds(2));
      }
      EXPECT_TRUE(growing);
      auto sent = std::chrono::steady_clock::now();
      child.signal(row.signal_number);
      RunResult result = child.wait(milliseconds(5000));
      EXPECT_LT(std::chrono::steady_clock::now() - sent, milliseconds(800));
      EXPECT_EQ(result.err, "");
      EXPECT_EQ(result.status, row.status_unpacking);
      expect_no_viewer_folder();
    }
    {
      SCOPED_TRACE("following");
      testing::Child child(command({"-f", "-a", "-o", "%id", small}), env());
      EXPECT_EQ(child.read_lines(2, milliseconds(5000)), "1\n2\n");
      child.signal(row.signal_number);
      RunResult result = child.wait(milliseconds(5000));
      EXPECT_EQ(result.out, "1\n2\n");
      EXPECT_EQ(result.err, "");
      EXPECT_EQ(result.status, row.status_following);
      expect_no_viewer_folder();
    }
  }
}

// nohup asks for a run that outlives its terminal: its SIGHUP stays ignored.
TEST_F(CliSignalsTest, HangupIsIgnoredUnderNohup) {
  SignalDisposition hangup(SIGHUP, SIG_DFL);
  fs::path log = dir_.write("events", event_line({.id = "1"}));
  std::vector<std::string> args = {"nohup"};
  for (const std::string& arg : command({"-f", "-a", "-o", "%id", log.string()})) {
    args.push_back(arg);
  }
  testing::Child child(args, env({"ORVEX_LOOKOUT_POLL_MS=20"}));
  ASSERT_EQ(child.read_lines(1, milliseconds(5000)), "1\n");
  child.signal(SIGHUP);
  testing::append_file(log, event_line({.id = "2"}));
  EXPECT_EQ(child.read_lines(2, milliseconds(5000)), "1\n2\n");
  child.signal(SIGINT);
  RunResult result = child.wait();
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.status, 0);
}

// An interrupt before the first pass has finished ends the run with status 130 and no
// message, the viewer's folder removed. A FIFO as input holds the viewer at a known point:
// waiting to open it, or waiting for more of it after a first part.
TEST_F(CliSignalsTest, InterruptBeforeTheFirstPassEndsIsQuiet) {
  struct Row {
    std::string name;
    bool partly_written;
  };
  const std::vector<Row> rows = {
      {"events", false},
      {"events", true},
      {"report.tar", false},
      {"report.tar", true},
  };
  std::string staged = stage("host-report", event_line({.id = "1"}));
  sh("tar -cf " + dir_.path().string() + "/real.tar -C " + staged + " host-report");
  const std::string archive = testing::read_file(dir_.path() / "real.tar");
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name + (row.partly_written ? ", partly written" : ", not opened"));
    fs::path fifo = dir_.path() / ("fifo-" + row.name);
    fs::remove(fifo);
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    testing::Child child(command({"-a", "-o", "%id", fifo.string()}), env());
    int writer = -1;
    if (row.partly_written) {
      // Read-write: opens at once and keeps the FIFO from reaching its end.
      writer = open(fifo.c_str(), O_RDWR | O_CLOEXEC);
      ASSERT_GE(writer, 0);
      std::string part =
          row.name == "events" ? event_line({.id = "1"}) + "{\"id\": " : archive.substr(0, 1024);
      ASSERT_EQ(write(writer, part.data(), part.size()), static_cast<ssize_t>(part.size()));
    }
    std::this_thread::sleep_for(milliseconds(200));  // let it block
    child.signal(SIGINT);
    RunResult result = child.wait(milliseconds(2000));
    if (writer >= 0) close(writer);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.status, 130);
    expect_no_viewer_folder();
  }
}

}  // namespace
}  // namespace orvex
