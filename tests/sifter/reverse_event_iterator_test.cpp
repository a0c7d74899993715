#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include <orvex/all_events_iterator.hpp>
#include <orvex/errors.hpp>
#include <orvex/interrupt.hpp>
#include <orvex/recent_event_iterator.hpp>
#include <orvex/reverse_event_iterator.hpp>
#include <orvex/time_range_event_iterator.hpp>

#include "backward_line_reader.hpp"
#include "interrupt_control.hpp"
#include "reverse_iterator_seam.hpp"

#include "temp_path.hpp"

namespace orvex {
namespace {

using Bound = std::optional<std::string>;
using LineEnds = BackwardLineReader::LineEnds;

// Block sizes that put line ends, CR LF pairs and whole lines across block edges in small
// files, and the real one.
const std::size_t kBlockSizes[] = {1, 2, 3, 7, 64, BackwardLineReader::kBlockSize};

std::vector<OrvexEvent> events(OrvexEventIterator& it) {
  std::vector<OrvexEvent> result;
  for (OrvexEvent& event : it) result.push_back(event);
  return result;
}

std::vector<int> ids(OrvexEventIterator& it) {
  std::vector<int> result;
  for (OrvexEvent& event : it) result.push_back(event.value("id", -1));
  return result;
}

template <typename T>
std::vector<T> reversed(std::vector<T> items) {
  std::reverse(items.begin(), items.end());
  return items;
}

std::unique_ptr<OrvexReverseEventIterator> reverse(const std::filesystem::path& path,
                                                   const ReverseSelection& selection,
                                                   std::size_t block_size) {
  return ReverseIteratorSeam::make(path, selection, block_size);
}

std::string event(int id, const std::string& date, const std::string& priority = "info") {
  return "{\"id\": " + std::to_string(id) + ", \"ISODATE\": \"" + date + "\", \"PRIORITY\": \"" +
         priority + "\"}\n";
}

// What a damage notice says, without the line number that only a forward reader knows.
using Notice = std::tuple<std::uint64_t, Damage::Kind, std::string>;

class DamageLog : public DamageReporter {
 public:
  void report(const Damage& damage) override {
    notices.emplace_back(damage.where.offset, damage.kind, damage.detail);
    numbered = numbered || damage.where.number.has_value();
  }
  std::vector<Notice> notices;
  bool numbered = false;
};

// --- the backward line reader ---

struct ReadLine {
  std::string text;
  std::uint64_t offset;
  bool ended;
  bool too_long;
  bool operator==(const ReadLine&) const = default;
};

void PrintTo(const ReadLine& line, std::ostream* out) {
  *out << ::testing::PrintToString(line.text) << "@" << line.offset << (line.ended ? "" : " open")
       << (line.too_long ? " too long" : "");
}

std::vector<ReadLine> forward_lines(const std::filesystem::path& path, EventFile::Mode mode) {
  EventFile file(path, mode);
  std::vector<ReadLine> lines;
  while (auto line = file.read_line()) {
    lines.push_back({std::string(line->text), line->offset, line->ended, line->too_long});
  }
  return lines;
}

std::vector<ReadLine> backward_lines(const std::filesystem::path& path, LineEnds ends,
                                     std::size_t block_size,
                                     std::size_t max_line = EventFile::kMaxLineBytes) {
  EventFile file(path, EventFile::Mode::binary);
  BackwardLineReader reader(file, file.size(), ends, block_size, max_line);
  std::vector<ReadLine> lines;
  while (const EventFile::Line* line = reader.peek()) {
    EXPECT_EQ(reader.peek(), line) << "the same line until it is taken";
    EXPECT_FALSE(line->number.has_value());
    lines.push_back({std::string(line->text), line->offset, line->ended, line->too_long});
    reader.pop();
  }
  EXPECT_EQ(reader.peek(), nullptr) << "the end is signalled again";
  return lines;
}

TEST(BackwardLineReaderTest, LineEnds) {
  struct Row {
    std::string content;
    LineEnds ends;
    std::vector<ReadLine> last_first;
  };
  const std::vector<Row> rows = {
      {"", LineEnds::text, {}},
      {"a", LineEnds::text, {{"a", 0, false, false}}},
      {"a\n", LineEnds::text, {{"a", 0, true, false}}},
      {"\n", LineEnds::text, {{"", 0, true, false}}},
      {"\r", LineEnds::text, {{"", 0, true, false}}},
      {"\r\n", LineEnds::text, {{"", 0, true, false}}},
      {"\n\n", LineEnds::text, {{"", 1, true, false}, {"", 0, true, false}}},
      {"ab\r\ncd", LineEnds::text, {{"cd", 4, false, false}, {"ab", 0, true, false}}},
      {"a\rb\rc",
       LineEnds::text,
       {{"c", 4, false, false}, {"b", 2, true, false}, {"a", 0, true, false}}},
      {"a\r\rb\r",
       LineEnds::text,
       {{"b", 3, true, false}, {"", 2, true, false}, {"a", 0, true, false}}},
      {"a\n\r\nb\r\n",
       LineEnds::text,
       {{"b", 4, true, false}, {"", 2, true, false}, {"a", 0, true, false}}},
      {"a\r\nb\r\n", LineEnds::lf, {{"b\r", 3, true, false}, {"a\r", 0, true, false}}},
      {"a\rb\nc\r", LineEnds::lf, {{"c\r", 4, false, false}, {"a\rb", 0, true, false}}},
  };
  testing::TempDir dir;
  for (const Row& row : rows) {
    auto path = dir.write("lines", row.content);
    for (std::size_t block : kBlockSizes) {
      SCOPED_TRACE(::testing::PrintToString(row.content) + ", block " + std::to_string(block));
      EXPECT_EQ(backward_lines(path, row.ends, block), row.last_first);
    }
  }
}

// The forward reader is the reference: random mixes of LF, CR and text, sparse and dense.
TEST(BackwardLineReaderTest, MatchesTheForwardReadReversed) {
  testing::TempDir dir;
  std::mt19937 rng(5);
  for (int file = 0; file < 80; ++file) {
    std::string content(rng() % (file < 60 ? 200 : 3000), 'x');
    const unsigned density = 1 + rng() % 40;
    for (char& ch : content) {
      if (rng() % density == 0) ch = rng() % 3 == 0 ? '\r' : '\n';
    }
    if (file % 4 == 1) content += "\r\n";
    auto path = dir.write("lines", content);
    const auto text = reversed(forward_lines(path, EventFile::Mode::text));
    const auto bytes = reversed(forward_lines(path, EventFile::Mode::binary));
    for (std::size_t block : kBlockSizes) {
      SCOPED_TRACE("file " + std::to_string(file) + ", block " + std::to_string(block));
      ASSERT_EQ(backward_lines(path, LineEnds::text, block), text);
      ASSERT_EQ(backward_lines(path, LineEnds::lf, block), bytes);
    }
  }
}

TEST(BackwardLineReaderTest, LongLinesAreSkippedInBoundedMemory) {
  constexpr std::size_t kMax = 100;
  const std::string longest_kept(kMax, 'y');
  const std::string content = "short\r\n" + std::string(1000, 'x') + "\r\n" + longest_kept + "\n" +
                              std::string(kMax + 1, 'z');
  const std::uint64_t y_at = 7 + 1000 + 2, z_at = y_at + kMax + 1;
  const std::vector<ReadLine> expected = {{"", z_at, false, true},
                                          {longest_kept, y_at, true, false},
                                          {"", 7, true, true},
                                          {"short", 0, true, false}};
  testing::TempDir dir;
  auto path = dir.write("lines", content);
  for (std::size_t block : {1u, 7u, 16u, 64u}) {
    SCOPED_TRACE("block " + std::to_string(block));
    EXPECT_EQ(backward_lines(path, LineEnds::text, block, kMax), expected);
    EventFile file(path, EventFile::Mode::binary);
    BackwardLineReader reader(file, file.size(), LineEnds::text, block, kMax);
    while (reader.peek()) reader.pop();
    EXPECT_LE(reader.capacity(), kMax + 2 * block);
  }
}

TEST(BackwardLineReaderTest, MemoryFollowsTheBlockNotTheFile) {
  std::string content;
  for (int i = 0; i < 20000; ++i) content += std::string(i % 300, 'a') + "\n";
  testing::TempDir dir;
  auto path = dir.write("lines", content);
  EventFile file(path, EventFile::Mode::binary);
  BackwardLineReader reader(file, file.size(), LineEnds::text);
  std::size_t lines = 0;
  for (; reader.peek(); reader.pop()) ++lines;
  EXPECT_EQ(lines, 20000u);
  EXPECT_GT(content.size(), 20 * BackwardLineReader::kBlockSize);
  EXPECT_EQ(reader.capacity(), 2 * BackwardLineReader::kBlockSize);
}

// --- the iterator against the forward iterators ---

struct GeneratedLog {
  std::string content;
  std::vector<std::string> dates;  // of the dated events, in file order
};

// Events in time order, one second apart, with random priorities, sources and lengths (some
// several blocks long), LF, CR LF or a lone CR after each, among blank, broken, undated and
// (when asked) not UTF-8 lines.
GeneratedLog generate(std::mt19937& rng, int lines, bool bad_utf8, bool unfinished) {
  const char* const priorities[] = {"info", "notice", "crit", "debug"};
  const char* const sources[] = {"orvex-audit", "kernel", "device_mount"};
  GeneratedLog log;
  for (int id = 1; id <= lines; ++id) {
    char date[32];
    std::snprintf(date, sizeof date, "2024-03-05T%02d:%02d:%02d", id / 3600, id / 60 % 60, id % 60);
    const std::string pad(rng() % 7 == 0 ? rng() % 3000 : rng() % 200, '.');
    std::string line = "{\"id\": " + std::to_string(id) + ", \"PRIORITY\": \"" +
                       priorities[rng() % 4] + "\", \"ISODATE\": \"" + date + "\", \"MSG\": {\"" +
                       sources[rng() % 3] + "\": {\"pad\": \"" + pad + "\"}}}";
    bool dated = true;
    switch (rng() % 24) {
      case 0:
        line.clear();
        dated = false;
        break;
      case 1:
        line = " \t ";
        dated = false;
        break;
      case 2:
        line.resize(line.size() / 2 + 40);  // broken after the date
        break;
      case 3:
        line = "[" + line + "]";
        break;
      case 4:
        line = "{\"id\": " + std::to_string(id) + ", \"PRIORITY\": \"crit\"}";
        dated = false;
        break;
      case 5:
        if (bad_utf8) line.insert(line.size() - 3, "\xC3\x28");
        break;
    }
    if (dated) log.dates.push_back(date);
    const unsigned end = rng() % 12;
    log.content += line + (end == 0 ? "\r\n" : end == 1 ? "\r" : "\n");
  }
  if (unfinished) log.content += "{\"id\": 0, \"PRIORITY\": \"crit\", \"ISODATE\": \"2024-03-06\"}";
  return log;
}

struct Filter {
  std::vector<std::string> priority, source;
};

const std::vector<Filter> kFilters = {{{}, {}}, {{"crit"}, {}}, {{"info", "debug"}, {"kern"}}};

void apply(const Filter& filter, OrvexEventIterator& it) {
  if (!filter.priority.empty()) it.set_priority_filter(filter.priority);
  if (!filter.source.empty()) it.set_source_filter(filter.source);
}

struct Outcome {
  std::vector<OrvexEvent> events;
  std::vector<Notice> notices;
};

Outcome run(OrvexEventIterator& it, const Filter& filter, bool report) {
  DamageLog log;
  apply(filter, it);
  if (report) it.set_damage_reporter(&log);
  Outcome outcome{events(it), log.notices};
  EXPECT_FALSE(it.next().has_value()) << "the end is signalled again";
  return outcome;
}

struct LogShape {
  const char* name;
  int lines;
  bool bad_utf8, unfinished;
  std::vector<std::size_t> blocks;
};

const std::vector<LogShape> kShapes = {
    {"one line", 1, false, false, {1, 7, 65536}},
    {"a few lines, an unfinished last one", 6, false, true, {1, 3, 64, 65536}},
    {"smaller than a block", 80, false, false, {7, 64, 65536}},
    {"damaged lines", 150, true, true, {5, 100, 65536}},
    {"several blocks", 2500, false, true, {1000, 4096, 65536}},
    {"several blocks, damaged", 2500, true, false, {65536}},
};

TEST(ReverseEventIteratorTest, AllEventsAreTheForwardOnesReversed) {
  testing::TempDir dir;
  std::mt19937 rng(17);
  for (const LogShape& shape : kShapes) {
    const auto path =
        dir.write("events", generate(rng, shape.lines, shape.bad_utf8, shape.unfinished).content);
    for (const Filter& filter : kFilters) {
      // Lines that are not UTF-8 raise without a reporter, at different lines in each direction.
      for (bool report : {true, false}) {
        if (shape.bad_utf8 && !report) continue;
        OrvexAllEventsIterator forward(path);
        const Outcome expected = run(forward, filter, report);
        if (shape.lines > 100) {
          ASSERT_FALSE(expected.events.empty());
        }
        for (std::size_t block : shape.blocks) {
          SCOPED_TRACE(std::string(shape.name) + ", " + std::to_string(filter.priority.size()) +
                       " priorities, block " + std::to_string(block) +
                       (report ? ", reported" : ""));
          auto it = reverse(path, ReverseSelection::all(), block);
          const Outcome actual = run(*it, filter, report);
          EXPECT_EQ(actual.events, reversed(expected.events));
          EXPECT_EQ(actual.notices, reversed(expected.notices));
        }
      }
    }
  }
}

TEST(ReverseEventIteratorTest, RecentLinesAreTheForwardOnesReversed) {
  testing::TempDir dir;
  std::mt19937 rng(23);
  for (const LogShape& shape : kShapes) {
    const auto path =
        dir.write("events", generate(rng, shape.lines, shape.bad_utf8, shape.unfinished).content);
    const std::int64_t n = shape.lines;
    for (std::int64_t count :
         {std::int64_t{-1}, std::int64_t{0}, std::int64_t{1}, n / 3, n - 1, n, n + 5}) {
      const Filter& filter = kFilters[static_cast<std::size_t>(count + 1) % kFilters.size()];
      OrvexRecentEventIterator forward(path, count);
      const Outcome expected = run(forward, filter, true);
      for (std::size_t block : shape.blocks) {
        SCOPED_TRACE(std::string(shape.name) + ", count " + std::to_string(count) + ", block " +
                     std::to_string(block));
        auto it = reverse(path, ReverseSelection::recent(count), block);
        const Outcome actual = run(*it, filter, true);
        EXPECT_EQ(actual.events, reversed(expected.events));
        EXPECT_EQ(actual.notices, reversed(expected.notices));
      }
    }
  }
}

TEST(ReverseEventIteratorTest, TimeRangeInAnOrderedFileIsTheForwardOneReversed) {
  testing::TempDir dir;
  std::mt19937 rng(29);
  for (const LogShape& shape : kShapes) {
    if (shape.bad_utf8) continue;  // each direction reads other lines outside the range
    const GeneratedLog log = generate(rng, shape.lines, false, shape.unfinished);
    const auto path = dir.write("events", log.content);
    const auto date = [&log](std::size_t at) -> Bound {
      return log.dates.empty() ? Bound() : log.dates[std::min(at, log.dates.size() - 1)];
    };
    const std::size_t n = log.dates.size();
    const std::vector<std::pair<Bound, Bound>> bounds = {
        {{}, {}},      {date(n / 4), date(n / 2)},   {date(n / 2), date(n / 2)}, {date(n - 1), {}},
        {{}, date(0)}, {"2024-03-05", "2024-03-05"}, {"2024-03-06", {}},
    };
    for (const auto& [since, until] : bounds) {
      const Filter& filter = kFilters[since.value_or("").size() % kFilters.size()];
      OrvexTimeRangeEventIterator forward(path, since, until);
      const std::vector<OrvexEvent> expected = run(forward, filter, false).events;
      for (std::size_t block : shape.blocks) {
        SCOPED_TRACE(std::string(shape.name) + ", " + since.value_or("-") + " .. " +
                     until.value_or("-") + ", block " + std::to_string(block));
        auto it = reverse(path, ReverseSelection::time_range(since, until), block);
        EXPECT_EQ(it->date_since(), forward.date_since());
        EXPECT_EQ(it->date_until(), forward.date_until());
        EXPECT_EQ(run(*it, filter, false).events, reversed(expected));
      }
    }
  }
}

// Lines that end exactly where a block ends, and CR LF pairs split by a block edge.
TEST(ReverseEventIteratorTest, LinesAtBlockEdges) {
  constexpr std::size_t kBlock = 64;
  std::string content;
  for (int id = 1; id <= 40; ++id) {
    const bool split = id % 3 == 0;  // CR the last byte of a block, LF the first of the next
    const std::string head = "{\"id\": " + std::to_string(id) + ", \"p\": \"";
    const std::string tail = split || id % 5 == 0 ? "\"}\r\n" : "\"}\n";
    const std::size_t edge = content.size() + head.size() + tail.size() - (split ? 1 : 0);
    content += head + std::string((kBlock - edge % kBlock) % kBlock, '.') + tail;
    ASSERT_EQ((content.size() - (split ? 1 : 0)) % kBlock, 0u);
  }
  testing::TempDir dir;
  auto path = dir.write("events", content);
  OrvexAllEventsIterator forward(path);
  const std::vector<int> expected = reversed(ids(forward));
  ASSERT_EQ(expected.size(), 40u);
  for (std::size_t block : {kBlock, kBlock / 2, kBlock + 1}) {
    SCOPED_TRACE(block);
    EXPECT_EQ(ids(*reverse(path, ReverseSelection::all(), block)), expected);
    OrvexRecentEventIterator recent(path, 40);
    EXPECT_EQ(ids(*reverse(path, ReverseSelection::recent(40), block)), reversed(ids(recent)));
  }
}

// --- rules of the selections ---

TEST(ReverseEventIteratorTest, LineEndsAndUnfinishedLastLine) {
  struct Row {
    const char* name;
    std::string content;
    std::vector<int> all, recent;  // recent: the last 10 lines
  };
  const std::vector<Row> rows = {
      {"LF", "{\"id\": 1}\n{\"id\": 2}\n", {2, 1}, {2, 1}},
      {"CR LF, trimmed for recent", "{\"id\": 1}\r\n{\"id\": 2}\r\n", {2, 1}, {2, 1}},
      {"lone CR ends a line, but not a recent one", "{\"id\": 1}\r{\"id\": 2}\n", {2, 1}, {}},
      {"CR at the very end", "{\"id\": 1}\n{\"id\": 2}\r", {2, 1}, {1}},
      {"unfinished last line", "{\"id\": 1}\n{\"id\": 2}", {2, 1}, {1}},
      {"blank and white space lines", "\n{\"id\": 1}\n \t\r\n\r\n{\"id\": 2}\n\n", {2, 1}, {2, 1}},
      {"VT and FF trimmed for recent only", "\v{\"id\": 1}\f\n", {}, {1}},
      {"no line end at all", "{\"id\": 1}", {1}, {}},
      {"empty", "", {}, {}},
  };
  testing::TempDir dir;
  for (const Row& row : rows) {
    auto path = dir.write("events", row.content);
    OrvexAllEventsIterator all(path);
    OrvexRecentEventIterator recent(path, 10);
    ASSERT_EQ(reversed(ids(all)), row.all) << row.name;
    ASSERT_EQ(reversed(ids(recent)), row.recent) << row.name;
    for (std::size_t block : {1u, 4u, 65536u}) {
      SCOPED_TRACE(std::string(row.name) + ", block " + std::to_string(block));
      EXPECT_EQ(ids(*reverse(path, ReverseSelection::all(), block)), row.all);
      EXPECT_EQ(ids(*reverse(path, ReverseSelection::recent(10), block)), row.recent);
    }
  }
}

TEST(ReverseEventIteratorTest, FiltersAndAnOverride) {
  const std::string log =
      "{\"id\": 1, \"PRIORITY\": \"crit\", \"MSG\": {\"kernel\": {}}}\n"
      "{\"id\": 2, \"PRIORITY\": \"info\", \"MSG\": {\"device_mount\": {}}}\n"
      "{\"id\": 3, \"PRIORITY\": \"crit\", \"MSG\": {\"orvex-audit\": {}}}\n"
      "{\"id\": 4, \"PRIORITY\": \"crit\"}\n"
      "{\"id\": 5, \"PRIORITY\": \"\\u0063rit\", \"MSG\": {\"kernel\": {}}}\n";
  struct Row {
    Filter filter;
    std::vector<int> expected;
  };
  const std::vector<Row> rows = {
      {{{}, {}}, {5, 4, 3, 2, 1}},
      {{{"crit"}, {}}, {5, 4, 3, 1}},
      {{{}, {"mount", "audit"}}, {3, 2}},
      {{{"crit"}, {"kern"}}, {5, 1}},
      {{{"emerg"}, {}}, {}},
  };
  testing::TempDir dir;
  auto path = dir.write("events", log);
  for (const Row& row : rows) {
    OrvexReverseEventIterator it(path);
    apply(row.filter, it);
    EXPECT_EQ(ids(it), row.expected);
  }

  class OddIdsOnly : public OrvexReverseEventIterator {
   public:
    using OrvexReverseEventIterator::OrvexReverseEventIterator;

   protected:
    bool filter_event(const OrvexEvent& event) override {
      return OrvexReverseEventIterator::filter_event(event) && event.value("id", 0) % 2 == 1;
    }
  } odd(path);
  odd.set_priority_filter({"crit"});
  EXPECT_EQ(ids(odd), (std::vector<int>{5, 3, 1}));
}

TEST(ReverseEventIteratorTest, TimeRangeBoundsAndDatedLines) {
  const std::string log = event(1, "2024-03-04T23:59:59.999999") + "{\"id\": 2}\n" +
                          event(3, "2024-03-05T00:00:00") + event(4, "2024-03-05T10:00:00Z") +
                          "{\"id\": 5, \"DATE\": \"2024-03-05 12:00:00\"}\r\n" +
                          event(6, "2024-03-05T23:59:59.5") + event(7, "2024-03-06T00:00:00");
  struct Row {
    Bound since, until;
    std::vector<int> expected;
  };
  const std::vector<Row> rows = {
      {{}, {}, {7, 6, 5, 4, 3, 1}},
      {"", "", {7, 6, 5, 4, 3, 1}},
      {"2024-03-05", "2024-03-05", {6, 5, 4, 3}},
      {{}, "2024-03-05 00:00:00.5", {3, 1}},
      {"2024-03-05 10:00", "2024-03-05T10:00:00+05:00", {4}},
      {"2024-03-05 23:59:59.5", {}, {7, 6}},
      {"2024-03-06", "2024-03-05", {}},
  };
  testing::TempDir dir;
  auto path = dir.write("events", log);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.since.value_or("(none)") + " .. " + row.until.value_or("(none)"));
    OrvexReverseEventIterator it(path, ReverseSelection::time_range(row.since, row.until));
    EXPECT_EQ(ids(it), row.expected);
  }
}

