#include "temp_folder.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include <base/fd.hpp>
#include <orvex/errors.hpp>

namespace orvex {
namespace {

// The first failure of a removal that goes on past its failures.
struct Failure {
  int err = 0;
  std::filesystem::path path;
  std::string_view action;

  void note(int error, const std::filesystem::path& where, std::string_view what) {
    if (err != 0) return;
    err = error;
    path = where;
    action = what;
  }
};

// Removes `name` (at `path`) below the directory `parent` with everything below it, without
// following symbolic links. What fails stays, and the first failure is noted in `failure`.
void remove_tree_at(int parent, const char* name, const std::filesystem::path& path,
                    Failure& failure) {
  struct stat status;
  if (::fstatat(parent, name, &status, AT_SYMLINK_NOFOLLOW) != 0) {
    failure.note(errno, path, "remove");
    return;
  }
  if (!S_ISDIR(status.st_mode)) {
    if (::unlinkat(parent, name, 0) != 0) failure.note(errno, path, "remove");
    return;
  }
  base::Fd dir = base::open_file_at(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
  if (dir) {
    const int fd = dir.get();
    std::unique_ptr<DIR, int (*)(DIR*)> stream(::fdopendir(fd), ::closedir);
    if (stream) {
      dir.release();  // the stream owns it now
      // The names are taken first, so that the removals do not disturb the listing.
      std::vector<std::string> names;
      errno = 0;
      while (struct dirent* found = ::readdir(stream.get())) {
        std::string_view entry = found->d_name;
        if (entry != "." && entry != "..") names.emplace_back(entry);
        errno = 0;
      }
      if (errno != 0) failure.note(errno, path, "list");
      for (const std::string& entry : names) {
        remove_tree_at(fd, entry.c_str(), path / entry, failure);
      }
    } else {
      failure.note(errno, path, "list");
    }
  } else {
    failure.note(errno, path, "open directory");
  }
  if (::unlinkat(parent, name, AT_REMOVEDIR) != 0) failure.note(errno, path, "remove");
}

// remove_temp_dir() without the throw: the first failure, err 0 when everything went.
Failure remove_tree(const std::filesystem::path& temp_dir) {
  Failure failure;
  struct stat status;
  if (::lstat(temp_dir.c_str(), &status) != 0) {
    failure.note(errno, temp_dir, "remove");
  } else if (!S_ISDIR(status.st_mode)) {
    // A link or a file in its place is not the directory that was made for the copy.
    failure.note(ENOTDIR, temp_dir, "remove");
  } else {
    remove_tree_at(AT_FDCWD, temp_dir.c_str(), temp_dir, failure);
  }
  return failure;
}

void remove_quietly(const std::filesystem::path& temp_dir) noexcept {
  // Out of memory for a path is the only throw left; what stays then is left in place.
  try {
    (void)remove_tree(temp_dir);
  } catch (...) {
  }
}

}  // namespace

std::filesystem::path temp_dir_path_for(double seconds_since_epoch) {
  std::array<char, 512> digits;
  auto [end, error] = std::to_chars(digits.data(), digits.data() + digits.size(),
                                    seconds_since_epoch, std::chars_format::fixed);
  std::string name = "tmp";
  name.append(digits.data(), error == std::errc() ? end : digits.data());
  if (name.find('.') == std::string::npos) name += ".0";
  return std::filesystem::path("/tmp") / name;
}

std::filesystem::path make_temp_dir_path() {
  struct timespec now;
  ::clock_gettime(CLOCK_REALTIME, &now);
  // One conversion of the whole nanosecond count, so that the name carries every digit the
  // clock gives that a double can hold.
  double nanoseconds =
      static_cast<double>(static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec);
  return temp_dir_path_for(nanoseconds / 1e9);
}

void create_temp_dir(const std::filesystem::path& temp_dir) {
  // The directory holds a copy of a security log: nobody but its owner may look in.
  if (::mkdir(temp_dir.c_str(), 0700) != 0) {
    raise_os_error(errno, temp_dir, "create temporary directory");
  }
}

void remove_temp_dir(const std::filesystem::path& temp_dir) {
  if (temp_dir.empty()) return;
  Failure failure = remove_tree(temp_dir);
  if (failure.err != 0) raise_os_error(failure.err, failure.path, failure.action);
}

TempFolder::TempFolder(std::filesystem::path path) : path_(std::move(path)) {
  create_temp_dir(path_);
  owned_ = true;
}

TempFolder::TempFolder(TempFolder&& other) noexcept
    : path_(std::move(other.path_)), owned_(std::exchange(other.owned_, false)) {}

TempFolder& TempFolder::operator=(TempFolder&& other) noexcept {
  if (this != &other) {
    if (owned_) remove_quietly(path_);
    path_ = std::move(other.path_);
    owned_ = std::exchange(other.owned_, false);
  }
  return *this;
}

TempFolder::~TempFolder() {
  if (owned_) remove_quietly(path_);
}

void TempFolder::remove() {
  if (!std::exchange(owned_, false)) return;
  remove_temp_dir(path_);
}

}  // namespace orvex
