#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "date_finder.hpp"

namespace orvex {
namespace {

// The date pattern run by PCRE2: the reference the hand-written finder must agree with.
class ReferencePattern {
 public:
  ReferencePattern() {
    int error = 0;
    PCRE2_SIZE offset = 0;
    static constexpr char kPattern[] = R"re("(ISODATE|DATE)"\s*:\s*"([^"]+)")re";
    code_ = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(kPattern), PCRE2_ZERO_TERMINATED, 0, &error,
                          &offset, nullptr);
    match_ = pcre2_match_data_create_from_pattern(code_, nullptr);
  }
  ~ReferencePattern() {
    pcre2_match_data_free(match_);
    pcre2_code_free(code_);
  }
  std::optional<std::string> find(std::string_view line) const {
    int rc = pcre2_match(code_, reinterpret_cast<PCRE2_SPTR>(line.data()), line.size(), 0, 0,
                         match_, nullptr);
    if (rc < 0) return std::nullopt;
    PCRE2_SIZE* ovector = pcre2_get_ovector_pointer(match_);
    return std::string(line.substr(ovector[4], ovector[5] - ovector[4]));
  }

 private:
  pcre2_code* code_ = nullptr;
  pcre2_match_data* match_ = nullptr;
};

std::optional<std::string> finder(std::string_view line) {
  std::optional<std::string_view> found = find_date(line);
  if (!found) return std::nullopt;
  return std::string(*found);
}

TEST(DateFinderTest, AgreesWithThePatternOnRawLines) {
  struct Row {
    std::string line;
    std::optional<std::string> expected;
  };
  const std::vector<Row> rows = {
      {R"({"PRIORITY":"info","ISODATE":"2024-03-05T10:00:00+03:00","DATE":"Mar  5 10:00:00"})",
       "2024-03-05T10:00:00+03:00"},
      {R"({"DATE":"Mar  5 10:00:00","ISODATE":"2024-03-05T10:00:00"})", "Mar  5 10:00:00"},
      {R"({"MSG":{"x":{"DATE":"nested"}},"ISODATE":"2024-03-05"})", "nested"},
      {R"({"ISODATE" : "2024"})", "2024"},
      {"{\"DATE\"\t:\t\"tabs\"}", "tabs"},
      {"{\"DATE\" \r\n\v\f: \t\"all blanks\"}", "all blanks"},
      {R"({"DATE":"","ISODATE":"second"})", "second"},
      {R"({"DATE":""})", std::nullopt},
      {R"({"DATE":"a\"b"})", "a\\"},
      {R"({"XDATE":"no","ISOXDATE":"no","SODATE":"no","XISODATE":"x"})", std::nullopt},
      {R"({"ISODATE ":"blank inside quotes"})", std::nullopt},
      {R"({" DATE":"blank before"})", std::nullopt},
      {R"({"date":"lower case"})", std::nullopt},
      {R"({"DATE":)", std::nullopt},
      {R"({"DATE": )", std::nullopt},
      {R"({"DATE": ")", std::nullopt},
      {R"({"DATE": "unclosed)", std::nullopt},
      {R"({"DATE"})", std::nullopt},
      {R"({"DATE" "x"})", std::nullopt},
      {R"({"DATE"::"x"})", std::nullopt},
      {R"("DATE":"DATE":"x")", "DATE"},
      {R"({"ISODATE":"x)", std::nullopt},
      {R"(DATE":"at the start")", std::nullopt},
      {R"("ISODATE":"at the start")", "at the start"},
      {R"({"MSG":"DATE","DATE":"v"})", "v"},
      {R"({"MSG":"ISODATE":"v"})", "v"},
      {R"({"DATE":"dé 10:00"})", "dé 10:00"},
      {"", std::nullopt},
      {"DATE\"", std::nullopt},
  };
  ReferencePattern pattern;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.line);
    ASSERT_EQ(pattern.find(row.line), row.expected) << "the table itself is wrong";
    EXPECT_EQ(finder(row.line), row.expected);
  }
}

// Lines built at random from the pieces the finder treats specially, so that hits, near
// misses and failures follow each other in every order.
TEST(DateFinderTest, AgreesWithThePatternOnGeneratedLines) {
  const std::vector<std::string> pieces = {
      "\"", "DATE", "ISODATE", "ISO",        "\"DATE\"", "\"ISODATE\"", ":", " ", "\t",    "x",
      "{",  "}",    ",",       "2024-03-05", "\\\"",     "\"\"",        "O", "D", "ATE\"", "\n"};
  ReferencePattern pattern;
  std::mt19937 rng(7);
  for (int n = 0; n < 20000; ++n) {
    std::string line;
    int length = 1 + static_cast<int>(rng() % 12);
    for (int i = 0; i < length; ++i) line += pieces[rng() % pieces.size()];
    SCOPED_TRACE(line);
    ASSERT_EQ(finder(line), pattern.find(line));
  }
}

}  // namespace
}  // namespace orvex
