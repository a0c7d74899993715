#pragma once

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

}  // namespace orvex
