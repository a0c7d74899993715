#pragma once

// The forms of a priority a user writes after -p, turned into the texts the iterator's priority
// filter compares each event's "PRIORITY" with (it keeps an event whose text equals one of them).

#include <string>
#include <vector>

#include <orvex/lookout_export.hpp>

namespace orvex {

// The sorted, duplicate-free union of the texts selected by each of `forms`; empty for no
// forms. The levels, most severe first: 0 emerg, 1 alert, 2 crit, 3 err, 4 warning, 5 notice,
// 6 info, 7 debug; the aliases panic and emergency (emerg), critical (crit), error (err) and
// warn (warning). A form is first stripped of leading and trailing white space; then
//   a standard name, exactly    that name alone: "err" -> {err}
//   a level in another writing  a name or an alias in any ASCII letter case, or one digit 0-7:
//                               the form as written and the standard name, and for an alias
//                               also its lower-case spelling: "Err" -> {Err, err},
//                               "4" -> {4, warning}, "ERROR" -> {ERROR, err, error}
//   A..B, A.., ..A              every level from A to B in either order, A and every more
//                               severe level, A and every less severe level; each side is
//                               one of the single forms above (white space around it is
//                               ignored). The standard names of those levels and the
//                               lower-case aliases of those levels: "warning.." -> {alert,
//                               crit, critical, emerg, emergency, err, error, panic, warn,
//                               warning}
// Throws ValueError naming the form and listing the valid ones for anything else: an empty
// form, "..", a range with an unknown side, an unknown name or number.
ORVEX_LOOKOUT_API std::vector<std::string> priority_filter_from_forms(
    const std::vector<std::string>& forms);

}  // namespace orvex
