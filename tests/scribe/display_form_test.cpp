#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include <orvex/errors.hpp>
#include <orvex/event_formatter.hpp>

namespace orvex {
namespace {

// The display form of `value`, read off its line of a raw block: "v:" then padding up to the
// column of the longest key, "PRIORITY" (8 characters + 2).
std::string display(OrvexEvent value) {
  // Built with room for every field: the fields vector copies its values when it grows, and
  // a copy of a deeply nested value recurses.
  OrvexEvent event = OrvexEvent::object();
  auto& fields = event.get_ref<OrvexEvent::object_t&>();
  fields.reserve(3);
  fields.emplace_back("PRIORITY", "info");
  fields.emplace_back("v", std::move(value));
  fields.emplace_back("MSG", OrvexEvent{{"kernel", OrvexEvent::object()}});
  std::string block = OrvexEventFormatter(std::nullopt, false, true).format_event(event);
  std::size_t start = block.find("\nv:        ");
  std::size_t end = block.rfind("\nsource:");
  if (start == std::string::npos || end == std::string::npos) return "<no v line in>" + block;
  start += 11;
  return block.substr(start, end - start);
}

TEST(DisplayFormTest, Values) {
  struct Row {
    std::string_view json;
    std::string_view shown;
  };
  const std::vector<Row> rows = {
      // text as it is, even with quotes; controls from the log never reach the terminal
      {R"("plain")", "plain"},
      {R"("it's \"x\"")", R"(it's "x")"},
      {R"("a\u001b[1mb")", R"(a\x1b[1mb)"},
      {R"("line\r\nforged")", R"(line\r\nforged)"},
      {R"("")", ""},
      // integers
      {"0", "0"},
      {"42", "42"},
      {"-7", "-7"},
      {"-9223372036854775808", "-9223372036854775808"},
      {"18446744073709551615", "18446744073709551615"},
      // beyond 64 bits the decoder yields a fraction, shown as one
      {"18446744073709551616", "1.8446744073709552e+19"},
      // fractions: shortest round trip, ".0" for whole values, exponent form outside
      // [1e-4, 1e16)
      {"1.0", "1.0"},
      {"0.5", "0.5"},
      {"0.1", "0.1"},
      {"-0.0", "-0.0"},
      {"100.0", "100.0"},
      {"123.456", "123.456"},
      {"-2.75", "-2.75"},
      {"0.0001", "0.0001"},
      {"0.00012", "0.00012"},
      {"1e-5", "1e-05"},
      {"0.000099", "9.9e-05"},
      {"9999999999999998.0", "9999999999999998.0"},
      {"1e15", "1000000000000000.0"},
      {"1e16", "1e+16"},
      {"1.5e16", "1.5e+16"},
      {"-1.5e16", "-1.5e+16"},
      {"1e22", "1e+22"},
      {"1e100", "1e+100"},
      {"2.5e-300", "2.5e-300"},
      {"5e-324", "5e-324"},
      {"1.7976931348623157e308", "1.7976931348623157e+308"},
      {"0.30000000000000004", "0.30000000000000004"},
      // the constants
      {"true", "True"},
      {"false", "False"},
      {"null", "None"},
      // lists and mappings, with text items quoted
      {"[]", "[]"},
      {"{}", "{}"},
      {R"(["a", 1, 2.0, true, false, null])", "['a', 1, 2.0, True, False, None]"},
      {R"({"a": "b"})", "{'a': 'b'}"},
      {R"({"a": "b", "n": 1, "l": [1e-5]})", "{'a': 'b', 'n': 1, 'l': [1e-05]}"},
      {R"({"k": [{"x": []}, [[]]]})", "{'k': [{'x': []}, [[]]]}"},
      {R"({"z": 1, "a": 2})", "{'z': 1, 'a': 2}"},
      // quote choice
      {R"(["it's"])", R"(["it's"])"},
      {R"(["say \"hi\""])", R"(['say "hi"'])"},
      {R"(["both ' and \""])", R"(['both \' and "'])"},
      {R"({"it's": "x"})", R"({"it's": 'x'})"},
      // escapes inside quoted items
      {R"(["a\\b"])", R"(['a\\b'])"},
      {R"(["l1\nl2\tx\r"])", R"(['l1\nl2\tx\r'])"},
      {R"(["\u0000\u0001\u001b\u007f"])", R"(['\x00\x01\x1b\x7f'])"},
      {R"(["\u0085"])", R"(['\x85'])"},
      {R"(["a\u202eb\u200b"])", R"(['a\u202eb\u200b'])"},
      {R"({"k\ty": "\u00a0"})", R"({'k\ty': '\xa0'})"},
      // printable non-ASCII stays
      {R"(["Привет", "日本", "é", "😀"])", "['Привет', '日本', 'é', '😀']"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.json);
    EXPECT_EQ(display(OrvexEvent::parse(row.json)), row.shown);
  }
}

TEST(DisplayFormTest, DeepNestingDoesNotExhaustTheStack) {
  constexpr std::size_t kDepth = 100000;
  std::string text = std::string(kDepth, '[') + std::string(kDepth, ']');
  EXPECT_EQ(display(OrvexEvent::parse(text)), text);
}

TEST(DisplayFormTest, ValueWithoutDisplayFormIsATypeError) {
  OrvexEvent event = {{"PRIORITY", "info"},
                      {"blob", OrvexEvent::binary({1, 2})},
                      {"MSG", {{"kernel", OrvexEvent::object()}}}};
  try {
    OrvexEventFormatter(std::nullopt, false, true).format_event(event);
    ADD_FAILURE() << "no error";
  } catch (const TypeError& error) {
    EXPECT_NE(std::string(error.what()).find("'blob'"), std::string::npos) << error.what();
  }
}

}  // namespace
}  // namespace orvex
