// Reads the input as an event file through the all-events iterator, without filters and with
// filters chosen from its first bytes, and formats every event in every layout.
//
// The events must be those of the reference decoder applied line by line, filtered by the
// documented rule, up to the first line that is not UTF-8, which must raise
// UnicodeDecodeError at its first bad byte. The formatter may reject an event with an orvex
// error; anything else that leaves it is a finding.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
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

struct Outcome {
  std::vector<OrvexEvent> events;
  std::optional<std::uint64_t> bad_offset;  // where UnicodeDecodeError points
};

// What the reference decoder makes of the file, line by line, before any filter: the events up
// to the first line that is not UTF-8.
Outcome reference(std::string_view content) {
  Outcome outcome;
  for (const fuzz::Line& line : fuzz::split_lines(content)) {
    if (auto bad = fuzz::first_invalid_utf8(line.text)) {
      outcome.bad_offset = line.offset + *bad;
      break;
    }
    if (auto event = fuzz::reference_event(line.text)) outcome.events.push_back(std::move(*event));
  }
  return outcome;
}

Outcome filtered(const Outcome& all, const Filter& filter) {
  Outcome outcome;
  outcome.bad_offset = all.bad_offset;
  for (const OrvexEvent& event : all.events) {
    if (filter.accepts(event)) outcome.events.push_back(event);
  }
  return outcome;
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

void format_everywhere(const OrvexEvent& event) {
  for (const OrvexEventFormatter& formatter : formatters()) {
    OrvexEvent copy = event;
    try {
      (void)formatter.format_event(copy);
    } catch (const Error& error) {
      fuzz::note(error.what());  // a malformed event, rejected as documented
    }
  }
}

void check(const std::filesystem::path& path, const Outcome& want, const Filter& filter,
           const char* pass) {
  Outcome got;
  OrvexAllEventsIterator iterator(path);
  iterator.set_priority_filter(filter.priorities);
  iterator.set_source_filter(filter.sources);
  try {
    for (OrvexEvent& event : iterator) {
      format_everywhere(event);
      got.events.push_back(std::move(event));
    }
  } catch (const UnicodeDecodeError& error) {
    fuzz::note(error.what());
    got.bad_offset = error.offset();
  }

  std::string where = std::string(pass) + ": ";
  if (got.bad_offset != want.bad_offset) {
    fuzz::fail(where + "UnicodeDecodeError at " +
               (got.bad_offset ? std::to_string(*got.bad_offset) : "none") + ", expected " +
               (want.bad_offset ? std::to_string(*want.bad_offset) : "none"));
  }
  for (std::size_t i = 0; i < got.events.size() || i < want.events.size(); ++i) {
    if (i >= got.events.size() || i >= want.events.size() ||
        !fuzz::same_event(got.events[i], want.events[i])) {
      fuzz::fail(where + "event " + std::to_string(i) + " is " +
                 (i < got.events.size() ? fuzz::dump(got.events[i]) : "missing") +
                 ", the reference decoder gives " +
                 (i < want.events.size() ? fuzz::dump(want.events[i]) : "nothing"));
    }
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

  const Outcome all = reference(content);
  check(path, all, Filter{}, "no filter");
  Filter filter = filter_from(input);
  if (!filter.priorities.empty() || !filter.sources.empty()) {
    check(path, filtered(all, filter), filter, "filtered");
  }
  return 0;
}
