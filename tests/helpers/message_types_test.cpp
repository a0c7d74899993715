#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <orvex/message_types.hpp>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "temp_path.hpp"

namespace orvex {
namespace {

namespace fs = std::filesystem;
using Types = std::set<std::string>;

// One entry of a settings tree, its path relative to the settings folder ("../" reaches
// beside it).
struct Entry {
  enum Kind { kFile, kDir, kLink, kFifo } kind;
  std::string path;
  std::string data;  // content of a file, target of a link
  mode_t mode = 0;   // 0: 0644 for files, 0755 for folders
};

Entry file(std::string path, std::string content, mode_t mode = 0) {
  return {Entry::kFile, std::move(path), std::move(content), mode};
}
Entry dir(std::string path, mode_t mode = 0) { return {Entry::kDir, std::move(path), "", mode}; }
Entry link(std::string path, std::string target) {
  return {Entry::kLink, std::move(path), std::move(target)};
}
Entry fifo(std::string path) { return {Entry::kFifo, std::move(path), ""}; }

// A settings tree below a fresh temporary folder; readable by every user apart from the
// modes the entries ask for, which are undone at the end so that the folder can be removed.
class SettingsTree {
 public:
  explicit SettingsTree(const std::vector<Entry>& entries) {
    fs::create_directory(root());
    fs::permissions(tmp_.path(), fs::perms(0755));
    fs::permissions(root(), fs::perms(0755));
    for (const Entry& e : entries) {
      fs::path path = root() / e.path;
      fs::create_directories(path.parent_path());
      switch (e.kind) {
        case Entry::kFile:
          orvex::testing::append_file(path, e.data);
          break;
        case Entry::kDir:
          fs::create_directories(path);
          break;
        case Entry::kLink:
          fs::create_symlink(e.data, path);
          break;
        case Entry::kFifo:
          if (::mkfifo(path.c_str(), 0644) != 0)
            throw std::runtime_error("mkfifo " + path.string());
          break;
      }
      if (e.kind == Entry::kLink || e.kind == Entry::kFifo) continue;
      mode_t mode = e.mode != 0 ? e.mode : e.kind == Entry::kDir ? 0755 : 0644;
      fs::permissions(path, fs::perms(mode));
      if (e.mode != 0) locked_.push_back(path);
    }
  }
  ~SettingsTree() {
    for (const fs::path& path : locked_) ::chmod(path.c_str(), 0755);
  }
  SettingsTree(const SettingsTree&) = delete;
  SettingsTree& operator=(const SettingsTree&) = delete;

  fs::path root() const { return tmp_.path() / "settings"; }

