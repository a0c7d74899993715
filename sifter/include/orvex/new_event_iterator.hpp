#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>

#include <orvex/event_iterator.hpp>

namespace orvex {

// Iterate over events newly appended to the event file: starts at the end of the file and
// polls it, reading lines back to back while there are any and waiting one poll interval
// after a read that finds nothing. Never ends by itself. By default it keeps reading the file
// it opened: a file replaced under the same name is not followed, and a file cut back is
// silent until it grows past the old position. set_follow_name() follows the name instead.
//
// A line is decoded only once its line end has arrived, so an event that the logger writes
// in two pieces is shown once, whole. For the same reason an unfinished last line found at
// construction is read from its start once finished.
class ORVEX_SIFTER_API OrvexNewEventIterator : public OrvexEventIterator {
 public:
  // How the file changed under its name (see set_follow_name).
  enum class FileChange {
    replaced,   // the name refers to another file, now read from its start
    truncated,  // the file became shorter than the position read, now read from its start
  };

  // Opens `event_file_path` and moves to the end of its last complete line.
  // Throws FileNotFoundError, PermissionError, OSError.
  explicit OrvexNewEventIterator(const std::filesystem::path& event_file_path);
  // Goes on reading the file a first pass handed over (OrvexEventIterator::take_file()) from
  // the byte where that pass stopped, so that nothing appended in between is missed and a
  // line the pass left unfinished is read once, whole.
  explicit OrvexNewEventIterator(OpenEventFile open_file);
  ~OrvexNewEventIterator() override;

  // Blocks until an appended event passes the filters and returns it. Returns std::nullopt
  // only after close(), or when nothing is left to read and set_return_when_idle() is on.
  // Throws KeyboardInterrupt when a termination signal arrives (a wait is
  // cut short at once), UnicodeDecodeError for a line that is not UTF-8, OSError when reading
  // fails, OSError with EPIPE when the watched output's reader has gone away.
  std::optional<OrvexEvent> next() override;

  // Closes the file; the iterator must not be read afterwards.
  void close();

  // Called before every idle wait (the viewer flushes its output there).
  void set_before_wait(std::function<void()> before_wait) { before_wait_ = std::move(before_wait); }

  // With `on`, next() returns std::nullopt instead of waiting when nothing is left to read, so
  // that one caller can poll several files and wait once for all of them; a later call goes on
  // where this one stopped. Off by default.
  void set_return_when_idle(bool on) noexcept { return_when_idle_ = on; }

  // The wait after a read that found nothing: 1 second unless set otherwise.
  void set_poll_interval(std::chrono::milliseconds interval) { poll_interval_ = interval; }

  // While waiting, also watch `fd`, the output the events go to: when its reader goes away (a
  // pipe or socket reports POLLERR or POLLHUP) next() throws OSError with EPIPE at once, even
  // when no event comes to be written. -1, the default, watches nothing.
  void set_watched_output(int fd) noexcept { watched_output_ = fd; }

  // Follows the file by its name (off by default). When nothing is left to read, the follower
  // looks at the name and at the file's size:
  // - the name refers to another file (another device or inode; also a file removed and
  //   created again): the old file is read to its end first, then the new one from its start.
  //   A last line of the old file that is still unfinished then is reported as damage of kind
  //   `unfinished` (with a reporter) and never joined to the new file's first bytes;
  // - the name is missing: the old file is read on and the name looked for at every poll;
  // - the file became shorter than the position read: it is read again from its start.
  // A truncation that is followed by more writes than were there before it can pass unseen
  // within one poll interval.
  void set_follow_name(bool follow_name) noexcept { follow_name_ = follow_name; }
  // Called, from within next(), at each switch of set_follow_name. May throw; the error then
  // leaves next().
  void set_on_file_change(std::function<void(FileChange)> on_change) {
    on_file_change_ = std::move(on_change);
  }

 private:
  [[gnu::visibility("hidden")]] std::optional<FileChange> look_at_name();
  [[gnu::visibility("hidden")]] void announce(FileChange change);

  std::function<void()> before_wait_;
  std::chrono::milliseconds poll_interval_{1000};
  int watched_output_ = -1;
  bool follow_name_ = false;
  bool return_when_idle_ = false;
  std::function<void(FileChange)> on_file_change_;
  // The largest size of the file seen at an idle look: a file smaller than that was cut back.
  std::uint64_t size_seen_ = 0;
  // The name refers to another file: the old one is drained, then this one is read.
  bool replaced_ = false;
  std::optional<OpenEventFile> next_file_;
};

}  // namespace orvex
