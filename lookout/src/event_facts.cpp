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

// JSON's white space. Outside strings valid JSON holds no other byte up to the space.
bool is_space(char c) { return static_cast<unsigned char>(c) <= ' '; }

// `a == b`, rejecting most differing names by their length and first byte before comparing.
bool same(std::string_view a, std::string_view b) {
  return a.size() == b.size() && (a.empty() || (a[0] == b[0] && a == b));
}

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
// only the bytes between strings ({ } [ ] : , blanks, numbers, true, false, null) are looked
// at one by one. Anything unexpected ends the scan, and the parser reads the line.
class Scan {
 public:
  Scan(std::string_view line, const std::uint32_t* quotes, std::size_t quote_count)
      : line_(line), quotes_(quotes), quote_count_(quote_count) {}

  std::optional<EventFacts> read(std::string_view type_field) {
    type_field_ = type_field;
    if (!object([&](std::string_view key) { return top_member(key); })) return std::nullopt;
    skip_space();
    if (at_ != line_.size()) return std::nullopt;
    facts_.date = has_isodate_ ? isodate_ : date_;
    if (facts_.key) facts_.type = message_has_type_ ? message_type_ : top_type_;
    return facts_;
  }

 private:
  char current() const { return at_ < line_.size() ? line_[at_] : '\0'; }
  void skip_space() {
    while (at_ < line_.size() && is_space(line_[at_])) ++at_;
  }

  // At a quote: the string it opens.
  std::optional<std::string_view> string() {
    if (next_quote_ + 1 >= quote_count_ || quotes_[next_quote_] != at_) return std::nullopt;
    const std::size_t open = quotes_[next_quote_];
    const std::size_t close = quotes_[next_quote_ + 1];
    next_quote_ += 2;
    at_ = close + 1;
    return std::string_view(line_.data() + open + 1, close - open - 1);
  }

  // At an object: calls `member(name)` at each member's value, which must read or skip it.
  template <class Member>
  bool object(Member&& member) {
    skip_space();
    if (current() != '{') return false;
    ++at_;
    skip_space();
    if (current() == '}') {
      ++at_;
      return true;
    }
    for (;;) {
      std::optional<std::string_view> name = string();
      if (!name) return false;
      skip_space();
      if (current() != ':') return false;
      ++at_;
      skip_space();
      if (!member(*name)) return false;
      skip_space();
      if (current() == ',') {
        ++at_;
        skip_space();
        continue;
      }
      if (current() != '}') return false;
      ++at_;
      return true;
    }
  }

  bool skip_value() {
    const char c = current();
    if (c == '"') return string().has_value();
    if (c == '{' || c == '[') {
      int depth = 0;
      while (at_ < line_.size()) {
        const char ch = line_[at_];
        if (ch == '"') {
          if (!string()) return false;
          continue;
        }
        if (ch == '{' || ch == '[') {
          ++depth;
        } else if ((ch == '}' || ch == ']') && --depth == 0) {
          ++at_;
          return true;
        }
        ++at_;
      }
      return false;
    }
    const std::size_t start = at_;
    while (at_ < line_.size() && line_[at_] != ',' && line_[at_] != '}' && line_[at_] != ']' &&
           !is_space(line_[at_])) {
      ++at_;
    }
    return at_ > start;
  }

  // A value read when it is text: `out` is the text, or std::nullopt for another kind.
  bool text_value(std::optional<std::string_view>& out) {
    if (current() == '"') {
      out = string();
      return out.has_value();
    }
    out.reset();
    return skip_value();
  }

  bool top_member(std::string_view name) {
    // Most names differ from the wanted ones in length: compare only the same lengths.
    switch (name.size()) {
      case 8:
        if (name == "PRIORITY") return text_value(facts_.priority);
        break;
      case 7:
        if (name == "ISODATE") {
          has_isodate_ = true;
          return text_value(isodate_);
        }
        break;
      case 4:
        if (name == "DATE") return text_value(date_);
        break;
      case 3:
        if (name == "MSG") return message();
        break;
      default:
        break;
    }
    if (same(name, type_field_)) return text_value(top_type_);
    return skip_value();
  }

