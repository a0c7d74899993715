// Text from the log must never reach a terminal as a control: every escape form, the doubling
// rule for backslashes, and printable text in any script passing unchanged.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <base/terminal_safe.hpp>

namespace orvex::base {
namespace {

TEST(TerminalSafeTest, EscapesControlsAndKeepsPrintableText) {
  struct Row {
    std::string in, out;
  };
  const std::vector<Row> rows = {
      {"", ""},
      {"plain ascii text, 100% safe", "plain ascii text, 100% safe"},
      {"Пользователь вошёл в систему", "Пользователь вошёл в систему"},
      {"日本語 😀 café", "日本語 😀 café"},
      {"title \x1b]0;pwned\x07 here", "title \\x1b]0;pwned\\x07 here"},
      {"\x1b[2J", "\\x1b[2J"},
      {"name\r\n01.01.2024 forged", "name\\r\\n01.01.2024 forged"},
      {"a\tb", "a\\tb"},
      {std::string("nul\0byte", 8), "nul\\x00byte"},
      {"del\x7f", "del\\x7f"},
      {"c1 \xc2\x9b"
       "31m",
       "c1 \\u009b31m"},
      {"\xc2\x80\xc2\x9f\xc2\xa0", "\\u0080\\u009f\xc2\xa0"},  // NBSP is printable
      {"rtl \xe2\x80\xae"
       "gnp.exe",
       "rtl \\u202egnp.exe"},
      {"\xe2\x80\xaa\xe2\x80\xab\xe2\x80\xac\xe2\x80\xad", "\\u202a\\u202b\\u202c\\u202d"},
      {"\xe2\x81\xa6x\xe2\x81\xa9", "\\u2066x\\u2069"},
      {"\xe2\x80\x94 dash", "\xe2\x80\x94 dash"},  // other punctuation of the block passes
      {"stray \x9b byte", "stray \\x9b byte"},
      {"caf\xe9", "caf\\xe9"},
      {"cut \xd0", "cut \\xd0"},
      // Backslashes: kept alone unless they would read as an escape.
      {"C:\\Windows\\system32", "C:\\Windows\\system32"},
      {"C:\\Users\\nobody", "C:\\Users\\\\nobody"},
      {"\\x1b is not ESC", "\\\\x1b is not ESC"},
      {"two \\\\ slashes", "two \\\\\\ slashes"},
      {"slash before ESC \\\x1b", "slash before ESC \\\\\\x1b"},
      {"trailing \\", "trailing \\"},
      {"\\u202e", "\\\\u202e"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.in);
    EXPECT_EQ(terminal_safe(row.in), row.out);
    EXPECT_EQ(is_terminal_safe(row.in), row.in == row.out);
  }
}

// The fast scan works in blocks: a control at every position of a long text is found.
TEST(TerminalSafeTest, FindsAControlAtAnyPosition) {
  for (std::size_t at = 0; at < 70; ++at) {
    std::string text(70, 'a');
    text[at] = '\x1b';
    std::string expected = std::string(at, 'a') + "\\x1b" + std::string(69 - at, 'a');
    ASSERT_EQ(terminal_safe(text), expected) << at;
  }
  std::string cyrillic;
  for (int i = 0; i < 40; ++i) cyrillic += "ж";
  EXPECT_EQ(terminal_safe(cyrillic + "\xff"), cyrillic + "\\xff");
}

TEST(TerminalSafeTest, QuotedIsShortAndSafe) {
  EXPECT_EQ(quoted("it's"), "'it's'");
  EXPECT_EQ(quoted("a\x1b[31mb"), "'a\\x1b[31mb'");
  EXPECT_EQ(quoted(std::string(100, 'x'), 10), "'xxxxxxxxxx'...");
  EXPECT_EQ(quoted("жжжжж", 3), "'ж'...");  // cut at a character boundary
}

}  // namespace
}  // namespace orvex::base
