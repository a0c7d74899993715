// Follow-by-name soak of the real executable: a writer appends events in pieces of random size
// (lines split across writes, several lines in one write) while `EXE -F` follows the file,
// rotating it twice (mv and a new file, its current line finished in the old file first) and
// truncating it once in between; then counts what the follower showed.
//   bench_follow_soak EXE [EVENTS]     EVENTS defaults to 100000
// Prints "written=N shown=N lost=N duplicated=N out_of_order=N notices=N seconds=X"; exits 1
// when an event was lost, duplicated or shown out of order.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void fail(const char* what) {
  std::perror(what);
  std::exit(2);
}

std::string event_line(long id) {
  return R"({"id": ")" + std::to_string(id) +
         R"(", "PRIORITY": "info", "ISODATE": "2024-01-15T10:00:00", )"
         R"("MSG": {"orvex-audit": {"type_en": "Audit", "name_en": "x"}}})"
         "\n";
}

// The logger: one descriptor opened for appending, the stream written in random pieces.
class Writer {
 public:
  Writer(std::string path, long first, long last) : path_(std::move(path)), rng_(20261210) {
    for (long id = first; id <= last; ++id) {
      starts_.push_back(stream_.size());
      stream_ += event_line(id);
    }
    open_file();
  }
  ~Writer() { close(fd_); }

  // Writes on up to the start of the `index`-th event's line, or everything.
  void write_to(std::size_t index) {
    std::size_t until = index < starts_.size() ? starts_[index] : stream_.size();
    while (written_ < until) {
      put(std::min<std::size_t>(1 + rng_() % 300, stream_.size() - written_));
      // A pause now and then, so that the follower also meets unfinished lines.
      if (rng_() % 64 == 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  }
  void finish_line() {
    if (written_ > 0 && stream_[written_ - 1] != '\n') {
      put(stream_.find('\n', written_) + 1 - written_);
    }
  }
  void rotate(int n) {
    if (std::rename(path_.c_str(), (path_ + "." + std::to_string(n)).c_str()) != 0) fail("rename");
    close(fd_);
    open_file();
  }
  void truncate() {
    if (ftruncate(fd_, 0) != 0) fail("ftruncate");
  }
  // Events whose line is complete in the files.
  std::size_t lines_written() const {
    return static_cast<std::size_t>(std::count(stream_.begin(), stream_.begin() + written_, '\n'));
  }

 private:
  void open_file() {
    fd_ = open(path_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd_ < 0) fail("open");
  }
  void put(std::size_t size) {
    if (write(fd_, stream_.data() + written_, size) != static_cast<ssize_t>(size)) fail("write");
    written_ += size;
  }

  std::string path_;
  std::mt19937 rng_;
  std::string stream_;
  std::vector<std::size_t> starts_;
  std::size_t written_ = 0;
  int fd_ = -1;
};

// Reads the follower's ids from `fd` until it ends, counting each id.
struct Reader {
  explicit Reader(long events) : seen(static_cast<std::size_t>(events) + 1) {}
  void run(int fd) {
    std::string pending;
    char buffer[65536];
    for (;;) {
      ssize_t got = read(fd, buffer, sizeof buffer);
      if (got <= 0) break;
      pending.append(buffer, static_cast<std::size_t>(got));
      std::size_t start = 0, end;
      while ((end = pending.find('\n', start)) != std::string::npos) {
        long id = std::strtol(pending.c_str() + start, nullptr, 10);
        if (id >= 0 && id < static_cast<long>(seen.size())) {
          if (seen[static_cast<std::size_t>(id)]++ == 0 && id != next) ++out_of_order;
          next = id + 1;
        }
        shown.fetch_add(1);
        start = end + 1;
      }
      pending.erase(0, start);
    }
  }
  // Waits until `count` lines were shown; false after `limit` without progress.
  bool wait_for(std::size_t count, std::chrono::seconds limit) {
    std::size_t last = shown.load();
    auto since = Clock::now();
    while (shown.load() < count) {
      if (shown.load() != last) {
        last = shown.load();
        since = Clock::now();
      }
      if (Clock::now() - since > limit) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
  }

  std::vector<unsigned> seen;
  std::atomic<std::size_t> shown{0};
  long next = 0;
  long out_of_order = 0;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    std::cerr << "usage: bench_follow_soak EXE [EVENTS]\n";
    return 2;
  }
  const std::string exe = argv[1];
  const long events = argc == 3 ? std::atol(argv[2]) : 100000;
  if (events < 20) {
    std::cerr << "bench_follow_soak: at least 20 events\n";
    return 2;
  }
  char dir_template[] = "/tmp/orvex-bench-soak-XXXXXX";
  if (mkdtemp(dir_template) == nullptr) fail("mkdtemp");
  const std::string dir = dir_template, log = dir + "/events", notices = dir + "/notices";
  std::ofstream(log) << event_line(0);

  int out[2];
  if (pipe(out) != 0) fail("pipe");
  pid_t pid = fork();
  if (pid == 0) {
    int err = open(notices.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(out[1], STDOUT_FILENO);
    dup2(err, STDERR_FILENO);
    close(out[0]);
    close(out[1]);
    execl(exe.c_str(), exe.c_str(), "-F", "-a", "--nocolor", "-o", "%id", log.c_str(), nullptr);
    _exit(127);
  }
  close(out[1]);
  Reader reader(events);
  std::thread reading([&] { reader.run(out[0]); });

  auto start = Clock::now();
  bool caught_up = reader.wait_for(1, std::chrono::seconds(10));
  Writer writer(log, 1, events);
  const std::size_t quarter = static_cast<std::size_t>(events) / 4;
  writer.write_to(quarter);
  writer.finish_line();
  writer.rotate(1);
  writer.write_to(2 * quarter);
  writer.finish_line();
  // A truncation drops what was not read before it: the follower catches up first, and sees
  // the file shrink before it grows past its old size.
  caught_up = caught_up && reader.wait_for(writer.lines_written() + 1, std::chrono::seconds(10));
  writer.truncate();
  writer.write_to(writer.lines_written() + 10);
  writer.finish_line();
  caught_up = caught_up && reader.wait_for(writer.lines_written() + 1, std::chrono::seconds(10));
  writer.write_to(3 * quarter);
  writer.finish_line();
  writer.rotate(2);
  writer.write_to(static_cast<std::size_t>(events) + 1);
  reader.wait_for(static_cast<std::size_t>(events) + 1, std::chrono::seconds(10));
  double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  kill(pid, SIGINT);
  int status = 0;
  waitpid(pid, &status, 0);
  reading.join();
  close(out[0]);

  long lost = 0, duplicated = 0;
  for (unsigned count : reader.seen) {
    if (count == 0) ++lost;
    if (count > 1) duplicated += count - 1;
  }
  long notice_lines = 0;
  std::ifstream notice_file(notices);
  for (std::string line; std::getline(notice_file, line);) ++notice_lines;
  std::filesystem::remove_all(dir);

  std::printf(
      "written=%ld shown=%zu lost=%ld duplicated=%ld out_of_order=%ld notices=%ld "
      "seconds=%.3f\n",
      events + 1, reader.shown.load(), lost, duplicated, reader.out_of_order, notice_lines,
      seconds);
  if (!caught_up) std::fprintf(stderr, "bench_follow_soak: the follower stopped keeping up\n");
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "bench_follow_soak: the follower ended with status %d\n", status);
    return 1;
  }
  return lost == 0 && duplicated == 0 && reader.out_of_order == 0 ? 0 : 1;
}
