#pragma once

#include <filesystem>
#include <optional>

#include <orvex/event_iterator.hpp>

namespace orvex {

// Iterate over all events: one forward pass from the start of the file to its end, yielding
// every line that decodes to an event and passes the filters. Closes the file at the end.
class ORVEX_SIFTER_API OrvexAllEventsIterator : public OrvexEventIterator {
 public:
  using OrvexEventIterator::OrvexEventIterator;
  ~OrvexAllEventsIterator() override;
  // Throws UnicodeDecodeError for a line that is not UTF-8 (the file stays open and the
  // position at that line) and OSError when reading fails.
  std::optional<OrvexEvent> next() override;
};

}  // namespace orvex
