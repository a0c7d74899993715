#include "archive.hpp"

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <base/fd.hpp>
#include <orvex/errors.hpp>
#include <orvex/interrupt.hpp>

#include "interrupt_control.hpp"

#include "temp_path.hpp"

namespace orvex {
namespace {

namespace fs = std::filesystem;
using orvex::testing::read_file;
using orvex::testing::TempDir;

const std::string kLog =
    "{\"PRIORITY\":\"WARNING\",\"ISODATE\":\"2024-03-05T10:00:00+03:00\",\"MSG\":{\"login\":{}}}\n"
    "{\"PRIORITY\":\"CRIT\",\"ISODATE\":\"2024-03-05T11:00:00+03:00\",\"MSG\":{\"audit\":{}}}\n";
constexpr time_t kMtime = 1709625600;  // 2024-03-05 08:00:00 UTC

enum class Compression { kNone, kGzip, kBzip2, kXz };

struct Member {
  std::string name;
  std::string data = {};
  int perm = 0644;
  unsigned type = AE_IFREG;
  std::string link = {};  // target of a symbolic link, or of a hard link when `hard`
  bool hard = false;
  la_int64_t uid = 0, gid = 0;
  std::string uname = {}, gname = {};
};

// The usual report layout below `top`: the top directory, a few siblings, the log.
std::vector<Member> report(const std::string& top, const std::string& log = kLog) {
  return {{top + "/", "", 0755, AE_IFDIR},
          {top + "/etc/hostname", "host\n"},
          {top + "/vantel/log/orvex/", "", 0755, AE_IFDIR},
          {top + "/vantel/log/orvex/events", log, 0640},
          {top + "/vantel/log/messages", "boot\n"}};
}

// Writes a tar archive of `members` with libarchive's writer, so that every odd name and
// member type can be made.
void write_tar(const fs::path& path, const std::vector<Member>& members,
               Compression compression = Compression::kGzip) {
  struct archive* a = archive_write_new();
  ASSERT_EQ(archive_write_set_format_pax_restricted(a), ARCHIVE_OK);
  switch (compression) {
    case Compression::kNone:
      break;
    case Compression::kGzip:
      ASSERT_EQ(archive_write_add_filter_gzip(a), ARCHIVE_OK);
      break;
    case Compression::kBzip2:
      ASSERT_EQ(archive_write_add_filter_bzip2(a), ARCHIVE_OK);
      break;
    case Compression::kXz:
      ASSERT_EQ(archive_write_add_filter_xz(a), ARCHIVE_OK);
      break;
  }
  ASSERT_EQ(archive_write_open_filename(a, path.c_str()), ARCHIVE_OK);
  for (const Member& m : members) {
    struct archive_entry* entry = archive_entry_new();
    archive_entry_set_pathname(entry, m.name.c_str());
    archive_entry_set_filetype(entry, m.type);
    archive_entry_set_perm(entry, m.perm);
    archive_entry_set_mtime(entry, kMtime, 0);
    archive_entry_set_uid(entry, m.uid);
    archive_entry_set_gid(entry, m.gid);
    if (!m.uname.empty()) archive_entry_set_uname(entry, m.uname.c_str());
    if (!m.gname.empty()) archive_entry_set_gname(entry, m.gname.c_str());
    if (m.hard) archive_entry_set_hardlink(entry, m.link.c_str());
    if (m.type == AE_IFLNK) archive_entry_set_symlink(entry, m.link.c_str());
    if (m.type == AE_IFCHR) archive_entry_set_rdev(entry, makedev(1, 3));
    archive_entry_set_size(entry, static_cast<la_int64_t>(m.data.size()));
    ASSERT_EQ(archive_write_header(a, entry), ARCHIVE_OK) << m.name;
    if (!m.data.empty()) {
      ASSERT_EQ(archive_write_data(a, m.data.data(), m.data.size()),
                static_cast<la_ssize_t>(m.data.size()));
    }
    archive_entry_free(entry);
  }
  ASSERT_EQ(archive_write_close(a), ARCHIVE_OK);
  archive_write_free(a);
}

void run(const std::string& command) { ASSERT_EQ(std::system(command.c_str()), 0) << command; }

std::string shell_quote(const fs::path& path) { return "'" + path.string() + "'"; }

// Every entry below `dir`, relative to it, so that a test can show what was written.
std::vector<std::string> tree(const fs::path& dir) {
  std::vector<std::string> entries;
  for (const auto& entry : fs::recursive_directory_iterator(dir)) {
    entries.push_back(fs::relative(entry.path(), dir).string());
  }
  std::sort(entries.begin(), entries.end());
  return entries;
}

// Sends SIGINT to the thread that made it, every few milliseconds once `ready()` holds, until it
// goes away. A signal that comes while that thread is not blocked only records the interrupt;
// the next one cuts the blocking call short. After a few seconds without effect it stops and
// runs `unblock`, so that a call deaf to the interrupt fails the test rather than hanging it.
class Interrupter {
 public:
  Interrupter(std::function<bool()> ready, std::function<void()> unblock)
      : target_(::pthread_self()),
        thread_([this, ready = std::move(ready), unblock = std::move(unblock)] {
          auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
          while (!done_ && std::chrono::steady_clock::now() < deadline) {
            if (ready()) ::pthread_kill(target_, SIGINT);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
          }
          if (!done_) unblock();
        }) {}
  ~Interrupter() {
    done_ = true;
    thread_.join();
  }

