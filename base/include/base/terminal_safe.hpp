#pragma once

// Text from the log is written so that it cannot act on a terminal. Escaped, each in one
// readable form used everywhere:
//   C0 controls     \t \n \r, the others \xHH (ESC is \x1b)
//   DEL             \x7f
//   C1 controls     \u0080 ... \u009f (U+009B would start a control sequence)
//   bidi controls   \u202a ... \u202e, \u2066 ... \u2069 (they reorder what is shown)
//   a byte that is not part of valid UTF-8: \xHH (some terminals read 0x9B alone as CSI)
// A backslash is doubled only where it would otherwise read as the start of one of these
// forms: before x, u, n, r, t, another backslash, or a character that is itself escaped.
// Everything else, printable text in any script above all, passes unchanged.

#include <cstddef>
#include <string>
#include <string_view>

namespace orvex::base {

// True when `text` passes unchanged.
bool is_terminal_safe(std::string_view text);

// Appends `text` in its terminal-safe form.
void append_terminal_safe(std::string& out, std::string_view text);

std::string terminal_safe(std::string_view text);

// Appends the JSON text `json` (valid JSON) with the characters that JSON lets stand raw in
// strings but a terminal would act on — DEL, the C1 controls, the bidi controls — written as
// \uXXXX escapes, which a JSON reader decodes to the same text. (C0 controls cannot stand
// raw in valid JSON.)
void append_json_terminal_safe(std::string& out, std::string_view json);

// `text` for a message: terminal-safe, in single quotes, cut after about `limit` bytes at a
// character boundary with "..." after the closing quote.
std::string quoted(std::string_view text, std::size_t limit = 80);

}  // namespace orvex::base
