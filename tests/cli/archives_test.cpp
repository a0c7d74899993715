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
using testing::event_line;
using testing::RunResult;
using testing::sh;

class CliArchivesTest : public LookoutTest {
 protected:
  // Lets the unprivileged user read the fixtures.
  void open_to_all() { sh("chmod -R a+rX '" + dir_.path().string() + "'"); }
};

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

// Nothing of an archive may land outside the viewer's folder: names that climb out or are
// absolute, and a log that is a link, are refused before anything is written.
TEST_F(CliArchivesTest, ArchiveMembersThatLeadOutsideAreRefused) {
  std::string staged = stage("host-report", event_line({.id = "1"}));
  std::string out = dir_.path().string();
  // Unique per run, so a name that did escape is seen and not confused with another's.
  const std::string escape = "orvex-e2e-escape-" + std::to_string(getpid());
  const fs::path escaped = fs::path("/tmp") / escape;  // where following the names would write
  struct Row {
    std::string archive, top;  // the stored name of the first member
  };
  const std::vector<Row> rows = {
      {"climbs.tar", "../" + escape},
      {"inner.tar", "host-report/../../" + escape},
      {"absolute.tar", escaped.string()},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.archive);
    // -P keeps the names as given; --transform writes them.
    sh("tar -cPf " + out + "/" + row.archive + " -C " + staged + " --transform 's,^host-report," +
       row.top + ",' host-report");
    RunResult result = lookout({"-a", out + "/" + row.archive});
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err,
              "orvex-lookout: Unpacking failed: Unsupported format or corrupted file (refusing to "
              "extract '" +
                  row.top + "/vantel/log/orvex/events' from archive '" + out + "/" + row.archive +
                  "': the name leads outside the extraction directory)\n");
    EXPECT_EQ(result.status, 1);
    EXPECT_FALSE(fs::exists(escaped));
  }
  // tar stores a file added twice as a hard link to its first copy; the last member wins and
  // it is no regular file.
  sh("tar -cf " + out + "/twice.tar -C " + staged +
     " host-report host-report/vantel/log/orvex/events");
  RunResult twice = lookout({"-a", out + "/twice.tar"});
  EXPECT_EQ(twice.err,
            "orvex-lookout: Unpacking failed: Unsupported format or corrupted file "
            "(refusing to extract 'host-report/vantel/log/orvex/events' from archive '" +
                out + "/twice.tar': it is a hard link, not a regular file)\n");
  EXPECT_EQ(twice.status, 1);
}

// The copy keeps the log's stored mode, and the folders of an archive can be read-only: an
// unprivileged user still reads what the mode allows and never leaves a folder behind.
TEST_F(CliArchivesTest, StoredModesAsAnUnprivilegedUser) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to switch to an unprivileged user";
  std::string staged = stage("host-report", event_line({.id = "1"}) + event_line({.id = "2"}));
  std::string out = dir_.path().string();
  fs::path events = staged + "/host-report/vantel/log/orvex/events";
  fs::path orvex_dir = events.parent_path();
  // Read-only folder and file, as a report of root's files would store them.
  fs::permissions(events, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  fs::permissions(orvex_dir, fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                                 fs::perms::group_exec | fs::perms::others_read |
                                 fs::perms::others_exec);
  sh("tar -czf " + out + "/readonly.tar.gz -C " + staged + " host-report");
  fs::permissions(events, fs::perms::none);
  sh("tar -czf " + out + "/unreadable.tar.gz -C " + staged + " host-report");
  fs::permissions(orvex_dir, fs::perms::owner_all);
  fs::permissions(events, fs::perms::owner_read | fs::perms::owner_write);
  fs::path log = dir_.write("events", event_line({.id = "3"}));
  fs::copy_file(out + "/readonly.tar.gz", out + "/locked.tar.gz");
  open_to_all();
  // Inputs the user may not read at all.
  fs::permissions(out + "/locked.tar.gz", fs::perms::owner_read);
  fs::path locked_log = dir_.write("locked-events", event_line({.id = "4"}));
  fs::permissions(locked_log, fs::perms::owner_read);

  RunResult readonly = lookout_as_nobody({"-a", "-o", "%id", out + "/readonly.tar.gz"});
  EXPECT_EQ(readonly.out, "1\n2\n");
  EXPECT_EQ(readonly.err, "");
  EXPECT_EQ(readonly.status, 0);

  // The copy of a log stored with no permission bits is the user's, and the viewer that made
  // it can still read it.
  RunResult unreadable = lookout_as_nobody({"-a", "-o", "%id", out + "/unreadable.tar.gz"});
  EXPECT_EQ(unreadable.out, "1\n2\n");
  EXPECT_EQ(unreadable.err, "");
  EXPECT_EQ(unreadable.status, 0);

  for (const fs::path& input : {fs::path(out + "/locked.tar.gz"), locked_log}) {
    SCOPED_TRACE(input);
    RunResult locked = lookout_as_nobody({"-a", input.string()});
    EXPECT_EQ(locked.out, "");
    EXPECT_NE(locked.err.find(quoted_with_reason(input, "Permission denied")), std::string::npos)
        << locked.err;
    EXPECT_EQ(locked.err.rfind("orvex-lookout: ", 0), 0u) << locked.err;
    EXPECT_EQ(locked.status, 1);
  }
  EXPECT_EQ(lookout_as_nobody({"-a", "-o", "%id", log.string()}).out, "3\n");
}

}  // namespace
}  // namespace orvex
