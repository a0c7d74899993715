#include "line_decoder.hpp"

#include <cmath>
#include <cstring>

#include <simdjson.h>

#include <orvex/errors.hpp>

namespace orvex {

namespace {

// Thrown out of build() when the document does not determine the reference result.
struct Ambiguous {};

OrvexEvent build(simdjson::dom::element element) {
  using simdjson::dom::element_type;
  switch (element.type()) {
    case element_type::OBJECT: {
      OrvexEvent object = OrvexEvent::object();
      auto& members = object.get_ref<OrvexEvent::object_t&>();
      simdjson::dom::object fields(element);
      members.reserve(fields.size());
      for (auto field : fields) {
        // A duplicate key keeps its first place and takes the last value.
        auto [it, inserted] = members.emplace(std::string(field.key), OrvexEvent());
        it->second = build(field.value);
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


}  // namespace

struct LineDecoder::Parser {
  simdjson::dom::parser parser;
};

LineDecoder::LineDecoder() : parser_(std::make_unique<Parser>()) {}
LineDecoder::~LineDecoder() = default;

std::optional<OrvexEvent> LineDecoder::decode(std::string_view line, const Filters& filters) {
  auto reference = [&]() -> std::optional<OrvexEvent> {
    std::optional<OrvexEvent> event;
    try {
      event = decode_event(line);
    } catch (const JSONDecodeError&) {
      return std::nullopt;
    }
    if (!event->is_object() || !filters.accepts_priority(priority_of(*event)) ||
        !filters.accepts_source(first_msg_key_of(*event))) {
      return std::nullopt;
    }
    return event;
  };

  if (!filters.may_accept_raw(line)) return std::nullopt;

  simdjson::dom::element document;
  // The line is followed by the reader's padding: the parser reads it in place.
  if (parser_->parser.parse(line.data(), line.size(), false).get(document) != simdjson::SUCCESS) {
    return reference();
  }
  if (!document.is_object()) return std::nullopt;  // valid JSON, but no event
  simdjson::dom::object object(document);

  if (filters.is_active()) {
    std::optional<std::string_view> priority, first_key;
    // The last of duplicate members is the one decoding keeps.
    for (auto field : object) {
      if (field.key == "PRIORITY") {
        priority = field.value.is_string() ? std::optional(std::string_view(field.value))
                                           : std::nullopt;
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
      return std::nullopt;
    }
  }

  try {
    return build(document);
  } catch (const Ambiguous&) {
    return reference();
  }
}

}  // namespace orvex
