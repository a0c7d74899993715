// Three readers of the same few members. The scan makes counting cheap: the iterator has already
// parsed the line once to accept it, and a second parse into a document would cost as much
// again. The scan finds the quotes instead and reads the members it needs from between them,
// which is exact only without escapes; a line with a backslash goes to the parser.

#include "event_facts.hpp"

#include <cstdint>
#include <cstring>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <simdjson.h>

#include <orvex/errors.hpp>
#include <orvex/event.hpp>

namespace orvex {

namespace {

// The same bound as the iterators' fast parser: longer lines go to the reference decoder,
// whose memory follows the number of values rather than the length.
constexpr std::size_t kParserCapacity = 1 << 20;

// The positions of the quotes of `line`, in `quotes` (resized to hold them), sixteen bytes at a
// time where the machine allows. Returns the number of quotes, or std::nullopt when the line
// holds a backslash.
std::optional<std::size_t> find_quotes(std::string_view line, std::vector<std::uint32_t>& quotes) {
  if (quotes.size() < line.size()) quotes.resize(line.size());
  std::uint32_t* out = quotes.data();
  std::size_t count = 0;
  const char* data = line.data();
  const std::size_t size = line.size();
  std::size_t at = 0;
#if defined(__SSE2__)
  const __m128i quote = _mm_set1_epi8('"');
  const __m128i backslash = _mm_set1_epi8('\\');
  for (; at + 16 <= size; at += 16) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + at));
    if (_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, backslash)) != 0) return std::nullopt;
    unsigned mask = unsigned(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, quote)));
    while (mask != 0) {
      out[count++] = std::uint32_t(at + unsigned(__builtin_ctz(mask)));
      mask &= mask - 1;
    }
  }
#endif
  for (; at < size; ++at) {
    if (data[at] == '\\') return std::nullopt;
    if (data[at] == '"') out[count++] = std::uint32_t(at);
  }
  return count;
}

// The scan, for a line without a backslash: in valid JSON every quote then opens or closes a
// string and no text needs decoding, so the strings are the spans between quote pairs, and
// what lies between two strings ({ } [ ] : , blanks, numbers, true, false, null) tells
// whether the next string is a name or a value, and at which depth.
std::optional<EventFacts> scan(std::string_view line, std::string_view type_field,
                               std::vector<std::uint32_t>& quotes) {
  const std::optional<std::size_t> quote_count = find_quotes(line, quotes);
  if (!quote_count || *quote_count % 2 != 0) return std::nullopt;

  enum class Top { other, priority, isodate, date, msg, type };
  constexpr std::size_t kDeepest = 64;  // deeper lines go to the parser
  char stack[kDeepest];                 // 'o' object, 'a' array
  std::size_t depth = 0;
  bool expect_key = false;      // the next string names a member
  bool expect_value = false;    // after ':', the next value is the member's
  Top top = Top::other;         // the top-level member being read
  bool counted_member = false;  // inside "MSG": the member whose fields count
  bool type_member = false;     // inside that member: the type field

  EventFacts facts;
  bool has_isodate = false, message_has_type = false;
  std::optional<std::string_view> isodate, date, top_type, message_type;

  // A member's value that is not text: where it matters, the member holds no text.
  auto not_text = [&]() {
    if (depth == 1) {
      if (top == Top::priority) facts.priority.reset();
      if (top == Top::isodate) isodate.reset();
      if (top == Top::date) date.reset();
      if (top == Top::type) top_type.reset();
    } else if (depth == 3 && top == Top::msg && counted_member && type_member) {
      message_type.reset();
    }
  };
  auto text = [&](std::string_view value) {
    if (depth == 1) {
      if (top == Top::priority) facts.priority = value;
      if (top == Top::isodate) isodate = value;
      if (top == Top::date) date = value;
      if (top == Top::type) top_type = value;
    } else if (depth == 3 && top == Top::msg && counted_member && type_member && stack[1] == 'o' &&
               stack[2] == 'o') {
      message_type = value;
    }
  };
  auto name = [&](std::string_view key) {
    if (depth == 1) {
      // Most names differ from the wanted ones in length: compare only the same lengths.
      top = Top::other;
      switch (key.size()) {
        case 8:
          if (key == "PRIORITY") top = Top::priority;
          break;
        case 7:
          if (key == "ISODATE") top = Top::isodate;
          break;
        case 4:
          if (key == "DATE") top = Top::date;
          break;
        case 3:
          if (key == "MSG") top = Top::msg;
          break;
        default:
          break;
      }
      if (top == Top::other && key == type_field) top = Top::type;
      if (top == Top::isodate) has_isodate = true;
      if (top == Top::msg) {
        // A later "MSG" replaces an earlier one.
        facts.key.reset();
        message_has_type = false;
        message_type.reset();
      }
    } else if (depth == 2 && top == Top::msg && stack[1] == 'o') {
      if (!facts.key) facts.key = key;
      // The first member, or a later one of the same name, whose value then counts.
      counted_member = key == *facts.key;
      if (counted_member) {
        message_has_type = false;
        message_type.reset();
      }
    } else if (depth == 3 && top == Top::msg && counted_member && stack[1] == 'o' &&
               stack[2] == 'o') {
      type_member = key == type_field;
      if (type_member) message_has_type = true;
    }
  };
  // The bytes between two strings.
  auto structure = [&](std::size_t from, std::size_t to) -> bool {
    for (std::size_t at = from; at < to; ++at) {
      const char c = line[at];
      if (c == ':') {
        expect_value = true;
      } else if (c == ',') {
        expect_key = depth > 0 && stack[depth - 1] == 'o';
      } else if (c == '{' || c == '[') {
        if (expect_value) not_text();
        expect_value = false;
        if (depth == kDeepest) return false;
        stack[depth++] = c == '{' ? 'o' : 'a';
        expect_key = c == '{';
      } else if (c == '}' || c == ']') {
        if (depth == 0) return false;
        --depth;
        expect_key = false;
      } else if (c != ' ' && c != '\t' && c != '\n' && c != '\r') {
        // A number, true, false or null.
        if (expect_value) not_text();
        expect_value = false;
      }
    }
    return true;
  };

  std::size_t after = 0;
  for (std::size_t i = 0; i < *quote_count; i += 2) {
    if (!structure(after, quotes[i])) return std::nullopt;
    const std::string_view string = line.substr(quotes[i] + 1, quotes[i + 1] - quotes[i] - 1);
    after = quotes[i + 1] + 1;
    if (expect_key) {
      name(string);
      expect_key = false;
    } else if (expect_value) {
      text(string);
      expect_value = false;
    }
  }
  if (!structure(after, line.size()) || depth != 0) return std::nullopt;
  facts.date = has_isodate ? isodate : date;
  if (facts.key) facts.type = message_has_type ? message_type : top_type;
  return facts;
}

