// How a run ends when it is interrupted or its reader goes away: quietly, with the status of
// the signal, and without a viewer folder left behind.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

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
