// The executable where the plain runs do not reach: colour decided on a real terminal, member
// names and stored modes of report archives, follow mode with filters, split lines and a
// closed pipe, odd command lines. Every run is checked for a viewer folder left in /tmp.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <regex>
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

std::string today() {
  time_t now = time(nullptr);
  struct tm local {};
  localtime_r(&now, &local);
  char text[16];
  std::strftime(text, sizeof text, "%Y-%m-%d", &local);
  return text;
}

std::string event_line(const std::string& id, const std::string& priority = "info",
                       const std::string& date = "2024-01-15") {
  return "{\"id\": \"" + id + "\", \"PRIORITY\": \"" + priority + "\", \"ISODATE\": \"" + date +
         "T10:00:00\", \"MSG\": {\"orvex-audit\": {\"type_en\": \"Audit\", \"name_en\": \"Login " +
         id + "\"}}}\n";
}

// Runs `args` on a new pseudo-terminal as its standard input, output and error, so that the
// program sees a terminal; returns what the terminal showed (line feeds come back as CR LF).
RunResult run_on_terminal(const std::vector<std::string>& args,
                          const std::vector<std::string>& env) {
  struct termios mode {};
  cfmakeraw(&mode);
  mode.c_oflag |= OPOST | ONLCR;  // the usual output processing of a terminal
  int master = -1;
  pid_t pid = forkpty(&master, nullptr, &mode, nullptr);
  if (pid < 0) return {"", "forkpty failed", -1};
  if (pid == 0) {
    for (const std::string& entry : env) {
      auto eq = entry.find('=');
      if (eq == std::string::npos) {
        unsetenv(entry.c_str());
      } else {
        setenv(entry.substr(0, eq).c_str(), entry.substr(eq + 1).c_str(), 1);
      }
    }
    std::vector<char*> argv;
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  RunResult result;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  char buffer[4096];
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd fd{master, POLLIN, 0};
    if (poll(&fd, 1, 100) <= 0) continue;
    ssize_t got = read(master, buffer, sizeof buffer);
    if (got <= 0) break;  // EIO once the child and its terminal are gone
    result.out.append(buffer, static_cast<std::size_t>(got));
  }
  close(master);
  // The terminal closes as the child ends, a moment before the child can be waited for.
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() >= deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return result;
    }
    std::this_thread::sleep_for(milliseconds(5));
  }
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

// "'<path>': <reason>" and a line feed, as the end of an error line.
std::string quoted_with_reason(const fs::path& path, const char* reason) {
  std::string text = "'";
  text += path.string();
  text += "': ";
  text += reason;
  text += '\n';
  return text;
}

// Runs a shell command line for fixture building; fails the test when it fails.
void sh(const std::string& command) {
  RunResult result = testing::run({"sh", "-c", command});
  ASSERT_EQ(result.status, 0) << command << "\n" << result.err;
}

class EdgeCliTest : public ::testing::Test {
 protected:
  void SetUp() override { before_ = testing::viewer_temp_dirs(); }
  void TearDown() override { expect_no_viewer_folder(); }
  // Fails for, and removes, every viewer folder made since the test began.
  void expect_no_viewer_folder() {
    for (const fs::path& dir : testing::viewer_temp_dirs()) {
      if (before_.count(dir)) continue;
      ADD_FAILURE() << "temporary folder left behind: " << dir;
      sh("chmod -R u+rwx '" + dir.string() + "' && rm -rf '" + dir.string() + "'");
    }
  }
  RunResult lookout(const std::vector<std::string>& args) {
    std::vector<std::string> full = {kExe};
    full.insert(full.end(), args.begin(), args.end());
    RunResult result = testing::run(full, kEnv);
    expect_no_viewer_folder();
    return result;
  }
  // Stages <top>/vantel/log/orvex/events holding `text`, and returns the staging folder.
  std::string stage(const std::string& top, const std::string& text) {
    dir_.write("stage/" + top + "/vantel/log/orvex/events", text);
    return (dir_.path() / "stage").string();
  }
  // Lets the unprivileged user read the fixtures.
  void open_to_all() { sh("chmod -R a+rX '" + dir_.path().string() + "'"); }
  // Runs the executable as user nobody. The build folder may lie where that user cannot go,
  // so a copy of the executable and its libraries runs from a folder it can read.
  RunResult lookout_as_nobody(const std::vector<std::string>& args) {
    if (!copy_) {
      copy_.emplace();
      fs::path bin = fs::path(kExe).parent_path();
      fs::create_directories(copy_->path() / "bin");
      fs::copy_file(kExe, copy_->path() / "bin/orvex-lookout");
      fs::copy(bin.parent_path() / "lib", copy_->path() / "lib",
               fs::copy_options::copy_symlinks | fs::copy_options::recursive);
      sh("chmod -R a+rX '" + copy_->path().string() + "'");
    }
    std::vector<std::string> full = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                                     (copy_->path() / "bin/orvex-lookout").string()};
    full.insert(full.end(), args.begin(), args.end());
    std::vector<std::string> env = kEnv;
    env.push_back("LD_LIBRARY_PATH=" + (copy_->path() / "lib").string());
    RunResult result = testing::run(full, env);
    expect_no_viewer_folder();
    return result;
  }

  testing::TempDir dir_;
  std::optional<testing::TempDir> copy_;
  std::set<fs::path> before_;
};

