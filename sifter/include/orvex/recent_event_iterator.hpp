#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <vector>

#include <orvex/event_iterator.hpp>

namespace orvex {

// Iterate over recent events: the events of the last `count` complete lines of the file,
// oldest first. The constructor finds the line starts once, scanning the file backwards from
// its end, so the front of a long file is never read; next() then jumps to each start and
// reads one line. The count is of lines, not of events shown: lines that do not decode or
// that the filters reject are skipped and not replaced by earlier ones. An unfinished last
// line (no LF yet) is never read, nor is anything appended after construction. Holds the file
// it opened, in binary mode, until the end of the iteration.
class ORVEX_SIFTER_API OrvexRecentEventIterator : public OrvexEventIterator {
 public:
  // Opens `event_file_path` and finds the starts of its last `count` complete lines; a count
  // of 0 or less selects nothing. Throws FileNotFoundError, PermissionError, OSError.
  OrvexRecentEventIterator(const std::filesystem::path& event_file_path, std::int64_t count);
  ~OrvexRecentEventIterator() override;

  // Start of iteration: sets current_line to 0, so the first selected line is read next.
  OrvexRecentEventIterator& iter() override;
  // The event of the next selected line that decodes and passes the filters, or
  // std::nullopt at the end, which closes the file; a further call signals the end again.
  // Each line is trimmed of ASCII white space (so CR LF ends work) before decoding.
  // Throws UnicodeDecodeError for a line that is not UTF-8, naming the file and the offset of
  // the bad byte; current_line then still indexes that line and the file stays open.
  // Throws OSError when reading fails, and when iter() restarts an ended iteration.
  std::optional<OrvexEvent> next() override;

  // Index into the line starts of the next line to read; set by iter(), advanced by next().
  std::size_t current_line = 0;

 protected:
  // The start offsets of the last `count` complete lines, ascending, followed by an end mark
  // (the offset after the file's last LF), as the file stands now; empty for a negative count.
  // Reads the iterator's own open file with positional reads. Throws like the constructor.
  std::vector<std::uint64_t> find_positions() const;

 private:
  std::int64_t count_;
  std::vector<std::uint64_t> positions_;
};

}  // namespace orvex