  // The first member's name of the message, and the type among that member's fields; a later
  // "MSG" replaces an earlier one.
  bool message() {
    facts_.key.reset();
    message_has_type_ = false;
    message_type_.reset();
    if (current() != '{') return skip_value();
    return object([&](std::string_view key) {
      if (!facts_.key) facts_.key = key;
      if (!same(key, *facts_.key)) return skip_value();
      // The first member, or a later one of the same name, whose value then counts.
      message_has_type_ = false;
      message_type_.reset();
      if (current() != '{') return skip_value();
      return object([&](std::string_view field) {
        if (!same(field, type_field_)) return skip_value();
        message_has_type_ = true;
        return text_value(message_type_);
      });
    });
  }

  std::string_view line_;
  const std::uint32_t* quotes_;
  std::size_t quote_count_;
  std::size_t next_quote_ = 0;
  std::size_t at_ = 0;
  std::string_view type_field_;
  EventFacts facts_;
  bool has_isodate_ = false, message_has_type_ = false;
  std::optional<std::string_view> isodate_, date_, top_type_, message_type_;
};

std::optional<EventFacts> scan(std::string_view line, std::string_view type_field,
                               std::vector<std::uint32_t>& quotes) {
  const std::optional<std::size_t> quote_count = find_quotes(line, quotes);
  if (!quote_count || *quote_count % 2 != 0) return std::nullopt;
  return Scan(line, quotes.data(), *quote_count).read(type_field);
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

// `count` digits at `at` as a number, or -1.
int number_at(std::string_view text, std::size_t at, std::size_t count) {
  int value = 0;
  for (std::size_t i = at; i < at + count; ++i) {
    const char c = text[i];
    if (c < '0' || c > '9') return -1;
    value = value * 10 + (c - '0');
  }
  return value;
}

// YYYY-MM-DDThh:mm:ss[.f...][Z|+hh:mm|-hh:mm], with a year from 1000 and an hour below 24;
// std::nullopt for everything else, which the general reader decides.
std::optional<DateTime> read_common_date(std::string_view text) {
  using namespace std::chrono;
  if (text.size() < 19 || text[4] != '-' || text[7] != '-' ||
      (text[10] != 'T' && text[10] != ' ') || text[13] != ':' || text[16] != ':') {
    return std::nullopt;
  }
  const int y = number_at(text, 0, 4), mo = number_at(text, 5, 2), d = number_at(text, 8, 2);
  const int h = number_at(text, 11, 2), mi = number_at(text, 14, 2), s = number_at(text, 17, 2);
  if (y < 1000 || mo < 1 || mo > 12 || d < 1 || h < 0 || h > 23 || mi < 0 || mi > 59 || s < 0 ||
      s > 59) {
    return std::nullopt;
  }
  const year_month_day date{year{y}, month{unsigned(mo)}, day{unsigned(d)}};
  if (!date.ok()) return std::nullopt;
  std::size_t at = 19;
  std::int64_t micros = 0;
  if (at + 1 < text.size() && text[at] == '.' && text[at + 1] >= '0' && text[at + 1] <= '9') {
    int taken = 0;
    for (++at; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
      if (taken < 6) {
        micros = micros * 10 + (text[at] - '0');
        ++taken;
      }
    }
    for (; taken < 6; ++taken) micros *= 10;
  }
  if (at < text.size()) {
    if (text[at] == 'Z') {
      ++at;
    } else if ((text[at] == '+' || text[at] == '-') && text.size() - at == 6 &&
               text[at + 3] == ':') {
      const int zone_hours = number_at(text, at + 1, 2), zone_minutes = number_at(text, at + 4, 2);
      if (zone_hours < 0 || zone_hours > 23 || zone_minutes < 0 || zone_minutes > 59) {
        return std::nullopt;
      }
      at += 6;
    }
    if (at != text.size()) return std::nullopt;
  }
  return DateTime{local_days{date}} + hours{h} + minutes{mi} + seconds{s} + microseconds{micros};
}

}  // namespace

std::optional<DateTime> read_event_date(std::string_view text) {
  if (std::optional<DateTime> date = read_common_date(text)) return date;
  // Every text the general reader takes starts with a digit of the year: the syslog form
  // ("Dec  3 00:12:38") is refused without the cost of an exception.
  if (text.empty() || text[0] < '0' || text[0] > '9') return std::nullopt;
  try {
    return parse_iso_datetime(text);
  } catch (const ValueError&) {
    return std::nullopt;
  }
}

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
