#pragma once

#include <optional>
#include <string_view>

namespace orvex {

// The priority levels, most severe first: 0 emerg, 1 alert, 2 crit, 3 err, 4 warning, 5 notice,
// 6 info, 7 debug.
inline constexpr int kPriorityLevels = 8;

// The level a priority text names, read as -p reads one level: a standard name or an alias
// (panic, emergency, critical, error, warn) in any ASCII letter case, or one digit 0-7, without
// surrounding white space. std::nullopt for anything else.
std::optional<int> priority_level(std::string_view text);

// The standard name of `level` (0 to 7).
std::string_view priority_name(int level);

}  // namespace orvex