// Each direction stops at the first dated line past its own end of the range, so on a file
// out of order they differ: going backwards, lines later than the range are skipped wherever
// they stand and the first earlier one ends the iteration.
TEST(ReverseEventIteratorTest, TimeRangeOnAFileOutOfOrder) {
  struct Row {
    const char* name;
    std::string log;
    std::vector<int> reverse, forward;
  };
  const std::vector<Row> rows = {
      {"an earlier line amid the range ends it",
       event(1, "2024-03-05T09:00") + event(2, "2024-03-04T12:00") + event(3, "2024-03-05T10:00"),
       {3},
       {1, 3}},
      {"a later line amid the range is skipped",
       event(1, "2024-03-05T09:00") + event(2, "2024-03-07T00:00") + event(3, "2024-03-05T10:00"),
       {3, 1},
       {1}},
      {"an earlier line past the bound ends it even when broken",
       event(1, "2024-03-05T09:00") + "{\"ISODATE\": \"2024-03-04T00:00\" broken\n" +
           event(3, "2024-03-05T10:00"),
       {3},
       {1, 3}},
  };
  testing::TempDir dir;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    auto path = dir.write("events", row.log);
    OrvexReverseEventIterator backward(path,
                                       ReverseSelection::time_range("2024-03-05", "2024-03-05"));
    OrvexTimeRangeEventIterator forward(path, "2024-03-05", "2024-03-05");
    EXPECT_EQ(ids(backward), row.reverse);
    EXPECT_EQ(ids(forward), row.forward);
  }
}

