#pragma once

#include <optional>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include <orvex/sifter_export.hpp>

namespace orvex {

// One decoded event line: members keep line order; assigning an existing member keeps its
// place, a new one goes to the end. A duplicate key in a line keeps its first place and takes
// the last value.
using OrvexEvent = nlohmann::ordered_json;
using OrvexEvents = std::vector<OrvexEvent>;

// Decodes one line as exactly one JSON text; white space around it (the line end too) is
// allowed. Throws JSONDecodeError for a blank line, invalid JSON, or anything after the first
// value. This is the reference decoder; iterators use a faster one that gives the same result.
ORVEX_SIFTER_API OrvexEvent decode_event(std::string_view line);

// The members of an event that tell its priority, its date and its type, as texts: what a
// caller counting events reads. A member is absent when the event lacks it or when its value
// is not text.
struct EventOutline {
  std::optional<std::string_view> priority;  // the top-level "PRIORITY"
  std::optional<std::string_view> date;      // "ISODATE", else (when there is none) "DATE"
  std::optional<std::string_view> key;       // the message-type key: the first member of "MSG"
  // The localised type: the type field of the key's message fields when they have one, else a
  // top-level one; only for an event with a key.
  std::optional<std::string_view> type;
  friend bool operator==(const EventOutline&, const EventOutline&) = default;
};

// The outline of `event`, an object, whose localised type is the member `type_field`
// ("type_en", "type_ru"). The views point into `event`.
ORVEX_SIFTER_API EventOutline outline_of(const OrvexEvent& event, std::string_view type_field);

}  // namespace orvex
