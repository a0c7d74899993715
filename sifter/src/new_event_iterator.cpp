#include <orvex/new_event_iterator.hpp>

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <string>

#include <orvex/errors.hpp>
#include <orvex/interrupt.hpp>

#include "backward_scan.hpp"

namespace orvex {

OrvexNewEventIterator::OrvexNewEventIterator(const std::filesystem::path& event_file_path)
    : OrvexEventIterator(event_file_path) {
  // Start after the last LF rather than at the very end: an unfinished last line is still
  // being written, and it belongs to the events to come.
  std::vector<std::uint64_t> end_mark = find_line_starts(file_, 0);
  file_.seek(static_cast<std::int64_t>(end_mark.empty() ? 0 : end_mark.back()), SEEK_SET);
}

OrvexNewEventIterator::OrvexNewEventIterator(OpenEventFile open_file)
    : OrvexEventIterator(std::move(open_file)) {}

OrvexNewEventIterator::~OrvexNewEventIterator() = default;

std::optional<OrvexNewEventIterator::FileChange> OrvexNewEventIterator::look_at_name() {
  struct stat st {};
  // A missing name is waited for; meanwhile the old file is still read.
  if (::stat(file_path_.c_str(), &st) == 0 &&
      FileIdentity{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)} !=
          file_identity_) {
    return FileChange::replaced;
  }
  const std::uint64_t size = file_.size();
  const bool shrunk = size < std::max(size_seen_, file_.tell());
  size_seen_ = size;
  if (shrunk) return FileChange::truncated;
  return std::nullopt;
}

void OrvexNewEventIterator::announce(FileChange change) {
  if (on_file_change_) on_file_change_(change);
}

std::optional<OrvexEvent> OrvexNewEventIterator::next() {
  while (file_.is_open()) {
    check_interrupt();
    if (auto line = file_.read_line(/*take_unfinished=*/false)) {
      if (auto event = decode_and_filter(*line)) return event;
      continue;
    }
    if (follow_name_ && !replaced_) {
      std::optional<FileChange> change = look_at_name();
      if (change == FileChange::replaced) {
        // Read the old file once more: a logger finishes its last line there before it
        // moves on, possibly after the read that found nothing.
        replaced_ = true;
        continue;
      }
      if (change == FileChange::truncated) {
        file_.seek(0, SEEK_SET);
        size_seen_ = 0;
        announce(FileChange::truncated);
        continue;
      }
    } else if (follow_name_ && replaced_) {
      // Every complete line of the old file has been read.
      try {
        if (!next_file_) next_file_ = open_identified(file_path_);
      } catch (const FileNotFoundError&) {
        replaced_ = false;  // gone again: look anew after the wait
      }
      if (next_file_) {
        // What is left of the old file is its last line: whole if its end has come just now,
        // otherwise damage, never joined to the new file's first bytes.
        file_.keep_invalid_lines(true);
        std::optional<EventFile::Line> rest = file_.read_line(/*take_unfinished=*/true);
        file_.keep_invalid_lines(has_damage_reporter());
        if (rest && rest->ended) {
          if (auto event = decode_and_filter(*rest)) return event;
          continue;
        }
        if (rest) report_damage(*rest, Damage::Kind::unfinished);
        file_ = std::move(next_file_->file);
        file_identity_ = next_file_->identity;
        file_.keep_invalid_lines(has_damage_reporter());
        next_file_.reset();
        replaced_ = false;
        size_seen_ = 0;
        announce(FileChange::replaced);
        continue;
      }
    }
    if (return_when_idle_) return std::nullopt;
    if (before_wait_) before_wait_();
    if (!interruptible_wait(poll_interval_, watched_output_)) {
      raise_os_error(EPIPE, "descriptor " + std::to_string(watched_output_), "cannot write to");
    }
  }
  return std::nullopt;
}

void OrvexNewEventIterator::close() {
  file_.close();
  next_file_.reset();
}

}  // namespace orvex