TEST(ReverseEventIteratorTest, ConstructionErrors) {
  testing::TempDir dir;
  auto path = dir.write("events", event(1, "2024-03-05"));
  try {
    OrvexReverseEventIterator it(path, ReverseSelection::time_range("not a date", {}));
    FAIL() << "accepted";
  } catch (const ValueError& error) {
    EXPECT_NE(std::string(error.what()).find("'not a date'"), std::string::npos);
  }
  EXPECT_THROW(OrvexReverseEventIterator(path, ReverseSelection::time_range({}, "2024-02-30")),
               ValueError);
  EXPECT_THROW(OrvexReverseEventIterator(dir.path() / "absent",
                                         ReverseSelection::time_range("not a date", {})),
               FileNotFoundError)
      << "the file is opened before the bounds are read";
  EXPECT_THROW(OrvexReverseEventIterator(dir.path()), OSError);
}

// --- damage ---

TEST(ReverseEventIteratorTest, DamageIsReportedByOffsetNewestFirst) {
  const std::string first = event(1, "2024-03-05T09:00");
  const std::string not_json = "{\"id\": 2, \"ISODATE\": \"2024-03-05T09:30\"\n";
  const std::string bad_utf8 =
      "{\"id\": 3, \"x\": \"\xC3\x28\", \"ISODATE\": \"2024-03-05T10:00\"}\n";
  const std::string bad_date = "{\"id\": 4, \"DATE\": \"Mar  5 11:00:00\"}\n";
  const std::string array = "[5]\r\n";
  const std::string last = event(6, "2024-03-05T12:00");
  const std::uint64_t at2 = first.size(), at3 = at2 + not_json.size(), at4 = at3 + bad_utf8.size(),
                      at5 = at4 + bad_date.size();
  testing::TempDir dir;
  auto path = dir.write("events", first + not_json + bad_utf8 + bad_date + array + last);
  using Kind = Damage::Kind;
  struct Row {
    ReverseSelection selection;
    std::vector<int> expected;
    std::vector<Notice> notices;
  };
  const std::vector<Row> rows = {
      {ReverseSelection::all(),
       {6, 4, 1},
       {{at5, Kind::not_object, ""},
        {at3, Kind::not_utf8, std::to_string(bad_utf8.find('\xC3') + 1)},
        {at2, Kind::not_json, ""}}},
      {ReverseSelection::recent(4),
       {6, 4},
       {{at5, Kind::not_object, ""},
        {at3, Kind::not_utf8, std::to_string(bad_utf8.find('\xC3') + 1)}}},
      {ReverseSelection::time_range({}, {}),
       {6, 1},
       {{at5, Kind::not_object, ""},
        {at4, Kind::unreadable_date, "'Mar  5 11:00:00'"},
        {at3, Kind::not_utf8, std::to_string(bad_utf8.find('\xC3') + 1)},
        {at2, Kind::not_json, ""}}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(static_cast<int>(row.selection.kind));
    OrvexReverseEventIterator it(path, row.selection);
    DamageLog log;
    it.set_damage_reporter(&log);
    it.iter();
    std::vector<int> seen;
    std::vector<std::uint64_t> offsets;
    while (auto e = it.next()) {
      seen.push_back(e->value("id", -1));
      EXPECT_FALSE(it.position().number.has_value());
      offsets.push_back(it.position().offset);
    }
    EXPECT_EQ(seen, row.expected);
    EXPECT_EQ(offsets.front(), at5 + array.size()) << "position() gives the offset";
    EXPECT_EQ(log.notices, row.notices);
    EXPECT_FALSE(log.numbered) << "no line numbers when reading backwards";
  }
}

TEST(ReverseEventIteratorTest, WithoutAReporterDamageRaises) {
  const std::string head = event(1, "2024-03-05T09:00");
  const std::string bad = "  {\"id\": 2, \"x\": \"\xC3\x28\", \"ISODATE\": \"2024-03-05T09:30\"}\n";
  const std::string tail = event(3, "2024-03-05T10:00");
  testing::TempDir dir;
  auto path = dir.write("events", head + bad + tail);
  for (const ReverseSelection& selection : {ReverseSelection::all(), ReverseSelection::recent(3),
                                            ReverseSelection::time_range({}, {})}) {
    SCOPED_TRACE(static_cast<int>(selection.kind));
    OrvexReverseEventIterator it(path, selection);
    EXPECT_EQ(it.next()->value("id", -1), 3);
    for (int attempt = 0; attempt < 2; ++attempt) {
      try {
        it.next();
        FAIL() << "no error";
      } catch (const UnicodeDecodeError& error) {
        EXPECT_EQ(error.offset(), head.size() + bad.find('\xC3'));
        EXPECT_EQ(error.path(), path);
      }
    }
  }

  auto dates = dir.write("dates", head + "{\"id\": 2, \"DATE\": \"Mar  5 09:30\"}\n" + tail);
  OrvexReverseEventIterator it(dates, ReverseSelection::time_range({}, {}));
  EXPECT_EQ(it.next()->value("id", -1), 3);
  try {
    it.next();
    FAIL() << "no error";
  } catch (const ValueError& error) {
    EXPECT_NE(std::string(error.what()).find("'Mar  5 09:30'"), std::string::npos);
  }
  EXPECT_EQ(it.next()->value("id", -1), 1) << "the iteration goes on before the bad line";
}

TEST(ReverseEventIteratorTest, ALineTooLongIsSkippedAndReported) {
  const std::string head = event(1, "2024-03-05T09:00");
  const std::string huge = "{\"id\": 2, \"ISODATE\": \"2024-03-05T09:30\", \"x\": \"" +
                           std::string(EventFile::kMaxLineBytes, 'x') + "\"}\r\n";
  const std::string tail = event(3, "2024-03-05T10:00");
  testing::TempDir dir;
  auto path = dir.write("events", head + huge + tail);
  for (const ReverseSelection& selection : {ReverseSelection::all(), ReverseSelection::recent(3),
                                            ReverseSelection::time_range({}, {})}) {
    SCOPED_TRACE(static_cast<int>(selection.kind));
    {
      OrvexReverseEventIterator it(path, selection);
      DamageLog log;
      it.set_damage_reporter(&log);
      EXPECT_EQ(ids(it), (std::vector<int>{3, 1}));
      EXPECT_EQ(log.notices, (std::vector<Notice>{{head.size(), Damage::Kind::too_long, ""}}));
    }
    OrvexReverseEventIterator quiet(path, selection);
    EXPECT_EQ(ids(quiet), (std::vector<int>{3, 1})) << "skipped silently without a reporter";
  }
  OrvexAllEventsIterator forward(path);
  DamageLog forward_log;
  forward.set_damage_reporter(&forward_log);
  EXPECT_EQ(ids(forward), (std::vector<int>{1, 3}));
  EXPECT_EQ(forward_log.notices, (std::vector<Notice>{{head.size(), Damage::Kind::too_long, ""}}));
}

// --- reading only what is needed ---

// An iteration stopped after the newest events never reaches the front of the file: here a
// line that would raise.
TEST(ReverseEventIteratorTest, StoppingEarlyReadsOnlyTheTail) {
  std::string log = "{\"id\": 0, \"x\": \"\xff\"}\n";
  for (int id = 1; id <= 20000; ++id) {
    log += "{\"id\": " + std::to_string(id) + ", \"PRIORITY\": \"" +
           (id % 50 == 0 ? "crit" : "info") + "\"}\n";
  }
  testing::TempDir dir;
  auto path = dir.write("events", log);
  OrvexReverseEventIterator it(path);
  it.set_priority_filter({"crit"});
  it.iter();
  for (int id : {20000, 19950, 19900}) EXPECT_EQ(it.next()->value("id", -1), id);
  OrvexReverseEventIterator whole(path);
  EXPECT_THROW(ids(whole), UnicodeDecodeError);
}

TEST(ReverseEventIteratorTest, TheSizeIsTakenAtConstruction) {
  testing::TempDir dir;
  auto path = dir.write("events", "{\"id\": 1}\n{\"id\": 2}\n");
  OrvexReverseEventIterator grown(path);
  testing::append_file(path, "{\"id\": 3}\n");
  EXPECT_EQ(ids(grown), (std::vector<int>{2, 1}));

  OrvexReverseEventIterator shrunk(path);
  std::filesystem::resize_file(path, 5);
  EXPECT_THROW(shrunk.next(), OSError) << "a file cut short under the iterator";
}

TEST(ReverseEventIteratorTest, ALongScanStopsOnInterrupt) {
  std::string log;
  for (int i = 0; i < 10000; ++i) log += "{\"PRIORITY\": \"info\"}\n";
  testing::TempDir dir;
  auto path = dir.write("events", log);
  for (const ReverseSelection& selection :
       {ReverseSelection::all(), ReverseSelection::time_range({}, "2024-01-01")}) {
    OrvexReverseEventIterator it(path, selection);
    install_interrupt_handler();
    ::raise(SIGINT);
    EXPECT_THROW(it.next(), KeyboardInterrupt);
    reset_interrupt();
  }
}

}  // namespace
}  // namespace orvex
