#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include <orvex/date_time.hpp>
#include <orvex/event_iterator.hpp>

namespace orvex {

class BackwardLineReader;

// What a reverse iteration selects; see OrvexReverseEventIterator.
struct ReverseSelection {
  enum class Kind { all, recent, time_range };
  Kind kind = Kind::all;
  std::int64_t count = 0;                   // recent: the number of last complete lines
  std::optional<std::string> since, until;  // time_range: the bounds as the user wrote them

  static ReverseSelection all() { return {}; }
  static ReverseSelection recent(std::int64_t count) { return {Kind::recent, count, {}, {}}; }
  static ReverseSelection time_range(std::optional<std::string> since,
                                     std::optional<std::string> until) {
    return {Kind::time_range, 0, std::move(since), std::move(until)};
  }
};

// Iterate over the events of one selection newest first: the file is read backwards from its
// end in blocks, so memory stays flat whatever the file size, and an iteration stopped after
// a few events reads only the tail of the file. The file's size is taken at construction;
// bytes appended later are not read. Line numbers are unknown when reading backwards:
// position() and damage notices give byte offsets only.
//
// Selections:
// - all(): exactly the events of OrvexAllEventsIterator, in reverse order. LF, CR LF and a
//   lone CR each end a line, and an unfinished last line (no line end) is read as a line.
// - recent(count): exactly the events of OrvexRecentEventIterator with the same count, newest
//   first: the last `count` complete lines (ended by LF; a count of 0 or less selects
//   nothing), each trimmed of ASCII white space; an unfinished last line is never decoded.
//   The count is of lines, not of events shown.
// - time_range(since, until): the lines whose date (their first "ISODATE" or "DATE" field, as
//   for OrvexTimeRangeEventIterator) lies between the bounds, both inclusive. Lines dated
//   after the upper bound are skipped; the first dated line before the lower bound ends the
//   iteration. For a file in chronological order the events are exactly those of
//   OrvexTimeRangeEventIterator, reversed. For a file out of order the two differ: each stops
//   at the first line past its own end of the range, so the reverse one skips late lines
//   wherever they stand and stops at an early one. Undated lines are never shown.
//
// Damage: without a reporter a line that is not UTF-8 raises UnicodeDecodeError, and a
// time-range line whose date cannot be read raises ValueError. With one, these lines, lines
// that are not one JSON object and lines longer than EventFile::kMaxLineBytes are reported
// (by byte offset) and skipped; a line too long is never held whole.
class ORVEX_SIFTER_API OrvexReverseEventIterator : public OrvexEventIterator {
 public:
  // Opens `event_file_path` and notes its size. A time range reads its bounds as
  // OrvexTimeRangeEventIterator does (parse_user_datetime against the local clock, an absent
  // or empty bound open, an upper bound at midnight moved to the end of its day), by building
  // one on the same file for a moment.
  // Throws FileNotFoundError, PermissionError, OSError for the file (first), then ValueError
  // quoting a bound that cannot be read.
  explicit OrvexReverseEventIterator(const std::filesystem::path& event_file_path,
                                     ReverseSelection selection = ReverseSelection::all());
  ~OrvexReverseEventIterator() override;

  // The next event, going backwards, that the selection holds and that decodes and passes the
  // filters, or std::nullopt at the end, which closes the file; a further call signals the
  // end again. Throws UnicodeDecodeError for a line that is not UTF-8, naming the file and the
  // offset of the bad byte (the iterator stays at that line); ValueError quoting a date that
  // is not ISO 8601 (time range; the iterator goes on before that line); OSError when reading
  // fails or the file shrinks under the iterator; KeyboardInterrupt when SIGINT arrives
  // (checked between blocks, so a long backward scan stops promptly).
  std::optional<OrvexEvent> next() override;

  // A time range's bounds in force, after the end-of-day adjustment of the upper one; the
  // smallest and largest date-times for the other selections.
  DateTime date_since() const noexcept { return date_since_; }
  DateTime date_until() const noexcept { return date_until_; }

 private:
  friend class ReverseIteratorSeam;  // tests read with small blocks
  [[gnu::visibility("hidden")]] OrvexReverseEventIterator(
      const std::filesystem::path& event_file_path, const ReverseSelection& selection,
      std::size_t block_size);
  [[gnu::visibility("hidden")]] std::optional<OrvexEvent> next_of_all();
  [[gnu::visibility("hidden")]] std::optional<OrvexEvent> next_of_recent();
  [[gnu::visibility("hidden")]] std::optional<OrvexEvent> next_of_time_range();

  ReverseSelection::Kind kind_;
  std::int64_t lines_left_ = 0;  // recent: complete lines still to read
  DateTime date_since_ = kSmallestDateTime;
  DateTime date_until_ = kLargestDateTime;
  std::unique_ptr<BackwardLineReader> reader_;
};

}  // namespace orvex
