#pragma once

// Shared by the harnesses: a private scratch folder, byte-exact file writes, and reference
// versions of the line, UTF-8 and date-field rules of the event file, written independently
// of the library so that they can judge its results.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <orvex/event.hpp>

namespace orvex::fuzz {

// A fresh folder "<TMPDIR or /tmp>/<prefix>.XXXXXX", made once per process and removed with
// everything in it when the process exits normally.
const std::filesystem::path& scratch_dir(const char* prefix);

// Replaces the content of `path` with `bytes`, creating the file as needed.
void write_file(const std::filesystem::path& path, std::string_view bytes);

// Reports a broken expectation on stderr and aborts: libFuzzer keeps the input as a crash.
[[noreturn]] void fail(const std::string& what);

// Writes `what` on stderr when ORVEX_FUZZ_VERBOSE is set: what the harness caught, for
// looking at single inputs.
void note(std::string_view what);

// `text` with every byte outside printable ASCII as \xHH, for reports.
std::string printable(std::string_view text);
// Events may nest as deep as a line is long: these two walk them without recursion, where
// the library's copy, comparison and printing would exhaust the stack.
//
// The JSON text of `value`, cut after about 4000 bytes; never throws.
std::string dump(const OrvexEvent& value);
// Same structure, same member order, and scalars that are equal and print the same (an
// integer 1 and a fraction 1.0 compare equal, but print differently).
bool same_event(const OrvexEvent& a, const OrvexEvent& b);

// True when the known finding `name` (a file of fuzz/findings/) is listed in the
// space-separated ORVEX_FUZZ_KNOWN: its check then lets it pass, so that a run can look past
// a fault that is already reported.
bool is_known(std::string_view name);

// decode_event(line) when it gives an object, std::nullopt for no JSON text or another value.
// Also checks what the decoder must refuse whatever the parser behind it does: a raw NUL
// byte is allowed nowhere in JSON text.
std::optional<OrvexEvent> reference_event(std::string_view line);

struct Line {
  std::string_view text;  // without its line end
  std::uint64_t offset;   // of its first byte in the file
};

// The lines of an event file read in text mode: LF, CR LF and a lone CR each end a line;
// the last line needs no end.
std::vector<Line> split_lines(std::string_view content);

// Offset of the first byte of `text` that is not part of strict UTF-8 (no overlong forms, no
// surrogates, nothing above U+10FFFF), or std::nullopt.
std::optional<std::size_t> first_invalid_utf8(std::string_view text);

// The leftmost match of "(ISODATE|DATE)"\s*:\s*"([^"]+)" in `line` (\s: space, tab, LF, VT,
// FF, CR): its second group.
std::optional<std::string_view> find_date_field(std::string_view line);

}  // namespace orvex::fuzz
