#include <gtest/gtest.h>

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <orvex/all_events_iterator.hpp>
#include <orvex/errors.hpp>
#include <orvex/interrupt.hpp>
#include <orvex/recent_event_iterator.hpp>
#include <orvex/time_range_event_iterator.hpp>

#include <orvex/new_event_iterator.hpp>
#include "interrupt_control.hpp"

#include "temp_path.hpp"

namespace orvex {
namespace {

struct Idle {};  // thrown by the script when it has nothing more to do

// Drives an iterator with a script: before each idle wait the next step runs (it appends to
// the file, say); when the script is done, the wait throws Idle. Returns the ids read.
std::vector<int> follow(OrvexNewEventIterator& it, std::deque<std::function<void()>> script) {
  it.set_poll_interval(std::chrono::milliseconds(1));
  it.set_before_wait([&script] {
    if (script.empty()) throw Idle();
    auto step = std::move(script.front());
    script.pop_front();
    step();
  });
  std::vector<int> ids;
  try {
    for (;;) ids.push_back(it.next()->value("id", -1));
  } catch (const Idle&) {
  }
  return ids;
}

std::string event(int id, const char* priority = "info") {
  return "{\"id\": " + std::to_string(id) + ", \"PRIORITY\": \"" + priority + "\"}\n";
}

TEST(NewEventIteratorTest, ShowsOnlyAppendedWholeEvents) {
  testing::TempDir dir;
  auto path = dir.write("events", event(1) + event(2));
  OrvexNewEventIterator it(path);
  it.set_priority_filter({"info"});
  auto append = [&](std::string text) { return [&, text] { testing::append_file(path, text); }; };
  std::string split = event(6);
  EXPECT_EQ(follow(it, {append(event(3) + event(4) + event(5)),
                        append("not json\n" + event(90, "debug") + "\n"),
                        append(split.substr(0, 9)), append(split.substr(9)), append(event(7))}),
            (std::vector<int>{3, 4, 5, 6, 7}));
}

TEST(NewEventIteratorTest, UnfinishedLastLineIsReadOnceFinished) {
  testing::TempDir dir;
  std::string pending = event(2);
  auto path = dir.write("events", event(1) + pending.substr(0, 5));
  OrvexNewEventIterator it(path);
  EXPECT_EQ(follow(it, {[&] { testing::append_file(path, pending.substr(5)); }}),
            (std::vector<int>{2}));
}

TEST(NewEventIteratorTest, KeepsTheFileItOpened) {
  testing::TempDir dir;
  auto path = dir.write("events", event(1));
  OrvexNewEventIterator it(path);
  EXPECT_EQ(follow(it, {[&] {
                     std::filesystem::rename(path, dir.path() / "events.1");
                     dir.write("events", event(50));
                     testing::append_file(dir.path() / "events.1", event(2));
                   }}),
            (std::vector<int>{2}));
}

TEST(NewEventIteratorTest, TruncatedFileIsSilentUntilItGrowsPastTheOldEnd) {
  testing::TempDir dir;
  std::string old = event(1) + event(2) + event(3);
  auto path = dir.write("events", old);
  OrvexNewEventIterator it(path);
  auto old_size = old.size();
  EXPECT_EQ(
      follow(it, {[&] { std::filesystem::resize_file(path, 0); },
                  [&] { testing::append_file(path, event(60)); },
                  // Past the old end: what follows the old offset is read from there.
                  [&] { testing::append_file(path, std::string(old_size, '\n') + event(4)); }}),
      (std::vector<int>{4}));
}

TEST(NewEventIteratorTest, InterruptCutsTheWaitShort) {
  testing::TempDir dir;
  OrvexNewEventIterator it(dir.write("events", ""));
  it.set_poll_interval(std::chrono::milliseconds(60000));
  install_interrupt_handler();
  pthread_t reader = pthread_self();
  std::thread interrupter([reader] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    pthread_kill(reader, SIGINT);  // in the middle of the wait
  });
  auto start = std::chrono::steady_clock::now();
  EXPECT_THROW(it.next(), KeyboardInterrupt);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  interrupter.join();
  reset_interrupt();
  it.close();
  EXPECT_FALSE(it.next().has_value());
}

// What a follower by name reported: its switches, and the lines it skipped as damage.
struct Reports : DamageReporter {
  std::vector<OrvexNewEventIterator::FileChange> changes;
  std::vector<std::pair<Damage::Kind, std::uint64_t>> damage;  // kind, byte offset
  void report(const Damage& d) override { damage.emplace_back(d.kind, d.where.offset); }
  void watch(OrvexNewEventIterator& it) {
    it.set_damage_reporter(this);
    it.set_on_file_change([this](OrvexNewEventIterator::FileChange c) { changes.push_back(c); });
  }
};

// Each row changes the file under its name between polls, as a rotating or truncating logger
// does; the follower by name ends up on the file the name refers to, the default one on the
// file it opened.
TEST(NewEventIteratorTest, FollowingTheNameSwitchesToTheFileTheNameRefersTo) {
  using Change = OrvexNewEventIterator::FileChange;
  struct Row {
    const char* name;
    bool by_name;
    std::string initial;
    // Steps, each before one wait; given the file's path and its folder.
    std::vector<std::function<void(const std::filesystem::path&, testing::TempDir&)>> steps;
    std::vector<int> ids;
    std::vector<Change> changes;
    std::vector<std::pair<Damage::Kind, std::uint64_t>> damage = {};
  };
  namespace fs = std::filesystem;
  using testing::append_file;
  const std::string split = event(4);
  const std::vector<Row> rows = {
      {"moved away, the old file finished after the move",
       true,
       event(1),
       {[](const fs::path& p, testing::TempDir& d) {
         fs::rename(p, d.path() / "events.1");
         d.write("events", event(3));
         append_file(d.path() / "events.1", event(2));
       }},
       {2, 3},
       {Change::replaced}},
      {"the same, followed by descriptor (the default)",
       false,
       event(1),
       {[](const fs::path& p, testing::TempDir& d) {
         fs::rename(p, d.path() / "events.1");
         d.write("events", event(3));
         append_file(d.path() / "events.1", event(2));
       }},
       {2},
       {}},
      {"removed, missing for a while, created again",
       true,
       event(1),
       {[](const fs::path& p, testing::TempDir&) { fs::remove(p); },
        [](const fs::path&, testing::TempDir&) {},
        [](const fs::path&, testing::TempDir& d) { d.write("events", event(2)); },
        [](const fs::path& p, testing::TempDir&) { append_file(p, event(3)); }},
       {2, 3},
       {Change::replaced}},
      {"truncated, then written again",
       true,
       event(1) + event(2),
       {[](const fs::path& p, testing::TempDir&) { fs::resize_file(p, 0); },
        [](const fs::path& p, testing::TempDir&) { append_file(p, event(3)); }},
       {3},
       {Change::truncated}},
      {"rewritten shorter in one go",
       true,
       event(1) + event(2) + event(3),
       {[](const fs::path&, testing::TempDir& d) { d.write("events", event(4)); }},
       {4},
       {Change::truncated}},
      {"rotated with a line left unfinished in the old file",
       true,
       event(1),
       {[&](const fs::path& p, testing::TempDir&) { append_file(p, split.substr(0, 7)); },
        [&](const fs::path& p, testing::TempDir& d) {
          fs::rename(p, d.path() / "events.1");
          d.write("events", split.substr(7) + event(5));
        }},
       // The old file's piece is damage, and so is the new file's, never one line of both.
       {5},
       {Change::replaced},
       {{Damage::Kind::unfinished, event(1).size()}, {Damage::Kind::not_json, 0}}},
      {"rotated twice",
       true,
       event(1),
       {[](const fs::path& p, testing::TempDir& d) {
          fs::rename(p, d.path() / "events.1");
          d.write("events", event(2));
        },
        [](const fs::path& p, testing::TempDir& d) {
          fs::rename(p, d.path() / "events.2");
          d.write("events", event(3));
        }},
       {2, 3},
       {Change::replaced, Change::replaced}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    testing::TempDir dir;
    fs::path path = dir.write("events", row.initial);
    OrvexNewEventIterator it(path);
    it.set_follow_name(row.by_name);
    Reports reports;
    reports.watch(it);
    std::deque<std::function<void()>> script;
    for (const auto& step : row.steps) script.push_back([&, step] { step(path, dir); });
    EXPECT_EQ(follow(it, script), row.ids);
    EXPECT_EQ(reports.changes, row.changes);
    EXPECT_EQ(reports.damage, row.damage);
  }
}

// The hand-over from a first pass: an event appended between the end of the first pass and
// the follower's start is shown (the follower does not start from a fresh look at the end),
// and a last line the first pass found without its line end is shown once, by the follower,
// once it is finished.
TEST(NewEventIteratorTest, FollowerGoesOnWhereTheFirstPassStopped) {
  auto dated = [](int id) {
    return "{\"id\": " + std::to_string(id) +
           ", \"PRIORITY\": \"info\", \"ISODATE\": \"2024-01-15T10:00:00\"}";
  };
  struct Row {
    const char* name;
    std::function<std::unique_ptr<OrvexEventIterator>(const std::filesystem::path&)> make;
    std::vector<int> alone;  // what the pass shows without a follower, as documented
  };
  const std::vector<Row> rows = {
      {"all events",
       [](const std::filesystem::path& p) { return std::make_unique<OrvexAllEventsIterator>(p); },
       {1, 2, 3}},
      {"time range",
       [](const std::filesystem::path& p) {
         return std::make_unique<OrvexTimeRangeEventIterator>(p, "2024-01-01");
       },
       {1, 2, 3}},
      {"recent lines",
       [](const std::filesystem::path& p) {
         return std::make_unique<OrvexRecentEventIterator>(p, 2);
       },
       {1, 2}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    testing::TempDir dir;
    // Event 3 is whole but for its line end.
    const std::string start = dated(1) + "\n" + dated(2) + "\n" + dated(3);
    auto path = dir.write("events", start);
    {
      std::unique_ptr<OrvexEventIterator> first = row.make(path);
      std::vector<int> shown;
      for (OrvexEvent& e : *first) shown.push_back(e.value("id", -1));
      EXPECT_EQ(shown, row.alone);
      EXPECT_FALSE(first->take_file().has_value());
    }
    std::unique_ptr<OrvexEventIterator> first = row.make(path);
    first->set_keep_file_at_end(true);
    std::vector<int> shown;
    for (OrvexEvent& e : *first) shown.push_back(e.value("id", -1));
    EXPECT_EQ(shown, (std::vector<int>{1, 2}));
    // Between the first pass and the follower: event 3 gets its line end, event 4 comes.
    testing::append_file(path, "\n" + dated(4) + "\n");
    std::optional<OpenEventFile> kept = first->take_file();
    ASSERT_TRUE(kept.has_value());
    EXPECT_FALSE(first->take_file().has_value());
    OrvexNewEventIterator follower(std::move(*kept));
    const std::string fifth = dated(5) + "\n";
    EXPECT_EQ(follow(follower, {[&] { testing::append_file(path, fifth.substr(0, 9)); },
                                [&] { testing::append_file(path, fifth.substr(9)); }}),
              (std::vector<int>{3, 4, 5}));
  }
}

TEST(NewEventIteratorTest, FirstPassStoppedAtTheUpperBoundKeepsNoFile) {
  testing::TempDir dir;
  auto path = dir.write("events",
                        "{\"id\": 1, \"ISODATE\": \"2024-01-15T10:00:00\"}\n"
                        "{\"id\": 2, \"ISODATE\": \"2024-03-15T10:00:00\"}\n");
  OrvexTimeRangeEventIterator first(path, "2024-01-01", "2024-01-31");
  first.set_keep_file_at_end(true);
  std::vector<int> shown;
  for (OrvexEvent& e : first) shown.push_back(e.value("id", -1));
  EXPECT_EQ(shown, (std::vector<int>{1}));
  EXPECT_FALSE(first.take_file().has_value());
}

// The reader of the output going away ends a wait at once, with EPIPE; an output that is
// still read, or a descriptor that is not open, lets the follower wait on.
TEST(NewEventIteratorTest, WatchedOutputEndsTheWaitWhenItsReaderGoesAway) {
  struct Row {
    const char* name;
    bool close_reader;
    bool watch_closed_descriptor;
  };
  const Row rows[] = {
      {"reader gone", true, false},
      {"reader still there", false, false},
      {"descriptor not open", false, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    testing::TempDir dir;
    OrvexNewEventIterator it(dir.write("events", ""));
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    if (row.close_reader) close(fds[0]);
    it.set_watched_output(row.watch_closed_descriptor ? fds[1] + 100 : fds[1]);
    if (row.close_reader) {
      it.set_poll_interval(std::chrono::milliseconds(60000));
      auto start = std::chrono::steady_clock::now();
      try {
        it.next();
        ADD_FAILURE() << "no error";
      } catch (const OSError& error) {
        EXPECT_EQ(error.code().value(), EPIPE);
      }
      EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    } else {
      int waits = 0;
      EXPECT_EQ(follow(it, {[&] { ++waits; }, [&] { ++waits; }}), std::vector<int>{});
      EXPECT_EQ(waits, 2);
      close(fds[0]);
    }
    close(fds[1]);
  }
}

// Every termination signal ends a wait at once, and the follower tells which one came.
TEST(NewEventIteratorTest, EveryTerminationSignalCutsTheWaitShort) {
  // A SIGHUP ignored from the start (nohup) would stay ignored.
  signal(SIGHUP, SIG_DFL);
  install_interrupt_handler();
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
    SCOPED_TRACE(sig);
    testing::TempDir dir;
    OrvexNewEventIterator it(dir.write("events", ""));
    it.set_poll_interval(std::chrono::milliseconds(60000));
    pthread_t reader = pthread_self();
    std::thread sender([reader, sig] {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      pthread_kill(reader, sig);
    });
    auto start = std::chrono::steady_clock::now();
    EXPECT_THROW(it.next(), KeyboardInterrupt);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(interrupt_signal(), sig);
    sender.join();
    reset_interrupt();
    EXPECT_EQ(interrupt_signal(), 0);
  }
}

}  // namespace
}  // namespace orvex
