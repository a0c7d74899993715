// The executable on report archives and in follow mode: what it prints, its status, and the
// temporary folder (private while it runs, gone afterwards, whatever happened).
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "process.hpp"
#include "temp_path.hpp"

namespace orvex {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using testing::RunResult;

const std::string kExe = ORVEX_LOOKOUT_EXE;
const std::vector<std::string> kEnv = {"LC_ALL=C", "LANGUAGE", "NO_COLOR"};

std::string event_line(int id) {
  return "{\"id\": \"" + std::to_string(id) +
         "\", \"PRIORITY\": \"info\", \"ISODATE\": \"2024-01-15T10:00:00\", "
         "\"MSG\": {\"orvex-audit\": {\"type_en\": \"Audit\", \"name_en\": \"x\"}}}\n";
}

// Runs a shell command line for fixture building; fails the test when it fails.
void sh(const std::string& command) {
  RunResult result = testing::run({"sh", "-c", command});
  ASSERT_EQ(result.status, 0) << command << "\n" << result.err;
}

class ArchiveCliTest : public ::testing::Test {
 protected:
  void SetUp() override { before_ = testing::viewer_temp_dirs(); }
  void TearDown() override {
    for (const fs::path& dir : new_temp_dirs()) {
      ADD_FAILURE() << "temporary folder left behind: " << dir;
      fs::permissions(dir, fs::perms::owner_all, fs::perm_options::add);
      fs::remove_all(dir);
    }
  }
  std::vector<fs::path> new_temp_dirs() const {
    std::vector<fs::path> fresh;
    for (const fs::path& dir : testing::viewer_temp_dirs()) {
      if (!before_.count(dir)) fresh.push_back(dir);
    }
    return fresh;
  }
  // A report tree below the fixture folder: <top>/vantel/log/orvex/events with `events`
  // lines of events.
  std::string report_tree(const std::string& top, int events) {
    std::string text;
    for (int i = 1; i <= events; ++i) text += event_line(i);
    dir_.write("stage/" + top + "/vantel/log/orvex/events", text);
    dir_.write("stage/" + top + "/etc/hostname", "arm-1\n");
    return (dir_.path() / "stage").string();
  }
  RunResult lookout(const std::vector<std::string>& args) {
    std::vector<std::string> full = {kExe};
    full.insert(full.end(), args.begin(), args.end());
    return testing::run(full, kEnv);
  }
  testing::TempDir dir_;
  std::set<fs::path> before_;
};

TEST_F(ArchiveCliTest, ReadsTheLogInsideReportArchives) {
  std::string stage = report_tree("host-report", 3);
  std::string out = dir_.path().string();
  sh("tar -cJf " + out + "/sos.tar.xz -C " + stage + " host-report");
  sh("cd " + stage + " && tar -czf " + out + "/dot.tar.gz ./host-report");
  sh("tar -cf " + out + "/plain.tgz -C " + stage + " host-report");
  sh("tar -cjf " + out + "/sos.tar.bz2 -C " + stage + " host-report");
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

TEST_F(ArchiveCliTest, ArchiveFailuresAreReportedAndCleanedUp) {
  std::string stage = report_tree("host-report", 1);
  std::string out = dir_.path().string();
  dir_.write("stage/README", "read me\n");
  sh("cd " + stage + " && zip -qr " + out + "/sos.zip host-report");
  sh("gzip -c " + stage + "/host-report/vantel/log/orvex/events > " + out + "/events.gz");
  sh("tar -cf " + out + "/readme.tar -C " + stage + " README host-report");
  sh("mkdir -p " + stage + "/linked/vantel/log/orvex && ln -s /etc/passwd " + stage +
     "/linked/vantel/log/orvex/events && tar -cf " + out + "/link.tar -C " + stage + " linked");
  sh(": > " + out + "/empty.tar.gz");
  const std::string unpacking = "orvex-lookout: Unpacking failed: Unsupported format or corrupted file";
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
    EXPECT_TRUE(new_temp_dirs().empty());
  }
}

TEST_F(ArchiveCliTest, FollowShowsAppendedEventsAndEndsCleanlyOnInterrupt) {
  fs::path log = dir_.write("events", event_line(1));
  testing::Child child({kExe, "-f", "-a", "-o", "%id", log.string()}, kEnv);
  EXPECT_EQ(child.read_lines(1, milliseconds(5000)), "1\n");
  // Let the follower start at the end of the file before anything is appended.
  std::this_thread::sleep_for(milliseconds(300));
  testing::append_file(log, event_line(2) + event_line(3));
  auto appended = std::chrono::steady_clock::now();
  EXPECT_EQ(child.read_lines(3, milliseconds(5000)), "1\n2\n3\n");
  EXPECT_LT(std::chrono::steady_clock::now() - appended, milliseconds(1500));
  child.signal(SIGINT);
  RunResult result = child.wait();
  EXPECT_EQ(result.out, "1\n2\n3\n");
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.status, 0);
}

