#pragma once

// A log and its rotated files, read as one log (--rotated).
//
// The rotated files of a log NAME are the regular files next to it named NAME.N or
// NAME-YYYYMMDD (N a number of up to nine digits, YYYYMMDD a valid date), each also with one
// of the suffixes ".gz", ".xz", ".bz2", ".zst". Whether a file is compressed is told by its
// first bytes, never by its suffix: a gzip, xz, bzip2 or zstd stream is read decompressed,
// anything else as it stands.
//
// Order, oldest first: numbered files by falling N (NAME.9 before NAME.1), dated files by
// rising date, then NAME itself. A folder holding both forms (the rotation scheme was changed
// at some time) has two runs of files; the run whose newest file was modified earlier comes
// first. When one number or date has several files (NAME.1 beside NAME.1.gz, while a rotation
// compresses it), the uncompressed file is taken, else the first of .gz, .xz, .bz2, .zst: the
// other is a copy still being made or one left behind.

#include <filesystem>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include <orvex/event_iterator.hpp>
#include <orvex/log_set_iterator.hpp>
#include <orvex/reverse_event_iterator.hpp>

namespace orvex {

// How a rotated file's name continues after the log's name: the place of the file in the set
// (a larger key is newer), or std::nullopt when `rest` is no rotated form (".1", ".12.gz",
// "-20261203", "-20261203.zst" are; ".1.gz.bak", "-2026120", ".old", "" are not).
struct RotatedKey {
  bool dated = false;
  long number = 0;      // numbered: -N, so that a smaller N is newer; dated: YYYYMMDD
  int compression = 0;  // 0 none, then .gz, .xz, .bz2, .zst
};
std::optional<RotatedKey> rotated_key(std::string_view rest);

// True when the file begins with the magic bytes of a gzip, xz, bzip2 or zstd stream; false
// for anything else, a file that cannot be read included (its read reports that).
bool is_compressed(const std::filesystem::path& path);

// The rotated files of `current` (oldest first, in the order above) followed by `current`
// itself. Each part is named by its path as found (`current`'s folder joined with the file
// name). A folder that cannot be listed gives `current` alone.
std::vector<LogPart> find_rotated_set(const std::filesystem::path& current);

// The decompressed bytes of a compressed file, read through the run-time loaded libarchive on
// a thread that feeds a pipe: nothing is copied to disk and memory stays a few buffers.
// Throws FileNotFoundError, PermissionError, OSError for the file and ReadError when
// libarchive cannot be loaded or the data is in none of the four compressions.
std::unique_ptr<PartStream> open_decompressed(const std::filesystem::path& path);

// One iterator over the parts, with the selection (and newest first when asked); see
// OrvexLogSetIterator. Throws what its constructor throws.
std::unique_ptr<OrvexEventIterator> open_log_set(std::vector<LogPart> parts,
                                                 const ReverseSelection& selection,
                                                 bool newest_first);

}  // namespace orvex
