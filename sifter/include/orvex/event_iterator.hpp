#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <orvex/event.hpp>
#include <orvex/event_file.hpp>
#include <orvex/sifter_export.hpp>

namespace orvex {

class EventLineDecoder;

// Where a line of an event file starts: its number (1 for the first line) when the reader
// knows it, and its byte offset.
struct LinePosition {
  std::optional<std::uint64_t> number;
  std::uint64_t offset = 0;
};

// A line that an iterator (or a caller, for an event it cannot use) skipped because it holds
// no event it can read.
struct Damage {
  enum class Kind {
    not_json,         // not one JSON text
    not_object,       // JSON, but not an object
    not_utf8,         // detail: the byte of the line that is not UTF-8, e.g. "17"
    too_long,         // longer than EventFile::kMaxLineBytes
    too_many_values,  // too many values to decode within bounded memory
    unreadable_date,  // detail: the date text, quoted
    unusable,         // an event the caller cannot use; detail: why
    unfinished,       // a last line still without its end when a follower left the file
    unreadable,       // a file of a log set, or its rest, that cannot be read; detail: why
  };
  std::filesystem::path file;
  LinePosition where;
  Kind kind;
  std::string detail;  // see the kinds; may be empty
  // In plain English words: "not JSON", "unreadable date '2024-13-01'", ...
  std::string why() const;
};

// Receives the damaged lines an iterator skips (see OrvexEventIterator::set_damage_reporter).
class ORVEX_SIFTER_API DamageReporter {
 public:
  virtual ~DamageReporter();
  // Called once per damaged line, in file order, from within next(). May throw; the error
  // then leaves next().
  virtual void report(const Damage& damage) = 0;
};

// Which file a name referred to: its device and inode.
struct FileIdentity {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};

// An open event file with the identity of the file its name referred to when it was opened,
// as a first pass hands it to a follower (OrvexEventIterator::take_file()).
struct OpenEventFile {
  EventFile file;
  FileIdentity identity;
};

// A base class for event iterators. Opens the event file in text mode and holds the
// priority and source filters. Concrete iterators override next(); all operations are
// virtual. Not copyable.
//
// Iteration: iter() starts it and returns *this; next() returns the next event or
// std::nullopt at the end. A range-for calls iter() once, then next() until the end:
//   for (OrvexEvent& event : iterator) ...
//
// Filters: an empty filter accepts everything. The priority filter accepts an event whose
// "PRIORITY" is text equal to one of the filter's texts; the source filter accepts an event
// whose "MSG" is an object whose first member's name contains one of the filter's texts.
// Under an active filter an event without the member, or with a member of another kind, is
// rejected (no error). The filters combine as AND.
//
// Fast path: decode_and_filter() evaluates these base rules on a fast parser's document and
// builds the OrvexEvent only for lines that pass them; filter_event() then decides on the
// built event, where the base implementations do not test the same event again. An override
// of the filter operations can therefore narrow the selection but never widen it past the
// base rules.
class ORVEX_SIFTER_API OrvexEventIterator {
 public:
  // Opens `event_file_path` in text mode. Throws FileNotFoundError, PermissionError, OSError.
  explicit OrvexEventIterator(const std::filesystem::path& event_file_path);
  // Reads `open_file`, in text mode, from where it stands.
  explicit OrvexEventIterator(OpenEventFile open_file);
  virtual ~OrvexEventIterator();
  OrvexEventIterator(const OrvexEventIterator&) = delete;
  OrvexEventIterator& operator=(const OrvexEventIterator&) = delete;

  // Start of iteration: returns *this; rewinds nothing.
  virtual OrvexEventIterator& iter();
  // The next event, or std::nullopt at the end of the iteration.
  virtual std::optional<OrvexEvent> next() = 0;

  // Each replaces its filter by the set of the given texts; an empty list turns it off.
  virtual void set_priority_filter(const std::vector<std::string>& priority_filter);
  virtual void set_source_filter(const std::vector<std::string>& source_filter);

  // Without a reporter (the default) the documented behaviour holds: lines that are not one
  // JSON object are dropped silently, and a line that is not UTF-8 or (time range) whose date
  // cannot be read raises out of next(). With a reporter, every such line, and a line longer
  // than EventFile::kMaxLineBytes, is reported and skipped, and next() goes on with the next
  // line. Blank lines are no damage. Under an active filter a line that cannot hold any of the
  // filter's texts is rejected unread, so only damage among the other lines is seen. The
  // reporter is not owned and must outlive the iteration; nullptr removes it.
  void set_damage_reporter(DamageReporter* reporter);

  // The file the event last returned by next() was read from (a log set names the part).
  const std::filesystem::path& file_path() const noexcept { return file_path_; }
  // The open file this iterator reads (closed once a pass has closed it): for a caller that
  // reads its parts on other threads (EventFile::another_reader).
  const EventFile& file() const noexcept { return file_; }
  // Where the line of the event last returned by next() starts.
  const LinePosition& position() const noexcept { return position_; }
  // The text of that line, as stored (without its line end); valid until the next call of
  // next() or of any other operation that reads the file.
  std::string_view line() const noexcept { return line_; }