 private:
  pthread_t target_;
  std::atomic<bool> done_{false};
  std::thread thread_;
};

// Runs `body` in a child process, as user nobody when the tests run as root (root is refused
// nothing a mode forbids), and returns its exit status; 255 when it throws. Everything below
// `dir` is handed to nobody first, so that the child may change it.
int as_nobody(const fs::path& dir, const std::function<int()>& body) {
  const uid_t nobody = 65534;
  if (::geteuid() == 0) {
    if (::chown(dir.c_str(), nobody, nobody) != 0) return -1;
    for (const auto& entry : fs::recursive_directory_iterator(dir)) {
      if (::lchown(entry.path().c_str(), nobody, nobody) != 0) return -1;
    }
  }
  pid_t child = ::fork();
  if (child < 0) return -1;
  if (child == 0) {
    if (::geteuid() == 0 && (::setgid(nobody) != 0 || ::setuid(nobody) != 0)) ::_exit(254);
    int status = 255;
    try {
      status = body();
    } catch (...) {
    }
    ::_exit(status);
  }
  int status = 0;
  if (::waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

bool mentions(const std::exception& error, const fs::path& path) {
  return std::string(error.what()).find(path.string()) != std::string::npos;
}

// Below the existing directory `dir`: a file its owner cannot remove (in a read-only
// directory) and one it can.
struct LockedTree {
  fs::path stuck, free;
};
LockedTree locked_tree(const fs::path& dir) {
  LockedTree tree{dir / "host-report/events", dir / "free"};
  fs::create_directory(tree.stuck.parent_path());
  std::ofstream(tree.stuck) << kLog;
  std::ofstream(tree.free) << kLog;
  ::chmod(tree.stuck.parent_path().c_str(), 0555);
  return tree;
}

class ArchiveTest : public ::testing::Test {
 protected:
  TempDir scratch_;
  fs::path temp_dir_ = scratch_.path() / "tmp1733687211.4836092";
};

TEST(ArchivePathTest, OnlyTheLastSuffixOfTheNameCounts) {
  const struct {
    const char* path;
    bool archive;
  } rows[] = {
      {"dump.tar.gz", true},
      {"sos.tar.xz", true},
      {"x.tar", true},
      {"x.zip", true},
      {"x.tgz", true},
      {"x.tar.bz2", true},
      {"x.rar", true},
      {"x.7z", true},
      {"/var/tmp/r.tar.gz", true},
      {"dump.tar.gz/", true},
      {"dump.TAR", false},
      {"x.TGZ", false},
      {".tar", false},
      {"dir/.gz", false},
      {"x.tar.", false},
      {"x.tar.gz.bak", false},
      {"events", false},
      {"events.1", false},
      {"reports.tar/events", false},
      {"x.tar.gz/.", true},
      {"", false},
      {"x.bz", false},
      {"x.gzip", false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.path);
    EXPECT_EQ(is_archive_path(row.path), row.archive);
  }
}

TEST(TempDirPathTest, ShortestRoundTripDecimalWithAPoint) {
  const struct {
    double seconds;
    const char* path;
  } rows[] = {
      {1733687211.4836092, "/tmp/tmp1733687211.4836092"},
      {1733687211.0, "/tmp/tmp1733687211.0"},
      {1733687211.1, "/tmp/tmp1733687211.1"},
      {1733687211.000001, "/tmp/tmp1733687211.000001"},
      {0.1 + 0.2, "/tmp/tmp0.30000000000000004"},
      {0.0, "/tmp/tmp0.0"},
      {1e16, "/tmp/tmp10000000000000000.0"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.path);
    EXPECT_EQ(temp_dir_path_for(row.seconds), fs::path(row.path));
  }
}

TEST(TempDirPathTest, NamedAfterTheWallClock) {
  // The clock the name is made from: time(2) reads a coarser one that lags it by up to a tick.
  auto now = [] {
    struct timespec ts;
    ::clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
  };
  double before = now() - 0.001;
  fs::path path = make_temp_dir_path();
  double after = now() + 0.001;
  EXPECT_EQ(path.parent_path(), fs::path("/tmp"));
  std::string name = path.filename().string();
  ASSERT_EQ(name.rfind("tmp", 0), 0u) << name;
  char* end = nullptr;
  double seconds = std::strtod(name.c_str() + 3, &end);
  EXPECT_EQ(*end, '\0') << name;
  EXPECT_NE(name.find('.'), std::string::npos) << name;
  EXPECT_GE(seconds, before);
  EXPECT_LE(seconds, after);
  EXPECT_EQ(temp_dir_path_for(seconds), path);
  EXPECT_FALSE(fs::exists(path));
}

TEST_F(ArchiveTest, ExtractsTheLogInEachCompressionRecognisedFromContent) {
  // The suffix says nothing: a .tgz may hold a plain tar, a .tar an xz one.
  const struct {
    const char* name;
    Compression compression;
  } rows[] = {
      {"sos.tar", Compression::kNone},      {"sos.tar.gz", Compression::kGzip},
      {"sos.tar.bz2", Compression::kBzip2}, {"sos.tar.xz", Compression::kXz},
      {"events.tgz", Compression::kNone},   {"sos.tar", Compression::kXz},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    fs::path archive = scratch_.path() / row.name;
    write_tar(archive, report("host-report"), row.compression);
    fs::path events = extract_events_from_archive(archive, temp_dir_);
    EXPECT_EQ(events, temp_dir_ / "host-report/vantel/log/orvex/events");
    EXPECT_EQ(read_file(events), kLog);
    // Only the log is unpacked, into a directory nobody else may enter.
    EXPECT_EQ(tree(temp_dir_),
              (std::vector<std::string>{"host-report", "host-report/vantel",
                                        "host-report/vantel/log", "host-report/vantel/log/orvex",
                                        "host-report/vantel/log/orvex/events"}));
    struct stat status;
    ASSERT_EQ(::stat(temp_dir_.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0700u);
    ASSERT_EQ(::stat(events.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0640u);
    EXPECT_EQ(status.st_mtime, kMtime);
    remove_temp_dir(temp_dir_);
    fs::remove(archive);
  }
}

TEST_F(ArchiveTest, ReadsArchivesOfTheTarCommand) {
  // As the report tool packs them, with every name behind a "./" component, and packed from
  // inside the report or from the folder above it, where the first member is "./".
  TempDir source;
  source.write("host-report/vantel/log/orvex/events", kLog);
  source.write("host-report/sos_commands/date", "Tue Mar  5\n");
  const std::string from = shell_quote(source.path());
  const struct {
    const char* name;
    std::string what;
    const char* copy;
    const char* top;
  } rows[] = {
      {"sos.tar.xz", "-cJf ARCHIVE -C " + from + " host-report", "host-report", "host-report"},
      {"dot.tar.gz", "-czf ARCHIVE -C " + from + " ./host-report", "host-report", "host-report"},
      {"sos.tar.bz2", "-cjf ARCHIVE -C " + from + " host-report", "host-report", "host-report"},
      {"inside.tar.gz", "-czf ARCHIVE -C " + from + "/host-report .", "", ""},
      {"above.tar", "-cf ARCHIVE -C " + from + " .", "host-report", "host-report"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    fs::path archive = scratch_.path() / row.name;
    std::string what = row.what;
    what.replace(what.find("ARCHIVE"), 7, shell_quote(archive));
    run("tar " + what);
    std::string top = "not set";
    fs::path events = extract_events_from_archive(archive, temp_dir_, &top);
    EXPECT_EQ(events, temp_dir_ / row.copy / "vantel/log/orvex/events");
    EXPECT_EQ(read_file(events), kLog);
    EXPECT_EQ(top, row.top);
    remove_temp_dir(temp_dir_);
  }
}

TEST_F(ArchiveTest, ReportPackedFromInsidePrefersTheLogAtTheTop) {
  // "./" first: the log at the top, or else below the first directory that follows, and
  // nowhere else.
  auto packed_from_inside = [](std::vector<Member> members) {
    members.insert(members.begin(), {"./", "", 0755, AE_IFDIR});
    return members;
  };
  std::vector<Member> both = packed_from_inside(report("./host-report", "below\n"));
  both.push_back({"./vantel/log/orvex/events", kLog});
  std::vector<Member> second_dir = packed_from_inside(report("./host-report"));
  second_dir.insert(second_dir.begin() + 1, {"./etc/", "", 0755, AE_IFDIR});
  std::vector<Member> dot_only = packed_from_inside({});
  const struct {
    const char* label;
    std::vector<Member> members;
    const char* log;   // what the copy holds, or null for a KeyError
    const char* copy;  // below temp_dir, or the names the KeyError gives
    const char* top;
  } rows[] = {
      {"top wins", both, kLog.c_str(), "vantel/log/orvex/events", ""},
      {"below the first directory", packed_from_inside(report("./host-report")), kLog.c_str(),
       "host-report/vantel/log/orvex/events", "host-report"},
      {"spelled without ./", packed_from_inside(report("host-report")), kLog.c_str(),
       "host-report/vantel/log/orvex/events", "host-report"},
      {"not below a later directory", second_dir, nullptr,
       "'./vantel/log/orvex/events' or './etc/vantel/log/orvex/events'", ""},
      {"nothing but ./", dot_only, nullptr, "'./vantel/log/orvex/events' in", ""},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.label);
    fs::path archive = scratch_.path() / "inside.tar.gz";
    write_tar(archive, row.members);
    std::string top = "not set";
    if (row.log != nullptr) {
      fs::path events = extract_events_from_archive(archive, temp_dir_, &top);
      EXPECT_EQ(events, temp_dir_ / row.copy);
      EXPECT_EQ(read_file(events), row.log);
      EXPECT_EQ(top, row.top);
    } else {
      try {
        extract_events_from_archive(archive, temp_dir_, &top);
        ADD_FAILURE() << "no error";
      } catch (const KeyError& error) {
        EXPECT_NE(std::string(error.what()).find(row.copy), std::string::npos) << error.what();
      }
    }
    remove_temp_dir(temp_dir_);
  }
}

TEST_F(ArchiveTest, LastMemberOfTheNameWins) {
  std::vector<Member> members = report("host-report", "old\n");
  members[3].perm = 0400;  // read-only: the later copy must still replace it
  members.push_back({"host-report/vantel/log/orvex/events", "middle\n", 0644});
  members.push_back({"host-report/vantel/log/orvex/events.1", "rotated\n"});
  members.push_back({"host-report/vantel/log/orvex/events", kLog, 0600});
  members.push_back({"other/vantel/log/orvex/events", "not this\n"});
  fs::path archive = scratch_.path() / "dup.tar.gz";
  write_tar(archive, members);
  fs::path events = extract_events_from_archive(archive, temp_dir_);
  EXPECT_EQ(read_file(events), kLog);
  struct stat status;
  ASSERT_EQ(::stat(events.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0600u);
  EXPECT_EQ(tree(temp_dir_ / "host-report/vantel/log/orvex"), std::vector<std::string>{"events"});
}

TEST_F(ArchiveTest, LargeAndSparseMembersArriveIntact) {
  // Many decompression blocks, and a member with holes, whose blocks come with offsets.
  std::string big;
  for (int i = 0; big.size() < (5u << 20); ++i) {
    big += "{\"PRIORITY\":\"INFO\",\"n\":" + std::to_string(i * 7919 % 100003) + "}\n";
  }
  TempDir source;
  fs::path log = source.write("big/vantel/log/orvex/events", big);
  fs::path archive = scratch_.path() / "big.tar.gz";
  run("tar -czf " + shell_quote(archive) + " -C " + shell_quote(source.path()) + " big");
  EXPECT_EQ(read_file(extract_events_from_archive(archive, temp_dir_)), big);
  remove_temp_dir(temp_dir_);

  {
    std::ofstream out(log, std::ios::binary | std::ios::trunc);
    out << "head\n";
    out.seekp(3 << 20);
    out << "middle\n";
  }
  fs::resize_file(log, 7 << 20);  // ends in a hole
  std::string sparse = read_file(log);
  fs::path sparse_archive = scratch_.path() / "sparse.tar";
  run("tar --sparse -cf " + shell_quote(sparse_archive) + " -C " + shell_quote(source.path()) +
      " big");
  EXPECT_EQ(read_file(extract_events_from_archive(sparse_archive, temp_dir_)), sparse);
}

TEST_F(ArchiveTest, AnythingButATarInTheThreeCompressionsIsAReadError) {
  TempDir source;
  source.write("host-report/vantel/log/orvex/events", kLog);
  fs::path zip = scratch_.path() / "sos.zip";
  run("cd " + shell_quote(source.path()) + " && zip -qr " + shell_quote(zip) + " host-report");
  fs::path gz_log = scratch_.path() / "events.gz";
  run("gzip -c " + shell_quote(source.path() / "host-report/vantel/log/orvex/events") + " > " +
      shell_quote(gz_log));
  fs::path gz_empty = scratch_.path() / "nothing.gz";
  run("printf '' | gzip -c > " + shell_quote(gz_empty));
  fs::path good = scratch_.path() / "good.tar.gz";
  write_tar(good, report("host-report"));
  std::string good_bytes = read_file(good);
  fs::path plain = scratch_.path() / "good.tar";
  write_tar(plain, report("host-report"), Compression::kNone);
  // Only the end-of-archive blocks: read as the log, they would pass for an empty one.
  fs::path no_members = scratch_.path() / "no-members.tar.gz";
  write_tar(no_members, {});
  std::string plain_bytes = read_file(plain);
  std::string bad_checksum = plain_bytes;
  bad_checksum[148] ^= 0x11;  // the first header's checksum field

  const struct {
    const char* name;
    std::string bytes;
  } rows[] = {
      {"sos.zip", read_file(zip)},
      {"sos.rar", std::string("Rar!\x1a\x07\x01\x00", 8) + std::string(600, 'r')},
      {"sos.7z", std::string("7z\xbc\xaf\x27\x1c\x00\x04", 8) + std::string(600, 'z')},
      {"events.gz", read_file(gz_log)},
      {"nothing.gz", read_file(gz_empty)},
      {"empty.tar", ""},
      {"events.tar", kLog},
      {"noise.tar.gz", std::string(4096, '\x5a')},
      {"cut.tar.gz", good_bytes.substr(0, good_bytes.size() / 2)},
      {"cut.tar", plain_bytes.substr(0, 1024 + 100)},
      {"checksum.tar", bad_checksum},
      {"no-members.tar.gz", read_file(no_members)},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    fs::path archive = scratch_.write(row.name, row.bytes);
    try {
      extract_events_from_archive(archive, temp_dir_);
      ADD_FAILURE() << "no error";
    } catch (const ReadError& error) {
      EXPECT_NE(std::string(error.what()).find(archive.string()), std::string::npos)
          << error.what();
    }
    // The directory stays for the caller to remove; nothing was unpacked into it.
    EXPECT_TRUE(fs::is_empty(temp_dir_));
    remove_temp_dir(temp_dir_);
  }
}

TEST_F(ArchiveTest, MissingArchiveIsFileNotFound) {
  EXPECT_THROW(extract_events_from_archive(scratch_.path() / "gone.tar.gz", temp_dir_),
               FileNotFoundError);
  EXPECT_TRUE(fs::is_empty(temp_dir_));
  remove_temp_dir(temp_dir_);
  EXPECT_THROW(extract_events_from_archive(scratch_.path(), temp_dir_), OSError);
}

TEST_F(ArchiveTest, NoLogAtTheExpectedPlaceIsAKeyErrorNamingTheMember) {
  std::vector<Member> readme_first = report("host-report");
  readme_first.insert(readme_first.begin(), {"README", "read me\n"});
  std::vector<Member> nested_top = report("x/host-report");
  nested_top.erase(nested_top.begin());
  std::vector<Member> no_log = report("host-report");
  no_log.erase(no_log.begin() + 3);
  std::vector<Member> other_spelling = report("host-report");
  other_spelling[3].name = "./host-report/vantel/log/orvex/events";
  const struct {
    const char* label;
    std::vector<Member> members;
    const char* wanted;
  } rows[] = {
      {"first member a file", readme_first, "README/vantel/log/orvex/events"},
      {"first member deeper", nested_top, "x/host-report/etc/hostname/vantel/log/orvex/events"},
      {"no log", no_log, "host-report/vantel/log/orvex/events"},
      {"names must match exactly", other_spelling, "host-report/vantel/log/orvex/events"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.label);
    fs::path archive = scratch_.path() / "repacked.tar.xz";
    write_tar(archive, row.members, Compression::kXz);
    try {
      extract_events_from_archive(archive, temp_dir_);
      ADD_FAILURE() << "no error";
    } catch (const KeyError& error) {
      std::string message = error.what();
      EXPECT_NE(message.find(std::string("'") + row.wanted + "'"), std::string::npos) << message;
      EXPECT_NE(message.find(archive.string()), std::string::npos) << message;
    }
    remove_temp_dir(temp_dir_);
  }
}

TEST_F(ArchiveTest, MemberNamesInMessagesCannotActOnTheTerminal) {
  const std::string top = "host\x1b]0;owned\x07";
  std::vector<Member> missing = report(top);
  missing.erase(missing.begin() + 3);
  std::vector<Member> linked = report(top);
  linked[3] = {top + "/vantel/log/orvex/events", "", 0777, AE_IFLNK, "/etc/shadow"};
  for (const auto& members : {missing, linked}) {
    fs::path archive = scratch_.path() / "controls.tar.gz";
    write_tar(archive, members);
    try {
      extract_events_from_archive(archive, temp_dir_);
      ADD_FAILURE() << "no error";
    } catch (const Error& error) {
      std::string message = error.what();
      EXPECT_EQ(message.find_first_of("\x1b\x07"), std::string::npos) << message;
      EXPECT_NE(message.find("'host\\x1b]0;owned\\x07/vantel/"), std::string::npos) << message;
    }
    remove_temp_dir(temp_dir_);
  }
}

TEST_F(ArchiveTest, NamesLeadingOutsideOrTooLongAreRefusedAndNothingIsWritten) {
  fs::path outside = scratch_.path() / "escaped";
  std::vector<Member> after_dot = report("../escaped");
  after_dot.insert(after_dot.begin(), {"./", "", 0755, AE_IFDIR});
  std::string deep = "host-report";
  while (deep.size() < PATH_MAX) deep += "/" + std::string(100, 'd');
  const struct {
    const char* label;
    std::vector<Member> members;
    const char* why;
  } rows[] = {
      {"absolute", report(outside.string()), "outside"},
      {"parent", report("../escaped"), "outside"},
      {"parent inside", report("host-report/../../escaped"), "outside"},
      {"root", report("/"), "outside"},
      {"parent after ./", after_dot, "outside"},
      // The viewer could not open the copy by its path.
      {"too long", report(deep), "too long"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.label);
    fs::path archive = scratch_.path() / "evil.tar.gz";
    write_tar(archive, row.members);
    try {
      extract_events_from_archive(archive, temp_dir_);
      ADD_FAILURE() << "no error";
    } catch (const ReadError& error) {
      EXPECT_NE(std::string(error.what()).find(row.why), std::string::npos) << error.what();
    }
    EXPECT_TRUE(fs::is_empty(temp_dir_));
    EXPECT_FALSE(fs::exists(outside));
    remove_temp_dir(temp_dir_);
  }
}

TEST_F(ArchiveTest, LogThatIsNotARegularFileIsRefused) {
  const std::string name = "host-report/vantel/log/orvex/events";
  const struct {
    const char* label;
    Member member;
    const char* kind;
  } rows[] = {
      {"symlink", {name, "", 0777, AE_IFLNK, "/etc/shadow"}, "a symbolic link"},
      {"hard link", {name, "", 0644, AE_IFREG, "host-report/etc/hostname", true}, "a hard link"},
      {"directory", {name + "/", "", 0755, AE_IFDIR}, "a directory"},
      {"fifo", {name, "", 0644, AE_IFIFO}, "a FIFO"},
      {"device", {name, "", 0644, AE_IFCHR}, "a character device"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.label);
    // A regular copy first does not help: the last member of the name decides.
    std::vector<Member> members = report("host-report");
    members.push_back(row.member);
    fs::path archive = scratch_.path() / "links.tar.gz";
    write_tar(archive, members);
    try {
      extract_events_from_archive(archive, temp_dir_);
      ADD_FAILURE() << "no error";
    } catch (const ReadError& error) {
      std::string message = error.what();
      EXPECT_NE(message.find(row.kind), std::string::npos) << message;
      EXPECT_NE(message.find("not a regular file"), std::string::npos) << message;
    }
    struct stat status;
    fs::path copy = temp_dir_ / name;
    if (::lstat(copy.c_str(), &status) == 0) {
      EXPECT_TRUE(S_ISREG(status.st_mode));
    }
    remove_temp_dir(temp_dir_);
  }
}

TEST_F(ArchiveTest, SpecialModeBitsAreDroppedAndRootGetsTheStoredOwner) {
  std::vector<Member> members = report("host-report");
  members[3].perm = 06755;
  members[3].uid = 4321;
  members[3].gid = 4322;
  members[3].uname = "no-such-user-lookout";
  fs::path archive = scratch_.path() / "owner.tar.gz";
  write_tar(archive, members);
  fs::path events = extract_events_from_archive(archive, temp_dir_);
  struct stat status;
  ASSERT_EQ(::stat(events.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0755u);
  if (::geteuid() == 0) {
    // An unknown owner name falls back to the stored number.
    EXPECT_EQ(status.st_uid, 4321u);
    EXPECT_EQ(status.st_gid, 4322u);
  } else {
    EXPECT_EQ(status.st_uid, ::geteuid());
  }
  remove_temp_dir(temp_dir_);

  // A known owner name wins over the stored number.
  members[3].uname = "root";
  members[3].gname = "root";
  write_tar(archive, members);
  events = extract_events_from_archive(archive, temp_dir_);
  ASSERT_EQ(::stat(events.c_str(), &status), 0);
  if (::geteuid() == 0) {
    EXPECT_EQ(status.st_uid, 0u);
    EXPECT_EQ(status.st_gid, 0u);
  }
}

TEST_F(ArchiveTest, CopyIsReadableByTheUserWhoMadeItWhateverTheStoredMode) {
  const struct {
    int stored, copy;
  } rows[] = {{0000, 0400}, {0200, 0600}, {0044, 0444}, {0640, 0640}, {07000, 0400}};
  fs::path archive = scratch_.path() / "modes.tar.gz";
  for (const auto& row : rows) {
    SCOPED_TRACE(row.stored);
    std::vector<Member> members = report("host-report");
    members[3].perm = row.stored;
    write_tar(archive, members);
    fs::path events = extract_events_from_archive(archive, temp_dir_);
    struct stat status;
    ASSERT_EQ(::stat(events.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, static_cast<mode_t>(row.copy));
    remove_temp_dir(temp_dir_);
  }

  // Root reads any file: the proof is a user who is refused what the mode does not grant.
  std::vector<Member> members = report("host-report");
  members[3].perm = 0000;
  write_tar(archive, members);
  EXPECT_EQ(
      as_nobody(scratch_.path(),
                [&] {
                  return read_file(extract_events_from_archive(archive, temp_dir_)) == kLog ? 0 : 1;
                }),
      0);
}

TEST(FreeSpaceMarginTest, TheLargerOfTheMinimumAndAShareOfTheFileSystemUpToAGibibyte) {
  constexpr std::uint64_t MiB = 1 << 20, GiB = 1 << 30;
  const struct {
    std::uint64_t file_system, minimum, margin;
  } rows[] = {
      {0, kKeepFreeMinimum, 256 * MiB},
      {2 * GiB, kKeepFreeMinimum, 256 * MiB},  // a small /tmp in memory
      {10 * GiB, kKeepFreeMinimum, 10 * GiB / 100 * 5},
      {40 * GiB, kKeepFreeMinimum, GiB},
      {4096 * GiB, kKeepFreeMinimum, GiB},
      {4096 * GiB, 8 * GiB, 8 * GiB},
      {2 * GiB, 0, 2 * GiB / 100 * 5},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.file_system);
    EXPECT_EQ(free_space_margin(row.file_system, row.minimum), row.margin);
  }
}

// The free space of the file system that holds `path`, in bytes, and its size.
std::pair<std::uint64_t, std::uint64_t> space_of(const fs::path& path) {
  struct statvfs fs;
  if (::statvfs(path.c_str(), &fs) != 0) return {0, 0};
  return {std::uint64_t{fs.f_bavail} * fs.f_frsize, std::uint64_t{fs.f_blocks} * fs.f_frsize};
}

TEST_F(ArchiveTest, HugeSparseMemberIsRefusedBeforeAnythingIsWritten) {
  // A few hundred bytes of archive that unpack to more than the disk holds: a hole.
  const std::uint64_t huge = space_of(scratch_.path()).second + (std::uint64_t{1} << 30);
  TempDir source;
  fs::path log = source.write("host/vantel/log/orvex/events", "");
  ASSERT_EQ(::truncate(log.c_str(), static_cast<off_t>(huge)), 0);
  fs::path archive = scratch_.path() / "holes.tar.gz";
  run("tar --sparse -czf " + shell_quote(archive) + " -C " + shell_quote(source.path()) + " host");
  EXPECT_LT(fs::file_size(archive), 4096u);
  create_temp_dir(temp_dir_);
  try {
    extract_events_into(archive, temp_dir_);
    ADD_FAILURE() << "no error";
  } catch (const OSError& error) {
    EXPECT_EQ(error.code(), std::errc::no_space_on_device);
    EXPECT_EQ(error.path(), scratch_.path());
    const std::string message = error.what();
    EXPECT_EQ(message.rfind("not enough space in '" + scratch_.path().string() +
                                "' to unpack 'host/vantel/log/orvex/events' (",
                            0),
              0u)
        << message;
    EXPECT_NE(message.find(" GiB) and keep "), std::string::npos) << message;
  }
  EXPECT_TRUE(fs::is_empty(temp_dir_));
}

TEST_F(ArchiveTest, MarginIsKeptFreeAlsoForASmallCopy) {
  std::string log(3 << 19, 'x');  // 1.5 MiB
  fs::path archive = scratch_.path() / "sos.tar.gz";
  write_tar(archive, report("host-report", log));
  create_temp_dir(temp_dir_);
  const std::uint64_t PiB = std::uint64_t{1} << 50;
  try {
    extract_events_into(archive, temp_dir_, nullptr, PiB);
    ADD_FAILURE() << "no error";
  } catch (const OSError& error) {
    EXPECT_EQ(error.code(), std::errc::no_space_on_device);
    EXPECT_EQ(error.what(), "not enough space in '" + scratch_.path().string() +
                                "' to unpack 'host-report/vantel/log/orvex/events' (1.5 MiB) "
                                "and keep 1.0 PiB free");
  }
  EXPECT_TRUE(fs::is_empty(temp_dir_));

  // Just enough room for the copy and the margin.
  const std::uint64_t room = space_of(scratch_.path()).first - log.size() - (64 << 20);
  EXPECT_EQ(read_file(extract_events_into(archive, temp_dir_, nullptr, room)), log);
}

TEST_F(ArchiveTest, FailedExtractionGoesWithTheTempFolder) {
  // As the viewer holds the folder: an optional TempFolder, made before the extraction.
  std::string log;
  for (std::uint64_t i = 0; log.size() < (4u << 20); ++i) {
    log += std::to_string(i * 7919 % 100003) + "\n";
  }
  fs::path whole = scratch_.path() / "whole.tar.gz";
  write_tar(whole, report("host-report", log));
  std::string bytes = read_file(whole);
  fs::path cut = scratch_.write("cut.tar.gz", bytes.substr(0, bytes.size() * 3 / 4));

  // Cut short in the middle of the log, the extraction leaves part of a copy behind.
  EXPECT_THROW(extract_events_from_archive(cut, temp_dir_), ReadError);
  EXPECT_TRUE(fs::exists(temp_dir_ / "host-report/vantel/log/orvex/events"));
  remove_temp_dir(temp_dir_);

  const struct {
    const char* label;
    fs::path archive;
    std::uint64_t keep_free;
  } rows[] = {
      {"cut short", cut, kKeepFreeMinimum},
      {"no room", whole, std::uint64_t{1} << 50},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.label);
    EXPECT_THROW(
        {
          std::optional<TempFolder> folder;
          folder.emplace(temp_dir_);
          extract_events_into(row.archive, folder->path(), nullptr, row.keep_free);
        },
        Error);
    EXPECT_FALSE(fs::exists(temp_dir_));
  }
}

TEST_F(ArchiveTest, InterruptStopsTheExtraction) {
  fs::path archive = scratch_.path() / "sos.tar.gz";
  write_tar(archive, report("host-report"));
  install_interrupt_handler();
  ::raise(SIGINT);
  EXPECT_THROW(extract_events_from_archive(archive, temp_dir_), KeyboardInterrupt);
  reset_interrupt();
}

TEST_F(ArchiveTest, InterruptWhileWaitingOnAFifoEndsTheWait) {
  // The viewer waits for a writer to open the FIFO, or for more data from one that did.
  fs::path archive = scratch_.path() / "sos.tar.gz";
  write_tar(archive, report("host-report"));
  const std::string bytes = read_file(archive);
  fs::path fifo = scratch_.path() / "fifo.tar.gz";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  install_interrupt_handler();

  {
    SCOPED_TRACE("no writer");
    Interrupter interrupter([] { return true; },
                            [&] { base::open_file(fifo.c_str(), O_WRONLY | O_NONBLOCK); });
    EXPECT_THROW(extract_events_from_archive(fifo, temp_dir_), KeyboardInterrupt);
  }
  reset_interrupt();
  remove_temp_dir(temp_dir_);

  {
    SCOPED_TRACE("writer that stops half-way");
    std::atomic<bool> written = false, finished = false;
    std::thread writer([&] {
      base::Fd out = base::open_file(fifo.c_str(), O_WRONLY);
      written = base::write_all(out.get(), bytes.data(), bytes.size() / 2);
      while (!finished) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    });
    {
      Interrupter interrupter([&] { return written.load(); }, [&] { finished = true; });
      EXPECT_THROW(extract_events_from_archive(fifo, temp_dir_), KeyboardInterrupt);
    }
    finished = true;
    writer.join();
  }
  reset_interrupt();
}

TEST_F(ArchiveTest, ReadsAFifoAsItReadsAFile) {
  // A plain tar, so that the large member before the log is passed over by seeking in the file
  // and by reading in the FIFO.
  std::string filler(3 << 20, 'f');
  std::vector<Member> members = report("host-report");
  members.insert(members.begin() + 2, {"host-report/var/big", filler});
  fs::path archive = scratch_.path() / "sos.tar";
  write_tar(archive, members, Compression::kNone);
  fs::path fifo = scratch_.path() / "fifo.tar";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);

  EXPECT_EQ(read_file(extract_events_from_archive(archive, temp_dir_)), kLog);
  remove_temp_dir(temp_dir_);
  std::thread writer([&] {
    std::string bytes = read_file(archive);
    base::Fd out = base::open_file(fifo.c_str(), O_WRONLY);
    base::write_all(out.get(), bytes.data(), bytes.size());
  });
  EXPECT_EQ(read_file(extract_events_from_archive(fifo, temp_dir_)), kLog);
  writer.join();
}

TEST_F(ArchiveTest, TempDirIsPrivateAndNeverReused) {
  mode_t old_mask = ::umask(0);
  create_temp_dir(temp_dir_);
  ::umask(old_mask);
  struct stat status;
  ASSERT_EQ(::stat(temp_dir_.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0700u);

  // Someone else's directory of the same name is an error and is left alone.
  scratch_.write(temp_dir_.filename().string() + "/theirs", "x");
  fs::path archive = scratch_.path() / "sos.tar.gz";
  write_tar(archive, report("host-report"));
  try {
    extract_events_from_archive(archive, temp_dir_);
    ADD_FAILURE() << "no error";
  } catch (const FileNotFoundError&) {
    ADD_FAILURE() << "wrong kind";
  } catch (const OSError& error) {
    EXPECT_EQ(error.code(), std::errc::file_exists);
    EXPECT_EQ(error.path(), temp_dir_);
  }
  EXPECT_EQ(tree(temp_dir_), std::vector<std::string>{"theirs"});

  EXPECT_THROW(create_temp_dir(scratch_.path() / "missing" / "tmp1.0"), FileNotFoundError);
}

TEST_F(ArchiveTest, RemoveTempDirTakesTheWholeTreeButNoLinkTarget) {
  std::vector<Member> members = report("host-report");
  members[3].perm = 0400;
  fs::path archive = scratch_.path() / "sos.tar.gz";
  write_tar(archive, members);
  fs::path events = extract_events_from_archive(archive, temp_dir_);
  fs::path outside = scratch_.write("outside/keep", "keep\n");
  fs::create_directory_symlink(outside.parent_path(), events.parent_path() / "link");
  fs::permissions(events.parent_path(),
                  fs::perms::owner_read | fs::perms::owner_write | fs::perms::owner_exec);

  remove_temp_dir(temp_dir_);
  EXPECT_FALSE(fs::exists(fs::symlink_status(temp_dir_)));
  EXPECT_EQ(read_file(outside), "keep\n");

  EXPECT_NO_THROW(remove_temp_dir({}));
  EXPECT_THROW(remove_temp_dir(temp_dir_), FileNotFoundError);
  fs::create_directory_symlink(outside.parent_path(), temp_dir_);
  EXPECT_THROW(remove_temp_dir(temp_dir_), OSError);
  EXPECT_EQ(read_file(outside), "keep\n");
}

TEST_F(ArchiveTest, RemovalWithoutPermissionIsAPermissionErrorAfterRemovingTheRest) {
  create_temp_dir(temp_dir_);
  LockedTree tree = locked_tree(temp_dir_);
  EXPECT_EQ(as_nobody(scratch_.path(),
                      [&] {
                        try {
                          remove_temp_dir(temp_dir_);
                          return 1;
                        } catch (const PermissionError& error) {
                          return mentions(error, tree.stuck) ? 0 : 2;
                        }
                      }),
            0)
      << "1: removed, 2: message without the path";
  EXPECT_TRUE(fs::exists(tree.stuck));
  EXPECT_FALSE(fs::exists(tree.free));
}

TEST_F(ArchiveTest, TempFolderIsRemovedWithItsOwnerOnly) {
  fs::path outside = scratch_.write("outside/keep", "keep\n");
  fs::path first = scratch_.path() / "tmp1.0", second = scratch_.path() / "tmp2.0";
  {
    TempFolder folder(first);
    EXPECT_EQ(folder.path(), first);
    struct stat status;
    ASSERT_EQ(::stat(first.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0700u);
    fs::path archive = scratch_.path() / "sos.tar.gz";
    std::vector<Member> members = report("host-report");
    members[3].perm = 0400;
    write_tar(archive, members);
    fs::path events = extract_events_into(archive, folder.path());
    fs::create_directory_symlink(outside.parent_path(), events.parent_path() / "link");
    fs::permissions(events.parent_path(), fs::perms::owner_read | fs::perms::owner_exec);

    // A move hands the folder on; the moved-from object removes nothing.
    TempFolder taken = std::move(folder);
    { TempFolder discarded = std::move(folder); }
    EXPECT_TRUE(fs::exists(events));
    TempFolder other(second);
    other = std::move(taken);  // the folder `other` held goes at once
    EXPECT_FALSE(fs::exists(second));
    EXPECT_TRUE(fs::exists(events));
  }
  EXPECT_FALSE(fs::exists(fs::symlink_status(first)));
  EXPECT_EQ(read_file(outside), "keep\n");
}

TEST_F(ArchiveTest, TempFolderNeverRemovesAFolderItDidNotMake) {
  fs::path theirs = scratch_.write("tmp1.0/theirs", "x");
  try {
    TempFolder folder(theirs.parent_path());
    ADD_FAILURE() << "no error";
  } catch (const FileNotFoundError&) {
    ADD_FAILURE() << "wrong kind";
  } catch (const OSError& error) {
    EXPECT_EQ(error.code(), std::errc::file_exists);
  }
  EXPECT_EQ(read_file(theirs), "x");
  EXPECT_THROW(TempFolder(scratch_.path() / "missing" / "tmp1.0"), FileNotFoundError);
}

TEST_F(ArchiveTest, TempFolderGoesQuietlyAfterRemovingWhatItCan) {
  // The destructor never throws; remove() reports, and then leaves the rest alone for good.
  fs::path quiet = scratch_.path() / "tmp1.0", loud = scratch_.path() / "tmp2.0";
  int status = as_nobody(scratch_.path(), [&] {
    {
      TempFolder folder(quiet);
      locked_tree(quiet);
    }
    TempFolder folder(loud);
    LockedTree tree = locked_tree(loud);
    try {
      folder.remove();
      return 1;
    } catch (const PermissionError& error) {
      if (!mentions(error, tree.stuck)) return 2;
    }
    // Removable now: only a second removal would take it.
    ::chmod(tree.stuck.parent_path().c_str(), 0755);
    return 0;
  });
  EXPECT_EQ(status, 0) << "1: removed, 2: message without the path";
  for (const fs::path& dir : {quiet, loud}) {
    SCOPED_TRACE(dir);
    EXPECT_EQ(tree(dir), (std::vector<std::string>{"host-report", "host-report/events"}));
  }
  ::chmod((quiet / "host-report").c_str(), 0755);
  ::chmod((loud / "host-report").c_str(), 0755);
}
}  // namespace
}  // namespace orvex
