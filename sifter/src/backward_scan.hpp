#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <vector>

#include <orvex/sifter_export.hpp>

namespace orvex {

// Finds where the last `count` complete lines (lines ended by LF) of the file at `path` start,
// reading the file backwards from its end and stopping at the (count + 2)-th LF from the end.
// Returns those offsets in ascending order followed by one end mark, the offset just after the
// file's last LF (0 when it has none), so the result never holds more than count + 1 entries:
// with count 0 it is just the end mark, that is where an unfinished last line starts. When the
// file has no more than `count` LF bytes the first entry is 0. A negative count gives an empty
// result. Opens its own descriptor and closes it before returning, also on error.
// Throws FileNotFoundError, PermissionError or OSError, and KeyboardInterrupt when SIGINT
// arrives during a long scan.
ORVEX_SIFTER_API std::vector<std::uint64_t> find_line_starts(const std::filesystem::path& path,
                                                             std::int64_t count);

// The same with reads of `block_size` bytes (at least 1); exported for the tests only.
ORVEX_SIFTER_API std::vector<std::uint64_t> find_line_starts(const std::filesystem::path& path,
                                                             std::int64_t count,
                                                             std::size_t block_size);

}  // namespace orvex
