#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>

#include <orvex/event_iterator.hpp>

namespace orvex {

// Iterate over events newly appended to the event file: starts at the end of the file and
// polls it, reading lines back to back while there are any and waiting one poll interval
// after a read that finds nothing. Never ends by itself. Keeps reading the file it opened:
// a file replaced under the same name is not followed, and a file cut back is silent until
// it grows past the old position.
//
// A line is decoded only once its line end has arrived, so an event that the logger writes
// in two pieces is shown once, whole. For the same reason an unfinished last line found at
// construction is read from its start once finished.
class ORVEX_SIFTER_API OrvexNewEventIterator : public OrvexEventIterator {
 public:
  // Opens `event_file_path` and moves to the end of its last complete line.
  // Throws FileNotFoundError, PermissionError, OSError.
  explicit OrvexNewEventIterator(const std::filesystem::path& event_file_path);
  ~OrvexNewEventIterator() override;

  // Blocks until an appended event passes the filters and returns it. Returns std::nullopt
  // only after close(). Throws KeyboardInterrupt when SIGINT arrives (a wait is cut short at
  // once), UnicodeDecodeError for a line that is not UTF-8, OSError when reading fails.
  std::optional<OrvexEvent> next() override;

  // Closes the file; the iterator must not be read afterwards.
  void close();

  // Called before every idle wait (the viewer flushes its output there).
  void set_before_wait(std::function<void()> before_wait) { before_wait_ = std::move(before_wait); }

  // The wait after a read that found nothing: 1 second unless set otherwise.
  void set_poll_interval(std::chrono::milliseconds interval) { poll_interval_ = interval; }

 private:
  std::function<void()> before_wait_;
  std::chrono::milliseconds poll_interval_{1000};
};

}  // namespace orvex