std::optional<std::string_view> text_of(simdjson::dom::element value) {
  if (!value.is_string()) return std::nullopt;
  return std::string_view(value);
}

EventFacts read_document(simdjson::dom::object object, std::string_view type_field) {
  EventFacts facts;
  std::optional<simdjson::dom::element> isodate, date, msg;
  std::optional<std::string_view> top_type;
  for (auto field : object) {
    if (field.key == "PRIORITY") {
      facts.priority = text_of(field.value);
    } else if (field.key == "ISODATE") {
      isodate = field.value;
    } else if (field.key == "DATE") {
      date = field.value;
    } else if (field.key == "MSG") {
      msg = field.value;
    } else if (field.key == type_field) {
      top_type = text_of(field.value);
    }
  }
  if (isodate) {
    facts.date = text_of(*isodate);
  } else if (date) {
    facts.date = text_of(*date);
  }
  if (!msg || !msg->is_object()) return facts;
  std::optional<simdjson::dom::element> fields;
  for (auto member : simdjson::dom::object(*msg)) {
    if (!facts.key) facts.key = member.key;
    if (member.key == *facts.key) fields = member.value;
  }
  if (!facts.key) return facts;
  facts.type = top_type;
  if (fields->is_object()) {
    for (auto field : simdjson::dom::object(*fields)) {
      if (field.key == type_field) facts.type = text_of(field.value);
    }
  }
  return facts;
}

std::optional<std::string_view> text_of(const OrvexEvent* value) {
  if (value == nullptr || !value->is_string()) return std::nullopt;
  return std::string_view(value->get_ref<const std::string&>());
}

const OrvexEvent* member(const OrvexEvent& object, std::string_view name) {
  for (const auto& [key, value] : object.get_ref<const OrvexEvent::object_t&>()) {
    if (key == name) return &value;
  }
  return nullptr;
}

EventFacts read_event(const OrvexEvent& event, std::string_view type_field) {
  EventFacts facts;
  facts.priority = text_of(member(event, "PRIORITY"));
  const OrvexEvent* isodate = member(event, "ISODATE");
  facts.date = text_of(isodate != nullptr ? isodate : member(event, "DATE"));
  const OrvexEvent* msg = member(event, "MSG");
  if (msg == nullptr || !msg->is_object() || msg->empty()) return facts;
  const auto& first = msg->get_ref<const OrvexEvent::object_t&>().front();
  facts.key = first.first;
  facts.type = text_of(member(event, type_field));
  if (first.second.is_object()) {
    if (const OrvexEvent* type = member(first.second, type_field)) facts.type = text_of(type);
  }
  return facts;
}

}  // namespace

struct EventFactsReader::Parsers {
  std::vector<std::uint32_t> quotes;
  simdjson::dom::parser parser{kParserCapacity};
  OrvexEvent event;
};

EventFactsReader::EventFactsReader(std::string_view type_field)
    : type_field_(type_field), parsers_(std::make_unique<Parsers>()) {}

EventFactsReader::~EventFactsReader() = default;

std::optional<EventFacts> EventFactsReader::read(std::string_view line, Way way) {
  switch (way) {
    case Way::scan:
      if (line.size() > kParserCapacity) return std::nullopt;
      return scan(line, type_field_, parsers_->quotes);
    case Way::parser: {
      simdjson::dom::element document;
      if (line.size() > kParserCapacity ||
          parsers_->parser.parse(line.data(), line.size()).get(document) != simdjson::SUCCESS ||
          !document.is_object()) {
        return std::nullopt;
      }
      return read_document(simdjson::dom::object(document), type_field_);
    }
    case Way::decoder:
      try {
        parsers_->event = decode_event(line);
      } catch (const JSONDecodeError&) {
        return std::nullopt;
      }
      if (!parsers_->event.is_object()) return std::nullopt;
      return read_event(parsers_->event, type_field_);
  }
  return std::nullopt;
}

EventFacts EventFactsReader::read(std::string_view line) {
  for (Way way : {Way::scan, Way::parser, Way::decoder}) {
    if (std::optional<EventFacts> facts = read(line, way)) return *facts;
  }
  return {};
}

}  // namespace orvex
