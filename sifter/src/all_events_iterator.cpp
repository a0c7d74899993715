#include <orvex/all_events_iterator.hpp>

namespace orvex {

OrvexAllEventsIterator::~OrvexAllEventsIterator() = default;

std::optional<OrvexEvent> OrvexAllEventsIterator::next() {
  if (pass_over()) return std::nullopt;
  // The decoder's parser checks UTF-8: the line is not checked twice.
  while (auto line = file_.read_line(/*take_unfinished=*/!keeps_file_at_end(),
                                     /*check_utf8=*/false)) {
    if (auto event = decode_and_filter(*line)) return event;
  }
  end_pass(/*at_end_of_file=*/true);
  return std::nullopt;
}

std::optional<EventFile::Line> OrvexAllEventsIterator::next_line(bool check_utf8) {
  if (pass_over()) return std::nullopt;
  std::optional<EventFile::Line> line =
      file_.read_line(/*take_unfinished=*/!keeps_file_at_end(), check_utf8);
  if (!line) end_pass(/*at_end_of_file=*/true);
  return line;
}

}  // namespace orvex
