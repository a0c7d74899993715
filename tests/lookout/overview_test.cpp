// An overview merged from parts (counted apart on workers) gives what counting the same events
// one by one gives, wherever the parts are cut: the types told apart when there are too many,
// the first localised type of each, the timeline's unit and its periods.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "overview.hpp"

namespace orvex {
namespace {

using namespace std::chrono;

struct Events {
  std::deque<std::string> texts;  // the keys and types the events view
  std::vector<Overview::Counted> counted;
};

// `count` events over `span` from a fixed start, with `types` keys; some undated, some
// untyped, some with an empty or no localised type.
Events make_events(int count, microseconds span, int types) {
  Events events;
  std::uint64_t state = 11;
  auto next = [&state] {
    state = state * 6364136223846793005u + 1442695040888963407u;
    return state >> 11;
  };
  const DateTime start = local_days{year{2024} / 3 / 29} + hours{21};
  for (int i = 0; i < count; ++i) {
    Overview::Counted event;
    event.level = static_cast<int>(next() % (kPriorityLevels + 1));
    if (next() % 13 != 0) event.date = start + microseconds(next() % (span.count() + 1));
    if (next() % 11 != 0) {
      const std::string& key = events.texts.emplace_back("key-" + std::to_string(next() % types));
      event.key = key;
      switch (next() % 4) {
        case 0:
          break;
        case 1:
          event.type = "";
          break;
        default:
          event.type = events.texts.emplace_back("type of " + key + " " + std::to_string(i % 3));
      }
    }
    events.counted.push_back(event);
  }
  return events;
}

TEST(OverviewTest, PartsMergedCountAsEventsOneByOne) {
  struct Row {
    const char* name;
    int count;
    microseconds span;
    int types;
  };
  const std::vector<Row> rows = {{"hours", 3000, hours{40}, 30},
                                 {"days", 3000, days{60}, 30},
                                 {"weeks", 3000, days{400}, 30},
                                 {"too many types", 25000, hours{5}, 12000}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    // The events view the texts it holds: it stays where it is made.
    const Events events = make_events(row.count, row.span, row.types);
    Overview whole;
    for (const Overview::Counted& event : events.counted) whole.add(event);
    for (std::size_t part_size : {std::size_t(1), std::size_t(7), std::size_t(1000)}) {
      SCOPED_TRACE(part_size);
      Overview merged;
      Overview::Part part;
      for (std::size_t i = 0; i < events.counted.size(); ++i) {
        part.add(events.counted[i]);
        if ((i + 1) % part_size == 0 || i + 1 == events.counted.size()) {
          merged.merge(part);
          part.clear();
        }
      }
      EXPECT_EQ(merged.json(), whole.json());
      EXPECT_EQ(merged.text(100, true), whole.text(100, true));
    }
  }
}

}  // namespace
}  // namespace orvex