  // With `build` false, next() yields lines rather than events: for each line that holds an
  // event passing the filters (decided on the fast parser's document) it returns an empty
  // (null) event and line() holds the line. For callers that only copy lines, which then skip
  // the cost of building events. Overrides of the filter operations are not asked then.
  void set_build_events(bool build) noexcept { build_events_ = build; }

  // With a type field named ("type_en", "type_ru") and events not built, each line next()
  // returns also gives its outline (outline()), read from the fast parser's document: for a
  // caller that counts events by their priority, date and type. std::nullopt turns it off.
  void set_outline_field(std::optional<std::string> type_field);
  // The outline of the line of the event last returned by next(), when outlines are on and
  // events are not built; valid as long as line() is.
  const EventOutline& outline() const noexcept;

  // A decoder of this iterator's lines for another thread: a copy of the filters as they are
  // now and the choice of set_build_events, with a parser of its own (see EventLineDecoder).
  std::unique_ptr<EventLineDecoder> make_line_decoder() const;

  // The hand-over to a follower. With `keep` true the forward iterators (all events, time
  // range, recent) leave an unfinished last line unread and, when the iteration reaches the
  // end of the file, keep the file open there instead of closing it; take_file() then hands it
  // on, so that a follower goes on from the exact byte where this pass stopped: nothing
  // appended meanwhile is missed, and a last line finished later is read once. The recent-events
  // iterator stops at its end mark, the end of the last complete line when it was built. Off by
  // default, and then the documented behaviour holds (an unfinished last line is returned, the
  // file is closed at the end). Set it before the iteration starts.
  void set_keep_file_at_end(bool keep) noexcept;
  // After an iteration that kept its file at the end: the open file in text mode, positioned at
  // the first byte the pass did not read, with the identity its name had when it was opened;
  // this iterator is closed then. std::nullopt when no file was kept: the iteration stopped
  // before the end of the file (an upper date bound), has not ended, or keeping was off.
  std::optional<OpenEventFile> take_file();

  class Sentinel {};
  class Cursor {
   public:
    explicit Cursor(OrvexEventIterator* owner) : owner_(owner) { advance(); }
    OrvexEvent& operator*() { return *current_; }
    OrvexEvent* operator->() { return &*current_; }
    Cursor& operator++() {
      advance();
      return *this;
    }
    bool operator==(Sentinel) const { return !current_.has_value(); }

   private:
    void advance() { current_ = owner_->next(); }
    OrvexEventIterator* owner_;
    std::optional<OrvexEvent> current_;
  };
  Cursor begin() { return Cursor(&iter()); }
  Sentinel end() { return {}; }

 protected:
  virtual bool filter_priority(const OrvexEvent& event_dict);
  virtual bool filter_source(const OrvexEvent& event_dict);
  virtual bool filter_event(const OrvexEvent& event_dict);

  // Decodes one line and applies the filters. Returns the event when it passes, and
  // std::nullopt when the line is no event (not exactly one JSON object), is damaged (then
  // reported, with a reporter), or is rejected. A line not UTF-8 raises UnicodeDecodeError
  // without a reporter. Records the line's position for position().
  std::optional<OrvexEvent> decode_and_filter(const EventFile::Line& line);

  // Reports damage of `kind` for `line` when a reporter is set and returns true; returns false
  // without one, and the caller keeps the documented behaviour.
  bool report_damage(const EventFile::Line& line, Damage::Kind kind, std::string detail = {});
  bool has_damage_reporter() const noexcept;

  // A line read from the end of a file, trimmed of white space when `trim`, checked for UTF-8:
  // without a reporter a line that is not UTF-8 raises UnicodeDecodeError here, before the
  // caller takes the line, as the forward iterators raise at it; with one, the line comes back
  // whole with invalid_at set, for decode_and_filter to report.
  [[gnu::visibility("hidden")]] EventFile::Line checked_line(const EventFile::Line& line,
                                                             bool trim) const;

  // For the forward iterators' next(): whether lines are read for a follower (an unfinished
  // last line left unread), whether the pass is over (the file closed, or kept at its end),
  // and the end of the pass: the file is kept when `at_end_of_file` and keeping is on, and
  // closed otherwise.
  bool keeps_file_at_end() const noexcept;
  bool pass_over() const noexcept;
  void end_pass(bool at_end_of_file);

  // Opens `path` in text mode and tells which file it opened: the name's identity is looked at
  // before and after the open and must be the same both times (or the open is tried again), so
  // that a rotation at that moment cannot pair the open file with the next one's identity.
  // Throws like the path constructor.
  static OpenEventFile open_identified(const std::filesystem::path& path);

  std::filesystem::path file_path_;
  EventFile file_;
  FileIdentity file_identity_;  // of file_, see open_identified

 private:
  struct State;  // the filters, the line decoder, the reporter
  std::unique_ptr<State> state_;
  LinePosition position_;
  std::string_view line_;
  bool build_events_ = true;
};

}  // namespace orvex
