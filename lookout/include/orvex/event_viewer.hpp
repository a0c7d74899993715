#pragma once

#include <cstdint>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <orvex/event_formatter.hpp>
#include <orvex/event_iterator.hpp>
#include <orvex/event_pattern.hpp>
#include <orvex/lookout_export.hpp>
#include <orvex/messages.hpp>
#include <orvex/new_event_iterator.hpp>

namespace orvex {

// The options record that the front end fills from the command line. The viewer keeps no
// defaults of its own. A field "holds" when it is not empty, not false and not zero.
struct OrvexViewerOptions {
  std::filesystem::path watch_file;           // the event file, or a report archive
  std::vector<std::string> priority, source;  // filters; empty: unset
  bool follow = false;                        // then print events appended to the file
  bool follow_name = false;                   // follow by name; implies follow; not for archives
  std::int64_t poll_ms = 0;                   // follow mode's poll interval; 0: its default
  std::optional<std::string> since, until;    // a time range; empty text counts as unset
  std::int64_t days_back = 0;                 // events from the local date this many days ago
  bool today = false, all = false;
  std::int64_t count = 0;             // the events of the last this many lines
  std::optional<std::string> format;  // formatter options, passed on unchanged
  bool more_info = false, raw = false, nocolor = false, iso_date = false;
  // Additions: keep only events some text value of which matches `grep` (a PCRE2 pattern,
  // case-insensitive when it has no upper-case letter unless `case_sensitive`); print each
  // event as one line of JSON, members in stored order, instead of the formatter's layouts.
  std::optional<std::string> grep;
  bool case_sensitive = false;
  bool json = false;
  // The same selection newest first, read backwards from the end of the file (not with follow).
  bool reverse = false;
  // Several inputs: the event logs or report archives after watch_file, merged with it by event
  // date; each summary line or key/value block is then preceded by its input's label.
  std::vector<std::filesystem::path> more_files;
  // Read the rotated files beside the log (beside the log inside a report archive too), oldest
  // first, then the log itself, as one log.
  bool rotated = false;
  // Worker threads: for a whole listing (--all) of one input, and for decoding and filtering
  // the inputs of a merge; 1 keeps everything on one thread.
  unsigned jobs = 2;
  // Instead of the events, an overview of them: totals, counts by priority and by type, and a
  // timeline, as text `columns` characters wide (coloured unless nocolor), or with json as one
  // JSON object. Not with follow: the overview is written at the end of the first pass.
  bool stats = false;
  unsigned columns = 80;
};

// The driver of the system: turns the options into one iterator with its filters and one
// formatter, unpacks a report archive into a private temporary directory, prints events,
// follows the file, and maps errors to messages and exit statuses. Owns its iterator, its
// formatter and the temporary directory on disk. Not copyable.
class ORVEX_LOOKOUT_API OrvexEventViewer {
 public:
  // Chooses the iterator, the first rule that holds winning: since or until (a time range);
  // days_back (from the local date that many days ago); today; all; count (the last lines);
  // otherwise today's events. For an archive (by file-name suffix) the event log is first
  // extracted into "/tmp/tmp<seconds>" (mode 0700) and the copy is read.
  // Prints nothing. Throws what the failing step throws: FileNotFoundError, PermissionError,
  // OSError for the file or the temporary directory; ReadError for an unreadable archive;
  // KeyError naming the member an archive lacks; ValueError for a date that cannot be read or
  // a days_back out of range. When it fails after the temporary directory was made, it
  // removes the directory before the error leaves.
  // With more_files every input is opened here, the reports unpacked (side by side, on up to
  // `jobs` threads) into numbered folders below one temporary directory; the first input in
  // argument order that fails gives the error.
  // Events and the messages of the display loop go to `out`; notices about damaged lines that
  // were skipped go to `notices`.
  explicit OrvexEventViewer(const OrvexViewerOptions& args, std::ostream& out = std::cout,
                            std::ostream& notices = std::cerr);
  ~OrvexEventViewer();
  OrvexEventViewer(const OrvexEventViewer&) = delete;
  OrvexEventViewer& operator=(const OrvexEventViewer&) = delete;

  // True when `path` is read as a report archive (by its file-name suffix).
  static bool is_archive(const std::filesystem::path& path);

  // Follow mode also watches the descriptor `fd` of the output while it waits (the front end
  // passes standard output): when its reader goes away, the run ends as a failed write to a
  // closed pipe does, with OSError EPIPE after the clean-up, even when no event comes to be
  // written. Nothing is watched unless this is called.
  void watch_output(int fd) noexcept { watched_output_ = fd; }

