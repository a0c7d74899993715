// The viewer's archive input: the input is written as a report archive and its event log
// extracted into a fresh folder, which is then removed.
//
// Orvex errors are expected for broken archives. Anything else is a finding, and so is a
// result outside the folder, a file left behind, or an entry appearing anywhere in the
// harness's own folder but the archive and the extraction folder.

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>

#include <orvex/errors.hpp>

#include "archive.hpp"
#include "support.hpp"

namespace {

namespace fs = std::filesystem;
using namespace orvex;

// A few kilobytes of compressed input can stand for gigabytes: the write that would pass
// this size fails with EFBIG instead, which the extraction reports as an OSError.
constexpr rlim_t kFileSizeLimit = 16 << 20;

// The folder holds the archive and the extraction folder's parent, nothing else.
struct Layout {
  fs::path base;
  fs::path parent;  // of the extraction folder; empty between iterations
};

const Layout& layout() {
  static const Layout paths = [] {
    Layout made;
    made.base = fuzz::scratch_dir("orvex-fuzz-archive");
    made.parent = made.base / "out";
    fs::create_directory(made.parent);
    return made;
  }();
  return paths;
}

// Every entry of `dir` but `allowed` ("" allows none).
std::string strays(const fs::path& dir, const fs::path& allowed) {
  std::string found;
  for (const fs::directory_entry& entry : fs::directory_iterator(dir)) {
    if (entry.path() != allowed) found += " " + entry.path().string();
  }
  return found;
}

bool is_below(const fs::path& path, const fs::path& dir) {
  auto [dir_end, path_at] = std::mismatch(dir.begin(), dir.end(), path.begin(), path.end());
  return dir_end == dir.end() && path_at != path.end();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  rlimit limit{kFileSizeLimit, kFileSizeLimit};
  ::setrlimit(RLIMIT_FSIZE, &limit);
  ::signal(SIGXFSZ, SIG_IGN);
  (void)layout();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const Layout& paths = layout();
  // The name does not choose the decompression; both suffixes the viewer recognises occur.
  const fs::path archive = paths.base / (size % 2 == 0 ? "x.tar" : "x.tar.gz");
  const fs::path temp_dir = paths.parent / "t";
  fuzz::write_file(archive, std::string_view(reinterpret_cast<const char*>(data), size));

  try {
    fs::path events = extract_events_from_archive(archive, temp_dir);
    if (events != archive) {
      struct stat status;
      if (!is_below(events.lexically_normal(), temp_dir) || ::lstat(events.c_str(), &status) != 0 ||
          !S_ISREG(status.st_mode)) {
        fuzz::fail("the extracted log " + fuzz::printable(events.string()) +
                   " is no regular file below " + temp_dir.string());
      }
    }
    fuzz::note("extracted " + events.string());
  } catch (const Error& error) {
    fuzz::note(error.what());  // not a readable report archive
  }

  if (std::string found = strays(paths.parent, temp_dir); !found.empty()) {
    fuzz::fail("the extraction wrote outside its folder:" + found);
  }
  std::error_code error;
  if (fs::exists(fs::symlink_status(temp_dir, error))) {
    try {
      remove_temp_dir(temp_dir);
    } catch (const Error& e) {
      fuzz::fail(std::string("remove_temp_dir failed: ") + e.what());
    }
    if (fs::exists(fs::symlink_status(temp_dir, error))) {
      fuzz::fail("remove_temp_dir left " + temp_dir.string());
    }
  }
  if (std::string found = strays(paths.base, paths.parent); found != " " + archive.string()) {
    fuzz::fail("unexpected entries beside the archive:" + found);
  }
  fs::remove(archive);
  return 0;
}
