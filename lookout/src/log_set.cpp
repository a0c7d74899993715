#include "log_set.hpp"
#include "libarchive_loader.hpp"
#include "worker_thread.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <utility>

#include <base/fd.hpp>
#include <base/terminal_safe.hpp>
#include <orvex/errors.hpp>

namespace orvex {

namespace {

constexpr std::array<std::string_view, 4> kCompressionSuffixes = {".gz", ".xz", ".bz2", ".zst"};
constexpr std::size_t kBlockSize = 64 << 10;

bool all_digits(std::string_view text) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

long number_of(std::string_view digits) {
  long value = 0;
  for (char c : digits) value = value * 10 + (c - '0');
  return value;
}

bool valid_date(long yyyymmdd) {
  using namespace std::chrono;
  const year_month_day date{year{int(yyyymmdd / 10000)}, month{unsigned(yyyymmdd / 100 % 100)},
                            day{unsigned(yyyymmdd % 100)}};
  return date.ok() && int(date.year()) >= 1;
}

DateTime local_wall_clock(const struct timespec& when) {
  using namespace std::chrono;
  struct tm local {};
  const time_t since_epoch = when.tv_sec;
  localtime_r(&since_epoch, &local);
  const local_days day{year{local.tm_year + 1900} / month{unsigned(local.tm_mon + 1)} /
                       std::chrono::day{unsigned(local.tm_mday)}};
  return DateTime{day} + hours{local.tm_hour} + minutes{local.tm_min} + seconds{local.tm_sec} +
         duration_cast<microseconds>(nanoseconds{when.tv_nsec});
}

struct Found {
  std::filesystem::path path;
  RotatedKey key;
  struct timespec modified {};
  bool compressed = false;
};

// The libarchive reader of one compressed file.
struct ReaderCloser {
  void operator()(struct archive* a) const noexcept { libarchive().archive_read_free(a); }
};
using ReaderPtr = std::unique_ptr<struct archive, ReaderCloser>;

class DecompressedStream : public PartStream {
 public:
  explicit DecompressedStream(const std::filesystem::path& path) : path_(path) {
    const Libarchive& api = libarchive();
    source_ = base::open_file(path.c_str(), O_RDONLY);
    if (!source_) raise_os_error(errno, path, "cannot open");
    reader_.reset(api.archive_read_new());
    if (!reader_) throw std::bad_alloc();
    struct archive* a = reader_.get();
    // The raw format gives the decompressed bytes as one member; only the four compressions
    // are offered, so no external program is ever started for an odd file.
    if (api.archive_read_support_format_raw(a) != ARCHIVE_OK ||
        api.archive_read_support_filter_gzip(a) < ARCHIVE_WARN ||
        api.archive_read_support_filter_bzip2(a) < ARCHIVE_WARN ||
        api.archive_read_support_filter_xz(a) < ARCHIVE_WARN ||
        api.archive_read_support_filter_zstd(a) < ARCHIVE_WARN ||
        api.archive_read_open_fd(a, source_.get(), kBlockSize) != ARCHIVE_OK) {
      fail(a);
    }
    struct archive_entry* entry = nullptr;
    if (api.archive_read_next_header(a, &entry) != ARCHIVE_OK) fail(a);

    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) raise_os_error(errno, path, "cannot read");
    base::Fd read_end(ends[0]);
    base::Fd write_end(ends[1]);
    // The reading side is an ordinary file of the sifter, opened anew through /proc.
    file_ = EventFile("/proc/self/fd/" + std::to_string(read_end.get()), EventFile::Mode::text);
    read_end.reset();

    // Termination signals go to the thread that reads, which the interrupt flag serves.
    writer_ = start_worker_thread(
        [this, out = std::move(write_end)]() mutable { write(std::move(out)); });
  }

  ~DecompressedStream() override {
    file_.close();  // a writer blocked on a full pipe gets EPIPE
    if (writer_.joinable()) writer_.join();
  }

  EventFile& file() override { return file_; }

  std::optional<std::string> failure() override {
    if (writer_.joinable()) writer_.join();
    std::lock_guard lock(mutex_);
    return failure_;
  }

 private:
  [[noreturn]] void fail(struct archive* a) {
    const char* detail = libarchive().archive_error_string(a);
    throw ReadError("cannot decompress " + base::quoted(path_.string()) + ": " +
                    (detail != nullptr ? base::terminal_safe(detail) : "unknown format"));
  }

  void write(base::Fd out) noexcept {
    const Libarchive& api = libarchive();
    struct archive* a = reader_.get();
    while (true) {
      const void* block = nullptr;
      std::size_t length = 0;
      la_int64_t offset = 0;
      const int status = api.archive_read_data_block(a, &block, &length, &offset);
      if (status == ARCHIVE_EOF) break;
      if (status < ARCHIVE_WARN) {
        const char* detail = api.archive_error_string(a);
        std::lock_guard lock(mutex_);
        failure_ = detail != nullptr ? base::terminal_safe(detail) : "corrupt compressed data";
        break;
      }
      if (length > 0 && !base::write_all(out.get(), block, length)) break;  // reader gone
    }
  }