  // Print events from a file, handle errors, and clean up. Follow mode for new events if
  // enabled: it goes on from the byte where the first pass stopped reading when that pass read
  // the file to its end, otherwise from the end of the file. Following by name, each switch to
  // a replaced or truncated file is announced in one line on the notices stream.
  // Writes every event's text and a line feed to the output. Errors while events are read
  // become messages on the output and ExitRequest(1): "No such file"; "Invalid text encoding:
  // <file and offset>"; "Invalid date format: <error>". The user's interrupt (SIGINT) during
  // follow mode becomes ExitRequest(0); another termination signal passes on as
  // KeyboardInterrupt. The temporary directory is removed on every way out; when
  // that fails for lack of permission the message "Error: The temp folder '<dir>' was not
  // removed. Permission denied." is written and ExitRequest(1) replaces whatever was in
  // flight. Other errors (KeyboardInterrupt in the first pass, the formatter's KeyError or
  // TypeError, OSError, ...) pass on after the clean-up. A failed write to the output throws
  // OSError (EPIPE for a closed pipe). Returns normally only when the first pass ends and
  // follow mode is off.
  void show_events();

  // The number of events shown so far.
  std::uint64_t shown() const noexcept { return shown_; }

  // The file the iterator reads (the extracted copy for an archive) and the temporary
  // directory, for callers that report on them.
  const std::filesystem::path& file_path() const noexcept { return file_path_; }
  std::optional<std::filesystem::path> temp_dir() const;

 private:
  class DamageNotices;
  [[gnu::visibility("hidden")]] bool is_path_archive() const;
  [[gnu::visibility("hidden")]] void extract_events_from_archive();
  [[gnu::visibility("hidden")]] void clean_temp_files();
  // The private temporary folder, made on first use (several archives share it).
  [[gnu::visibility("hidden")]] const std::filesystem::path& temp_folder();
  [[gnu::visibility("hidden")]] void setup_filters();
  // Whether `iterator` builds events, or gives lines or (for an overview) outlines only.
  [[gnu::visibility("hidden")]] void choose_decoding(OrvexEventIterator& iterator) const;
  [[gnu::visibility("hidden")]] void follow_events();
  [[gnu::visibility("hidden")]] void announce_file_change(OrvexNewEventIterator::FileChange change,
                                                          const std::filesystem::path& name);
  [[gnu::visibility("hidden")]] bool list_on_workers();
  [[gnu::visibility("hidden")]] void print(OrvexEvent& event);
  [[gnu::visibility("hidden")]] void check_output();
  [[gnu::visibility("hidden")]] std::unique_ptr<OrvexEventIterator> open_rotated_set(
      const OrvexViewerOptions& args, const std::filesystem::path& file,
      const std::filesystem::path& argument, const std::filesystem::path& folder,
      DamageNotices& notices);
  [[gnu::visibility("hidden")]] void write_overview();
  // The merge of several inputs, in merged_inputs.cpp.
  [[gnu::visibility("hidden")]] void open_inputs(const OrvexViewerOptions& args);
  [[gnu::visibility("hidden")]] void show_merged();
  [[gnu::visibility("hidden")]] void follow_merged();
  [[gnu::visibility("hidden")]] DamageReporter& add_input_notices(
      const std::filesystem::path& shown_name);

  std::filesystem::path file_path_;
  std::vector<std::string> priority_filter_;
  std::vector<std::string> source_filter_;
  class TempFolder;
  // The folder this viewer made for an unpacked archive: removed with the viewer whatever
  // happens, and by the final step of show_events, which reports a failure.
  std::unique_ptr<TempFolder> temp_folder_;
  bool rotated_ = false;
  bool follow_ = false;
  bool follow_name_ = false;
  std::int64_t poll_ms_ = 0;
  int watched_output_ = -1;
  std::unique_ptr<DamageNotices> damage_;
  std::unique_ptr<OrvexEventIterator> iterator_;
  class Renderer;
  std::unique_ptr<Renderer> renderer_;
  // The options as given, for the workers of a whole listing, which make their own renderers.
  std::unique_ptr<OrvexViewerOptions> args_;
  // The input's label for %INPUT: the file name, or the report's host name for an archive.
  std::string label_;
  // Several inputs: their iterators and their damage notices, one each.
  struct Inputs;
  std::unique_ptr<Inputs> inputs_;
  std::vector<std::unique_ptr<DamageNotices>> input_notices_;
  // Where the event given to print() comes from in a merge; unset for the one input.
  struct Origin {
    OrvexEventIterator* iterator = nullptr;
    DamageReporter* damage = nullptr;
    const std::filesystem::path* file = nullptr;
    std::string_view label, prefix;
  };
  Origin origin_;
  class Overview;
  std::unique_ptr<Overview> overview_;
  unsigned columns_ = 80;
  bool color_ = false;
  unsigned jobs_ = 1;
  std::uint64_t shown_ = 0;
  std::string text_;
  std::ostream& out_;
  std::ostream& notices_;
};

}  // namespace orvex
