#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include <orvex/date_time.hpp>
#include <orvex/event_iterator.hpp>

namespace orvex {

// Iterate over events occurring within a specific time range: in file order, the events whose
// date lies between the two bounds, both inclusive. The date of a line is the value of its
// first "ISODATE" or "DATE" field, found in the raw line before any decoding, so lines outside
// the range are never decoded; lines without such a field are never shown. The file is taken
// to be in chronological order: the first dated line later than the upper bound ends the
// iteration (whatever it holds) and the rest of the file is not read.
class ORVEX_SIFTER_API OrvexTimeRangeEventIterator : public OrvexEventIterator {
 public:
  // Opens `event_file_path` and reads the bounds with parse_user_datetime against the local
  // clock; an absent or empty bound is open. A zone or offset in a bound is dropped, keeping
  // its wall-clock reading, as for event dates. An upper bound at exactly midnight is moved to
  // 23:59:59.999999 of that day, so a date alone includes its whole day.
  // Throws FileNotFoundError, PermissionError, OSError for the file (first), then ValueError
  // quoting a bound that cannot be read.
  explicit OrvexTimeRangeEventIterator(const std::filesystem::path& event_file_path,
                                       std::optional<std::string> date_since = {},
                                       std::optional<std::string> date_until = {});
  ~OrvexTimeRangeEventIterator() override;

  // The next event in range that decodes and passes the filters, or std::nullopt at the end,
  // which closes the file; a further call signals the end again.
  // Throws ValueError quoting a date value that is not ISO 8601 (the file stays open, after
  // that line), UnicodeDecodeError for a line that is not UTF-8, OSError when reading fails,
  // KeyboardInterrupt when SIGINT arrives during a long scan.
  std::optional<OrvexEvent> next() override;

  // The bounds in force, after the end-of-day adjustment of the upper one.
  DateTime date_since() const noexcept { return date_since_; }
  DateTime date_until() const noexcept { return date_until_; }

 private:
  [[gnu::visibility("hidden")]] static DateTime adjust_end_date(DateTime date_until);

  DateTime date_since_;
  DateTime date_until_;
};

}  // namespace orvex
