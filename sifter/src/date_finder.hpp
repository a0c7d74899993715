#pragma once

#include <optional>
#include <string_view>

namespace orvex {

// Finds the date field of a raw event line before any decoding: the first match of the
// pattern
//   "(ISODATE|DATE)"\s*:\s*"([^"]+)"
// (\s being space, tab, LF, VT, FF, CR) and returns its second group, the text between the
// value's quotes, as a view into `line`. Returns std::nullopt when the line has no match.
std::optional<std::string_view> find_date(std::string_view line) noexcept;

}  // namespace orvex
