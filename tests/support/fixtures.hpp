#pragma once

#include <string>

namespace orvex::testing {

// One event of the log, built with designated initializers that name what differs from an
// ordinary audit login. Every field but the id has a default initializer, so that one left
// out draws no missing-initializer warning.
struct Event {
  std::string id;
  std::string priority = "info";
  std::string isodate = "2024-01-15T10:00:00";
  std::string key = "orvex-audit";  // the message type, the one key below MSG
  std::string name = {};            // name_en; empty for "Login <id>"
  bool russian = false;             // adds type_ru and name_ru ("Вход <id>")
};

// The event as the logger writes it: one JSON object and a line feed.
std::string event_line(const Event& event);

// A log of `lines` lines in the event generator's shape (every priority, several message
// types, English and Russian names), with its kinds of damage (blank, truncated, not JSON)
// and hostile ones mixed in at fixed intervals: escapes of control characters and of terminal
// sequences, raw C1 and bidi characters and DEL, bytes that are not UTF-8, a JSON value that
// is no object, events without "MSG", dated by DATE alone, with an unreadable date or a number
// as priority, with message fields that replace top-level ones, a duplicate "MSG", CR LF
// and lone CR line ends, one line of some 300 KiB, and a last line without its line end.
std::string mixed_log(int lines);

// The local date `offset` days from today, YYYY-MM-DD.
std::string local_date(int offset);
inline std::string today() { return local_date(0); }

// Runs a shell command line for fixture building; fails the test when it fails.
void sh(const std::string& command);

}  // namespace orvex::testing
