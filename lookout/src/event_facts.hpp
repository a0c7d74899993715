#pragma once

// The few members of an event line that counting needs, read without building the event.

#include <memory>
#include <optional>
#include <string_view>

#include <orvex/date_time.hpp>

namespace orvex {

// The date-time of an event's date text as parse_iso_datetime() reads it, the wall-clock
// reading without the zone; std::nullopt when that reader refuses it. The form the logger
// writes, YYYY-MM-DDThh:mm:ss with a fraction and a zone, is read without the general reader.
std::optional<DateTime> read_event_date(std::string_view text);

// What is read of one event line. Each member is absent when the line lacks it or when its
// value is not text.
struct EventFacts {
  std::optional<std::string_view> priority;  // the top-level "PRIORITY"
  std::optional<std::string_view> date;      // "ISODATE", else (when there is none) "DATE"
  std::optional<std::string_view> key;       // the message-type key: the first member of "MSG"
  // The localised type the summary shows: the type field of the message's fields when they
  // have one, else a top-level one; only for an event with a message-type key.
  std::optional<std::string_view> type;
  friend bool operator==(const EventFacts&, const EventFacts&) = default;
};

// Reads EventFacts from event lines, each already known to be one JSON object (an iterator
// decoded it). Members keep the decoder's rules: of duplicate members the last value counts,
// and a message key named twice keeps its first place and its last value.
// The views of a result point into the line or into this reader, and live until the next read.
class EventFactsReader {
 public:
  // `type_field`: the name of the localised type ("type_en", "type_ru"); must outlive this.
  explicit EventFactsReader(std::string_view type_field);
  ~EventFactsReader();
  EventFactsReader(const EventFactsReader&) = delete;
  EventFactsReader& operator=(const EventFactsReader&) = delete;

  // The ways of reading, fastest first: a scan of the bytes, which gives up on a member it
  // needs that is written with an escape; the fast parser; the reference decoder.
  enum class Way { scan, parser, decoder };

  // The facts of `line`, read the fastest way that can. A line no way can read (not an
  // object after all) gives no facts.
  EventFacts read(std::string_view line);
  // The facts as `way` reads them; std::nullopt when that way cannot read the line.
  std::optional<EventFacts> read(std::string_view line, Way way);

 private:
  struct Parsers;
  std::string_view type_field_;
  std::unique_ptr<Parsers> parsers_;
};

}  // namespace orvex