 private:
  orvex::testing::TempDir tmp_;
  std::vector<fs::path> locked_;
};

// What a scan run elsewhere came back with.
struct Outcome {
  std::optional<std::string> skipped;  // why it could not run
  Types types;
  std::string error;  // what() of a std::filesystem::filesystem_error, "" for none
  int error_code = 0;
  bool other_error = false;  // an exception of another type
};

// Runs `scan` in a forked child after `setup` (as the user nobody when `unprivileged`, for
// root ignores permission bits) and brings back its outcome through a pipe.
Outcome run_in_child(const std::function<Types()>& scan, bool unprivileged,
                     const std::function<void()>& setup = {}) {
  int pipe_fds[2];
  if (::pipe(pipe_fds) != 0) {
    ADD_FAILURE() << "pipe: " << std::strerror(errno);
    return {};
  }
  pid_t pid = ::fork();
  if (pid < 0) {
    ADD_FAILURE() << "fork: " << std::strerror(errno);
    return {};
  }
  if (pid == 0) {
    ::close(pipe_fds[0]);
    std::string report;
    if (unprivileged && ::geteuid() == 0 &&
        (::setgroups(0, nullptr) != 0 || ::setresgid(65534, 65534, 65534) != 0 ||
         ::setresuid(65534, 65534, 65534) != 0)) {
      report = "S cannot switch to user nobody";
    } else {
      if (setup) setup();
      try {
        for (const std::string& type : scan()) report.append("T").append(type).append("\n");
      } catch (const fs::filesystem_error& e) {
        report.assign("F").append(std::to_string(e.code().value())).append(" ").append(e.what());
      } catch (...) {
        report = "X";
      }
    }
    for (std::size_t done = 0; done < report.size();) {
      ssize_t n = ::write(pipe_fds[1], report.data() + done, report.size() - done);
      if (n <= 0) break;
      done += static_cast<std::size_t>(n);
    }
    ::_exit(0);
  }
  ::close(pipe_fds[1]);
  std::string report;
  char buffer[4096];
  for (ssize_t n; (n = ::read(pipe_fds[0], buffer, sizeof buffer)) > 0;) report.append(buffer, n);
  ::close(pipe_fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    ADD_FAILURE() << "the scanning child died";
    return {};
  }

  Outcome outcome;
  if (report.starts_with("S")) {
    outcome.skipped = report.substr(2);
  } else if (report.starts_with("F")) {
    std::size_t space = report.find(' ');
    outcome.error_code = std::stoi(report.substr(1, space - 1));
    outcome.error = report.substr(space + 1);
  } else if (report.starts_with("X")) {
    outcome.other_error = true;
  } else {
    for (std::size_t at = 0; at < report.size();) {
      std::size_t end = report.find('\n', at);
      outcome.types.insert(report.substr(at + 1, end - at - 1));
      at = end + 1;
    }
  }
  return outcome;
}

struct Case {
  const char* name;
  std::vector<Entry> tree;
  Types expected;
  const char* scanned = "";  // the folder handed to the scan, relative to the settings folder
  bool unprivileged = false;
};

// One settings line naming `value`, written the usual way.
std::string typed(const std::string& value) { return "\"message-type\": \"" + value + "\"\n"; }

std::string cyrillic(std::size_t count) {
  std::string text;
  for (std::size_t i = 0; i < count; ++i) text += "ж";
  return text;
}

const std::vector<Case>& cases() {
  static const std::vector<Case> table = {
      {"every depth and every name, hidden ones too; duplicates collapse",
       {file("top.json", "{" + typed("top") + "}\n"), file("a/b/c/deep.json", typed("deep")),
        file(".hidden.json", typed("hidden-file")),
        file(".conf.d/inside.json", typed("hidden-folder")), file("no-suffix", typed("top")),
        file("a/again.json", typed("deep"))},
       {"top", "deep", "hidden-file", "hidden-folder"}},
      {"only the first match of a line counts",
       {file("one-line.json",
             "{\"message-type\": \"first\", \"message-type\": \"second\"}\n"
             "{\"message-type\": \"\", \"message-type\": \"after-empty\"}\n" +
                 typed("next-line"))},
       {"first", "after-empty", "next-line"}},
      {"white space within a line, but no line break",
       {file("space.json",
             "\"message-type\" \t :\t  \"spaced\"\n"
             "\"message-type\":\"tight\"\n"
             "\"message-type\"\xc2\xa0:\xe2\x80\x83\"unicode-space\"\n"
             "\"message-type\"\f:\v\"form-feed\"\n"
             "\"message-type\":\n\"split-after-colon\"\n"
             "\"message-type\"\n: \"split-before-colon\"\n")},
       {"spaced", "tight", "unicode-space", "form-feed"}},
      {"LF, CR LF and a lone CR end lines; the last line needs no end",
       {file("crlf.json", "\"message-type\": \"crlf\"\r\n\"message-type\":\r\n\"cut\"\r\n"),
        file("cr.json",
             "\"message-type\": \"cr-1\"\r\"message-type\": \"cr-2\"\r"
             "\"message-type\":\r\"cr-cut\"\r"),
        file("no-eol.json", "\n\"message-type\": \"no-eol\"")},
       {"crlf", "cr-1", "cr-2", "no-eol"}},
      {"the key must be spelt exactly and the value may not be empty",
       {file("keys.json",
             "\"Message-Type\": \"capitals\"\n"
             "\"message_type\": \"underscore\"\n"
             "\"message-type\": \"\"\n"
             "'message-type': 'single'\n"
             "message-type: \"unquoted\"\n"
             "\"message-types\": \"plural\"\n"
             "\"x-message-type\": \"prefixed\"\n"
             "\"level\": 3, \"message-type\": \"mid-line\"\n")},
       {"mid-line"}},
      {"values are taken as written",
       {file("raw.json",
             typed(R"(abc\"def)") + typed(R"(\u0436urnal)") + typed("журнал событий 😀"))},
       {"abc\\", "\\u0436urnal", "журнал событий 😀"}},
      {"lines longer than a read block",
       // The first key straddles the 64 KiB boundary of the first read; one Cyrillic
       // letter does too.
       {file("long.json", std::string(65530, 'a') + typed("across-blocks") +
                              std::string(200000, ' ') + typed("long-line")),
        file("multibyte.json", "x" + cyrillic(40000) + "\n" + typed("after-split-char"))},
       {"across-blocks", "long-line", "after-split-char"}},
      {"regular files only: links to files count, links to folders are not followed",
       {file("../elsewhere/linked.json", typed("via-link")),
        file("../elsewhere/sub/inner.json", typed("behind-folder-link")),
        link("file-link.json", "../elsewhere/linked.json"), link("folder-link", "../elsewhere/sub"),
        link("broken.json", "nowhere.json"), link("loop.json", "loop.json"), fifo("pipe.json"),
        file("plain.json", typed("plain"))},
       {"via-link", "plain"}},
      {"bytes that are not UTF-8 abandon the file; earlier lines stay",
       {file("ff.json", typed("ff-before") + "\xff\n" + typed("ff-after")),
        file("overlong.json", typed("overlong-before") + "\xc0\xaf\n" + typed("overlong-after")),
        file("surrogate.json",
             typed("surrogate-before") + "\xed\xa0\x80\n" + typed("surrogate-after")),
        file("too-high.json", typed("high-before") + "\xf4\x90\x80\x80\n" + typed("high-after")),
        file("stray.json", typed("stray-before") + "\x80\n" + typed("stray-after")),
        file("same-line.json", "\"message-type\": \"same-line\" \xfe\n"),
        file("truncated.json", typed("cut-before") + "\"message-type\": \"cut-short\" \xe2\x82"),
        file("clean.json", "\"message-type\": \"clean\" \xef\xbf\xbd \xee\x80\x80\n")},
       {"ff-before", "overlong-before", "surrogate-before", "high-before", "stray-before",
        "cut-before", "clean"}},
      {"a missing folder gives nothing", {}, {}, "missing"},
      {"a file in place of the folder gives nothing",
       {file("settings.json", typed("not-a-folder"))},
       {},
       "settings.json"},
      {"the folder handed over may itself be a link",
       {file("../real/a.json", typed("through-root-link")), link("../root-link", "real")},
       {"through-root-link"},
       "../root-link"},
      // Kept last: when the test cannot switch to an unprivileged user it skips this row.
      {"what may not be read is passed over",
       {file("readable.json", typed("readable")), file("locked.json", typed("locked-file"), 0200),
        link("link-to-locked.json", "locked.json"),
        file("closed/inner.json", typed("closed-folder")), dir("closed", 0311),
        file("unsearchable/inner.json", typed("unsearchable-folder")), dir("unsearchable", 0644),
        file("zz/after.json", typed("after"))},
       {"readable", "after"},
       "",
       true},
  };
  return table;
}

TEST(MessageTypesTest, ScansSettingsTrees) {
  std::optional<std::string> skipped;
  for (const Case& c : cases()) {
    SCOPED_TRACE(c.name);
    SettingsTree tree(c.tree);
    fs::path scanned = tree.root() / c.scanned;
    if (!c.unprivileged) {
      EXPECT_EQ(find_unique_message_types(scanned), c.expected);
      continue;
    }
    Outcome outcome =
        run_in_child([&] { return find_unique_message_types(scanned); }, /*unprivileged=*/true);
    if (outcome.skipped) {
      skipped = outcome.skipped;
      continue;
    }
    EXPECT_EQ(outcome.error, "");
    EXPECT_FALSE(outcome.other_error);
    EXPECT_EQ(outcome.types, c.expected);
  }
  if (skipped) GTEST_SKIP() << "the permission rows did not run: " << *skipped;
}

// Any failure other than a permission one leaves the scan, naming the path. Too many open
// files is one that a test can cause at will: the descriptor limit lets the settings folder
// and two levels below it open, and the next open fails.
TEST(MessageTypesTest, OtherFailuresPropagateNamingThePath) {
  struct Row {
    const char* name;
    std::vector<Entry> tree;
    const char* named;
  };
  const std::vector<Row> rows = {
      {"a file", {file("a/b/types.json", typed("x"))}, "a/b/types.json"},
      {"a folder", {file("a/b/c/types.json", typed("x"))}, "a/b/c"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    SettingsTree tree(row.tree);
    auto limit_descriptors = [] {
      // Exactly three descriptors stay free: the folder and two levels below it.
      int free_fds[3];
      for (int& fd : free_fds) fd = ::dup(0);
      for (int fd : free_fds) ::close(fd);
      rlimit limit{};
      ::getrlimit(RLIMIT_NOFILE, &limit);
      limit.rlim_cur = static_cast<rlim_t>(free_fds[2]) + 1;
      ::setrlimit(RLIMIT_NOFILE, &limit);
    };
    Outcome outcome = run_in_child([&] { return find_unique_message_types(tree.root()); },
                                   /*unprivileged=*/false, limit_descriptors);
    ASSERT_FALSE(outcome.skipped) << *outcome.skipped;
    EXPECT_FALSE(outcome.other_error);
    EXPECT_EQ(outcome.error_code, EMFILE);
    EXPECT_NE(outcome.error.find((tree.root() / row.named).string()), std::string::npos)
        << outcome.error;
    EXPECT_EQ(outcome.types, Types{});
  }
}

TEST(MessageTypesTest, FixedFolderIsTheInstalledSettings) {
  EXPECT_EQ(find_unique_message_types(),
            find_unique_message_types("/usr/share/syslog-ng-mod-orvex/event-settings"));
}

}  // namespace
}  // namespace orvex
