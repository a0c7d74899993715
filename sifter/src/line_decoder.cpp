#include "line_decoder.hpp"

#include <cmath>
#include <cstring>
#include <string_view>
#include <tuple>
#include <vector>

#include <simdjson.h>

#include <orvex/errors.hpp>

namespace orvex {

namespace {

// Thrown out of build() when the document does not determine the reference result.
struct Ambiguous {};

// True when no two members of `fields` share a key, told without a search per member: events
// hold a handful of members, and most keys already differ in length or first byte. Objects of
// many members are left to the search (false).
bool has_unique_keys(simdjson::dom::object fields) {
  constexpr std::size_t kMost = 32;
  std::string_view keys[kMost];
  std::size_t count = 0;
  for (auto field : fields) {
    if (count == kMost) return false;
    std::string_view key = field.key;
    for (std::size_t i = 0; i < count; ++i) {
      if (keys[i].size() == key.size() && (key.empty() || keys[i][0] == key[0]) && keys[i] == key) {
        return false;
      }
    }
    keys[count++] = key;
  }
  return true;
}

// Which members build() makes: every one, or (a projection for a layout that reads only some
// fields) at the top level and within each message under "MSG" only the kept ones.
struct Kept {
  const std::vector<std::string>* names = nullptr;
  enum class Level { top, msg, message, inside } level = Level::inside;

