#include <orvex/message_types.hpp>

#include <base/fd.hpp>
#include <base/utf8.hpp>

#define PCRE2_CODE_UNIT_WIDTH 8
#include <dirent.h>
#include <fcntl.h>
#include <pcre2.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

namespace orvex {
namespace {

namespace fs = std::filesystem;

constexpr char kSettingsDir[] = "/usr/share/syslog-ng-mod-orvex/event-settings";
constexpr char kPattern[] = R"re("message-type"\s*:\s*"([^"]+)")re";
constexpr std::size_t kBlockSize = 64 * 1024;

[[noreturn]] void fail(int err, const fs::path& path, const char* action) {
  throw fs::filesystem_error(action, path, std::error_code(err, std::generic_category()));
}

bool is_permission_error(int err) { return err == EACCES || err == EPERM; }

// The entry is gone, or is no longer what it was listed as.
bool is_vanished(int err) { return err == ENOENT || err == ENOTDIR || err == ELOOP; }

struct DirCloser {
  void operator()(DIR* dir) const { ::closedir(dir); }
};
using DirHandle = std::unique_ptr<DIR, DirCloser>;

// Takes over `fd`: the listing owns it from now on, or it is closed on failure.
DirHandle open_listing(base::Fd fd, const fs::path& path) {
  DIR* dir = ::fdopendir(fd.get());
  if (dir == nullptr) fail(errno, path, "cannot list the directory");
  fd.release();
  return DirHandle(dir);
}

class MessageTypePattern {
 public:
  MessageTypePattern() {
    int error = 0;
    PCRE2_SIZE offset = 0;
    code_ = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(kPattern), PCRE2_ZERO_TERMINATED,
                          PCRE2_UTF | PCRE2_UCP, &error, &offset, nullptr);
    if (code_ == nullptr) throw std::runtime_error("message-type pattern: " + message(error));
    // Without JIT support the interpreter runs the same pattern, only slower.
    pcre2_jit_compile(code_, PCRE2_JIT_COMPLETE);
    match_ = pcre2_match_data_create_from_pattern(code_, nullptr);
    if (match_ == nullptr) {
      pcre2_code_free(code_);
      throw std::bad_alloc();
    }
  }
  ~MessageTypePattern() {
    pcre2_match_data_free(match_);
    pcre2_code_free(code_);
  }
  MessageTypePattern(const MessageTypePattern&) = delete;
  MessageTypePattern& operator=(const MessageTypePattern&) = delete;

  // Group 1 of the first match in `line`, which must be valid UTF-8.
  std::optional<std::string_view> first_match(std::string_view line, const fs::path& path) {
    int rc = pcre2_match(code_, reinterpret_cast<PCRE2_SPTR>(line.data()), line.size(), 0,
                         PCRE2_NO_UTF_CHECK, match_, nullptr);
    if (rc == PCRE2_ERROR_NOMATCH) return std::nullopt;
    if (rc < 0) {
      throw std::runtime_error("message-type search failed in '" + path.string() +
                               "': " + message(rc));
    }
    const PCRE2_SIZE* ovector = pcre2_get_ovector_pointer(match_);
    return line.substr(ovector[2], ovector[3] - ovector[2]);
  }

 private:
  static std::string message(int error) {
    PCRE2_UCHAR buffer[256];
    if (pcre2_get_error_message(error, buffer, sizeof buffer) < 0)
      return "error " + std::to_string(error);
    return reinterpret_cast<const char*>(buffer);
  }

  pcre2_code* code_ = nullptr;
  pcre2_match_data* match_ = nullptr;
};

class Scan {
 public:
  std::set<std::string> run(const fs::path& settings_dir);

 private:
  void scan_entry(int dir_fd, const dirent& entry, const fs::path& path);
  void scan_file(int dir_fd, const char* name, const fs::path& path);
  // False once `line` is not UTF-8: the rest of the file is then abandoned.
  bool take_line(std::string_view line, const fs::path& path);

