#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <orvex/all_events_iterator.hpp>
#include <orvex/errors.hpp>
#include <orvex/log_set_iterator.hpp>
#include <orvex/recent_event_iterator.hpp>
#include <orvex/reverse_event_iterator.hpp>
#include <orvex/time_range_event_iterator.hpp>

#include "temp_path.hpp"

namespace orvex {
namespace {

namespace fs = std::filesystem;
using Bound = std::optional<std::string>;

std::vector<int> ids(OrvexEventIterator& it) {
  std::vector<int> result;
  for (OrvexEvent& event : it) result.push_back(event.value("id", -1));
  return result;
}

std::string event(int id, const std::string& date) {
  return "{\"id\": " + std::to_string(id) + ", \"ISODATE\": \"" + date +
         "\", \"PRIORITY\": \"info\"}\n";
}

// A "compressed" part for the iterator: the file read as it stands, so that the set's logic is
// tested apart from any decompressor; a failure can be made to show at its end.
class FileStream : public PartStream {
 public:
  FileStream(const fs::path& path, std::optional<std::string> failure)
      : file_(path, EventFile::Mode::text), failure_(std::move(failure)) {}
  EventFile& file() override { return file_; }
  std::optional<std::string> failure() override { return failure_; }

 private:
  EventFile file_;
  std::optional<std::string> failure_;
};

struct Opener {
  std::map<fs::path, std::string> failures;
  std::set<fs::path> unreadable;
  int opens = 0;

