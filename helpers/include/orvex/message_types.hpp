#pragma once

// The message-type catalogue: the distinct message types that the event-settings files of
// the logger's event module name. The files are read as plain UTF-8 text, line by line, and
// not decoded as JSON: on every line the first match of
//
//   "message-type"\s*:\s*"([^"]+)"
//
// counts, and its group 1 is taken as written (escapes are not decoded, so abc\"def yields
// abc\). A line ends at LF, CR LF or a lone CR, so a key and its value on different lines
// never match; \s is any Unicode white space within the line.

#include <filesystem>
#include <orvex/helpers_export.hpp>
#include <set>
#include <string>

namespace orvex {

// Scans the installed event settings, /usr/share/syslog-ng-mod-orvex/event-settings, as the
// overload below does.
ORVEX_HELPERS_API std::set<std::string> find_unique_message_types();

// Returns every message type named in the regular files below `settings_dir`, at any depth,
// hidden names included. A missing `settings_dir`, or one that is not a directory, gives an
// empty set; `settings_dir` itself may be a symbolic link.
//
// Below it, symbolic links to directories are not descended into, and a directory that may
// not be listed (or vanishes, or turns into a link, during the walk) is passed over. Only
// regular files are read; a symbolic link to one counts, a broken link does not, and FIFOs,
// sockets and devices are never opened. A file that may not be opened, or whose bytes stop
// being valid UTF-8, is abandoned silently: the lines before the first invalid line still
// count.
//
// Throws std::filesystem::filesystem_error, naming the path and carrying the error code,
// for any other failure to open, list or read (a file that vanishes before it is opened, an
// I/O error, too many open files: one descriptor is held per directory level of the walk).
// Nothing is returned then. Throws std::runtime_error if the pattern search itself fails.
ORVEX_HELPERS_API std::set<std::string> find_unique_message_types(
    const std::filesystem::path& settings_dir);

}  // namespace orvex
