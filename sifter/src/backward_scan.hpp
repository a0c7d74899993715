#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include <orvex/event_file.hpp>

namespace orvex {

// Finds where the last `count` complete lines (lines ended by LF) of `file` start, reading it
// backwards from its end in blocks of `block_size` bytes (at least 1) and stopping at the
// (count + 2)-th LF from the end. Returns those offsets in ascending order followed by one end
// mark, the offset just after the file's last LF (0 when it has none), so the result never
// holds more than count + 1 entries: with count 0 it is just the end mark, that is where an
// unfinished last line starts. When the file has no more than `count` LF bytes the first entry
// is 0. A negative count gives an empty result. Reads with positional reads on the file's own
// descriptor: its position and buffered lines stay as they are.
// Throws OSError, and KeyboardInterrupt when SIGINT arrives during a long scan.
std::vector<std::uint64_t> find_line_starts(const EventFile& file, std::int64_t count,
                                            std::size_t block_size = 64 * 1024);

}  // namespace orvex
