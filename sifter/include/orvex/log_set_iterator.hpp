#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <orvex/date_time.hpp>
#include <orvex/event_iterator.hpp>
#include <orvex/reverse_event_iterator.hpp>

namespace orvex {

// One file of a log set: a rotated file or, last, the current log.
struct LogPart {
  std::filesystem::path path;  // where it is read from
  std::filesystem::path name;  // what damage notices and errors call it (Damage::file)
  // Read through the set's opener as a stream of decompressed bytes, forwards only.
  bool compressed = false;
  // A compressed part's modification time, as local wall-clock time.
  std::optional<DateTime> modified;
};

// The decompressed bytes of a compressed part, open for one forward read.
class ORVEX_SIFTER_API PartStream {
 public:
  virtual ~PartStream();
  // The bytes as a file that is read forwards only (no seek, no size).
  virtual EventFile& file() = 0;
  // Once file() has ended: why the data ended early (corrupt or cut short), or std::nullopt
  // when it ended cleanly.
  virtual std::optional<std::string> failure() = 0;
};

// Opens a compressed part. Throws what opening the file throws (FileNotFoundError,
// PermissionError, OSError) and ReadError when the bytes cannot be decompressed at all.
using PartOpener = std::function<std::unique_ptr<PartStream>(const std::filesystem::path&)>;

// Iterate over a log kept in several files as over one log: the parts in the order given
// (oldest first, the current log last), with the selection of the single-file iterators
// applied to the whole:
// - all(): the events of every part, part after part.
// - time_range(since, until): as OrvexTimeRangeEventIterator over the parts read as one file.
//   The first dated line past the upper bound ends the whole iteration. A part that is not the
//   last and whose last event is older than the lower bound is skipped without decoding its
//   events: for a plain part its last dated line (among its last few lines) says so; for a
//   compressed part its modification time does, when it is more than kClockSlack before the
//   lower bound. The slack covers event dates written in another zone than the clock that
//   stamped the file, and a clock set back by a daylight-saving change.
// - recent(count): the events of the last `count` lines of the parts read as one file; the
//   current log's unfinished last line is never read, while a rotated part's last line counts
//   whether or not it has its line end. Lines are trimmed as OrvexRecentEventIterator trims
//   them. A compressed part reached is read once, its lines counted and the last ones kept, when
//   they fit kWindowBytes (shared by all such parts); otherwise once more to read them.
// With `newest_first` the same selections run from the end of the current log backwards, as
// OrvexReverseEventIterator does for one file, then through the older parts. A compressed part
// cannot be read backwards: it is read forwards to count its lines, keeping its last window of
// at most kWindowBytes (lines and their records), which comes first; each earlier window costs
// one more forward read. A part that fits one window is read once; memory stays bounded
// whatever the part's size.
//
// Damage is reported with the part's `name` as Damage::file; line numbers are those within the
// part. A rotated part that cannot be opened, and a compressed part whose data is corrupt,
// are reported with Damage::Kind::unreadable (the part, or its rest, is skipped); without a
// reporter they raise the opener's error, or ReadError naming the part.
//
// The current log is opened by the constructor and kept for a follower (set_keep_file_at_end,
// take_file) as the single-file iterators keep theirs; the other parts are opened one at a time
// when they are reached.
class ORVEX_SIFTER_API OrvexLogSetIterator : public OrvexEventIterator {
 public:
  static constexpr std::chrono::hours kClockSlack{26};
  static constexpr std::size_t kWindowBytes = std::size_t{32} << 20;

  // `parts` must not be empty; its last entry is the current log, which must be plain.
  // `window_bytes` bounds the bytes of a compressed part held at once when reading backwards.
  // Throws FileNotFoundError, PermissionError, OSError for the current log, then ValueError
  // quoting a time bound that cannot be read.
  OrvexLogSetIterator(std::vector<LogPart> parts, const ReverseSelection& selection,
                      bool newest_first, PartOpener open_compressed,
                      std::size_t window_bytes = kWindowBytes);
  ~OrvexLogSetIterator() override;

  // The next event of the selection, or std::nullopt at the end. Throws like the single-file
  // iterators, naming the part being read.
  std::optional<OrvexEvent> next() override;

  // The bounds of a time range in force; the smallest and largest date-times otherwise.
  DateTime date_since() const noexcept;
  DateTime date_until() const noexcept;

  // The parts that the iteration skipped without reading their events, so far.
  const std::vector<std::filesystem::path>& skipped() const noexcept;

 private:
  struct State;
  [[gnu::visibility("hidden")]] std::optional<OrvexEvent> next_forward();
  [[gnu::visibility("hidden")]] std::optional<OrvexEvent> next_backward();
  [[gnu::visibility("hidden")]] bool open_forward();
  [[gnu::visibility("hidden")]] bool open_backward();
  [[gnu::visibility("hidden")]] std::optional<OrvexEvent> read_forward();
  [[gnu::visibility("hidden")]] void end_forward_part(bool at_end_of_file);
  [[gnu::visibility("hidden")]] void plan_recent();
  [[gnu::visibility("hidden")]] bool open_plain(const LogPart& part, EventFile::Mode mode);
  [[gnu::visibility("hidden")]] std::unique_ptr<PartStream> open_stream(const LogPart& part);
  [[gnu::visibility("hidden")]] void check_stream_end(PartStream& stream, const LogPart& part,
                                                      std::uint64_t offset);
  [[gnu::visibility("hidden")]] void report_stream_failure(const LogPart& part,
                                                           const std::string& failure,
                                                           std::uint64_t offset);
  [[gnu::visibility("hidden")]] bool older_than_range(const LogPart& part, const EventFile* file);
  [[gnu::visibility("hidden")]] bool unreadable(const LogPart& part, const std::string& why,
                                                LinePosition where = {1, 0});

  std::unique_ptr<State> state_;
};

}  // namespace orvex
