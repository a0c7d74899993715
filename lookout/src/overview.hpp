#pragma once

// The overview of a selection (--stats): counts by priority and by event type, and a timeline,
// collected from the outlines of the events the viewer would print, without building them.

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <orvex/date_time.hpp>
#include <orvex/event.hpp>

#include "priority_level.hpp"

namespace orvex {

// Collects the figures of an overview, one event outline at a time, and lays them out as text or
// as one JSON object. Memory does not grow with the number of events: the timeline keeps one
// tally per hour only while the events span at most two days, one per day while they span at
// most 90 days, and one per week (weeks start on Monday) of events; at most kMostTypes event
// types are told apart.
//
// What is read of an outline (see EventOutline), as the rest of the viewer reads it:
//   priority  the top-level "PRIORITY" text (the member the priority filter reads), counted
//             at its level when -p would take it for one (a name or alias in any case, or a
//             digit 0-7), else as "other";
//   date      "ISODATE", else "DATE", read as the time range reads event dates; the wall-clock
//             reading as written (an offset is not applied), as the summary shows it. An event
//             without a readable date counts everywhere but in the timeline ("undated");
//   type      the message-type key (the first member of "MSG") and the localised type the
//             summary shows beside it (the key's first event that has one).
class Overview {
 public:
  static constexpr std::size_t kMostTypes = 10000;
  static constexpr std::size_t kTypesShown = 15;

  // The timeline's unit: an hour for a span of at most two days, a day for at most 90 days,
  // else a week.
  enum class Unit { hour, day, week };

  // What the timeline counts for one period.
  struct Tally {
    std::uint64_t count = 0;
    std::uint64_t severe = 0;   // err and worse
    std::uint64_t warning = 0;  // warning
  };

  Overview();
  ~Overview();
  Overview(const Overview&) = delete;
  Overview& operator=(const Overview&) = delete;

  // What one event adds, worked out from its outline on any thread: its priority level (from 0
  // for emerg; kPriorityLevels for other), its date, and its type's key and localised type
  // (views into what the outline viewed).
  struct Counted {
    int level = kPriorityLevels;
    std::optional<DateTime> date;
    std::optional<std::string_view> key, type;
  };
  static Counted counted(const EventOutline& outline);

  class Part;

  // Counts an event the viewer has selected.
  void add(const Counted& event);
  void add(const EventOutline& outline) { add(counted(outline)); }
  // Counts the events of `part`, as if each were added here in its order.
  void merge(const Part& part);
  // The number of damaged lines the selection skipped, for the totals.
  void set_damaged(std::uint64_t count) noexcept { damaged_ = count; }

  // The overview as text, each line no wider than `columns` characters (down to 40 or so, where
  // the bars keep a few cells and a long label may pass the edge). With `color`, priorities are
  // coloured as the summary colours them and the timeline's bars are drawn with eighth-blocks,
  // err-and-worse red and warning yellow; without, the bars are "#" characters. Labels are
  // translated; text from the log is written terminal-safe.
  std::string text(unsigned columns, bool color) const;
  // The same figures as one JSON object and a line feed, terminal-safe:
  //   {"events", "damaged_lines_skipped", "undated", "first", "last",
  //    "by_priority": {"emerg": n, ..., "debug": n, "other": n},
  //    "by_type": [{"key", "type", "count"}, ...] (every type, by count),
  //    "by_type_untracked": n (events of types beyond kMostTypes),
  //    "timeline": {"unit": "hour"|"day"|"week"|null,
  //                 "buckets": [{"start", "count", "err_and_worse", "warning"}, ...]}}
  // Dates are "YYYY-MM-DDThh:mm:ss" (first and last with ".ffffff"); null when nothing is
  // dated.
  std::string json() const;

  std::uint64_t events() const noexcept { return events_; }

 private:
  struct TypeCount {
    std::string type;
    std::uint64_t count = 0;
  };
  // The tallies of one unit, by period number, while that unit is still possible.
  struct Periods {
    std::map<std::int64_t, Tally> tallies;
    bool live = true;
    std::int64_t last_key = 0;
    Tally* last = nullptr;
    void add(std::int64_t key, const Tally& tally);
    void drop();
  };
  struct TextHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view text) const noexcept {
      return std::hash<std::string_view>{}(text);
    }
  };

  // `count` events of the type `key` (none: untyped), the first of them with the localised
  // type `type`.
  void count_type(std::optional<std::string_view> key, std::optional<std::string_view> type,
                  std::uint64_t count);
  // Events of the hour `hour` (hours since the epoch, wall clock), counted by `tally`, and
  // dated from `first` to `last`.
  void count_hour(std::int64_t hour, const Tally& tally, DateTime first, DateTime last);

  // The unit of the timeline; std::nullopt when no event is dated.
  std::optional<Unit> unit() const;
  // Calls `row(start, tally)` for each period from the first event's to the last one's, empty
  // periods included.
  template <class Row>
  void each_row(Unit unit, Row&& row) const;

  std::uint64_t events_ = 0, undated_ = 0, damaged_ = 0, untracked_ = 0, untyped_ = 0;
  std::array<std::uint64_t, kPriorityLevels + 1> by_priority_{};  // the last: other
  std::unordered_map<std::string, TypeCount, TextHash, std::equal_to<>> by_type_;
  std::optional<DateTime> first_, last_;
  Periods hours_, days_, weeks_;
};

// The figures of a run of consecutive events, collected apart from the overview (on another
// thread) and counted by Overview::merge(). Memory follows the number of types and of hours
// the run holds.
class Overview::Part {
 public:
  void add(const Counted& event);
  void clear();
  std::uint64_t events() const noexcept { return events_; }

 private:
  friend class Overview;
  struct Type {
    std::string key;
    std::optional<std::string> type;  // the first localised type that is not empty
    std::uint64_t count = 0;
  };
  std::uint64_t events_ = 0, undated_ = 0, untyped_ = 0;
  std::array<std::uint64_t, kPriorityLevels + 1> by_priority_{};
  std::vector<Type> types_;  // in the order they first appear
  std::unordered_map<std::string, std::size_t, TextHash, std::equal_to<>> type_at_;
  std::optional<DateTime> first_, last_;
  Periods hours_;
};

}  // namespace orvex
