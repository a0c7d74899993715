// Reads the input as an event file through the all-events iterator, without filters and with
// filters chosen from its first bytes, and formats every event in every layout.
//
// The events must be those of the reference decoder applied line by line, filtered by the
// documented rule, up to the first line that is not UTF-8, which must raise
// UnicodeDecodeError at its first bad byte. The formatter may reject an event with an orvex
// error; anything else that leaves it is a finding. A key/value block must end with a line
// end, and without colour (or raw) no ESC may appear that the line did not hold.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <orvex/all_events_iterator.hpp>
#include <orvex/errors.hpp>
#include <orvex/event.hpp>
#include <orvex/event_file.hpp>
#include <orvex/event_formatter.hpp>

#include "support.hpp"

namespace {

using namespace orvex;

const std::vector<std::string> kPriorities = {"info", "notice", "warning", "err",
                                              "crit", "alert",  "emerg",   "debug"};
// "" is in every key, so it keeps exactly the events whose "MSG" has a first member.
const std::vector<std::string> kSources = {"orvex", "audit", "sudo", "kernel", ""};

struct Filter {
  std::vector<std::string> priorities;
  std::vector<std::string> sources;

  // The rule as documented, on the reference decoder's event.
  bool accepts(const OrvexEvent& event) const {
    if (!priorities.empty()) {
      auto priority = event.find("PRIORITY");
      if (priority == event.end() || !priority->is_string()) return false;
      const auto& text = priority->get_ref<const std::string&>();
      bool listed = false;
      for (const std::string& wanted : priorities) listed = listed || text == wanted;
      if (!listed) return false;
    }
    if (!sources.empty()) {
      auto msg = event.find("MSG");
      if (msg == event.end() || !msg->is_object() || msg->empty()) return false;
      const std::string& key = msg->items().begin().key();
      bool found = false;
      for (const std::string& fragment : sources) {
        found = found || key.find(fragment) != std::string::npos;
      }
      if (!found) return false;
    }
    return true;
  }
};

// Byte 0 picks priorities, the low five bits of byte 1 sources; its top three bits give the
// length of one more source text taken from the bytes after these two.
Filter filter_from(std::string_view input) {
  Filter filter;
  if (input.size() < 2) return filter;
  auto pick = static_cast<unsigned char>(input[0]);
  for (std::size_t i = 0; i < kPriorities.size(); ++i) {
    if (pick & (1u << i)) filter.priorities.push_back(kPriorities[i]);
  }
  pick = static_cast<unsigned char>(input[1]);
  for (std::size_t i = 0; i < kSources.size(); ++i) {
    if (pick & (1u << i)) filter.sources.push_back(kSources[i]);
  }
  std::size_t extra = pick >> 5;
  if (extra > 0 && input.size() >= 2 + extra) {
    filter.sources.emplace_back(input.substr(2, extra));
  }
  return filter;
}

// What the reference decoder makes of the file, line by line, before any filter: the events
// and their lines up to the first line that is not UTF-8, and where that line goes wrong.
struct Reference {
  std::vector<std::pair<std::string_view, OrvexEvent>> events;
  std::optional<std::uint64_t> bad_offset;
};

Reference reference(std::string_view content) {
  Reference result;
  for (const fuzz::Line& line : fuzz::split_lines(content)) {
    if (auto bad = fuzz::first_invalid_utf8(line.text)) {
      result.bad_offset = line.offset + *bad;
      break;
    }
    if (auto event = fuzz::reference_event(line.text)) {
      result.events.emplace_back(line.text, std::move(*event));
    }
  }
  return result;
}

// The positions in `all` of the events that `filter` keeps.
std::vector<std::size_t> selected(const Reference& all, const Filter& filter) {
  std::vector<std::size_t> kept;
  for (std::size_t i = 0; i < all.events.size(); ++i) {
    if (filter.accepts(all.events[i].second)) kept.push_back(i);
  }
  return kept;
}

const std::vector<OrvexEventFormatter>& formatters() {
  static const std::vector<OrvexEventFormatter> all = [] {
    std::vector<OrvexEventFormatter> list;
    const std::string expression = "%PRIORITY %name_en %ISODATE";
    for (bool no_color : {false, true}) {
      for (bool iso : {false, true}) {
        list.emplace_back(std::nullopt, false, false, no_color, iso);  // summary
        list.emplace_back(expression, false, false, no_color, iso);
      }
      list.emplace_back(std::nullopt, true, false, no_color, false);  // detailed
      list.emplace_back(std::nullopt, false, true, no_color, false);  // raw
      list.emplace_back(std::nullopt, true, true, no_color, false);
      // Placeholders that touch, repeat, and name fields the unpacking adds.
      list.emplace_back("%%source%source|%type_en%type_ru|%MSG|%", false, false, no_color, false);
    }
    return list;
  }();
  return all;
}

// Whether the line can hold ESC: the byte itself or a \u001b escape (seen conservatively:
// an escaped backslash before "u001b" counts too).
bool may_hold_escape(std::string_view line) {
  if (line.find('\x1b') != std::string_view::npos) return true;
  for (std::size_t at = line.find("\\u001"); at != std::string_view::npos;
       at = line.find("\\u001", at + 1)) {
    if (at + 5 < line.size() && (line[at + 5] == 'b' || line[at + 5] == 'B')) return true;
  }
  return false;
}

void format(const OrvexEventFormatter& formatter, OrvexEvent& event, std::string_view line) {
  std::string text;
  try {
    text = formatter.format_event(event);
  } catch (const Error& error) {
    fuzz::note(error.what());  // a malformed event, rejected as documented
    return;
  }
  const bool block = formatter.is_detailed || formatter.is_raw;
  if (block && (text.empty() || text.back() != '\n')) {
    fuzz::fail("a key/value block without a line end after its last line: " +
               fuzz::printable(text));
  }
  // Colour is the only source of ESC but the event's own text.
  if ((formatter.no_color || formatter.is_raw) && text.find('\x1b') != std::string::npos &&
      !may_hold_escape(line)) {
    fuzz::fail("colour without colour: " + fuzz::printable(text));
  }
}

// Formatting rewrites the event, so each layout gets its own: the iterator's event for the
// first, the line decoded afresh for the others (a copy of a deeply nested event would
// recurse as deep as it nests).
void format_everywhere(OrvexEvent& event, std::string_view line) {
  const std::vector<OrvexEventFormatter>& all = formatters();
  format(all.front(), event, line);
  for (std::size_t i = 1; i < all.size(); ++i) {
    OrvexEvent fresh = decode_event(line);
    format(all[i], fresh, line);
  }
}

// Iterates with `filter` and compares each event as it comes with the reference's events at
// `want`; formats them when `formatting`.
void check(const std::filesystem::path& path, const Reference& all,
           const std::vector<std::size_t>& want, const Filter& filter, bool formatting,
           const char* pass) {
  const std::string where = std::string(pass) + ": ";
  OrvexAllEventsIterator iterator(path);
  iterator.set_priority_filter(filter.priorities);
  iterator.set_source_filter(filter.sources);
  std::size_t count = 0;
  std::optional<std::uint64_t> bad_offset;
  try {
    for (OrvexEvent& event : iterator) {
      if (count == want.size() || !fuzz::same_event(event, all.events[want[count]].second)) {
        fuzz::fail(where + "event " + std::to_string(count) + " is " + fuzz::dump(event) +
                   ", the reference decoder gives " +
                   (count < want.size() ? fuzz::dump(all.events[want[count]].second) : "nothing"));
      }
      if (formatting) format_everywhere(event, all.events[want[count]].first);
      ++count;
    }
  } catch (const UnicodeDecodeError& error) {
    fuzz::note(error.what());
    bad_offset = error.offset();
  }
  if (count < want.size()) {
    fuzz::fail(where + "the iteration ends after " + std::to_string(count) +
               " events; the reference decoder gives " + std::to_string(want.size()) +
               ", the next " + fuzz::dump(all.events[want[count]].second));
  }
  if (bad_offset != all.bad_offset) {
    fuzz::fail(where + "UnicodeDecodeError at " +
               (bad_offset ? std::to_string(*bad_offset) : "none") + ", expected " +
               (all.bad_offset ? std::to_string(*all.bad_offset) : "none"));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::filesystem::path path = fuzz::scratch_dir("orvex-fuzz-decode") / "events";
  std::string_view input(reinterpret_cast<const char*>(data), size);

  // One input in four comes after a line that ends just before the reader's first buffer does,
  // so that its lines straddle the refill: a CR LF cut in two, a character cut in two. The
  // line is no JSON from its first byte, which both decoders see at once.
  std::string content;
  if (size % 4 == 3) {
    std::size_t shift = 1 + static_cast<unsigned char>(input[0]) % 64;
    content.assign(EventFile::kBufferSize - shift, '#');
    content += '\n';
  }
  content.append(input);
  fuzz::write_file(path, content);

  const Reference all = reference(content);
  // The filtered pass yields a subset of the same events: formatting them again adds nothing.
  check(path, all, selected(all, Filter{}), Filter{}, true, "no filter");
  Filter filter = filter_from(input);
  if (!filter.priorities.empty() || !filter.sources.empty()) {
    check(path, all, selected(all, filter), filter, false, "filtered");
  }
  return 0;
}
