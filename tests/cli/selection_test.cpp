// Which events a run shows: the selection options, the first of them that is given deciding,
// on a log dated relative to today.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "lookout_fixture.hpp"

namespace orvex {
namespace {

namespace fs = std::filesystem;
using testing::event_line;
using testing::local_date;
using testing::RunResult;

class CliSelectionTest : public LookoutTest {
 protected:
  // A log of events dated relative to today, one id each, in date order.
  fs::path dated_log() {
    std::string text =
        event_line({.id = "d-5", .isodate = local_date(-5) + "T12:00:00", .russian = true}) +
        event_line({.id = "d-3", .isodate = local_date(-3) + "T00:00:00", .russian = true}) +
        event_line({.id = "d-1", .isodate = local_date(-1) + "T23:59:59.900", .russian = true}) +
        event_line({.id = "d0", .isodate = local_date(0) + "T00:00:00", .russian = true}) +
        event_line({.id = "d+1", .isodate = local_date(1) + "T08:00:00", .russian = true});
    return dir_.write("events", text);
  }
};

TEST_F(CliSelectionTest, SelectionFollowsTheFirstRuleThatHolds) {
  fs::path log = dated_log();
  struct Row {
    std::vector<std::string> args;
    std::string ids;
  };
  const std::vector<Row> rows = {
      {{}, "d0 d+1"},
      {{"-d", "3", "-a"}, "d-3 d-1 d0 d+1"},
      {{"-d", "0", "-a"}, "d-5 d-3 d-1 d0 d+1"},
      {{"-d", "-1"}, "d+1"},
      {{"-t", "-a"}, "d0 d+1"},
      {{"-a"}, "d-5 d-3 d-1 d0 d+1"},
      {{"-n", "2"}, "d0 d+1"},
      {{"-n", "0"}, "d0 d+1"},
      {{"-a", "-n", "1"}, "d-5 d-3 d-1 d0 d+1"},
      {{"-U", local_date(-1)}, "d-5 d-3 d-1"},
      {{"-S", local_date(-3), "-U", local_date(-1), "-a"}, "d-3 d-1"},
      {{"-S", local_date(-3) + " 00:00:01"}, "d-1 d0 d+1"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(::testing::PrintToString(row.args));
    std::vector<std::string> args = row.args;
    for (const char* extra : {"-o", "%id", log.c_str()}) args.push_back(extra);
    RunResult result = lookout(args);
    std::string ids;
    for (char c : result.out) ids += c == '\n' ? ' ' : c;
    if (!ids.empty()) ids.pop_back();
    EXPECT_EQ(ids, row.ids);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.status, 0);
  }
}

}  // namespace
}  // namespace orvex