TEST_F(ArchiveCliTest, FollowOnAnArchiveKeepsAPrivateFolderUntilTheInterrupt) {
  std::string stage = report_tree("host-report", 2);
  std::string archive = (dir_.path() / "sos.tar.xz").string();
  sh("tar -cJf " + archive + " -C " + stage + " host-report");
  testing::Child child({kExe, "-f", "-a", "-o", "%id", archive}, kEnv);
  EXPECT_EQ(child.read_lines(2, milliseconds(5000)), "1\n2\n");
  std::vector<fs::path> dirs = new_temp_dirs();
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

// As root nothing fails to be removed; run the viewer as an unprivileged user and give its
// folder a root-owned entry, as an extraction by root of a root-owned file would.
TEST_F(ArchiveCliTest, AFailedRemovalIsReportedWithStatusOne) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to switch to an unprivileged user";
  // The build folder may lie where that user cannot go: run a copy of the executable and
  // its libraries from a folder it can read.
  testing::TempDir copy;
  fs::create_directories(copy.path() / "bin");
  fs::copy_file(kExe, copy.path() / "bin/orvex-lookout");
  fs::copy(fs::path(kExe).parent_path().parent_path() / "lib", copy.path() / "lib",
           fs::copy_options::copy_symlinks | fs::copy_options::recursive);
  fs::permissions(copy.path(), fs::perms::all, fs::perm_options::add);
  std::vector<std::string> env = kEnv;
  env.push_back("LD_LIBRARY_PATH=" + (copy.path() / "lib").string());
  std::string stage = report_tree("host-report", 1);
  std::string archive = (dir_.path() / "sos.tar.gz").string();
  sh("tar -czf " + archive + " -C " + stage + " host-report");
  fs::permissions(dir_.path(), fs::perms::all, fs::perm_options::add);
  fs::permissions(archive, fs::perms::all, fs::perm_options::add);
  testing::Child child({"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                        (copy.path() / "bin/orvex-lookout").string(), "-f", "-a", "-o", "%id",
                        archive},
                       env);
  ASSERT_EQ(child.read_lines(1, milliseconds(5000)), "1\n");
  std::vector<fs::path> dirs = new_temp_dirs();
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

TEST_F(ArchiveCliTest, AClosedPipeEndsTheRunQuietly) {
  std::string stage = report_tree("host-report", 50000);
  std::string archive = (dir_.path() / "big.tar.gz").string();
  sh("tar -czf " + archive + " -C " + stage + " host-report");
  RunResult piped = testing::run(
      {"bash", "-c", "set -o pipefail; '" + kExe + "' -a '" + archive + "' | head -n 1 >/dev/null"},
      kEnv);
  EXPECT_EQ(piped.err, "");
  EXPECT_EQ(piped.status, 141);
}

}  // namespace
}  // namespace orvex
