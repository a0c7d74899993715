// The listing on worker threads against the single-threaded listing, in process, so that the
// thread sanitizer sees the threads at work.
#include <gtest/gtest.h>

#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <orvex/all_events_iterator.hpp>
#include <orvex/errors.hpp>
#include <orvex/event_viewer.hpp>

#include "fixtures.hpp"
#include "listing_pipeline.hpp"
#include "temp_path.hpp"

namespace orvex {
namespace {

struct Listing {
  std::string out, notices;
};

Listing list(const std::filesystem::path& log, OrvexViewerOptions options, unsigned jobs) {
  options.watch_file = log;
  options.all = true;
  options.jobs = jobs;
  std::ostringstream out, notices;
  OrvexEventViewer viewer(options, out, notices);
  viewer.show_events();
  return {out.str(), notices.str()};
}

TEST(ListingPipelineTest, WorkersListWhatOneThreadLists) {
  testing::TempDir dir;
  std::filesystem::path log = dir.write("events", testing::mixed_log(4000));
  struct Row {
    const char* name;
    OrvexViewerOptions options;
  };
  std::vector<Row> rows(6);
  rows[0].name = "summary";
  rows[1].name = "detailed";
  rows[1].options.more_info = true;
  rows[2].name = "expression";
  rows[2].options.format = "%id %PRIORITY %name_en";
  rows[3].name = "json";
  rows[3].options.json = true;
  rows[4].name = "grep, raw";
  rows[4].options.grep = "(?i)EVENT 2";
  rows[4].options.raw = true;
  rows[5].name = "iso date";
  rows[5].options.iso_date = true;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Listing single = list(log, row.options, 1);
    Listing workers = list(log, row.options, 2);
    EXPECT_FALSE(single.out.empty());
    EXPECT_TRUE(workers.out == single.out);
    EXPECT_EQ(workers.notices, single.notices);
  }
}

// Records what the pipeline gives; fails like a closed pipe at the event `fail_at` (0: never).
class Recorder : public ListingSink {
 public:
  explicit Recorder(std::size_t fail_at = 0) : fail_at_(fail_at) {}
  void show(std::string_view text) override {
    if (++shown_ == fail_at_) throw std::runtime_error("reader gone");
    out += text;
  }
  void count(const Overview::Part& events) override { counted.merge(events); }
  void damage(const Damage& damage) override {
    out += "damage at " + std::to_string(damage.where.offset) + ": " + damage.why() + "\n";
  }
  std::string out;
  Overview counted;

