// How a run ends when it is interrupted or its reader goes away: quietly, with the status of
// the signal, and without a viewer folder left behind.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "lookout_fixture.hpp"

namespace orvex {
namespace {

namespace fs = std::filesystem;
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

}  // namespace
}  // namespace orvex