  bool keeps(std::string_view key) const {
    if (level != Level::top && level != Level::message) return true;
    for (const std::string& name : *names) {
      if (name == key) return true;
    }
    return false;
  }
  // The projection for the value of member `key` of this object.
  Kept below(std::string_view key) const {
    switch (level) {
      case Level::top:
        return {names, key == "MSG" ? Level::msg : Level::inside};
      case Level::msg:
        return {names, Level::message};
      case Level::message:
      case Level::inside:
        break;
    }
    return {};
  }
};

OrvexEvent build(simdjson::dom::element element, const Kept& kept = {}) {
  using simdjson::dom::element_type;
  switch (element.type()) {
    case element_type::OBJECT: {
      OrvexEvent object = OrvexEvent::object();
      auto& members = object.get_ref<OrvexEvent::object_t&>();
      simdjson::dom::object fields(element);
      members.reserve(fields.size());
      if (has_unique_keys(fields)) {
        // Nothing to look up: each member goes to the end, built in place.
        for (auto field : fields) {
          if (!kept.keeps(field.key)) continue;
          members.OrvexEvent::object_t::Container::emplace_back(
              std::piecewise_construct, std::forward_as_tuple(field.key),
              std::forward_as_tuple(build(field.value, kept.below(field.key))));
        }
        return object;
      }
      for (auto field : fields) {
        if (!kept.keeps(field.key)) continue;
        // A duplicate key keeps its first place and takes the last value.
        auto [it, inserted] = members.emplace(std::string(field.key), OrvexEvent());
        it->second = build(field.value, kept.below(field.key));
        (void)inserted;
      }
      return object;
    }
    case element_type::ARRAY: {
      OrvexEvent array = OrvexEvent::array();
      auto& items = array.get_ref<OrvexEvent::array_t&>();
      simdjson::dom::array values(element);
      items.reserve(values.size());
      for (auto item : values) items.push_back(build(item));
      return array;
    }
    case element_type::STRING:
      return OrvexEvent(std::string(std::string_view(element)));
    case element_type::INT64: {
      std::int64_t value = int64_t(element);
      // The reference decoder keeps every non-negative integer unsigned.
      if (value >= 0) return OrvexEvent(static_cast<std::uint64_t>(value));
      return OrvexEvent(value);
    }
    case element_type::UINT64:
      return OrvexEvent(uint64_t(element));
    case element_type::DOUBLE: {
      double value = double(element);
      // "-0" is the integer 0 for the reference decoder but "-0.0" a negative zero; the
      // document cannot tell them apart.
      if (value == 0 && std::signbit(value)) throw Ambiguous{};
      return OrvexEvent(value);
    }
    case element_type::BOOL:
      return OrvexEvent(bool(element));
    case element_type::NULL_VALUE:
      return OrvexEvent(nullptr);
  }
  throw Ambiguous{};
}

// Lines up to this size are parsed by the fast parser, whose memory is about fourteen times
// the line; longer ones go to the reference decoder, whose memory follows the number of values.
constexpr std::size_t kFastParserCapacity = 1 << 20;
// A line of more values than this would take more memory than a viewer should: at some 64
// bytes a value, 64 MiB.
constexpr std::size_t kMostValues = 1 << 20;

// An upper bound of the number of values in a JSON text: every value but the first follows a
// comma or opens a container, and most texts hold far fewer than their structural bytes.
std::size_t values_at_most(std::string_view line) {
  std::size_t count = 1;
  for (char c : line) count += c == ',' || c == '[' || c == '{';
  return count;
}

bool is_blank(std::string_view line) {
  for (char c : line) {
    if (c != ' ' && c != '\t' && c != '\n' && c != '\r') return false;
  }
  return true;
}

std::optional<std::string_view> text_of(simdjson::dom::element value) {
  if (!value.is_string()) return std::nullopt;
  return std::string_view(value);
}

// outline_of() on the document: of duplicate members the last value counts, and a message key
// named twice keeps its first place and takes its last value, as in the decoded event.
EventOutline outline_of_document(simdjson::dom::object object, std::string_view type_field) {
  EventOutline outline;
  std::optional<simdjson::dom::element> isodate, date, msg;
  std::optional<std::string_view> top_type;
  for (auto field : object) {
    const std::string_view key = field.key;
    // Most names differ from the wanted ones in length.
    switch (key.size()) {
      case 8:
        if (key == "PRIORITY") {
          outline.priority = text_of(field.value);
          continue;
        }
        break;
      case 7:
        if (key == "ISODATE") {
          isodate = field.value;
          continue;
        }
        break;
      case 4:
        if (key == "DATE") {
          date = field.value;
          continue;
        }
        break;
      case 3:
        if (key == "MSG") {
          msg = field.value;
          continue;
        }
        break;
      default:
        break;
    }
    if (key == type_field) top_type = text_of(field.value);
  }
  if (isodate) {
    outline.date = text_of(*isodate);
  } else if (date) {
    outline.date = text_of(*date);
  }
  if (!msg || !msg->is_object()) return outline;
  std::optional<simdjson::dom::element> fields;
  for (auto member : simdjson::dom::object(*msg)) {
    if (!outline.key) outline.key = member.key;
    if (member.key == *outline.key) fields = member.value;
  }
  if (!outline.key) return outline;
  outline.type = top_type;
  if (fields->is_object()) {
    for (auto field : simdjson::dom::object(*fields)) {
      if (field.key == type_field) outline.type = text_of(field.value);
    }
  }
  return outline;
}

}  // namespace

struct LineDecoder::Parser {
  simdjson::dom::parser parser{kFastParserCapacity};
};

LineDecoder::LineDecoder() : parser_(std::make_unique<Parser>()) {}
LineDecoder::~LineDecoder() = default;

LineDecoder::Decoded LineDecoder::decode(std::string_view line, const Filters& filters,
                                         bool build_event) {
  using V = Verdict;
  auto reference = [&]() -> Decoded {
    if (is_blank(line)) return {std::nullopt, V::blank, false};
    if (line.size() > kFastParserCapacity && values_at_most(line) > kMostValues) {
      return {std::nullopt, V::too_large, false};
    }
    std::optional<OrvexEvent> event;
    try {
      event = decode_event(line);
    } catch (const JSONDecodeError&) {
      return {std::nullopt, V::not_json, false};
    }
    if (!event->is_object()) return {std::nullopt, V::not_object, false};
    if (!filters.accepts_priority(priority_of(*event)) ||
        !filters.accepts_source(first_msg_key_of(*event))) {
      return {std::nullopt, V::rejected, false};
    }
    if (!build_event && outline_field_) {
      // The outline points into the event, which stays here until the next line.
      held_ = std::move(*event);
      outline_ = outline_of(held_, *outline_field_);
      return {OrvexEvent(), V::event, false};
    }
    return {std::move(event), V::event, false};
  };

  if (!filters.may_accept_raw(line)) return {std::nullopt, V::rejected, false};

  simdjson::dom::element document;
  // The line is followed by the reader's padding: the parser reads it in place.
  if (line.size() > kFastParserCapacity ||
      parser_->parser.parse(line.data(), line.size(), false).get(document) != simdjson::SUCCESS) {
    return reference();
  }
  if (!document.is_object()) return {std::nullopt, V::not_object, true};
  simdjson::dom::object object(document);

  if (filters.is_active()) {
    std::optional<std::string_view> priority, first_key;
    // The last of duplicate members is the one decoding keeps.
    for (auto field : object) {
      if (field.key == "PRIORITY") {
        priority =
            field.value.is_string() ? std::optional(std::string_view(field.value)) : std::nullopt;
      } else if (field.key == "MSG") {
        first_key.reset();
        if (field.value.is_object()) {
          simdjson::dom::object members(field.value);
          auto first = members.begin();
          if (first != members.end()) first_key = first.key();
        }
      }
    }
    if (!filters.accepts_priority(priority) || !filters.accepts_source(first_key)) {
      return {std::nullopt, V::rejected, true};
    }
  }

  if (!build_event) {
    if (outline_field_) outline_ = outline_of_document(object, *outline_field_);
    return {OrvexEvent(), V::event, true};
  }
  try {
    if (kept_) return {build(document, Kept{&*kept_, Kept::Level::top}), V::event, true};
    return {build(document), V::event, true};
  } catch (const Ambiguous&) {
    return reference();
  }
}

}  // namespace orvex