TEST_F(EdgeCliTest, ColourFollowsTheTerminalColorAndNoColor) {
  fs::path log = dir_.write("events", event_line("1", "crit"));
  const std::string plain = "15.01.2024 10:00:00, crit, Audit, Login 1\r\n";
  const std::string coloured =
      "\x1b[90m15.01.2024 10:00:00\x1b[0m\x1b[90m, \x1b[0m\x1b[91mcrit\x1b[0m\x1b[90m, "
      "\x1b[0m\x1b[90mAudit\x1b[0m\x1b[90m, \x1b[0mLogin 1\r\n";
  struct Row {
    std::vector<std::string> args, env;
    bool colour;
  };
  const std::vector<Row> rows = {
      {{}, {}, true},
      {{"--color=auto"}, {"NO_COLOR=1"}, false},
      {{}, {"NO_COLOR="}, true},  // an empty NO_COLOR does not count
      {{"--color=never"}, {}, false},
      {{"--nocolor"}, {}, false},
      {{"--color=always"}, {"NO_COLOR=1"}, true},
      {{"--color=always", "--no-color"}, {}, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(::testing::PrintToString(row.args) + " " + ::testing::PrintToString(row.env));
    std::vector<std::string> args = {kExe, "-a"};
    args.insert(args.end(), row.args.begin(), row.args.end());
    args.push_back(log.string());
    std::vector<std::string> env = kEnv;
    env.insert(env.end(), row.env.begin(), row.env.end());
    RunResult result = run_on_terminal(args, env);
    EXPECT_EQ(result.out, row.colour ? coloured : plain);
    EXPECT_EQ(result.status, 0);
  }
  // Not a terminal: --color=always still wins over NO_COLOR.
  RunResult piped = testing::run({kExe, "-a", "--color=always", log.string()},
                                 {"LC_ALL=C", "LANGUAGE", "NO_COLOR=1"});
  std::string expected = coloured;
  expected.erase(expected.size() - 2, 1);
  EXPECT_EQ(piped.out, expected);
  EXPECT_EQ(piped.status, 0);
}

// Nothing of an archive may land outside the viewer's folder: names that climb out or are
// absolute, and a log that is a link, are refused before anything is written.
TEST_F(EdgeCliTest, ArchiveMembersThatLeadOutsideAreRefused) {
  std::string staged = stage("host-report", event_line("1"));
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
TEST_F(EdgeCliTest, StoredModesAsAnUnprivilegedUser) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to switch to an unprivileged user";
  std::string staged = stage("host-report", event_line("1") + event_line("2"));
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
  fs::path log = dir_.write("events", event_line("3"));
  fs::copy_file(out + "/readonly.tar.gz", out + "/locked.tar.gz");
  open_to_all();
  // Inputs the user may not read at all.
  fs::permissions(out + "/locked.tar.gz", fs::perms::owner_read);
  fs::path locked_log = dir_.write("locked-events", event_line("4"));
  fs::permissions(locked_log, fs::perms::owner_read);

  RunResult readonly = lookout_as_nobody({"-a", "-o", "%id", out + "/readonly.tar.gz"});
  EXPECT_EQ(readonly.out, "1\n2\n");
  EXPECT_EQ(readonly.err, "");
  EXPECT_EQ(readonly.status, 0);

  // The copy of a log stored with no permission bits is the user's but not readable.
  RunResult unreadable = lookout_as_nobody({"-a", out + "/unreadable.tar.gz"});
  EXPECT_EQ(unreadable.out, "");
  EXPECT_TRUE(std::regex_match(
      unreadable.err,
      std::regex("orvex-lookout: cannot open '/tmp/tmp[0-9]+\\.[0-9]+/host-report/vantel/log/"
                 "orvex/events': Permission denied\n")))
      << unreadable.err;
  EXPECT_EQ(unreadable.status, 1);

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

// The follower gets the same filters as the first pass, and an event that the logger writes
// in two pieces is shown once, whole.
TEST_F(EdgeCliTest, FollowFiltersAppendedEventsAndWaitsForTheWholeLine) {
  const std::string now = today();
  fs::path log = dir_.write("events", event_line("old", "crit") + event_line("a", "info", now) +
                                          event_line("b", "crit", now));
  testing::Child child({kExe, "-f", "-p", "crit", "-o", "%id", log.string()}, kEnv);
  // The first pass reaches the pipe only with the flush before the follower's first wait, so
  // the follower is at the end of the file by then.
  ASSERT_EQ(child.read_lines(1, milliseconds(5000)), "b\n");
  std::string split = event_line("c", "crit", now);
  testing::append_file(log, event_line("skipped", "info", now) + split.substr(0, 30));
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

// A reader that goes away ends a follow at its next write: quietly, with the status of a
// closed pipe, and not only when the first pass was long.
TEST_F(EdgeCliTest, FollowEndsQuietlyWhenTheReaderGoesAway) {
  fs::path log = dir_.write("events", event_line("1") + event_line("2"));
  testing::Child child(
      {"bash", "-c",
       "set -o pipefail; '" + kExe + "' -f -a -o %id '" + log.string() + "' | head -n 1"},
      kEnv);
  ASSERT_EQ(child.read_lines(1, milliseconds(5000)), "1\n");
  // head is gone; the next event written meets the closed pipe.
  testing::append_file(log, event_line("3"));
  RunResult result = child.wait(milliseconds(5000));
  EXPECT_EQ(result.out, "1\n");
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.status, 141);
}

TEST_F(EdgeCliTest, OddInputsAndOutputsGiveOneLineAndStatusOne) {
  fs::create_directory(dir_.path() / "folder");
  fs::create_directory(dir_.path() / "folder.tar");
  fs::path log = dir_.write("events", event_line("1"));
  struct Row {
    std::vector<std::string> args;
    std::string err;
  };
  const std::vector<Row> rows = {
      {{"-a", (dir_.path() / "folder").string()},
       "orvex-lookout: cannot read '" + (dir_.path() / "folder").string() + "': Is a directory\n"},
      {{"-a", log.string() + "/"},
       "orvex-lookout: cannot open '" + log.string() + "/': Not a directory\n"},
      {{"-d", "4000000", log.string()},
       "orvex-lookout: Invalid date format: days back out of range: 4000000\n"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(::testing::PrintToString(row.args));
    RunResult result = lookout(row.args);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, row.err);
    EXPECT_EQ(result.status, 1);
  }
  // Output that cannot be written is an error, never a success; also after an archive.
  std::string staged = stage("host-report", event_line("1"));
  sh("tar -czf " + dir_.path().string() + "/sos.tar.gz -C " + staged + " host-report");
  for (const std::string& input : {log.string(), dir_.path().string() + "/sos.tar.gz"}) {
    SCOPED_TRACE(input);
    RunResult full =
        testing::run({"sh", "-c", "exec '" + kExe + "' -a '" + input + "' >/dev/full"}, kEnv);
    expect_no_viewer_folder();
    EXPECT_EQ(full.err,
              "orvex-lookout: cannot write to 'standard output': No space left on device\n");
    EXPECT_EQ(full.status, 1);
  }
  // An archive name on a folder: the error names it, and the viewer's folder is gone.
  RunResult folder_archive = lookout({"-a", (dir_.path() / "folder.tar").string()});
  EXPECT_EQ(folder_archive.out, "");
  EXPECT_NE(
      folder_archive.err.find(quoted_with_reason(dir_.path() / "folder.tar", "Is a directory")),
      std::string::npos)
      << folder_archive.err;
  EXPECT_EQ(folder_archive.status, 1);
}

// An interrupt before the first pass has finished ends the run with status 130 and no
// message, the viewer's folder removed. A FIFO as input holds the viewer at a known point:
// waiting to open it, or waiting for more of it after a first part.
TEST_F(EdgeCliTest, InterruptBeforeTheFirstPassEndsIsQuiet) {
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
  std::string staged = stage("host-report", event_line("1"));
  sh("tar -cf " + dir_.path().string() + "/real.tar -C " + staged + " host-report");
  const std::string archive = testing::read_file(dir_.path() / "real.tar");
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name + (row.partly_written ? ", partly written" : ", not opened"));
    fs::path fifo = dir_.path() / ("fifo-" + row.name);
    fs::remove(fifo);
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    testing::Child child({kExe, "-a", "-o", "%id", fifo.string()}, kEnv);
    int writer = -1;
    if (row.partly_written) {
      // Read-write: opens at once and keeps the FIFO from reaching its end.
      writer = open(fifo.c_str(), O_RDWR | O_CLOEXEC);
      ASSERT_GE(writer, 0);
      std::string part =
          row.name == "events" ? event_line("1") + "{\"id\": " : archive.substr(0, 1024);
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

// A filter value made only of separators names no filter; it must not take the next word of
// the command line as its value (the file to read, or the next option).
TEST_F(EdgeCliTest, AFilterOfSeparatorsOnlyDoesNotSwallowTheNextArgument) {
  fs::path log = dir_.write("events", event_line("1") + event_line("2", "crit"));
  const std::vector<std::vector<std::string>> rows = {
      {"-a", "-o", "%id", "-p", ",", log.string()},
      {"-a", "-o", "%id", "-s", ",,", log.string()},
      {"-s", ",", "-a", "-o", "%id", log.string()},
      {"--source=,", "-a", "-o", "%id", log.string()},
  };
  for (const std::vector<std::string>& args : rows) {
    SCOPED_TRACE(::testing::PrintToString(args));
    RunResult result = lookout(args);
    if (result.status == 2) continue;  // refused as a usage error: also sound
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.status, 0);
    if (args[0] != "-a") {
      EXPECT_EQ(result.out, "1\n2\n") << "--all was taken as a filter value";
    }
  }
}

}  // namespace
}  // namespace orvex
