#include "archive.hpp"
#include "libarchive_loader.hpp"
#include "log_set.hpp"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include <base/fd.hpp>
#include <base/terminal_safe.hpp>
#include <orvex/errors.hpp>
#include <orvex/interrupt.hpp>

namespace orvex {
namespace {

constexpr std::array<std::string_view, 8> kArchiveSuffixes = {".zip", ".tar", ".gz",  ".xz",
                                                              ".tgz", ".bz2", ".rar", ".7z"};
constexpr std::string_view kEventsBelowTop = "vantel/log/orvex/events";
// Large reads keep the number of system calls small on a log of hundreds of megabytes.
constexpr std::size_t kReadBlockSize = 1 << 20;
// How far a copy grows between two looks at the free space: far below the margin, and rare
// enough to cost nothing next to the writes.
constexpr std::uint64_t kSpaceCheckInterval = std::uint64_t{32} << 20;

using base::Fd;

struct ArchiveCloser {
  void operator()(struct archive* a) const noexcept { libarchive().archive_read_free(a); }
};
using ArchivePtr = std::unique_ptr<struct archive, ArchiveCloser>;

// The last component of the path; empty and "." components do not count, so "dump.tar.gz/"
// still names dump.tar.gz.
std::string_view file_name(std::string_view path) {
  while (true) {
    while (!path.empty() && path.back() == '/') path.remove_suffix(1);
    std::size_t slash = path.rfind('/');
    std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
    if (name != "." || slash == std::string_view::npos) return name == "." ? "" : name;
    path = path.substr(0, slash);
  }
}

std::string_view last_suffix(std::string_view name) {
  std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0 || dot + 1 == name.size()) return {};
  return name.substr(dot);
}

// Splits a member name at "/", dropping empty and "." components.
std::vector<std::string_view> components(std::string_view name) {
  std::vector<std::string_view> parts;
  while (!name.empty()) {
    std::size_t slash = name.find('/');
    std::string_view part = name.substr(0, slash);
    if (!part.empty() && part != ".") parts.push_back(part);
    if (slash == std::string_view::npos) break;
    name.remove_prefix(slash + 1);
  }
  return parts;
}

bool leads_outside(std::string_view name) {
  if (name.empty() || name.front() == '/') return true;
  while (true) {
    std::size_t slash = name.find('/');
    if (name.substr(0, slash) == "..") return true;
    if (slash == std::string_view::npos) return false;
    name.remove_prefix(slash + 1);
  }
}

// The user's own paths are named as given; names from inside an archive go through
// base::quoted(), which keeps them from acting on the terminal.
std::string quoted_path(const std::filesystem::path& path) { return "'" + path.string() + "'"; }

// The archive file as libarchive's callbacks read it: through the descriptor loops, so that a
// read that blocks (a FIFO) or is cut short by a signal follows the one EINTR rule.
struct Source {
  const std::filesystem::path& path;
  Fd fd;
  bool seekable = false;
  off_t size = 0;  // of a regular file
  int error = 0;   // the errno of a failed read, 0 when the data itself was at fault
  std::unique_ptr<char[]> buffer = std::make_unique_for_overwrite<char[]>(kReadBlockSize);
};

la_ssize_t read_source(struct archive* a, void* data, const void** block) noexcept {
  auto* source = static_cast<Source*>(data);
  *block = source->buffer.get();
  // libarchive passes over unwanted members inside its own calls, a long while in a large
  // compressed report: each block it asks for is a point where Ctrl-C can end the work.
  ssize_t got = -1;
  if (base::interrupt_requested()) {
    errno = EINTR;
  } else {
    got = base::read_some(source->fd.get(), source->buffer.get(), kReadBlockSize);
  }
  if (got < 0) {
    source->error = errno;
    libarchive().archive_set_error(a, source->error, "%s", std::strerror(source->error));
    return -1;
  }
  return got;
}

// Members that are not wanted are passed over without reading them, when the file allows it.
la_int64_t skip_source(struct archive*, void* data, la_int64_t request) noexcept {
  auto* source = static_cast<Source*>(data);
  if (!source->seekable || request <= 0) return 0;
  // Never past the end, where a cut-short archive would read as one that ends there; libarchive
  // reads what was not skipped, and finds the end too early.
  off_t here = ::lseek(source->fd.get(), 0, SEEK_CUR);
  if (here < 0 || here >= source->size) return 0;
  la_int64_t step = std::min<la_int64_t>(request, source->size - here);
  if (::lseek(source->fd.get(), static_cast<off_t>(step), SEEK_CUR) < 0) return 0;
  return step;
}

[[noreturn]] void raise_read_error(struct archive* a, const Source& source) {
  // A read given up for the user's interrupt, or data cut short by it, is no fault of the file.
  check_interrupt();
  if (source.error != 0) raise_os_error(source.error, source.path, "read archive");
  const char* detail = libarchive().archive_error_string(a);
  throw ReadError(
      "cannot read archive " + quoted_path(source.path) + ": " +
      (detail != nullptr ? base::terminal_safe(detail) : "unsupported format or corrupted file"));
}

// The member's name as stored; a directory's trailing "/" is not part of it.
std::string member_name(struct archive_entry* entry) {
  const char* name = libarchive().archive_entry_pathname(entry);
  if (name == nullptr) name = libarchive().archive_entry_pathname_utf8(entry);
  std::string result = name != nullptr ? name : "";
  if (libarchive().archive_entry_filetype(entry) == AE_IFDIR) {
    while (!result.empty() && result.back() == '/') result.pop_back();
  }
  return result;
}

// What the member is, in words, when it is not a regular file; null when it is one.
const char* kind_of(struct archive_entry* entry) {
  if (libarchive().archive_entry_hardlink(entry) != nullptr) return "a hard link";
  switch (libarchive().archive_entry_filetype(entry)) {
    case AE_IFREG:
      return nullptr;
    case AE_IFLNK:
      return "a symbolic link";
    case AE_IFDIR:
      return "a directory";
    case AE_IFCHR:
      return "a character device";
    case AE_IFBLK:
      return "a block device";
    case AE_IFIFO:
      return "a FIFO";
    case AE_IFSOCK:
      return "a socket";
    default:
      return "a member of unknown type";
  }
}

// Opens (creating as needed) the directories of `parts` but the last, below `root`, never
// following a symbolic link, and returns the innermost one.
Fd open_parent_dirs(int root, const std::vector<std::string>& parts,
                    const std::filesystem::path& temp_dir) {
  Fd dir = base::open_file_at(root, ".", O_RDONLY | O_DIRECTORY);
  if (!dir) raise_os_error(errno, temp_dir, "open directory");
  std::filesystem::path where = temp_dir;
  for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
    const std::string& part = parts[i];
    where /= part;
    if (::mkdirat(dir.get(), part.c_str(), 0777) != 0 && errno != EEXIST) {
      raise_os_error(errno, where, "create directory");
    }
    Fd next = base::open_file_at(dir.get(), part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
    if (!next) raise_os_error(errno, where, "open directory");
    dir = std::move(next);
  }
  return dir;
}

std::optional<uid_t> user_id(const char* name) {
  if (name == nullptr || *name == '\0') return std::nullopt;
  std::vector<char> buffer(16384);
  struct passwd entry;
  struct passwd* found = nullptr;
  if (getpwnam_r(name, &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr) {
    return std::nullopt;
  }
  return found->pw_uid;
}

std::optional<gid_t> group_id(const char* name) {
  if (name == nullptr || *name == '\0') return std::nullopt;
  std::vector<char> buffer(16384);
  struct group entry;
  struct group* found = nullptr;
  if (getgrnam_r(name, &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr) {
    return std::nullopt;
  }
  return found->gr_gid;
}

// A name the log may be stored under, and what the last member of that name was.
struct Candidate {
  std::string name;                // as stored: names are compared exactly
  std::vector<std::string> parts;  // without "." components: where the copy goes
  bool found = false;
  const char* refused = nullptr;  // what the last member of the name is, unless a regular file
};

// Where the copy goes, and how much room it may take.
struct Destination {
  int root;  // temp_dir, open
  const std::filesystem::path& temp_dir;
  std::uint64_t keep_free_minimum;
};

// 20.0 GiB, 256 MiB, 344 bytes: a size as a person reads it.
std::string size_text(std::uint64_t bytes) {
  if (bytes < 1024) return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
  constexpr std::array<const char*, 6> kUnits = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
  double value = static_cast<double>(bytes) / 1024;
  std::size_t unit = 0;
  while (value >= 1024 && unit + 1 < kUnits.size()) {
    value /= 1024;
    ++unit;
  }
  std::array<char, 32> text;
  std::snprintf(text.data(), text.size(), value < 100 ? "%.1f %s" : "%.0f %s", value, kUnits[unit]);
  return text.data();
}

// Throws OSError (ENOSPC) unless a copy of `member` of `size` bytes, of which `written` are on
// the disk already, leaves the margin free on the file system of the temporary folder. The
// size is the copy's logical one, holes included: the viewer reads the copy whole.
void ensure_room(const Destination& to, const std::string& member, std::uint64_t size,
                 std::uint64_t written) {
  struct statvfs fs;
  if (::fstatvfs(to.root, &fs) != 0) raise_os_error(errno, to.temp_dir, "check free space in");
  // Some virtual file systems report no size at all; there is nothing to go by.
  if (fs.f_blocks == 0) return;
  const std::uint64_t unit = fs.f_frsize != 0 ? fs.f_frsize : fs.f_bsize;
  const std::uint64_t available = static_cast<std::uint64_t>(fs.f_bavail) * unit;
  const std::uint64_t margin =
      free_space_margin(static_cast<std::uint64_t>(fs.f_blocks) * unit, to.keep_free_minimum);
  const std::uint64_t needed = size > written ? size - written : 0;
  if (needed <= available && available - needed >= margin) return;
  // The folder the user knows: the temporary folder itself goes with the failure.
  const std::filesystem::path where =
      to.temp_dir.has_parent_path() ? to.temp_dir.parent_path() : to.temp_dir;
  throw OSError("not enough space in " + quoted_path(where) + " to unpack " + base::quoted(member) +
                    " (" + size_text(size) + ") and keep " + size_text(margin) + " free",
                std::error_code(ENOSPC, std::generic_category()), where);
}

// Writes the data of the current member, the log `log`, to a new file at its parts below the
// temporary folder, with the member's permission bits, modification time and, for root, owner.
void extract_member(struct archive* a, struct archive_entry* entry, const Source& source,
                    const Destination& to, const Candidate& log) {
  const std::vector<std::string>& parts = log.parts;
  // Nothing is written for a member too large to keep the margin free; an archive of a few
  // hundred bytes can declare a sparse member of many gigabytes.
  std::uint64_t size = 0;
  if (libarchive().archive_entry_size_is_set(entry)) {
    size =
        static_cast<std::uint64_t>(std::max<la_int64_t>(libarchive().archive_entry_size(entry), 0));
  }
  const std::uint64_t declared = size;
  ensure_room(to, log.name, size, 0);

  std::filesystem::path target = to.temp_dir;
  for (const std::string& part : parts) target /= part;
  Fd parent = open_parent_dirs(to.root, parts, to.temp_dir);
  const std::string& leaf = parts.back();
  // An earlier member of the same name may have been extracted already; the last one wins,
  // and it gets a fresh file rather than one whose stored mode may forbid writing.
  if (::unlinkat(parent.get(), leaf.c_str(), 0) != 0 && errno != ENOENT) {
    raise_os_error(errno, target, "replace");
  }
  Fd out = base::open_file_at(parent.get(), leaf.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW,
                              0600);
  if (!out) raise_os_error(errno, target, "create");

  std::uint64_t position = 0;
  std::uint64_t written = 0;  // bytes of data; holes take no disk yet
  std::uint64_t next_check = kSpaceCheckInterval;
  while (true) {
    check_interrupt();
    const void* block = nullptr;
    std::size_t length = 0;
    la_int64_t offset = 0;
    int status = libarchive().archive_read_data_block(a, &block, &length, &offset);
    if (status == ARCHIVE_EOF) break;
    if (status < ARCHIVE_WARN) raise_read_error(a, source);
    if (offset < 0) {
      throw ReadError("cannot read archive " + quoted_path(source.path) + ": " +
                      base::quoted(log.name) + " has data at a negative offset");
    }
    const std::uint64_t end = static_cast<std::uint64_t>(offset) + length;
    // Free space is looked at again as the copy grows, holes counted as if written, and at
    // once for data past the size declared.
    if (end >= next_check || end > size) {
      size = std::max(size, end);
      ensure_room(to, log.name, size, written);
      next_check = end + kSpaceCheckInterval;
    }
    // A sparse member leaves holes between its blocks.
    if (static_cast<std::uint64_t>(offset) != position) {
      if (::lseek(out.get(), offset, SEEK_SET) < 0) raise_os_error(errno, target, "seek");
      position = static_cast<std::uint64_t>(offset);
    }
    if (!base::write_all(out.get(), block, length)) raise_os_error(errno, target, "write");
    position += length;
    written += length;
  }
  if (position < declared) {
    if (::ftruncate(out.get(), static_cast<off_t>(declared)) != 0) {
      raise_os_error(errno, target, "extend");
    }
  }

  if (::geteuid() == 0) {
    uid_t uid = user_id(libarchive().archive_entry_uname(entry))
                    .value_or(static_cast<uid_t>(libarchive().archive_entry_uid(entry)));
    gid_t gid = group_id(libarchive().archive_entry_gname(entry))
                    .value_or(static_cast<gid_t>(libarchive().archive_entry_gid(entry)));
    // An owner the system can't take (an id outside a user namespace's map) leaves the copy
    // ours, which does not change what is read from it.
    (void)::fchown(out.get(), uid, gid);
  }
  // The copy is data: set-user-ID, set-group-ID and sticky bits are not carried over. The viewer
  // that made it must read it, whatever mode root's log had on the reporting host.
  if (::fchmod(out.get(), (libarchive().archive_entry_perm(entry) & 0777) | S_IRUSR) != 0) {
    raise_os_error(errno, target, "set the mode of");
  }
  struct timespec times[2];
  times[0].tv_sec = static_cast<time_t>(libarchive().archive_entry_mtime(entry));
  times[0].tv_nsec = libarchive().archive_entry_mtime_nsec(entry);
  times[1] = times[0];
  if (::futimens(out.get(), times) != 0) raise_os_error(errno, target, "set the time of");
  if (int err = out.close(); err != 0) raise_os_error(err, target, "write");
}

// The log below the directory member `dir` (its stored name without the trailing "/"),
// refused when it would be written outside temp_dir or at a path too long to open.
Candidate log_below(const std::string& dir, const std::filesystem::path& archive,
                    const std::filesystem::path& temp_dir) {
  Candidate log;
  log.name = dir + "/" + std::string(kEventsBelowTop);
  auto refuse = [&](const char* why) {
    throw ReadError("refusing to extract " + base::quoted(log.name) + " from archive " +
                    quoted_path(archive) + ": " + why);
  };
  if (leads_outside(log.name)) refuse("the name leads outside the extraction directory");
  std::size_t length = temp_dir.native().size();
  for (std::string_view part : components(log.name)) {
    log.parts.emplace_back(part);
    length += 1 + part.size();
  }
  if (length >= PATH_MAX) refuse("the name is too long");
  return log;
}

std::string joined(const std::vector<std::string_view>& parts) {
  std::string text;
  for (std::string_view part : parts) {
    if (!text.empty()) text += '/';
    text += part;
  }
  return text;
}

}  // namespace

bool is_archive_path(const std::filesystem::path& path) {
  std::string_view suffix = last_suffix(file_name(path.native()));
  if (suffix.empty()) return false;
  for (std::string_view archive_suffix : kArchiveSuffixes) {
    if (suffix == archive_suffix) return true;
  }
  return false;
}

std::uint64_t free_space_margin(std::uint64_t file_system_size, std::uint64_t minimum) {
  std::uint64_t share = std::min(file_system_size / 100 * kKeepFreePercent, kKeepFreeShareCap);
  return std::max(minimum, share);
}

std::filesystem::path extract_events_into(const std::filesystem::path& archive,
                                          const std::filesystem::path& temp_dir, std::string* top,
                                          std::uint64_t keep_free_minimum, bool with_rotated) {
  Fd root = base::open_file(temp_dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
  if (!root) raise_os_error(errno, temp_dir, "open directory");
  const Destination to{root.get(), temp_dir, keep_free_minimum};
  // A FIFO without a writer blocks here; Ctrl-C ends the wait.
  Source source{archive, base::open_file(archive.c_str(), O_RDONLY)};
  if (!source.fd) raise_os_error(errno, archive, "open archive");
  struct stat status;
  if (::fstat(source.fd.get(), &status) != 0) raise_os_error(errno, archive, "open archive");
  if (S_ISDIR(status.st_mode)) raise_os_error(EISDIR, archive, "open archive");
  source.seekable = S_ISREG(status.st_mode);
  source.size = status.st_size;

  ArchivePtr reader(libarchive().archive_read_new());
  if (!reader) throw std::bad_alloc();
  struct archive* a = reader.get();
  // The tar format alone, in the three compressions; nothing else is even tried.
  if (libarchive().archive_read_support_format_tar(a) != ARCHIVE_OK ||
      libarchive().archive_read_support_filter_gzip(a) < ARCHIVE_WARN ||
      libarchive().archive_read_support_filter_bzip2(a) < ARCHIVE_WARN ||
      libarchive().archive_read_support_filter_xz(a) < ARCHIVE_WARN) {
    raise_read_error(a, source);
  }
  if (libarchive().archive_read_open2(a, &source, nullptr, read_source, skip_source, nullptr) !=
      ARCHIVE_OK) {
    raise_read_error(a, source);
  }

  struct archive_entry* entry = nullptr;
  int header = libarchive().archive_read_next_header(a, &entry);
  // An empty tar is no report; reading the archive itself as the log would show its blocks.
  if (header == ARCHIVE_EOF) {
    throw ReadError("cannot read archive " + quoted_path(archive) + ": it holds no members");
  }
  if (header < ARCHIVE_WARN) raise_read_error(a, source);
  const std::string first = member_name(entry);
  Candidate at_top = log_below(first, archive, temp_dir);
  // A report packed from inside its top directory, or from the folder above it, begins with
  // "./": its log is at the top, or else below the first directory that follows.
  const bool packed_from_inside = components(first).empty();
  std::string first_dir;
  std::optional<Candidate> below_first_dir;

  // Every header is read: when several members carry the name, the last one wins.
  while (true) {
    check_interrupt();
    header = libarchive().archive_read_next_header(a, &entry);
    if (header == ARCHIVE_EOF) break;
    if (header < ARCHIVE_WARN) raise_read_error(a, source);
    const std::string name = member_name(entry);
    if (packed_from_inside && !below_first_dir &&
        libarchive().archive_entry_filetype(entry) == AE_IFDIR && !components(name).empty()) {
      first_dir = name;
      below_first_dir = log_below(first_dir, archive, temp_dir);
    }
    for (Candidate* log : {&at_top, below_first_dir ? &*below_first_dir : nullptr}) {
      if (log == nullptr) continue;
      if (with_rotated && name.size() > log->name.size() && name.starts_with(log->name) &&
          rotated_key(std::string_view(name).substr(log->name.size())) &&
          kind_of(entry) == nullptr) {
        // Beside the log, under the log's own checked folder: the name adds only a suffix.
        Candidate rotated{name, log->parts, true, nullptr};
        rotated.parts.back() = std::string(file_name(name));
        extract_member(a, entry, source, to, rotated);
        continue;
      }
      if (name != log->name) continue;
      log->found = true;
      log->refused = kind_of(entry);
      if (log->refused == nullptr) extract_member(a, entry, source, to, *log);
    }
  }

  const Candidate* log = at_top.found ? &at_top : nullptr;
  if (log == nullptr && below_first_dir && below_first_dir->found) log = &*below_first_dir;
  if (log == nullptr) {
    std::string names = base::quoted(at_top.name);
    if (below_first_dir) names += " or " + base::quoted(below_first_dir->name);
    throw KeyError("no member " + names + " in archive " + quoted_path(archive));
  }
  if (log->refused != nullptr) {
    throw ReadError("refusing to extract " + base::quoted(log->name) + " from archive " +
                    quoted_path(archive) + ": it is " + log->refused + ", not a regular file");
  }
  if (top != nullptr) *top = joined(components(log == &at_top ? first : first_dir));
  std::filesystem::path copy = temp_dir;
  for (const std::string& part : log->parts) copy /= part;
  return copy;
}

std::filesystem::path extract_events_from_archive(const std::filesystem::path& archive,
                                                  const std::filesystem::path& temp_dir,
                                                  std::string* top) {
  create_temp_dir(temp_dir);
  return extract_events_into(archive, temp_dir, top);
}

}  // namespace orvex
