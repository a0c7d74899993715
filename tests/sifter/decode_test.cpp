// The fast decoding path must give exactly what the reference decoder gives.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <orvex/all_events_iterator.hpp>
#include <orvex/errors.hpp>
#include <orvex/event.hpp>

#include "temp_path.hpp"

namespace orvex {
namespace {

std::string deep(int depth) {
  return "{\"d\": " + std::string(depth, '[') + "1" + std::string(depth, ']') + "}";
}

// Reads `line` through an all-events iterator: the fast path.
std::optional<OrvexEvent> through_iterator(const std::string& line) {
  testing::TempDir dir;
  auto file = dir.write("events", line + "\n");
  OrvexAllEventsIterator it(file);
  auto event = it.next();
  EXPECT_FALSE(it.next().has_value());
  return event;
}

TEST(DecodeTest, FastPathMatchesReferenceDecoder) {
  const std::vector<std::string> lines = {
      R"({})",
      R"({"PRIORITY": "info", "MSG": {"orvex-audit": {"name_en": "x"}}})",
      R"({"a": 1, "b": 2, "a": 3})",
      R"({"MSG": {"k": {"x": 1, "y": 2, "x": "last"}, "k": {"z": true}}, "a": null})",
      R"({"s": "tab\tquote\"slash\\\/ nl\n \u0436 \ud83d\ude00 \u0000"})",
      R"({"n": 18446744073709551615, "m": 18446744073709551616, "o": -9223372036854775808})",
      R"({"big": 123456789012345678901234567890, "neg": -123456789012345678901234567890})",
      R"({"z": -0, "zf": -0.0, "zp": 0.0, "ze": -0e0, "i": 0})",
      R"({"e": 1e5, "E": 1E-7, "f": 1.5e+300, "g": 2.5, "h": -17, "p": 1e-400})",
      R"({"x": 1.7976931348623157e308, "y": 4.9e-324, "q": 0.1})",
      deep(100),
      deep(2000),
      "  \t {\"ws\": [ 1 , 2 ]}  \r",
      R"({"arr": [[], {}, [null, true, false]], "u": "\u00e9\u00E9"})",
      "{\"raw\": \"\xd0\xb6\xe2\x82\xac\xf0\x9f\x98\x80\"}",
  };
  for (const std::string& line : lines) {
    SCOPED_TRACE(line.substr(0, 80));
    OrvexEvent reference = decode_event(line);
    auto fast = through_iterator(line);
    ASSERT_TRUE(fast.has_value());
    EXPECT_EQ(fast->dump(), reference.dump());
    EXPECT_EQ(*fast, reference);
  }
}

TEST(DecodeTest, LinesTheReferenceRefusesAreDropped) {
  const std::vector<std::string> lines = {
      "",
      "   ",
      "{",
      "{}{}",
      "{} x",
      R"({"a": 1,})",
      R"({"a": "\ud800"})",
      R"({"a": "\udc00x"})",
      "{\"a\": \"raw\ttab\"}",
      "{\"a\": \"nul\x01\"}",
      std::string("{}\0x", 4),  // the parser would stop at the NUL and drop the rest
      std::string("{\"a\": 1}\0\0{\"b\": 2}", 17),
      R"({"a": 1e400})",
      R"({'a': 1})",
      R"({"a": 01})",
      R"({"a": NaN})",
      R"([1, 2])",
      R"("text")",
      R"(42)",
      R"(null)",
  };
  for (const std::string& line : lines) {
    SCOPED_TRACE(line);
    bool reference_is_event = false;
    try {
      reference_is_event = decode_event(line).is_object();
    } catch (const JSONDecodeError&) {
    }
    EXPECT_FALSE(reference_is_event);
    EXPECT_FALSE(through_iterator(line).has_value());
  }
}

}  // namespace
}  // namespace orvex
