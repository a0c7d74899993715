#pragma once

#include <string>
#include <string_view>

namespace orvex {

// Reads the date-time `text` of the event field `field` and appends it as
// "DD.MM.YYYY HH:MM:SS": the clock time as written, the offset not applied, fractions of a
// second dropped. Accepts exactly
//   YYYY-MM-DD [ <any one character> HH [:MM [:SS [.fff | .ffffff]]] [(+|-)HH:MM[:SS[.ffffff]]] ]
// with every field in range (a real calendar day, hour 0-23, minute and second 0-59).
// Throws ValueError naming the field, the text and what is wrong.
void append_summary_date(std::string& out, std::string_view text, std::string_view field);

}  // namespace orvex