  struct Level {
    DirHandle dir;
    fs::path path;
  };
  MessageTypePattern pattern_;
  std::set<std::string> types_;
  std::vector<Level> levels_;
};

std::set<std::string> Scan::run(const fs::path& settings_dir) {
  // The folder itself may be a link (a packaged path often is); only the entries below it
  // are not followed into.
  base::Fd root = base::open_file(settings_dir.c_str(), O_RDONLY | O_DIRECTORY);
  if (!root) {
    if (is_vanished(errno) || is_permission_error(errno)) return {};
    fail(errno, settings_dir, "cannot open the settings directory");
  }
  levels_.push_back({open_listing(std::move(root), settings_dir), settings_dir});

  // An explicit stack rather than recursion: a deep tree costs descriptors, never the stack.
  while (!levels_.empty()) {
    Level& level = levels_.back();
    errno = 0;
    const dirent* entry = ::readdir(level.dir.get());
    if (entry == nullptr) {
      if (errno != 0) fail(errno, level.path, "cannot list the directory");
      levels_.pop_back();
      continue;
    }
    std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    scan_entry(::dirfd(level.dir.get()), *entry, level.path / entry->d_name);
  }
  return std::move(types_);
}

void Scan::scan_entry(int dir_fd, const dirent& entry, const fs::path& path) {
  const char* name = entry.d_name;
  unsigned char type = entry.d_type;
  if (type == DT_UNKNOWN) {
    // Some file systems leave the type out of the listing.
    struct stat st;
    if (::fstatat(dir_fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
      if (is_vanished(errno) || is_permission_error(errno)) return;
      fail(errno, path, "cannot examine the entry");
    }
    type = S_ISDIR(st.st_mode)   ? DT_DIR
           : S_ISLNK(st.st_mode) ? DT_LNK
           : S_ISREG(st.st_mode) ? DT_REG
                                 : DT_UNKNOWN;
  }

  if (type == DT_DIR) {
    // O_NOFOLLOW: a directory swapped for a link since the listing is not followed either.
    base::Fd sub = base::open_file_at(dir_fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
    if (!sub) {
      if (is_vanished(errno) || is_permission_error(errno)) return;
      fail(errno, path, "cannot open the directory");
    }
    levels_.push_back({open_listing(std::move(sub), path), path});
    return;
  }
  if (type == DT_LNK) {
    struct stat st;
    if (::fstatat(dir_fd, name, &st, 0) != 0) {
      // A broken link or a loop is no regular file; a target we may not reach is skipped
      // like a file we may not open.
      if (is_vanished(errno) || is_permission_error(errno)) return;
      fail(errno, path, "cannot follow the link");
    }
    if (!S_ISREG(st.st_mode)) return;
  } else if (type != DT_REG) {
    return;  // FIFOs, sockets and devices: opening one could block or have side effects
  }
  scan_file(dir_fd, name, path);
}

void Scan::scan_file(int dir_fd, const char* name, const fs::path& path) {
  // O_NONBLOCK: should the entry have turned into a FIFO since it was examined, the open
  // does not wait for a writer; the fstat below then drops it.
  base::Fd file = base::open_file_at(dir_fd, name, O_RDONLY | O_NOCTTY | O_NONBLOCK);
  if (!file) {
    if (is_permission_error(errno)) return;
    fail(errno, path, "cannot open the settings file");
  }
  struct stat st;
  if (::fstat(file.get(), &st) != 0) fail(errno, path, "cannot examine the entry");
  if (!S_ISREG(st.st_mode)) return;

  std::string buffer;       // the unfinished line, then the block just read
  std::size_t scanned = 0;  // bytes of `buffer` known to hold no line end
  for (;;) {
    std::size_t kept = buffer.size();
    buffer.resize(kept + kBlockSize);
    // A signal other than the user's interrupt is retried inside; that interrupt fails here.
    ssize_t got = base::read_some(file.get(), buffer.data() + kept, kBlockSize);
    if (got < 0) fail(errno, path, "cannot read the settings file");
    buffer.resize(kept + static_cast<std::size_t>(got));
    if (got == 0) break;

    // LF, CR LF and a lone CR all end a line; CR LF leaves an empty line between, which
    // matches nothing. Both searches move forward only, so each byte is looked at once.
    const char* data = buffer.data();
    const char* end = data + buffer.size();
    const char* line = data;
    auto find = [end](const char* from, char c) {
      return static_cast<const char*>(std::memchr(from, c, static_cast<std::size_t>(end - from)));
    };
    const char* lf = find(data + scanned, '\n');
    const char* cr = find(data + scanned, '\r');
    while (lf != nullptr || cr != nullptr) {
      const char* stop = lf == nullptr ? cr : cr == nullptr ? lf : std::min(lf, cr);
      if (!take_line(std::string_view(line, static_cast<std::size_t>(stop - line)), path)) return;
      line = stop + 1;
      if (lf == stop) lf = find(line, '\n');
      if (cr == stop) cr = find(line, '\r');
    }
    std::size_t start = static_cast<std::size_t>(line - data);
    buffer.erase(0, start);
    scanned = buffer.size();
  }
  if (!buffer.empty()) take_line(buffer, path);
}

bool Scan::take_line(std::string_view line, const fs::path& path) {
  // Strict, as a text decoder is: overlong forms, surrogates and code points above U+10FFFF
  // are refused.
  if (base::find_invalid_utf8(line)) return false;
  if (std::optional<std::string_view> type = pattern_.first_match(line, path)) {
    types_.emplace(*type);
  }
  return true;
}

}  // namespace

std::set<std::string> find_unique_message_types() {
  return find_unique_message_types(kSettingsDir);
}

std::set<std::string> find_unique_message_types(const std::filesystem::path& settings_dir) {
  return Scan().run(settings_dir);
}

}  // namespace orvex
