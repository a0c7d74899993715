#pragma once

// Decoding the lines of an iteration in another thread than the one that reads them.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <orvex/event.hpp>
#include <orvex/event_file.hpp>
#include <orvex/event_iterator.hpp>
#include <orvex/sifter_export.hpp>

namespace orvex {

// Decodes lines as the iterator that made it (OrvexEventIterator::make_line_decoder) decodes
// them with a damage reporter set: the same filters, the same choice of building events or
// not, the same damage. For a reader that hands its lines to other threads. Holds its own fast
// parser and its own copy of the filters, so each thread needs one decoder and no decoder is
// shared. Overrides of the iterator's filter operations are not asked. Not copyable.
class ORVEX_SIFTER_API EventLineDecoder {
 public:
  ~EventLineDecoder();
  EventLineDecoder(const EventLineDecoder&) = delete;
  EventLineDecoder& operator=(const EventLineDecoder&) = delete;

  struct Result {
    // The event of a line that holds one passing the filters (an empty event when the iterator
    // builds none, see OrvexEventIterator::set_build_events).
    std::optional<OrvexEvent> event;
    // Why a damaged line was skipped; neither is set for a blank or a rejected line.
    std::optional<Damage> damage;
    // The outline of the event, when the iterator gave outlines (set_outline_field) and built
    // no events; the views live until the next decode().
    EventOutline outline;
  };

  // Decodes `line` as EventFile::read_line returned it: at least EventFile::kPadding readable
  // bytes must follow its text in memory. Throws only what allocation throws.
  Result decode(const EventFile::Line& line);

  // For a consumer that reads only some fields of each event: events then hold, at their top
  // level and in each message under "MSG", no members but the ones named in `fields` (a line
  // the fast parser leaves to the reference decoder may still give a whole event). Whatever
  // reads only those fields sees what it would see in the whole event; building the rest is
  // skipped. Lines, filters and damage are decided as before.
  void keep_only(std::vector<std::string> fields);

 private:
  friend class OrvexEventIterator;
  struct State;
  explicit EventLineDecoder(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

}  // namespace orvex