 private:
  std::size_t fail_at_;
  std::size_t shown_ = 0;
};

// What is listed: text, or (for an overview) outlines.
enum class Made { text, outlines };

void set_filters(OrvexEventIterator& iterator, bool filtered, Made made = Made::text) {
  if (made == Made::outlines) {
    iterator.set_build_events(false);
    iterator.set_outline_field("type_en");
  }
  if (!filtered) return;
  iterator.set_priority_filter({"crit", "info"});
  iterator.set_source_filter({"net", "kern"});
}

std::string run_pipeline(const std::filesystem::path& log, unsigned workers, Recorder& sink,
                         bool filtered = false, Made made = Made::text,
                         std::size_t range_bytes = 1 << 20) {
  OrvexAllEventsIterator iterator(log);
  struct Dropped : DamageReporter {
    void report(const Damage&) override {}
  } reporter;
  iterator.set_damage_reporter(&reporter);
  set_filters(iterator, filtered, made);
  OrvexViewerOptions options;
  options.nocolor = true;
  ListingLayout layout{options, "", log, made == Made::outlines};
  run_listing_pipeline(iterator, layout, workers, sink, range_bytes);
  return sink.out + (made == Made::outlines ? sink.counted.json() : "");
}

// The same listing on the calling thread, through the iterator.
std::string run_iterator(const std::filesystem::path& log, bool filtered, Made made) {
  Recorder sink;
  OrvexAllEventsIterator iterator(log);
  struct Forward : DamageReporter {
    Recorder& sink;
    explicit Forward(Recorder& s) : sink(s) {}
    void report(const Damage& damage) override { sink.damage(damage); }
  } reporter(sink);
  iterator.set_damage_reporter(&reporter);
  set_filters(iterator, filtered, made);
  OrvexEventFormatter formatter({}, false, false, true);
  for (OrvexEvent& event : iterator) {
    if (made == Made::outlines) {
      sink.counted.add(iterator.outline());
      continue;
    }
    try {
      sink.show(formatter.format_event(event) + "\n");
    } catch (const Error& error) {
      sink.damage(Damage{log, iterator.position(), Damage::Kind::unusable, error.what()});
    }
  }
  return sink.out + (made == Made::outlines ? sink.counted.json() : "");
}

TEST(ListingPipelineTest, AnyNumberOfWorkersListsWhatTheIteratorGives) {
  testing::TempDir dir;
  std::filesystem::path log = dir.write("events", testing::mixed_log(3000));
  for (Made made : {Made::text, Made::outlines}) {
    for (bool filtered : {false, true}) {
      SCOPED_TRACE(filtered ? "filtered" : "all");
      SCOPED_TRACE(made == Made::text ? "text" : "outlines");
      std::string expected = run_iterator(log, filtered, made);
      EXPECT_NE(expected.find("damage at "), std::string::npos);
      for (unsigned workers : {1u, 3u}) {
        Recorder sink;
        EXPECT_TRUE(run_pipeline(log, workers, sink, filtered, made) == expected) << workers;
      }
    }
  }
}

// The workers of an overview read ranges of the file themselves. Wherever a range starts (within
// a line, between the CR and the LF of a line end, after a lone CR, inside a line too long to
// keep), each line is read once, by the range it starts in, and damage keeps the file's line
// numbers.
TEST(ListingPipelineTest, RangesCutAnywhereCountWhatTheIteratorGives) {
  testing::TempDir dir;
  struct Row {
    std::filesystem::path log;
    std::vector<std::size_t> range_bytes;
  };
  const std::string long_line =
      R"({"PRIORITY":"info","pad":")" + std::string(17 << 20, 'x') + "\"}";
  const std::vector<Row> rows = {
      // Every byte a range of its own.
      {dir.write("ends",
                 "{\"PRIORITY\":\"info\",\"MSG\":{\"a\":{}}}\r\n{\"PRIORITY\":\"err\"}\r"
                 "{\"PRIORITY\":\"crit\",\"x\":\"\xff\"}\n\n not json\r\n\r\r\n"
                 "{\"PRIORITY\":\"debug\"}"),
       {1, 2}},
      {dir.write("cr", "{\"PRIORITY\":\"info\"}\r\rnope\r{\"PRIORITY\":\"alert\"}\r"), {1}},
      {dir.write("short", testing::mixed_log(24)), {7, 64}},
      {dir.write("events", testing::mixed_log(3000)), {97, 4096, 1 << 20}},
      {dir.write("long",
                 testing::mixed_log(40) + long_line + "\r\n" + testing::mixed_log(40) + long_line),
       {1 << 20, 5 << 20}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.log.filename().string());
    const std::string expected = run_iterator(row.log, false, Made::outlines);
    EXPECT_NE(expected.find("damage at "), std::string::npos);
    for (std::size_t range_bytes : row.range_bytes) {
      Recorder sink;
      EXPECT_TRUE(run_pipeline(row.log, 2, sink, false, Made::outlines, range_bytes) == expected)
          << range_bytes;
    }
  }
}

// A sink that fails stops the listing there: nothing after it is given, and the workers,
// which are ahead of the writer, are stopped and joined before the error leaves.
TEST(ListingPipelineTest, AFailingSinkStopsTheWorkers) {
  testing::TempDir dir;
  std::filesystem::path log = dir.write("events", testing::mixed_log(3000));
  Recorder all;
  run_pipeline(log, 2, all);
  Recorder failing(1500);
  EXPECT_THROW(run_pipeline(log, 2, failing), std::runtime_error);
  ASSERT_FALSE(failing.out.empty());
  EXPECT_EQ(all.out.compare(0, failing.out.size(), failing.out), 0);
  EXPECT_LT(failing.out.size(), all.out.size());
}

// For a follower, the pass leaves an unfinished last line unread and keeps the file open at
// its start, as the single-threaded pass does.
TEST(ListingPipelineTest, KeptFileStopsWhereOneThreadStops) {
  testing::TempDir dir;
  std::string text = testing::mixed_log(2000);
  std::filesystem::path log = dir.write("events", text);
  OrvexAllEventsIterator single(log);
  single.set_keep_file_at_end(true);
  struct Dropped : DamageReporter {
    void report(const Damage&) override {}
  } reporter;
  single.set_damage_reporter(&reporter);
  for (OrvexEvent& event : single) (void)event;
  std::optional<OpenEventFile> single_kept = single.take_file();
  ASSERT_TRUE(single_kept);

  OrvexAllEventsIterator split(log);
  split.set_keep_file_at_end(true);
  split.set_damage_reporter(&reporter);
  Recorder sink;
  OrvexViewerOptions options;
  options.nocolor = true;
  ListingLayout layout{options, "", log};
  run_listing_pipeline(split, layout, 2, sink);
  std::optional<OpenEventFile> split_kept = split.take_file();
  ASSERT_TRUE(split_kept);
  EXPECT_EQ(split_kept->file.tell(), single_kept->file.tell());
  EXPECT_LT(split_kept->file.tell(), text.size()) << "the unfinished last line is left unread";
}

}  // namespace
}  // namespace orvex
