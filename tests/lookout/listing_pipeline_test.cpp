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
  void damage(const Damage& damage) override {
    out += "damage at " + std::to_string(damage.where.offset) + ": " + damage.why() + "\n";
  }
  std::string out;

 private:
  std::size_t fail_at_;
  std::size_t shown_ = 0;
};

void set_filters(OrvexEventIterator& iterator, bool filtered) {
  if (!filtered) return;
  iterator.set_priority_filter({"crit", "info"});
  iterator.set_source_filter({"net", "kern"});
}

std::string run_pipeline(const std::filesystem::path& log, unsigned workers, Recorder& sink,
                         bool filtered = false) {
  OrvexAllEventsIterator iterator(log);
  struct Dropped : DamageReporter {
    void report(const Damage&) override {}
  } reporter;
  iterator.set_damage_reporter(&reporter);
  set_filters(iterator, filtered);
  OrvexViewerOptions options;
  options.nocolor = true;
  ListingLayout layout{options, "", log};
  run_listing_pipeline(iterator, layout, workers, sink);
  return sink.out;
}

// The same listing on the calling thread, through the iterator.
std::string run_iterator(const std::filesystem::path& log, bool filtered) {
  Recorder sink;
  OrvexAllEventsIterator iterator(log);
  struct Forward : DamageReporter {
    Recorder& sink;
    explicit Forward(Recorder& s) : sink(s) {}
    void report(const Damage& damage) override { sink.damage(damage); }
  } reporter(sink);
  iterator.set_damage_reporter(&reporter);
  set_filters(iterator, filtered);
  OrvexEventFormatter formatter({}, false, false, true);
  for (OrvexEvent& event : iterator) {
    try {
      sink.show(formatter.format_event(event) + "\n");
    } catch (const Error& error) {
      sink.damage(Damage{log, iterator.position(), Damage::Kind::unusable, error.what()});
    }
  }
  return sink.out;
}

TEST(ListingPipelineTest, AnyNumberOfWorkersListsWhatTheIteratorGives) {
  testing::TempDir dir;
  std::filesystem::path log = dir.write("events", testing::mixed_log(3000));
  for (bool filtered : {false, true}) {
    SCOPED_TRACE(filtered ? "filtered" : "all");
    std::string expected = run_iterator(log, filtered);
    EXPECT_NE(expected.find("damage at "), std::string::npos);
    for (unsigned workers : {1u, 3u}) {
      Recorder sink;
      EXPECT_TRUE(run_pipeline(log, workers, sink, filtered) == expected) << workers;
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
