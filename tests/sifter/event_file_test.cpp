#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <base/utf8.hpp>
#include <orvex/errors.hpp>
#include <orvex/event_file.hpp>

#include "temp_path.hpp"

namespace orvex {
namespace {

using Mode = EventFile::Mode;

std::vector<std::string> all_lines(const std::filesystem::path& path, Mode mode) {
  EventFile file(path, mode);
  std::vector<std::string> lines;
  while (auto line = file.read_line()) lines.emplace_back(line->text);
  return lines;
}

TEST(EventFileTest, SplitsLinesAtEveryKindOfLineEnd) {
  struct Row {
    std::string content;
    Mode mode;
    std::vector<std::string> lines;
  };
  const std::vector<Row> rows = {
      {"", Mode::text, {}},
      {"a\nb\n", Mode::text, {"a", "b"}},
      {"a\nb", Mode::text, {"a", "b"}},
      {"a\r\nb\r\n", Mode::text, {"a", "b"}},
      {"a\rb\rc", Mode::text, {"a", "b", "c"}},
      {"a\r\rb\r", Mode::text, {"a", "", "b"}},
      {"\n\n", Mode::text, {"", ""}},
      {"a\r\nb\r\n", Mode::binary, {"a\r", "b\r"}},
      {"a\rb\n", Mode::binary, {"a\rb"}},
  };
  testing::TempDir dir;
  for (const Row& row : rows) {
    SCOPED_TRACE(::testing::PrintToString(row.content));
    EXPECT_EQ(all_lines(dir.write("events", row.content), row.mode), row.lines);
  }
}

TEST(EventFileTest, LinesAcrossAndBeyondTheBufferStayWhole) {
  // Put line ends just around the end of the first read, a CR LF split by it, and one line
  // several times longer than the buffer.
  const std::size_t mib = EventFile::kBufferSize;
  std::vector<std::string> expected = {std::string(mib - 3, 'a'), std::string(5, 'b'),
                                       std::string(3 * mib + 17, 'c'), "tail"};
  std::string content =
      expected[0] + "\r\n" + expected[1] + "\r\n" + expected[2] + "\n" + expected[3];
  ASSERT_EQ(content[mib - 2], '\n');
  testing::TempDir dir;
  auto path = dir.write("events", content);
  EXPECT_EQ(all_lines(path, Mode::text), expected);

  std::string crlf_split = std::string(mib - 1, 'x') + "\r\n" + "y\n";  // CR ends the first read
  EXPECT_EQ(all_lines(dir.write("split", crlf_split), Mode::text),
            (std::vector<std::string>{std::string(mib - 1, 'x'), "y"}));
}

TEST(EventFileTest, ReportsOffsetsAndWhetherTheLineEnded) {
  testing::TempDir dir;
  EventFile file(dir.write("events", "ab\r\ncd\nef"), Mode::text);
  auto first = file.read_line();
  ASSERT_TRUE(first);
  EXPECT_EQ(first->offset, 0u);
  EXPECT_TRUE(first->ended);
  EXPECT_EQ(file.tell(), 4u);
  auto second = file.read_line();
  EXPECT_EQ(second->offset, 4u);
  auto third = file.read_line();
  EXPECT_EQ(third->text, "ef");
  EXPECT_FALSE(third->ended);
  EXPECT_FALSE(file.read_line());
  EXPECT_EQ(file.seek(3, SEEK_SET), 3u);
  EXPECT_EQ(file.read_line()->text, "");
  EXPECT_EQ(file.seek(-2, SEEK_END), 7u);
  EXPECT_EQ(file.read_line()->text, "ef");
}

TEST(EventFileTest, UnfinishedLineWaitsForItsLineEnd) {
  testing::TempDir dir;
  auto path = dir.write("events", "one\ntw");
  EventFile file(path, Mode::text);
  EXPECT_EQ(file.read_line(false)->text, "one");
  EXPECT_FALSE(file.read_line(false));
  testing::append_file(path, "o\nthr");
  auto two = file.read_line(false);
  ASSERT_TRUE(two);
  EXPECT_EQ(two->text, "two");
  EXPECT_EQ(two->offset, 4u);
  EXPECT_FALSE(file.read_line(false));
  EXPECT_EQ(file.read_line(true)->text, "thr");
}

TEST(EventFileTest, InvalidUtf8NamesFileAndOffsetAndIsNotSkipped) {
  testing::TempDir dir;
  auto path = dir.write("events", "{\"a\": 1}\n{\"b\": \"\xff\"}\n{\"c\": 3}\n");
  EventFile file(path, Mode::text);
  EXPECT_TRUE(file.read_line());
  for (int attempt = 0; attempt < 2; ++attempt) {
    try {
      file.read_line();
      FAIL() << "no error";
    } catch (const UnicodeDecodeError& error) {
      EXPECT_EQ(error.offset(), 16u);
      EXPECT_EQ(error.path(), path);
      EXPECT_NE(std::string(error.what()).find(path.string()), std::string::npos);
      EXPECT_NE(std::string(error.what()).find("16"), std::string::npos);
    }
  }
  // Binary mode does not judge the bytes.
  EXPECT_EQ(all_lines(path, Mode::binary).size(), 3u);
}

TEST(EventFileTest, FindsTheFirstInvalidUtf8Byte) {
  const std::vector<std::pair<std::string, std::optional<std::size_t>>> rows = {
      {"plain", std::nullopt},
      {"\xd0\xb6\xe2\x82\xac\xf0\x9f\x98\x80", std::nullopt},
      {"ab\x80", 2},
      {"a\xc0\xaf", 1},           // overlong
      {"\xed\xa0\x80", 0},        // surrogate
      {"ok\xf4\x90\x80\x80", 2},  // beyond U+10FFFF
      {"\xe2\x82", 0},            // truncated
  };
  for (const auto& [bytes, expected] : rows) {
    SCOPED_TRACE(::testing::PrintToString(bytes));
    EXPECT_EQ(base::find_invalid_utf8(bytes), expected);
  }
}

TEST(EventFileTest, OpenErrorsAreTyped) {
  testing::TempDir dir;
  EXPECT_THROW(EventFile(dir.path() / "missing", Mode::text), FileNotFoundError);
  EXPECT_THROW(EventFile(dir.path(), Mode::text), OSError);
}

}  // namespace
}  // namespace orvex
