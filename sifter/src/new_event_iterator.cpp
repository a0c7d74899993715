#include <orvex/new_event_iterator.hpp>

#include <orvex/interrupt.hpp>

#include "backward_scan.hpp"

namespace orvex {

OrvexNewEventIterator::OrvexNewEventIterator(const std::filesystem::path& event_file_path)
    : OrvexEventIterator(event_file_path) {
  // Start after the last LF rather than at the very end: an unfinished last line is still
  // being written, and it belongs to the events to come.
  std::vector<std::uint64_t> end_mark = find_line_starts(file_, 0);
  file_.seek(static_cast<std::int64_t>(end_mark.empty() ? 0 : end_mark.back()), SEEK_SET);
}

OrvexNewEventIterator::~OrvexNewEventIterator() = default;

std::optional<OrvexEvent> OrvexNewEventIterator::next() {
  while (file_.is_open()) {
    check_interrupt();
    auto line = file_.read_line(/*take_unfinished=*/false);
    if (!line) {
      if (before_wait_) before_wait_();
      interruptible_sleep(poll_interval_);
      continue;
    }
    if (auto event = decode_and_filter(*line)) return event;
  }
  return std::nullopt;
}

void OrvexNewEventIterator::close() { file_.close(); }

}  // namespace orvex
