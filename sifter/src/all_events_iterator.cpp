#include <orvex/all_events_iterator.hpp>

namespace orvex {

OrvexAllEventsIterator::~OrvexAllEventsIterator() = default;

std::optional<OrvexEvent> OrvexAllEventsIterator::next() {
  if (!file_.is_open()) return std::nullopt;
  while (auto line = file_.read_line()) {
    if (auto event = decode_and_filter(*line)) return event;
  }
  file_.close();
  return std::nullopt;
}

}  // namespace orvex
