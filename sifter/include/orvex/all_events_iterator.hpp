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
  // The next line of the pass, undecoded, for a caller that decodes the lines elsewhere (see
  // make_line_decoder): the lines next() would read, in order, and std::nullopt where next()
  // would end the pass, which ends the same way (the file closed, or kept for a follower).
  // The line's text lives until the next call. Throws OSError when reading fails.
  // With `check_utf8` false, while a damage reporter is set, the line may come back unchecked
  // (EventFile::read_line); the iterator's decoders check it.
  std::optional<EventFile::Line> next_line(bool check_utf8 = true);
};

}  // namespace orvex
