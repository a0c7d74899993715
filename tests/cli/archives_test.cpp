// Runs on report archives: the log found inside whatever the compression, the archives that
// are refused or fail (with one message, status 1 and no viewer folder left), and the
// folder's removal when it fails.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "lookout_fixture.hpp"

namespace orvex {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using testing::RunResult;
using testing::sh;

class CliArchivesTest : public LookoutTest {};

TEST_F(CliArchivesTest, ReadsTheLogInsideReportArchives) {
  std::string staged = report_tree("host-report", 3);
  std::string out = dir_.path().string();
  sh("tar -cJf " + out + "/sos.tar.xz -C " + staged + " host-report");
  sh("cd " + staged + " && tar -czf " + out + "/dot.tar.gz ./host-report");
  sh("tar -cf " + out + "/plain.tgz -C " + staged + " host-report");
  sh("tar -cjf " + out + "/sos.tar.bz2 -C " + staged + " host-report");
  for (const char* name : {"sos.tar.xz", "dot.tar.gz", "plain.tgz", "sos.tar.bz2"}) {
    SCOPED_TRACE(name);
    RunResult result = lookout({"-a", "-o", "%id", out + "/" + name});
    EXPECT_EQ(result.out, "1\n2\n3\n");
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.status, 0);
  }
  // The suffix test is case-sensitive: dump.TAR is read as an event file, nothing unpacked;
  // the first event shares its line with the tar header and is no JSON.
  fs::copy_file(out + "/plain.tgz", out + "/dump.TAR");
  RunResult upper = lookout({"-a", "-o", "%id", out + "/dump.TAR"});
  EXPECT_EQ(upper.out, "2\n3\n");
  EXPECT_EQ(upper.status, 0);
}

TEST_F(CliArchivesTest, ArchiveFailuresAreReportedAndCleanedUp) {
  std::string staged = report_tree("host-report", 1);
  std::string out = dir_.path().string();
  dir_.write("stage/README", "read me\n");
  sh("cd " + staged + " && zip -qr " + out + "/sos.zip host-report");
  sh("gzip -c " + staged + "/host-report/vantel/log/orvex/events > " + out + "/events.gz");
  sh("tar -cf " + out + "/readme.tar -C " + staged + " README host-report");
  sh("mkdir -p " + staged + "/linked/vantel/log/orvex && ln -s /etc/passwd " + staged +
     "/linked/vantel/log/orvex/events && tar -cf " + out + "/link.tar -C " + staged + " linked");
  sh(": > " + out + "/empty.tar.gz");
  const std::string unpacking =
      "orvex-lookout: Unpacking failed: Unsupported format or corrupted file";
  struct Row {
    std::string name, err_start;
  };
  const std::vector<Row> rows = {
      {"sos.zip", unpacking},
      {"events.gz", unpacking},
      {"empty.tar.gz", unpacking},
      {"link.tar", unpacking},
      {"readme.tar",
       "orvex-lookout: Archive member not found: no member 'README/vantel/log/orvex/events'"},
      {"missing.tar.xz", "orvex-lookout: No such file: " + out + "/missing.tar.xz"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    RunResult result = lookout({"-a", out + "/" + row.name});
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err.rfind(row.err_start, 0), 0u) << result.err;
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
    EXPECT_EQ(result.status, 1);
    EXPECT_TRUE(new_viewer_folders().empty());
  }
}

// As root nothing fails to be removed; run the viewer as an unprivileged user and give its
// folder a root-owned entry, as an extraction by root of a root-owned file would.
TEST_F(CliArchivesTest, AFailedRemovalIsReportedWithStatusOne) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to switch to an unprivileged user";
  std::string staged = report_tree("host-report", 1);
  std::string archive = (dir_.path() / "sos.tar.gz").string();
  sh("tar -czf " + archive + " -C " + staged + " host-report");
  fs::permissions(dir_.path(), fs::perms::all, fs::perm_options::add);
  fs::permissions(archive, fs::perms::all, fs::perm_options::add);
  testing::Child child(command_as_nobody({"-f", "-a", "-o", "%id", archive}), env_as_nobody());
  ASSERT_EQ(child.read_lines(1, milliseconds(5000)), "1\n");
  std::vector<fs::path> dirs = new_viewer_folders();
  ASSERT_EQ(dirs.size(), 1u);
  fs::path owned_by_root = dirs[0] / "host-report/vantel/root-only";
  fs::create_directory(owned_by_root);
  sh("touch " + owned_by_root.string() + "/file");
  child.signal(SIGINT);
  RunResult result = child.wait();
  EXPECT_EQ(result.out, "1\nError: The temp folder '" + dirs[0].string() +
                            "' was not removed. Permission denied.\n");
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.status, 1);
  fs::remove_all(dirs[0]);
}

}  // namespace
}  // namespace orvex
