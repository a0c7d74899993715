#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include <orvex/errors.hpp>
#include <orvex/recent_event_iterator.hpp>

#include "backward_scan.hpp"
#include "temp_path.hpp"

namespace orvex {
namespace {

using Positions = std::vector<std::uint64_t>;

class ExposedRecentIterator : public OrvexRecentEventIterator {
 public:
  using OrvexRecentEventIterator::find_positions;
  using OrvexRecentEventIterator::OrvexRecentEventIterator;
};

std::vector<int> ids(OrvexEventIterator& it) {
  std::vector<int> result;
  for (OrvexEvent& event : it) result.push_back(event.value("id", -1));
  return result;
}

// The scan as one byte at a time from the last byte towards the first, counting LF bytes:
// the reference that the block-wise scan must agree with.
Positions byte_by_byte(const std::string& content, std::int64_t count) {
  std::int64_t lines_found = 0;
  Positions positions;
  for (std::size_t i = content.size(); i-- > 0;) {
    if (content[i] == '\n') {
      ++lines_found;
      if (lines_found - 1 > count) break;  // lines_found > count + 1, without overflow
      positions.push_back(i + 1);
    }
  }
  if (lines_found <= count) positions.push_back(0);
  return {positions.rbegin(), positions.rend()};
}

constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();

// Three complete lines of 10 bytes each; the second file adds an unfinished fourth line
// that is a valid event, so reading it would show.
TEST(RecentEventIteratorTest, WorkedExample) {
  const std::string complete = "{\"id\": 1}\n{\"id\": 2}\n{\"id\": 3}\n";
  ASSERT_EQ(complete.size(), 30u);
  struct Row {
    std::int64_t count;
    Positions positions;
    std::vector<int> ids;
  };
  const std::vector<Row> rows = {
      {kMin, {}, {}},
      {-1, {}, {}},
      {0, {30}, {}},
      {1, {20, 30}, {3}},
      {2, {10, 20, 30}, {2, 3}},
      {3, {0, 10, 20, 30}, {1, 2, 3}},
      {4, {0, 10, 20, 30}, {1, 2, 3}},
      {kMax, {0, 10, 20, 30}, {1, 2, 3}},
  };
  testing::TempDir dir;
  for (const std::string& content : {complete, complete + "{\"id\": 4}"}) {
    auto path = dir.write("events", content);
    for (const Row& row : rows) {
      SCOPED_TRACE("size " + std::to_string(content.size()) + ", count " +
                   std::to_string(row.count));
      ExposedRecentIterator it(path, row.count);
      EXPECT_EQ(it.find_positions(), row.positions);
      EXPECT_EQ(ids(it), row.ids);
      EXPECT_FALSE(it.next().has_value()) << "the end is signalled again";
    }
  }
}

TEST(RecentEventIteratorTest, BlockScanMatchesByteByByteScan) {
  testing::TempDir dir;
  std::mt19937 rng(11);
  for (int file = 0; file < 60; ++file) {
    // Sparse, dense and clustered line ends, LF as first and last byte, no LF at all.
    std::string content(rng() % 300, 'x');
    unsigned density = 1 + rng() % 12;
    for (char& ch : content) {
      if (rng() % density == 0) ch = '\n';
    }
    if (file % 5 == 1 && !content.empty()) content.front() = '\n';
    if (file % 3 == 0 && !content.empty()) content.back() = '\n';
    if (file == 7) content = std::string(100, 'y');
    auto path = dir.write("scan", content);
    std::int64_t lf = std::count(content.begin(), content.end(), '\n');
    for (std::size_t block : {1u, 2u, 3u, 7u, 64u, 65536u}) {
      for (std::int64_t count :
           {-2L, -1L, 0L, 1L, 2L, 3L, lf / 2, lf - 2, lf - 1, lf, lf + 1, lf + 2}) {
        SCOPED_TRACE("file " + std::to_string(file) + ", block " + std::to_string(block) +
                     ", count " + std::to_string(count));
        ASSERT_EQ(find_line_starts(EventFile(path, EventFile::Mode::binary), count, block),
                  byte_by_byte(content, count));
      }
    }
    EXPECT_EQ(find_line_starts(EventFile(path, EventFile::Mode::binary), kMax),
              byte_by_byte(content, kMax));
  }
}

TEST(RecentEventIteratorTest, FilesWithoutCompleteEvents) {
  struct Row {
    const char* name;
    std::string content;
    std::int64_t count;
    Positions positions;
  };
  const std::vector<Row> rows = {
      {"empty file", "", 5, {0}},
      {"no LF, a valid event", "{\"id\": 1}", 5, {0}},
      {"a single LF", "\n", 1, {0, 1}},
      {"blank and broken lines", "\n  \t\n{\n{}{}\n[1]x\n", 10, {0, 1, 5, 7, 12, 17}},
  };
  testing::TempDir dir;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ExposedRecentIterator it(dir.write("events", row.content), row.count);
    EXPECT_EQ(it.find_positions(), row.positions);
    EXPECT_EQ(ids(it), std::vector<int>{});
  }
}

TEST(RecentEventIteratorTest, LinesAreTrimmedAndFilteredWithoutReplacement) {
  testing::TempDir dir;
  auto path = dir.write("events",
                        "{\"id\": 1, \"PRIORITY\": \"info\"}\n"
                        "{\"id\": 2, \"PRIORITY\": \"info\"}\n"
                        "  {\"id\": 3, \"PRIORITY\": \"info\"}\t \r\n"
                        "\n"
                        "{\"id\": 5, \"PRIORITY\": \"debug\"}\n"
                        "\v{\"id\": 6, \"PRIORITY\": \"info\"}\f\n"
                        "{\"id\": 7, \"PRIORITY\": \"info\"}\r\n");
  OrvexRecentEventIterator it(path, 5);
  it.set_priority_filter({"info"});
  EXPECT_EQ(ids(it), (std::vector<int>{3, 6, 7}));
}

TEST(RecentEventIteratorTest, TailOfAFileLargerThanOneBlock) {
  testing::TempDir dir;
  std::string content;
  for (int id = 1; id <= 5000; ++id) {
    content +=
        "{\"id\": " + std::to_string(id) + ", \"pad\": \"" + std::string(id % 50, '.') + "\"}\n";
  }
  ASSERT_GT(content.size(), 3u * 65536);
  OrvexRecentEventIterator it(dir.write("events", content), 3000);
  std::vector<int> expected;
  for (int id = 2001; id <= 5000; ++id) expected.push_back(id);
  EXPECT_EQ(ids(it), expected);
}

TEST(RecentEventIteratorTest, InvalidUtf8StopsAtThatLineUntilItIsReported) {
  testing::TempDir dir;
  const std::string first = "{\"id\": 1}\n";
  const std::string bad = "  {\"id\": 2, \"x\": \"\xC3\x28\"}\n";
  auto path = dir.write("events", first + bad + "{\"id\": 3}\n");
  OrvexRecentEventIterator it(path, 3);
  it.iter();
  EXPECT_EQ(it.next()->value("id", -1), 1);
  for (int attempt = 0; attempt < 2; ++attempt) {
    SCOPED_TRACE(attempt);
    try {
      it.next();
      FAIL() << "no error";
    } catch (const UnicodeDecodeError& error) {
      EXPECT_EQ(error.offset(), first.size() + bad.find('\xC3'));
      EXPECT_EQ(error.path(), path);
    }
    EXPECT_EQ(it.current_line, 1u);
  }
  it.current_line = 2;  // past the bad line, as a caller that reported it may choose
  EXPECT_EQ(it.next()->value("id", -1), 3);
  EXPECT_FALSE(it.next().has_value());
}

TEST(RecentEventIteratorTest, PositionsAreFixedWhenBuilt) {
  testing::TempDir dir;
  auto path = dir.write("events", "{\"id\": 1}\n{\"id\": 2}\n{\"id\": 3");
  OrvexRecentEventIterator it(path, 10);
  testing::append_file(path, "}\n{\"id\": 4}\n");
  it.iter();
  EXPECT_EQ(it.next()->value("id", -1), 1);
  EXPECT_EQ(it.iter().next()->value("id", -1), 1) << "a new iteration starts from the first";
  EXPECT_EQ(it.next()->value("id", -1), 2);
  EXPECT_FALSE(it.next().has_value()) << "lines finished or added later are not read";
}

TEST(RecentEventIteratorTest, AFileCutShortAfterTheScanYieldsWhatIsLeft) {
  testing::TempDir dir;
  auto path = dir.write("events", "{\"id\": 1}\n{\"id\": 2}\n{\"id\": 3}\n");
  OrvexRecentEventIterator it(path, 3);
  std::filesystem::resize_file(path, 15);
  EXPECT_EQ(ids(it), std::vector<int>{1});
}

TEST(RecentEventIteratorTest, MissingFile) {
  testing::TempDir dir;
  EXPECT_THROW(OrvexRecentEventIterator(dir.path() / "absent", 10), FileNotFoundError);
}

}  // namespace
}  // namespace orvex
