#include <orvex/recent_event_iterator.hpp>

#include <cstdio>

#include <orvex/errors.hpp>
#include <orvex/interrupt.hpp>

#include "backward_scan.hpp"

namespace orvex {

namespace {

bool is_ascii_space(char ch) {
  return ch == ' ' || ch == '\t' || ch == '\n' || ch == '\r' || ch == '\v' || ch == '\f';
}

}  // namespace

OrvexRecentEventIterator::OrvexRecentEventIterator(const std::filesystem::path& event_file_path,
                                                   std::int64_t count)
    : OrvexEventIterator(event_file_path), count_(count) {
  // The base opened the file as text; lines are read here as bytes and decoded explicitly.
  file_.close();
  file_ = EventFile(file_path_, EventFile::Mode::binary);
  positions_ = find_positions();
}

OrvexRecentEventIterator::~OrvexRecentEventIterator() = default;

std::vector<std::uint64_t> OrvexRecentEventIterator::find_positions() const {
  return find_line_starts(file_path_, count_);
}

OrvexRecentEventIterator& OrvexRecentEventIterator::iter() {
  current_line = 0;
  return *this;
}

std::optional<OrvexEvent> OrvexRecentEventIterator::next() {
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
    std::string_view bytes = line->text;
    std::size_t first = 0;
    while (first < bytes.size() && is_ascii_space(bytes[first])) ++first;
    std::size_t last = bytes.size();
    while (last > first && is_ascii_space(bytes[last - 1])) --last;
    bytes = bytes.substr(first, last - first);
    if (auto bad = find_invalid_utf8(bytes))
      throw UnicodeDecodeError(file_path_, line->offset + first + *bad);
    ++current_line;
    if (std::optional<OrvexEvent> event = decode_and_filter(bytes)) return event;
  }
  file_.close();
  return std::nullopt;
}

}  // namespace orvex
