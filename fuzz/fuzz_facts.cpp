// The outline of an event line, which the overview counts. The input is one event line.
//
// When the reference decoder takes the line as an object (as an iterator would yield it), the
// line decoder must take it too, and its outline, read from the fast parser's document or from
// the reference event, must give what the documented rules read of the reference event:
// "PRIORITY" when it is text; "ISODATE", else "DATE", when it is text; the first member's name
// of a "MSG" object; and the localised type of that member's fields, else a top-level one. The
// date text must read as parse_iso_datetime reads it.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <orvex/date_time.hpp>
#include <orvex/errors.hpp>
#include <orvex/event.hpp>
#include <orvex/event_file.hpp>

#include "event_facts.hpp"
#include "filters.hpp"
#include "line_decoder.hpp"
#include "support.hpp"

namespace {

using namespace orvex;

const OrvexEvent* member(const OrvexEvent& object, std::string_view name) {
  for (const auto& [key, value] : object.get_ref<const OrvexEvent::object_t&>()) {
    if (key == name) return &value;
  }
  return nullptr;
}

std::optional<std::string_view> text(const OrvexEvent* value) {
  if (value == nullptr || !value->is_string()) return std::nullopt;
  return std::string_view(value->get_ref<const std::string&>());
}

EventOutline expected_outline(const OrvexEvent& event) {
  EventOutline facts;
  facts.priority = text(member(event, "PRIORITY"));
  const OrvexEvent* isodate = member(event, "ISODATE");
  facts.date = text(isodate != nullptr ? isodate : member(event, "DATE"));
  const OrvexEvent* msg = member(event, "MSG");
  if (msg != nullptr && msg->is_object() && !msg->empty()) {
    const auto& first = *msg->get_ref<const OrvexEvent::object_t&>().begin();
    facts.key = first.first;
    const OrvexEvent* type = first.second.is_object() ? member(first.second, "type_en") : nullptr;
    facts.type = text(type != nullptr ? type : member(event, "type_en"));
  }
  return facts;
}

std::string show(const std::optional<std::string_view>& value) {
  return value ? "'" + fuzz::printable(*value) + "'" : "none";
}

std::string show(const EventOutline& facts) {
  return "priority " + show(facts.priority) + ", date " + show(facts.date) + ", key " +
         show(facts.key) + ", type " + show(facts.type);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string line(reinterpret_cast<const char*>(data), size);
  if (line.find_first_of("\n\r") != std::string::npos) return 0;
  if (fuzz::first_invalid_utf8(line)) return 0;
  std::optional<OrvexEvent> event = fuzz::reference_event(line);
  if (!event) return 0;
  const EventOutline expected = expected_outline(*event);

  static LineDecoder decoder;
  decoder.set_outline_field("type_en");
  static const Filters none;
  // The decoder reads the padding that follows a line the file reader returns.
  const std::string padded = line + std::string(EventFile::kPadding, '\0');
  const LineDecoder::Decoded decoded =
      decoder.decode(std::string_view(padded.data(), line.size()), none, /*build=*/false);
  if (decoded.verdict != LineDecoder::Verdict::event) {
    fuzz::fail("the line decoder refused an object line: " + fuzz::printable(line));
  }
  if (!(decoder.outline() == expected)) {
    fuzz::fail("outline " + show(decoder.outline()) + ", expected " + show(expected) + ", line " +
               fuzz::printable(line));
  }

  if (expected.date) {
    std::optional<DateTime> reference;
    try {
      reference = parse_iso_datetime(*expected.date);
    } catch (const ValueError&) {
    }
    if (read_event_date(*expected.date) != reference) {
      fuzz::fail("date " + fuzz::printable(*expected.date) + " read otherwise");
    }
  }
  return 0;
}
