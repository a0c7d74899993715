#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include <orvex/event_file.hpp>

#include "backward_line_reader.hpp"

#include "temp_path.hpp"

namespace orvex {
namespace {

using LineEnds = BackwardLineReader::LineEnds;

// Block sizes that put line ends, CR LF pairs and whole lines across block edges in small
// files, and the real one.
const std::size_t kBlockSizes[] = {1, 2, 3, 7, 64, BackwardLineReader::kBlockSize};

template <typename T>
std::vector<T> reversed(std::vector<T> items) {
  std::reverse(items.begin(), items.end());
  return items;
}

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

}  // namespace
}  // namespace orvex
