#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <orvex/all_events_iterator.hpp>
#include <orvex/errors.hpp>

#include "temp_path.hpp"

namespace orvex {
namespace {

// The "id" member of every event an all-events iterator yields, in order.
std::vector<int> ids(OrvexEventIterator& it) {
  std::vector<int> result;
  for (OrvexEvent& event : it) result.push_back(event.value("id", -1));
  return result;
}

const char* const kLog =
    R"({"id": 1, "PRIORITY": "warning", "MSG": {"device_mount": {"name_en": "m"}}})"
    "\n"
    R"({"id": 2, "PRIORITY": "WARNING", "MSG": {"login": {}, "mount": {}}})"
    "\n"
    R"({"id": 3, "PRIORITY": " warning", "MSG": {}})"
    "\n"
    R"({"id": 4, "PRIORITY": 4, "MSG": {"orvex-audit": {}}})"
    "\n"
    R"({"id": 5, "PRIORITY": "info"})"
    "\n"
    R"({"id": 6, "MSG": {"orvex-mount": {}}})"
    "\n"
    R"({"id": 7, "PRIORITY": "crit", "MSG": "not an object"})"
    "\n"
    "\n"
    "{\n"
    "{}{}\n"
    R"([{"id": 99}])"
    "\n"
    R"({"id": 8, "PRIORITY": "crit", "MSG": {"kernel": {}}})"
    "\r\n"
    R"({"id": 9, "PRIORITY": "info", "PRIORITY": "crit", "MSG": {"orvex-audit": {}}})"
    "\n"
    R"({"id": 10, "PRIORITY": "\u0063rit", "MSG": {"\u006bernel": {}}})";

TEST(AllEventsIteratorTest, FiltersSelectEventsInFileOrder) {
  struct Row {
    const char* name;
    std::vector<std::string> priority, source;
    std::vector<int> expected;
  };
  const std::vector<Row> rows = {
      {"no filter", {}, {}, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}},
      {"exact priority", {"warning"}, {}, {1}},
      {"several priorities", {"crit", "info", "crit"}, {}, {5, 7, 8, 9, 10}},
      {"source fragment, first key only", {}, {"mount"}, {1, 6}},
      {"empty fragment needs a first key", {}, {""}, {1, 2, 4, 6, 8, 9, 10}},
      {"both filters, escapes decoded", {"crit"}, {"audit", "kern"}, {8, 9, 10}},
      {"no match", {"emerg"}, {"x"}, {}},
  };
  testing::TempDir dir;
  auto path = dir.write("events", kLog);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    OrvexAllEventsIterator it(path);
    if (!row.priority.empty()) it.set_priority_filter(row.priority);
    if (!row.source.empty()) it.set_source_filter(row.source);
    EXPECT_EQ(ids(it), row.expected);
    EXPECT_FALSE(it.next().has_value()) << "the end is signalled again";
  }
}

TEST(AllEventsIteratorTest, AFilterCanBeSwitchedOffAgain) {
  testing::TempDir dir;
  OrvexAllEventsIterator it(dir.write("events", kLog));
  it.set_priority_filter({"warning"});
  it.set_priority_filter({});
  EXPECT_EQ(ids(it).size(), 10u);
}

// A subclass that narrows the base rules: the fast path must still ask it.
class OnlyEvenIds : public OrvexAllEventsIterator {
 public:
  using OrvexAllEventsIterator::OrvexAllEventsIterator;

 protected:
  bool filter_event(const OrvexEvent& event) override {
    return OrvexAllEventsIterator::filter_event(event) && event.value("id", 1) % 2 == 0;
  }
};

TEST(AllEventsIteratorTest, OverriddenFilterDecides) {
  testing::TempDir dir;
  OnlyEvenIds it(dir.write("events", kLog));
  it.set_priority_filter({"crit", "WARNING"});
  EXPECT_EQ(ids(it), (std::vector<int>{2, 8, 10}));
}

TEST(AllEventsIteratorTest, EdgesOfTheFile) {
  testing::TempDir dir;
  {
    OrvexAllEventsIterator it(dir.write("empty", ""));
    EXPECT_FALSE(it.next().has_value());
  }
  {
    OrvexAllEventsIterator it(dir.write("garbage", "not json\n\n{\"id\": 1"));
    EXPECT_TRUE(ids(it).empty());
  }
  {
    OrvexAllEventsIterator it(dir.write("no-final-lf", "{\"id\": 1}\r{\"id\": 2}"));
    EXPECT_EQ(ids(it), (std::vector<int>{1, 2}));
  }
  EXPECT_THROW(OrvexAllEventsIterator(dir.path() / "missing"), FileNotFoundError);
}

TEST(AllEventsIteratorTest, InvalidUtf8LeavesNextAndStaysThere) {
  testing::TempDir dir;
  OrvexAllEventsIterator it(
      dir.write("events", "{\"id\": 1}\n{\"id\": \"\xc3\x28\"}\n{\"id\": 3}\n"));
  EXPECT_EQ(it.next()->value("id", 0), 1);
  EXPECT_THROW(it.next(), UnicodeDecodeError);
  EXPECT_THROW(it.next(), UnicodeDecodeError);
}

}  // namespace
}  // namespace orvex
