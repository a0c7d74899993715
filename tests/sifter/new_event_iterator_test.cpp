#include <gtest/gtest.h>

#include <pthread.h>
#include <signal.h>

#include <chrono>
#include <deque>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <orvex/errors.hpp>
#include <orvex/interrupt.hpp>

#include "interrupt_control.hpp"
#include <orvex/new_event_iterator.hpp>

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
                        append(split.substr(0, 9)), append(split.substr(9)),
                        append(event(7))}),
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
  EXPECT_EQ(follow(it, {[&] { std::filesystem::resize_file(path, 0); },
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

}  // namespace
}  // namespace orvex
