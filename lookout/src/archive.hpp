#pragma once

// Archive input: a system-report tar archive whose first member is the report's top-level
// directory (or "./"), with the event log at "vantel/log/orvex/events" below it. The viewer unpacks
// that one file into a private temporary directory and reads the copy.
//
// Only the tar format is read, uncompressed or compressed with gzip, bzip2 or xz, the
// compression recognised from the content. Nothing is ever written outside the temporary
// directory: the member looked for must have a relative name without ".." components and must
// be a regular file, or the extraction is refused.

#include <cstdint>
#include <filesystem>
#include <string>

// The folder the extraction fills comes with it.
#include "temp_folder.hpp"

namespace orvex {

// True when the last suffix of the file name (from the last dot, when that dot is neither the
// first nor the last character of the name) is one of ".zip", ".tar", ".gz", ".xz", ".tgz",
// ".bz2", ".rar", ".7z". Case-sensitive; only the name is looked at, never the content.
bool is_archive_path(const std::filesystem::path& path);

// What an extraction leaves free on the file system of the temporary folder, so that a report,
// or an archive made to look like one, cannot fill the disk that the system's own logs and the
// user's work need: the larger of `minimum` and 5 % of the file system's size, the 5 % counted
// up to 1 GiB at most. A small /tmp keeps at least 256 MiB; a large disk that is 96 % full but
// still has gigabytes free takes a report.
inline constexpr std::uint64_t kKeepFreeMinimum = std::uint64_t{256} << 20;
inline constexpr std::uint64_t kKeepFreePercent = 5;
inline constexpr std::uint64_t kKeepFreeShareCap = std::uint64_t{1} << 30;
std::uint64_t free_space_margin(std::uint64_t file_system_size,
                                std::uint64_t minimum = kKeepFreeMinimum);

// Extracts the event log of the report archive `archive` into the existing, empty directory
// `temp_dir` and returns the path of the copy.
//
// The member extracted is the last one named N + "/vantel/log/orvex/events", where N is the
// name of the archive's first member with the trailing "/" of a directory removed; names are
// compared as stored. A report packed from inside a folder ("tar -C dir ."), whose first
// member "./" leaves no name once "." components are dropped, has its log at
// "./vantel/log/orvex/events", or else below the first directory member D that follows
// ("./host-report/"): D + "/vantel/log/orvex/events". The copy is temp_dir / the member's name
// without "." components. `top`, when given, receives the report's label: the name of the
// directory the log was found below (N or D without "." components, "host-report"), empty for
// a log at the top; it is text from the archive, to be quoted before it is shown. The copy gets
// the member's stored permission bits (less set-user-ID, set-group-ID and sticky, plus read for
// the owner), its modification time and, when running as root, its owner.
//
// The copy is not made when its size, as the member's header declares it, would leave less
// than free_space_margin(size of the file system, keep_free_minimum) free on the file system of
// temp_dir; as the copy grows, the free space is looked at again every 32 MiB. The size is the
// logical one, holes of a sparse member included: the viewer reads the copy whole.
//
// Throws FileNotFoundError when `archive` is missing, another OSError when it can't be opened
// or read (a FIFO is read as it comes) or a write below temp_dir fails. Throws OSError with
// ENOSPC, and the folder above temp_dir as its path(), when the copy would leave too little
// free: "not enough space in '/tmp' to unpack 'host/vantel/log/orvex/events' (20.0 GiB) and
// keep 1.0 GiB free". Throws ReadError when `archive` is not a readable tar archive in one of
// the four compressions (zip, rar, 7z, a gzip file without a tar inside, an empty or corrupted
// file, a tar without members), and also when the member looked for has an absolute name, a
// ".." component or a name too long for a path, or when the last member of that name is not a
// regular file (a link, a directory, a device); KeyError naming the member (both names for a
// report packed from inside) and the archive when no member has that name; KeyboardInterrupt
// when SIGINT arrives meanwhile, also while the open or a read of a FIFO waits for data. Names
// from the archive appear in messages in their terminal-safe form. On failure whatever was
// written stays below temp_dir, for the caller to remove.
//
// With `with_rotated`, the regular-file members named as rotated files of a log looked for
// (its name followed by ".N" or "-YYYYMMDD", each also with ".gz", ".xz", ".bz2" or ".zst"; see
// log_set.hpp) are extracted too, as they are stored (compressed ones stay compressed), each
// under the same rules of names and free space; members of those names that are not regular
// files, or whose names lead outside temp_dir, are passed over.
std::filesystem::path extract_events_into(const std::filesystem::path& archive,
                                          const std::filesystem::path& temp_dir,
                                          std::string* top = nullptr,
                                          std::uint64_t keep_free_minimum = kKeepFreeMinimum,
                                          bool with_rotated = false);

// create_temp_dir(temp_dir), then extract_events_into(archive, temp_dir, top): the two steps in
// one, with the errors of both. When the creation fails, nothing is left to remove; every later
// failure leaves temp_dir (and whatever was written below it) in place.
std::filesystem::path extract_events_from_archive(const std::filesystem::path& archive,
                                                  const std::filesystem::path& temp_dir,
                                                  std::string* top = nullptr);

}  // namespace orvex
