#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include <orvex/event.hpp>

namespace orvex::display {

// Appends the display form of `value`: text as is, integers in decimal, fractions in their
// shortest round-trip form ("1.0", "1e-05", "1.5e+16"), True/False/None, and lists and
// mappings with quoted text items ("{'a': ['b', 1]}"). `field` names the value in errors.
// Throws TypeError for a value that has no display form (binary or discarded values, which
// decoding never yields).
void append_display_form(std::string& out, const OrvexEvent& value, std::string_view field);

// Appends `text` as a quoted item of a list or mapping: single quotes, or double quotes when
// the text holds a single quote and no double quote; backslash, the quote, line ends, tabs,
// and control and invisible characters are escaped.
void append_quoted(std::string& out, std::string_view text);

// A short display of `value` for error messages: quoted text, other values in their display
// form, cut to a readable length.
std::string describe(const OrvexEvent& value);
// A short quoted form of `text` for error messages.
std::string describe_text(std::string_view text);

// The name of the kind of `value` for error messages ("text", "an integer", "a list", ...).
const char* kind_name(const OrvexEvent& value);

// Whether `text` is all ASCII.
bool is_ascii(std::string_view text);

// The number of characters (code points) of UTF-8 `text`; a stray byte counts as one.
std::size_t character_count(std::string_view text);

// Appends `text` with its first character in upper case and the others in lower case.
// Letters outside ASCII, Latin-1, Greek and Cyrillic are kept as they are.
void append_capitalized(std::string& out, std::string_view text);

}  // namespace orvex::display
