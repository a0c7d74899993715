#include <orvex/recent_event_iterator.hpp>

#include <cstdio>

#include <base/ascii.hpp>
#include <base/utf8.hpp>
#include <orvex/errors.hpp>
#include <orvex/interrupt.hpp>

#include "backward_scan.hpp"

namespace orvex {

OrvexRecentEventIterator::OrvexRecentEventIterator(const std::filesystem::path& event_file_path,
                                                   std::int64_t count)
    : OrvexEventIterator(event_file_path), count_(count) {
  // Lines are read here as bytes and checked for UTF-8 after trimming; the file the base
  // opened is the one scanned and read, so a rotation in between cannot mix two files.
  file_.set_mode(EventFile::Mode::binary);
  positions_ = find_positions();
}

OrvexRecentEventIterator::~OrvexRecentEventIterator() = default;

std::vector<std::uint64_t> OrvexRecentEventIterator::find_positions() const {
  return find_line_starts(file_, count_);
}

OrvexRecentEventIterator& OrvexRecentEventIterator::iter() {
  current_line = 0;
  return *this;
}

std::optional<OrvexEvent> OrvexRecentEventIterator::next() {
  if (file_.is_open() && pass_over()) return std::nullopt;  // kept at its end for a follower
  // The last entry is the end mark: it is never read, so an unfinished last line never shows.
  while (current_line + 1 < positions_.size()) {
    check_interrupt();
    const std::uint64_t start = positions_[current_line];
    // The selected lines follow each other, so after the first one the file already stands
    // at the next start and the buffered bytes serve it without another seek and read.
    if (!file_.is_open() || file_.tell() != start) {
      file_.seek(static_cast<std::int64_t>(start), SEEK_SET);
    }
    std::optional<EventFile::Line> line = file_.read_line();
    if (!line) {  // the file was cut short since the scan: nothing left at this start
      ++current_line;
      continue;
    }
    EventFile::Line trimmed = *line;
    trimmed.text = base::trim_space(line->text);
    if (auto bad = base::find_invalid_utf8(trimmed.text)) {
      const std::size_t first = static_cast<std::size_t>(trimmed.text.data() - line->text.data());
      trimmed.invalid_at = first + *bad;
      trimmed.text = line->text;
      if (!has_damage_reporter())
        throw UnicodeDecodeError(file_path_, line->offset + *trimmed.invalid_at);
    }
    ++current_line;
    if (std::optional<OrvexEvent> event = decode_and_filter(trimmed)) return event;
  }
  // A follower goes on from the end mark, where this pass's view of the file ended.
  const bool at_end_mark = file_.is_open() && !positions_.empty();
  if (at_end_mark && keeps_file_at_end() && file_.tell() != positions_.back()) {
    file_.seek(static_cast<std::int64_t>(positions_.back()), SEEK_SET);
  }
  end_pass(at_end_mark);
  return std::nullopt;
}

}  // namespace orvex
