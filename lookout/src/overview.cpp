#include "overview.hpp"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <vector>

#include <base/terminal_safe.hpp>
#include <base/utf8.hpp>
#include <orvex/errors.hpp>
#include <orvex/event.hpp>
#include <orvex/event_formatter.hpp>
#include <orvex/messages.hpp>

#include "event_facts.hpp"

namespace orvex {

namespace {

using namespace std::chrono;

constexpr int kOther = kPriorityLevels;  // the row of priorities -p would not read
constexpr int kWorstSevere = 3;          // err
constexpr int kWarning = 4;
constexpr auto kMostHourSpan = hours{48};
constexpr auto kMostDaySpan = days{90};

std::string number(std::uint64_t value) {
  char text[24];
  auto result = std::to_chars(text, text + sizeof text, value);
  return std::string(text, result.ptr);
}

// "12.3%": tenths of a percent, rounded.
std::string percent(std::uint64_t part, std::uint64_t whole) {
  std::uint64_t tenths = whole == 0 ? 0 : (part * 1000 + whole / 2) / whole;
  return number(tenths / 10) + "." + number(tenths % 10) + "%";
}

void append_two(std::string& out, unsigned value) {
  out += char('0' + value / 10 % 10);
  out += char('0' + value % 10);
}

void append_four(std::string& out, int value) {
  append_two(out, unsigned(value / 100));
  append_two(out, unsigned(value % 100));
}

// "03.12.2026", as the summary writes dates.
void append_day(std::string& out, local_days day) {
  year_month_day date{day};
  append_two(out, unsigned(date.day()));
  out += '.';
  append_two(out, unsigned(date.month()));
  out += '.';
  append_four(out, int(date.year()));
}

// "03.12.2026 00:12:38"
std::string summary_date(DateTime value) {
  local_days day = floor<days>(value);
  hh_mm_ss time{floor<seconds>(value - day)};
  std::string out;
  append_day(out, day);
  out += ' ';
  append_two(out, unsigned(time.hours().count()));
  out += ':';
  append_two(out, unsigned(time.minutes().count()));
  out += ':';
  append_two(out, unsigned(time.seconds().count()));
  return out;
}

// "2026-12-03T00:12:38", with ".ffffff" when `fraction`.
std::string iso_date(DateTime value, bool fraction) {
  local_days day = floor<days>(value);
  year_month_day date{day};
  hh_mm_ss time{value - day};
  std::string out;
  append_four(out, int(date.year()));
  out += '-';
  append_two(out, unsigned(date.month()));
  out += '-';
  append_two(out, unsigned(date.day()));
  out += 'T';
  append_two(out, unsigned(time.hours().count()));
  out += ':';
  append_two(out, unsigned(time.minutes().count()));
  out += ':';
  append_two(out, unsigned(time.seconds().count()));
  if (fraction) {
    std::string micro = number(std::uint64_t(time.subseconds().count()));
    out += '.';
    out.append(6 - micro.size(), '0');
    out += micro;
  }
  return out;
}

const char* weekday_name(weekday day) {
  switch (day.iso_encoding()) {
    case 1:
      return translate("Mon");
    case 2:
      return translate("Tue");
    case 3:
      return translate("Wed");
    case 4:
      return translate("Thu");
    case 5:
      return translate("Fri");
    case 6:
      return translate("Sat");
    default:
      return translate("Sun");
  }
}

std::size_t width_of(std::string_view text) { return base::character_count(text); }

void pad(std::string& out, std::size_t used, std::size_t width) {
  if (used < width) out.append(width - used, ' ');
}

void append_padded(std::string& out, std::string_view text, std::size_t width) {
  out += text;
  pad(out, width_of(text), width);
}

void append_right(std::string& out, std::string_view text, std::size_t width) {
  pad(out, width_of(text), width);
  out += text;
}

// `text` cut to at most `width` characters, with "..." in place of what is left out.
std::string fitted(std::string_view text, std::size_t width) {
  if (width_of(text) <= width) return std::string(text);
  std::size_t keep = width > 3 ? width - 3 : 0;
  std::size_t at = 0;
  for (std::size_t taken = 0; taken < keep && at < text.size(); ++taken) {
    at += base::decode_utf8(text, at).length;
  }
  return std::string(text.substr(0, at)) + "...";
}

// The eighth-blocks from one eighth to a whole cell.
constexpr std::string_view kEighths[9] = {"",       "\u258f", "\u258e", "\u258d", "\u258c",
                                          "\u258b", "\u258a", "\u2589", "\u2588"};

// A timeline bar of `count` events, the busiest row `most` filling `width` cells. A row with
// any event shows at least a sliver, so that a quiet period differs from a silent one.
void append_bar(std::string& out, const Overview::Tally& tally, std::uint64_t most,
                std::size_t width, bool color) {
  if (tally.count == 0 || most == 0) {
    out.append(width, ' ');
    return;
  }
  if (!color) {
    std::size_t cells = std::size_t((tally.count * width * 2 + most) / (most * 2));
    cells = std::clamp<std::size_t>(cells, 1, width);
    out.append(cells, '#');
    out.append(width - cells, ' ');
    return;
  }
  std::uint64_t eighths = (tally.count * width * 16 + most) / (most * 2);
  eighths = std::clamp<std::uint64_t>(eighths, 1, width * 8);
  std::size_t cells = std::size_t((eighths + 7) / 8);
  // The shares are whole cells, so that only the bar's last cell is a partial one; a share
  // that is there at all gets at least one cell.
  auto share = [&](std::uint64_t part, std::size_t room) -> std::size_t {
    if (part == 0 || room == 0) return 0;
    std::size_t n = std::size_t((part * cells * 2 + tally.count) / (tally.count * 2));
    return std::clamp<std::size_t>(n, 1, room);
  };
  std::size_t severe = share(tally.severe, cells);
  std::size_t warning = share(tally.warning, cells - severe);
  const std::string* current = nullptr;
  for (std::size_t cell = 0; cell < cells; ++cell) {
    const std::string* wanted = cell < severe             ? &OrvexEventFormatter::COLOR_FAIL
                                : cell < severe + warning ? &OrvexEventFormatter::COLOR_OK
                                                          : nullptr;
    if (wanted != current) {
      if (current != nullptr) out += OrvexEventFormatter::COLOR_END;
      if (wanted != nullptr) out += *wanted;
      current = wanted;
    }
    std::uint64_t fill = std::min<std::uint64_t>(8, eighths - cell * 8);
    out += kEighths[fill];
  }
  if (current != nullptr) out += OrvexEventFormatter::COLOR_END;
  out.append(width - cells, ' ');
}

}  // namespace

void Overview::Periods::add(std::int64_t key, const Tally& tally) {
  if (!live) return;
  if (last == nullptr || key != last_key) {
    last = &tallies[key];
    last_key = key;
  }
  last->count += tally.count;
  last->severe += tally.severe;
  last->warning += tally.warning;
}

void Overview::Periods::drop() {
  tallies.clear();
  last = nullptr;
  live = false;
}

namespace {

Overview::Tally tally_of(int level) {
  return {1, level <= kWorstSevere ? 1u : 0u, level == kWarning ? 1u : 0u};
}

std::int64_t hour_of(DateTime date) { return floor<hours>(date).time_since_epoch().count(); }

}  // namespace

Overview::Overview() = default;
Overview::~Overview() = default;

Overview::Counted Overview::counted(const EventOutline& outline) {
  Counted event;
  if (outline.priority) event.level = priority_level(*outline.priority).value_or(kOther);
  if (outline.date) event.date = read_event_date(*outline.date);
  event.key = outline.key;
  event.type = outline.type;
  return event;
}

void Overview::count_type(std::optional<std::string_view> key, std::optional<std::string_view> type,
                          std::uint64_t count) {
  if (!key) {
    untyped_ += count;
  } else if (auto it = by_type_.find(*key); it != by_type_.end()) {
    it->second.count += count;
    if (it->second.type.empty() && type) it->second.type = *type;
  } else if (by_type_.size() < kMostTypes) {
    by_type_.emplace(*key, TypeCount{std::string(type.value_or("")), count});
  } else {
    untracked_ += count;
  }
}

void Overview::count_hour(std::int64_t hour, const Tally& tally, DateTime first, DateTime last) {
  if (!first_ || first < *first_) first_ = first;
  if (!last_ || last > *last_) last_ = last;
  const local_days day = floor<days>(local_time<hours>(hours{hour}));
  hours_.add(hour, tally);
  days_.add(day.time_since_epoch().count(), tally);
  const local_days monday = day - days{weekday(day).iso_encoding() - 1};
  weeks_.add(monday.time_since_epoch().count(), tally);
  // A span only grows: a finer unit, once ruled out, is never needed again.
  if (hours_.live && *last_ - *first_ > kMostHourSpan) hours_.drop();
  if (days_.live && *last_ - *first_ > kMostDaySpan) days_.drop();
}

void Overview::add(const Counted& event) {
  ++events_;
  ++by_priority_[event.level];
  count_type(event.key, event.type, 1);
  if (!event.date) {
    ++undated_;
    return;
  }
  count_hour(hour_of(*event.date), tally_of(event.level), *event.date, *event.date);
}

void Overview::merge(const Part& part) {
  events_ += part.events_;
  undated_ += part.undated_;
  untyped_ += part.untyped_;
  for (std::size_t level = 0; level < by_priority_.size(); ++level) {
    by_priority_[level] += part.by_priority_[level];
  }
  // In the order the types first appear, so that the types told apart are the first ones.
  for (const Part::Type& type : part.types_) count_type(type.key, type.type, type.count);
  if (!part.first_) return;
  for (const auto& [hour, tally] : part.hours_.tallies) {
    count_hour(hour, tally, *part.first_, *part.last_);
  }
}

void Overview::Part::add(const Counted& event) {
  ++events_;
  ++by_priority_[event.level];
  if (!event.key) {
    ++untyped_;
  } else {
    auto it = type_at_.find(*event.key);
    if (it == type_at_.end()) {
      it = type_at_.emplace(*event.key, types_.size()).first;
      types_.push_back({std::string(*event.key), std::nullopt, 0});
    }
    Type& type = types_[it->second];
    ++type.count;
    if (!type.type && event.type && !event.type->empty()) type.type = std::string(*event.type);
  }
  if (!event.date) {
    ++undated_;
    return;
  }
  if (!first_ || *event.date < *first_) first_ = event.date;
  if (!last_ || *event.date > *last_) last_ = event.date;
  hours_.add(hour_of(*event.date), tally_of(event.level));
}

void Overview::Part::clear() {
  events_ = undated_ = untyped_ = 0;
  by_priority_.fill(0);
  types_.clear();
  type_at_.clear();
  first_.reset();
  last_.reset();
  hours_ = Periods();
}

std::optional<Overview::Unit> Overview::unit() const {
  if (!first_) return std::nullopt;
  if (*last_ - *first_ <= kMostHourSpan) return Unit::hour;
  if (*last_ - *first_ <= kMostDaySpan) return Unit::day;
  return Unit::week;
}

template <class Row>
void Overview::each_row(Unit unit, Row&& row) const {
  const Periods& periods = unit == Unit::hour ? hours_ : unit == Unit::day ? days_ : weeks_;
  const std::int64_t step = unit == Unit::week ? 7 : 1;
  auto start_of = [unit](std::int64_t key) {
    return unit == Unit::hour ? DateTime{hours{key}} : DateTime{days{key}};
  };
  const Tally empty;
  auto it = periods.tallies.begin();
  if (it == periods.tallies.end()) return;
  const std::int64_t last = periods.tallies.rbegin()->first;
  for (std::int64_t key = it->first; key <= last; key += step) {
    if (it != periods.tallies.end() && it->first == key) {
      row(start_of(key), it->second);
      ++it;
    } else {
      row(start_of(key), empty);
    }
  }
}

std::string Overview::text(unsigned columns, bool color) const {
  std::string out;
  out += fill_message(translate("Events shown: %s"), {number(events_)});
  out += '\n';
  out += fill_message(translate("Damaged lines skipped: %s"), {number(damaged_)});
  out += '\n';
  if (events_ == 0) return out;
  if (first_) {
    out += fill_message(translate("First event: %s"), {summary_date(*first_)});
    out += '\n';
    out += fill_message(translate("Last event: %s"), {summary_date(*last_)});
    out += '\n';
  }
  if (undated_ != 0) {
    out += fill_message(translate("Undated events: %s"), {number(undated_)});
    out += '\n';
  }
  const std::size_t count_width = number(events_).size();

  out += '\n';
  out += translate("By priority");
  out += '\n';
  for (int level = 0; level <= kOther; ++level) {
    if (level == kOther && by_priority_[level] == 0) break;
    std::string_view name = level == kOther ? translate("other") : priority_name(level);
    const std::string* paint =
        color && level != kOther ? OrvexEventFormatter::priority_color(name) : nullptr;
    out += "  ";
    if (paint != nullptr) out += *paint;
    out += name;
    if (paint != nullptr) out += OrvexEventFormatter::COLOR_END;
    pad(out, width_of(name), 8);
    out += "  ";
    append_right(out, number(by_priority_[level]), count_width);
    out += "  ";
    append_right(out, percent(by_priority_[level], events_), 6);
    out += '\n';
  }

  // The types by count, then by key; events without a type rank among them.
  struct Ranked {
    std::string type, key;  // terminal-safe
    std::uint64_t count;
    std::string_view raw_key;
  };
  std::vector<Ranked> ranked;
  ranked.reserve(by_type_.size() + 1);
  for (const auto& [key, entry] : by_type_) {
    ranked.push_back({base::terminal_safe(entry.type), base::terminal_safe(key), entry.count, key});
  }
  if (untyped_ != 0) ranked.push_back({translate("(no type)"), "", untyped_, {}});
  std::sort(ranked.begin(), ranked.end(), [](const Ranked& a, const Ranked& b) {
    return a.count != b.count ? a.count > b.count : a.raw_key < b.raw_key;
  });
  std::uint64_t rest_count = untracked_;
  std::size_t rest_types = 0;
  if (ranked.size() > kTypesShown) {
    for (std::size_t i = kTypesShown; i < ranked.size(); ++i) rest_count += ranked[i].count;
    rest_types = ranked.size() - kTypesShown;
    ranked.resize(kTypesShown);
  }
  std::string rest_label;
  if (rest_count != 0) {
    rest_label = untracked_ != 0
                     ? std::string(translate("other types"))
                     : fill_message(translate_plural("%s other type", "%s other types", rest_types),
                                    {number(rest_types)});
  }
  std::size_t type_width = width_of(rest_label), key_width = 0;
  for (const Ranked& row : ranked) {
    type_width = std::max(type_width, width_of(row.type));
    key_width = std::max(key_width, width_of(row.key));
  }
  // Narrow the wider column first until the rows fit, each down to a few characters.
  const std::size_t fixed = 2 + 2 + 2 + count_width + 2 + 6;
  const std::size_t room = columns > fixed ? columns - fixed : 0;
  constexpr std::size_t kNarrowest = 6;
  while (type_width + key_width > room && (type_width > kNarrowest || key_width > kNarrowest)) {
    if (type_width >= key_width && type_width > kNarrowest) {
      --type_width;
    } else if (key_width > kNarrowest) {
      --key_width;
    } else {
      --type_width;
    }
  }
  out += '\n';
  out += translate("By type");
  out += '\n';
  auto type_row = [&](std::string_view type, std::string_view key, std::uint64_t count) {
    out += "  ";
    append_padded(out, fitted(type, type_width), type_width);
    out += "  ";
    append_padded(out, fitted(key, key_width), key_width);
    out += "  ";
    append_right(out, number(count), count_width);
    out += "  ";
    append_right(out, percent(count, events_), 6);
    out += '\n';
  };
  for (const Ranked& row : ranked) type_row(row.type, row.key, row.count);
  if (rest_count != 0) type_row(rest_label, "", rest_count);

  out += '\n';
  std::optional<Unit> timeline = unit();
  if (!timeline) {
    out += translate("Timeline: no event has a readable date");
    out += '\n';
    return out;
  }
  out += *timeline == Unit::hour  ? translate("Timeline, one row per hour")
         : *timeline == Unit::day ? translate("Timeline, one row per day")
                                  : translate("Timeline, one row per week from Monday");
  out += '\n';
  if (color) {
    out += "  ";
    out += translate("red: err and worse; yellow: warning");
    out += '\n';
  }

  std::size_t label_width = 10;                   // 03.12.2026
  if (*timeline == Unit::hour) label_width = 16;  // 03.12.2026 14:00
  if (*timeline == Unit::day) {
    std::size_t weekday_width = 0;
    for (unsigned day = 0; day < 7; ++day) {
      weekday_width = std::max(weekday_width, width_of(weekday_name(weekday{day})));
    }
    label_width += weekday_width + 1;
  }
  std::uint64_t most = 0;
  each_row(*timeline, [&](DateTime, const Tally& tally) { most = std::max(most, tally.count); });
  const std::size_t most_width = number(most).size();
  const std::size_t around = 2 + label_width + 2 + 1 + most_width;
  // Below this the bars would say nothing; rows are then wider than asked.
  constexpr std::size_t kNarrowestBar = 4;
  const std::size_t bar_width = columns > around + kNarrowestBar ? columns - around : kNarrowestBar;
  each_row(*timeline, [&](DateTime start, const Tally& tally) {
    std::string label;
    const local_days day = floor<days>(start);
    if (*timeline == Unit::day) {
      label += weekday_name(weekday(day));
      label += ' ';
    }
    append_day(label, day);
    if (*timeline == Unit::hour) {
      label += ' ';
      append_two(label, unsigned(floor<hours>(start - day).count()));
      label += ":00";
    }
    out += "  ";
    append_padded(out, label, label_width);
    out += "  ";
    append_bar(out, tally, most, bar_width, color);
    out += ' ';
    append_right(out, number(tally.count), most_width);
    out += '\n';
  });
  return out;
}

std::string Overview::json() const {
  OrvexEvent object = OrvexEvent::object();
  object["events"] = events_;
  object["damaged_lines_skipped"] = damaged_;
  object["undated"] = undated_;
  object["first"] = first_ ? OrvexEvent(iso_date(*first_, true)) : OrvexEvent(nullptr);
  object["last"] = last_ ? OrvexEvent(iso_date(*last_, true)) : OrvexEvent(nullptr);
  OrvexEvent& priorities = object["by_priority"] = OrvexEvent::object();
  for (int level = 0; level < kPriorityLevels; ++level) {
    priorities[std::string(priority_name(level))] = by_priority_[level];
  }
  priorities["other"] = by_priority_[kOther];

  struct Ranked {
    const std::string* key;
    const TypeCount* entry;
  };
  std::vector<Ranked> ranked;
  ranked.reserve(by_type_.size());
  for (const auto& [key, entry] : by_type_) ranked.push_back({&key, &entry});
  std::sort(ranked.begin(), ranked.end(), [](const Ranked& a, const Ranked& b) {
    return a.entry->count != b.entry->count ? a.entry->count > b.entry->count : *a.key < *b.key;
  });
  OrvexEvent& types = object["by_type"] = OrvexEvent::array();
  auto type_entry = [&](OrvexEvent key, OrvexEvent type, std::uint64_t count) {
    OrvexEvent entry = OrvexEvent::object();
    entry["key"] = std::move(key);
    entry["type"] = std::move(type);
    entry["count"] = count;
    types.push_back(std::move(entry));
  };
  bool untyped_listed = untyped_ == 0;
  for (const Ranked& row : ranked) {
    if (!untyped_listed && untyped_ > row.entry->count) {
      type_entry(nullptr, nullptr, untyped_);
      untyped_listed = true;
    }
    type_entry(*row.key,
               row.entry->type.empty() ? OrvexEvent(nullptr) : OrvexEvent(row.entry->type),
               row.entry->count);
  }
  if (!untyped_listed) type_entry(nullptr, nullptr, untyped_);
  object["by_type_untracked"] = untracked_;

  OrvexEvent& timeline = object["timeline"] = OrvexEvent::object();
  std::optional<Unit> unit = this->unit();
  timeline["unit"] = !unit                 ? OrvexEvent(nullptr)
                     : *unit == Unit::hour ? OrvexEvent("hour")
                     : *unit == Unit::day  ? OrvexEvent("day")
                                           : OrvexEvent("week");
  OrvexEvent& buckets = timeline["buckets"] = OrvexEvent::array();
  if (unit) {
    each_row(*unit, [&](DateTime start, const Tally& tally) {
      OrvexEvent bucket = OrvexEvent::object();
      bucket["start"] = iso_date(start, false);
      bucket["count"] = tally.count;
      bucket["err_and_worse"] = tally.severe;
      bucket["warning"] = tally.warning;
      buckets.push_back(std::move(bucket));
    });
  }
  std::string out;
  base::append_json_terminal_safe(
      out, object.dump(-1, ' ', false, OrvexEvent::error_handler_t::replace));
  out += '\n';
  return out;
}

}  // namespace orvex