  std::filesystem::path path_;
  base::Fd source_;
  ReaderPtr reader_;
  EventFile file_;
  std::thread writer_;
  std::mutex mutex_;
  std::optional<std::string> failure_;
};

}  // namespace

std::optional<RotatedKey> rotated_key(std::string_view rest) {
  RotatedKey key;
  for (std::size_t i = 0; i < kCompressionSuffixes.size(); ++i) {
    const std::string_view suffix = kCompressionSuffixes[i];
    if (rest.size() > suffix.size() && rest.ends_with(suffix)) {
      rest.remove_suffix(suffix.size());
      key.compression = int(i) + 1;
      break;
    }
  }
  if (rest.size() >= 2 && rest.size() <= 10 && rest.front() == '.' && all_digits(rest.substr(1))) {
    key.number = -number_of(rest.substr(1));
    return key;
  }
  if (rest.size() == 9 && rest.front() == '-' && all_digits(rest.substr(1))) {
    key.dated = true;
    key.number = number_of(rest.substr(1));
    if (valid_date(key.number)) return key;
  }
  return std::nullopt;
}

bool is_compressed(const std::filesystem::path& path) {
  base::Fd fd = base::open_file(path.c_str(), O_RDONLY | O_NONBLOCK);
  if (!fd) return false;
  unsigned char head[6] = {};
  const ssize_t got = base::read_at(fd.get(), head, sizeof head, 0);
  if (got < 0) return false;
  auto starts = [&](std::initializer_list<unsigned char> magic) {
    return static_cast<std::size_t>(got) >= magic.size() &&
           std::equal(magic.begin(), magic.end(), head);
  };
  return starts({0x1f, 0x8b}) ||                      // gzip
         starts({0xfd, '7', 'z', 'X', 'Z', 0x00}) ||  // xz
         starts({'B', 'Z', 'h'}) ||                   // bzip2
         starts({0x28, 0xb5, 0x2f, 0xfd});            // zstd
}

std::vector<LogPart> find_rotated_set(const std::filesystem::path& current) {
  const std::string name = current.filename().string();
  const std::filesystem::path folder = current.parent_path();
  std::vector<Found> found;
  std::error_code error;
  std::filesystem::directory_iterator entries(folder.empty() ? "." : folder, error);
  for (; !error && entries != std::filesystem::directory_iterator(); entries.increment(error)) {
    const std::string entry = entries->path().filename().string();
    if (entry.size() <= name.size() || entry.compare(0, name.size(), name) != 0) continue;
    const std::optional<RotatedKey> key = rotated_key(std::string_view(entry).substr(name.size()));
    if (!key) continue;
    const std::filesystem::path path = folder / entry;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    found.push_back({path, *key, st.st_mtim, false});
  }

  // One file per number or date: the uncompressed one, else the first suffix.
  std::sort(found.begin(), found.end(), [](const Found& a, const Found& b) {
    return std::tie(a.key.dated, a.key.number, a.key.compression) <
           std::tie(b.key.dated, b.key.number, b.key.compression);
  });
  found.erase(std::unique(found.begin(), found.end(),
                          [](const Found& a, const Found& b) {
                            return a.key.dated == b.key.dated && a.key.number == b.key.number;
                          }),
              found.end());

  // Two runs, numbered and dated: the run whose newest file is older goes first.
  auto newest = [&](bool dated) {
    std::optional<std::pair<time_t, long>> latest;
    for (const Found& f : found) {
      if (f.key.dated != dated) continue;
      const std::pair<time_t, long> at{f.modified.tv_sec, f.modified.tv_nsec};
      if (!latest || at > *latest) latest = at;
    }
    return latest;
  };
  const auto newest_numbered = newest(false), newest_dated = newest(true);
  const bool dated_first = newest_numbered && newest_dated && *newest_dated < *newest_numbered;
  std::stable_partition(found.begin(), found.end(),
                        [&](const Found& f) { return f.key.dated == dated_first; });

  std::vector<LogPart> parts;
  for (const Found& f : found) {
    LogPart part{f.path, f.path, is_compressed(f.path), std::nullopt};
    if (part.compressed) part.modified = local_wall_clock(f.modified);
    parts.push_back(std::move(part));
  }
  parts.push_back({current, current, false, std::nullopt});
  return parts;
}

std::unique_ptr<PartStream> open_decompressed(const std::filesystem::path& path) {
  return std::make_unique<DecompressedStream>(path);
}

std::unique_ptr<OrvexEventIterator> open_log_set(std::vector<LogPart> parts,
                                                 const ReverseSelection& selection,
                                                 bool newest_first) {
  return std::make_unique<OrvexLogSetIterator>(std::move(parts), selection, newest_first,
                                               &open_decompressed);
}

}  // namespace orvex
