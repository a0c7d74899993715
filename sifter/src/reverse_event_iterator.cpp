#include <orvex/reverse_event_iterator.hpp>

#include <base/terminal_safe.hpp>
#include <orvex/errors.hpp>

#include "backward_line_reader.hpp"
#include "date_finder.hpp"
#include "time_bounds.hpp"

namespace orvex {

OrvexReverseEventIterator::OrvexReverseEventIterator(const std::filesystem::path& event_file_path,
                                                     ReverseSelection selection)
    : OrvexReverseEventIterator(event_file_path, selection, BackwardLineReader::kBlockSize) {}

OrvexReverseEventIterator::OrvexReverseEventIterator(const std::filesystem::path& event_file_path,
                                                     const ReverseSelection& selection,
                                                     std::size_t block_size)
    : OrvexEventIterator(event_file_path), kind_(selection.kind) {
  using Kind = ReverseSelection::Kind;
  if (kind_ == Kind::recent) lines_left_ = selection.count;
  if (kind_ == Kind::time_range) {
    // The same reading of the bounds, end-of-day rule included, as the forward iterator's.
    const TimeBounds bounds = read_time_bounds(selection.since, selection.until);
    date_since_ = bounds.since;
    date_until_ = bounds.until;
  }
  // The recent-events iterator reads lines as bytes up to each LF and trims them; the other
  // two read them in text mode.
  const auto ends =
      kind_ == Kind::recent ? BackwardLineReader::LineEnds::lf : BackwardLineReader::LineEnds::text;
  reader_ = std::make_unique<BackwardLineReader>(file_, file_.size(), ends, block_size);
}

OrvexReverseEventIterator::~OrvexReverseEventIterator() = default;

std::optional<OrvexEvent> OrvexReverseEventIterator::next() {
  if (!file_.is_open()) return std::nullopt;
  std::optional<OrvexEvent> event;
  switch (kind_) {
    case ReverseSelection::Kind::all:
      event = next_of_all();
      break;
    case ReverseSelection::Kind::recent:
      event = next_of_recent();
      break;
    case ReverseSelection::Kind::time_range:
      event = next_of_time_range();
      break;
  }
  if (!event) {
    reader_.reset();
    file_.close();
  }
  return event;
}

std::optional<OrvexEvent> OrvexReverseEventIterator::next_of_all() {
  while (const EventFile::Line* peeked = reader_->peek()) {
    const EventFile::Line line = checked_line(*peeked, false);
    reader_->pop();
    if (std::optional<OrvexEvent> event = decode_and_filter(line)) return event;
  }
  return std::nullopt;
}

std::optional<OrvexEvent> OrvexReverseEventIterator::next_of_recent() {
  while (lines_left_ > 0) {
    const EventFile::Line* peeked = reader_->peek();
    if (peeked == nullptr) break;
    if (!peeked->ended) {  // an unfinished last line is not one of the last complete lines
      reader_->pop();
      continue;
    }
    const EventFile::Line line = checked_line(*peeked, true);
    reader_->pop();
    --lines_left_;
    if (std::optional<OrvexEvent> event = decode_and_filter(line)) return event;
  }
  return std::nullopt;
}

std::optional<OrvexEvent> OrvexReverseEventIterator::next_of_time_range() {
  while (const EventFile::Line* peeked = reader_->peek()) {
    const EventFile::Line line = checked_line(*peeked, false);
    std::optional<std::string_view> date_text = find_date(line.text);
    if (!date_text) {
      reader_->pop();
      // Undated lines are no events of a range; those that are damaged are still reported.
      if (has_damage_reporter() && (!line.text.empty() || line.too_long)) decode_and_filter(line);
      continue;
    }
    DateTime date;
    try {
      date = parse_iso_datetime(*date_text);
    } catch (const ValueError&) {
      reader_->pop();
      if (!report_damage(line, Damage::Kind::unreadable_date, base::quoted(*date_text))) throw;
      continue;
    }
    if (date < date_since_) break;  // the mirror of the forward scan's end past the range
    reader_->pop();
    if (date > date_until_) continue;
    if (std::optional<OrvexEvent> event = decode_and_filter(line)) return event;
  }
  return std::nullopt;
}

}  // namespace orvex
