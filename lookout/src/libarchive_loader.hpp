#pragma once

// libarchive is loaded on first use, not at start: with its own dependencies (an XML parser,
// Unicode tables) it costs every run several milliseconds, and only archive input needs it.

#include <archive.h>
#include <archive_entry.h>

namespace orvex {

struct Libarchive {
#define ORVEX_LIBARCHIVE_FUNCTIONS(X)  \
  X(archive_entry_filetype)            \
  X(archive_entry_gid)                 \
  X(archive_entry_gname)               \
  X(archive_entry_hardlink)            \
  X(archive_entry_mtime)               \
  X(archive_entry_mtime_nsec)          \
  X(archive_entry_pathname)            \
  X(archive_entry_pathname_utf8)       \
  X(archive_entry_perm)                \
  X(archive_entry_size)                \
  X(archive_entry_size_is_set)         \
  X(archive_entry_uid)                 \
  X(archive_entry_uname)               \
  X(archive_error_string)              \
  X(archive_read_data_block)           \
  X(archive_read_free)                 \
  X(archive_read_new)                  \
  X(archive_read_next_header)          \
  X(archive_read_open2)                \
  X(archive_read_open_fd)              \
  X(archive_read_support_filter_bzip2) \
  X(archive_read_support_filter_gzip)  \
  X(archive_read_support_filter_xz)    \
  X(archive_read_support_filter_zstd)  \
  X(archive_read_support_format_raw)   \
  X(archive_read_support_format_tar)   \
  X(archive_set_error)
#define ORVEX_LIBARCHIVE_MEMBER(name) decltype(&::name) name = nullptr;
  ORVEX_LIBARCHIVE_FUNCTIONS(ORVEX_LIBARCHIVE_MEMBER)
#undef ORVEX_LIBARCHIVE_MEMBER
};

// The loaded library, loaded once. Throws ReadError when it cannot be loaded.
const Libarchive& libarchive();

}  // namespace orvex