  PartOpener get() {
    return [this](const fs::path& path) -> std::unique_ptr<PartStream> {
      ++opens;
      if (unreadable.count(path) != 0) raise_os_error(EACCES, path, "cannot open");
      std::optional<std::string> failure;
      if (auto found = failures.find(path); found != failures.end()) failure = found->second;
      return std::make_unique<FileStream>(path, failure);
    };
  }
};

struct Recorded {
  fs::path file;
  std::optional<std::uint64_t> number;
  Damage::Kind kind;
  friend bool operator==(const Recorded&, const Recorded&) = default;
};

struct Recorder : DamageReporter {
  void report(const Damage& damage) override {
    seen.push_back({damage.file, damage.where.number, damage.kind});
  }
  std::vector<Recorded> seen;
};

LogPart plain(const fs::path& path) { return {path, path, false, std::nullopt}; }
LogPart packed(const fs::path& path, std::optional<DateTime> modified = std::nullopt) {
  return {path, path, true, modified};
}

DateTime at(const std::string& text) { return parse_iso_datetime(text); }

// The set read as one log must give what the single-file iterators give on the parts joined
// into one file, for every selection, forwards and backwards, with compressed parts read
// backwards in windows of every size.
TEST(LogSetIteratorTest, EqualsTheSingleFileIteratorsOnThePartsJoined) {
  testing::TempDir dir;
  const std::vector<std::string> texts = {
      // oldest, compressed: a line that is no JSON, a trimmed line, CR LF
      event(1, "2024-03-01T08:00:00") + "not json\n" + "  " + event(2, "2024-03-01T09:00:00") +
          event(3, "2024-03-01T10:00:00") + "{\"id\": 4}\r\n" + event(5, "2024-03-01T23:00:00"),
      // plain
      event(6, "2024-03-02T08:00:00") + "\n" + event(7, "2024-03-02T12:00:00") +
          event(8, "2024-03-02T23:59:59.999999"),
      // compressed, an event out of order that ends a forward range early
      event(9, "2024-03-03T01:00:00") + event(10, "2024-03-02T06:00:00") +
          event(11, "2024-03-03T12:00:00"),
      // the current log, its last line unfinished
      event(12, "2024-03-04T08:00:00") + event(13, "2024-03-04T09:00:00") +
          "{\"id\": 14, \"ISODATE\": \"2024-03-04T10:00:00\"}",
  };
  std::vector<LogPart> parts = {
      packed(dir.write("events.3.gz", texts[0])), plain(dir.write("events.2", texts[1])),
      packed(dir.write("events.1.zst", texts[2])), plain(dir.write("events", texts[3]))};
  const fs::path joined = dir.write("joined", texts[0] + texts[1] + texts[2] + texts[3]);

  std::vector<ReverseSelection> selections = {ReverseSelection::all()};
  for (std::int64_t count : {-1, 0, 1, 2, 3, 5, 6, 9, 12, 14, 30}) {
    selections.push_back(ReverseSelection::recent(count));
  }
  const std::vector<std::pair<Bound, Bound>> ranges = {
      {{}, {}},
      {"2024-03-02", {}},
      {"2024-03-01 09:30", "2024-03-03 00:30"},
      {"2024-03-02 07:00", "2024-03-02"},
      {{}, "2024-03-01"},
      {"2024-03-03 06:00", {}},
      {"2024-03-05", {}},
  };
  for (const auto& [since, until] : ranges) {
    selections.push_back(ReverseSelection::time_range(since, until));
  }

  for (const ReverseSelection& selection : selections) {
    SCOPED_TRACE(::testing::Message()
                 << "kind " << int(selection.kind) << " count " << selection.count << " since "
                 << selection.since.value_or("-") << " until " << selection.until.value_or("-"));
    std::unique_ptr<OrvexEventIterator> single;
    switch (selection.kind) {
      case ReverseSelection::Kind::all:
        single = std::make_unique<OrvexAllEventsIterator>(joined);
        break;
      case ReverseSelection::Kind::recent:
        single = std::make_unique<OrvexRecentEventIterator>(joined, selection.count);
        break;
      case ReverseSelection::Kind::time_range:
        single =
            std::make_unique<OrvexTimeRangeEventIterator>(joined, selection.since, selection.until);
        break;
    }
    const std::vector<int> expected_forwards = ids(*single);
    OrvexReverseEventIterator single_backwards(joined, selection);
    const std::vector<int> expected_backwards = ids(single_backwards);
    // A window of 1 byte keeps no line beyond the one read: every compressed part is read
    // again (forwards) or in one-line windows (backwards); 1000 bytes hold a few lines.
    for (std::size_t window :
         {std::size_t{1}, std::size_t{1000}, OrvexLogSetIterator::kWindowBytes}) {
      SCOPED_TRACE(::testing::Message() << "window " << window);
      Opener opener;
      OrvexLogSetIterator forwards(parts, selection, false, opener.get(), window);
      EXPECT_EQ(ids(forwards), expected_forwards);
      Opener backwards_opener;
      OrvexLogSetIterator backwards(parts, selection, true, backwards_opener.get(), window);
      EXPECT_EQ(ids(backwards), expected_backwards);
      if (window == OrvexLogSetIterator::kWindowBytes) {
        // Small compressed parts are read once each, whatever the selection and direction.
        EXPECT_LE(opener.opens, 2);
        EXPECT_LE(backwards_opener.opens, 2);
      }
    }
  }
}

TEST(LogSetIteratorTest, OldPartsAreSkippedUnreadAndTheClockSlackIsKept) {
  testing::TempDir dir;
  const DateTime since = at("2024-03-10T00:00:00");
  const auto slack = OrvexLogSetIterator::kClockSlack;
  // Its last dated line is old; the damaged lines after it are never decoded.
  const fs::path old_plain =
      dir.write("events.4", event(1, "2024-03-01T10:00:00") + "damaged\n" + "{\"id\": 2}\n");
  // Modified a microsecond before the slack runs out: skipped even though an event in it is in
  // the range, which only a clock set back further than the slack can make.
  const fs::path beyond_slack = dir.write("events.3.gz", event(3, "2024-03-10T01:00:00"));
  // Modified within the slack before the lower bound: read, and its event is in the range.
  const fs::path within_slack = dir.write("events.2.gz", event(4, "2024-03-10T02:00:00"));
  // Modified in the future: a clock that ran ahead hides nothing.
  const fs::path future = dir.write("events.1.gz", event(5, "2024-03-10T03:00:00"));
  const fs::path current = dir.write("events", event(6, "2024-03-10T04:00:00"));
  const std::vector<LogPart> parts = {
      plain(old_plain),
      packed(beyond_slack, since - slack - std::chrono::microseconds(1)),
      packed(within_slack, since - slack + std::chrono::seconds(1)),
      packed(future, at("2030-01-01T00:00:00")),
      plain(current),
  };
  for (bool newest_first : {false, true}) {
    SCOPED_TRACE(newest_first ? "newest first" : "oldest first");
    Opener opener;
    Recorder recorder;
    OrvexLogSetIterator it(parts, ReverseSelection::time_range("2024-03-10", {}), newest_first,
                           opener.get());
    it.set_damage_reporter(&recorder);
    const std::vector<int> got = ids(it);
    EXPECT_EQ(got, newest_first ? std::vector<int>({6, 5, 4}) : std::vector<int>({4, 5, 6}));
    EXPECT_EQ(recorder.seen, std::vector<Recorded>{});
    EXPECT_EQ(opener.opens, 2);  // each part read once
    if (!newest_first) {
      EXPECT_EQ(it.skipped(), (std::vector<fs::path>{old_plain, beyond_slack}));
    }
  }
  // Without a lower bound nothing is skipped.
  Opener opener;
  OrvexLogSetIterator all(parts, ReverseSelection::time_range({}, "2024-03-10 03:30"), false,
                          opener.get());
  EXPECT_EQ(ids(all), (std::vector<int>{1, 3, 4, 5}));
}

TEST(LogSetIteratorTest, DamageNamesThePartAndUnreadablePartsAreSkipped) {
  testing::TempDir dir;
  const fs::path gone = dir.path() / "events.5";  // rotated away after it was listed
  const fs::path locked = dir.write("events.4.gz", event(1, "2024-03-01T00:00:00"));
  const fs::path a = dir.write("events.3", event(2, "2024-03-01T01:00:00") + "oops\n");
  const fs::path b = dir.write("events.2.xz", "\xff\n" + event(3, "2024-03-01T02:00:00"));
  const fs::path c = dir.write("events.1", event(4, "2024-03-01T03:00:00"));
  const fs::path current = dir.write("events", event(5, "2024-03-01T04:00:00") + "[1]\n");
  std::vector<LogPart> parts = {plain(gone), packed(locked), plain(a),
                                packed(b),   plain(c),       plain(current)};
  parts[3].name = "host:events.2.xz";
  Opener opener;
  opener.unreadable.insert(locked);
  opener.failures[b] = "truncated input";
  {
    Recorder recorder;
    OrvexLogSetIterator it(parts, ReverseSelection::all(), false, opener.get());
    it.set_damage_reporter(&recorder);
    EXPECT_EQ(ids(it), (std::vector<int>{2, 3, 4, 5}));
    const fs::path b_name = "host:events.2.xz";
    EXPECT_EQ(recorder.seen, (std::vector<Recorded>{
                                 {gone, 1, Damage::Kind::unreadable},
                                 {locked, 1, Damage::Kind::unreadable},
                                 {a, 2, Damage::Kind::not_json},
                                 {b_name, 1, Damage::Kind::not_utf8},
                                 {b_name, std::nullopt, Damage::Kind::unreadable},
                                 {current, 2, Damage::Kind::not_object},
                             }));
  }
  {
    // Newest first: the same files, the compressed part's lines numbered, the plain ones not.
    Recorder recorder;
    OrvexLogSetIterator it(parts, ReverseSelection::all(), true, opener.get());
    it.set_damage_reporter(&recorder);
    EXPECT_EQ(ids(it), (std::vector<int>{5, 4, 3, 2}));
    std::vector<fs::path> files;
    for (const Recorded& r : recorder.seen) files.push_back(r.file);
    EXPECT_EQ(files, (std::vector<fs::path>{current, "host:events.2.xz", "host:events.2.xz", a,
                                            locked, gone}));
  }
  // Without a reporter the first unreadable part raises, as a missing log does.
  OrvexLogSetIterator quiet(parts, ReverseSelection::all(), false, opener.get());
  EXPECT_THROW(ids(quiet), FileNotFoundError);
  parts.erase(parts.begin(), parts.begin() + 2);
  OrvexLogSetIterator corrupt(parts, ReverseSelection::all(), false, opener.get());
  try {
    ids(corrupt);
    ADD_FAILURE() << "no error for the corrupt part";
  } catch (const UnicodeDecodeError& error) {
    EXPECT_NE(std::string(error.what()).find("host:events.2.xz"), std::string::npos);
  }
  parts[1] = packed(dir.write("events.2.xz", event(3, "2024-03-01T02:00:00")));
  parts[1].name = "host:events.2.xz";
  OrvexLogSetIterator cut(parts, ReverseSelection::all(), false, opener.get());
  try {
    ids(cut);
    ADD_FAILURE() << "no error for the cut-short part";
  } catch (const ReadError& error) {
    EXPECT_NE(std::string(error.what()).find("'host:events.2.xz'"), std::string::npos);
    EXPECT_NE(std::string(error.what()).find("truncated input"), std::string::npos);
  }
  EXPECT_THROW(OrvexLogSetIterator({plain(dir.path() / "missing")}, ReverseSelection::all(), false,
                                   opener.get()),
               FileNotFoundError);
}

TEST(LogSetIteratorTest, TheCurrentLogIsHandedToAFollowerWhereThePassStopped) {
  testing::TempDir dir;
  const std::string current_text =
      event(3, "2024-03-01T02:00:00") + event(4, "2024-03-01T03:00:00");
  const fs::path current = dir.write("events", current_text + "{\"id\": 5");
  const std::vector<LogPart> parts = {
      packed(dir.write("events.1.gz",
                       event(1, "2024-02-29T10:00:00") + event(2, "2024-02-29T11:00:00"))),
      plain(current)};
  struct Row {
    ReverseSelection selection;
    std::vector<int> expected;
  };
  const std::vector<Row> rows = {
      {ReverseSelection::all(), {1, 2, 3, 4}},
      {ReverseSelection::recent(3), {2, 3, 4}},
      {ReverseSelection::time_range("2024-03-01", {}), {3, 4}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(int(row.selection.kind));
    Opener opener;
    OrvexLogSetIterator it(parts, row.selection, false, opener.get());
    it.set_keep_file_at_end(true);
    EXPECT_EQ(ids(it), row.expected);
    std::optional<OpenEventFile> kept = it.take_file();
    ASSERT_TRUE(kept);
    EXPECT_EQ(kept->file.tell(), current_text.size());
    testing::append_file(current, "}\n");
    std::optional<EventFile::Line> rest = kept->file.read_line();
    ASSERT_TRUE(rest);
    EXPECT_EQ(rest->text, "{\"id\": 5}");
    fs::resize_file(current, current_text.size() + 8);
  }
  // A range that ends in an older part leaves nothing to hand over.
  Opener opener;
  OrvexLogSetIterator early(parts, ReverseSelection::time_range({}, "2024-02-28"), false,
                            opener.get());
  early.set_keep_file_at_end(true);
  EXPECT_EQ(ids(early), std::vector<int>{});
  EXPECT_FALSE(early.take_file());
}

}  // namespace
}  // namespace orvex
