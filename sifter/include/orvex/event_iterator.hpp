#pragma once

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
  // std::nullopt when the line is no event (not exactly one JSON object) or is rejected.
  std::optional<OrvexEvent> decode_and_filter(std::string_view line);

  std::filesystem::path file_path_;
  EventFile file_;

 private:
  struct State;  // the filters and the line decoder
  std::unique_ptr<State> state_;
};

}  // namespace orvex
