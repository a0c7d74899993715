// Decoding of event lines. A fast parser validates the line and the base filter rules are
// evaluated on its document, so the OrvexEvent (many small allocations) is built only for
// lines that may pass. Whenever the fast parser refuses a line, or its document cannot say
// exactly what the reference decoder would give, the reference decoder decides.
#include "line_decoder.hpp"

#include <cmath>
#include <cstring>

#include <simdjson.h>

#include <orvex/errors.hpp>
#include <orvex/event_file.hpp>
#include <orvex/event_iterator.hpp>

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

// Without a backslash in the line no escape can change a text, so a line can only pass a
// filter when one of the filter's texts occurs in its raw bytes.
template <typename Texts>
bool may_hold_one_of(std::string_view line, const Texts& texts) {
  for (const std::string& text : texts) {
    if (memmem(line.data(), line.size(), text.data(), text.size()) != nullptr) return true;
  }
  return false;
}

}  // namespace

struct LineDecoder::State {
  simdjson::dom::parser parser;
};

LineDecoder::LineDecoder() : state_(std::make_unique<State>()) {}
LineDecoder::~LineDecoder() = default;

std::optional<OrvexEvent> LineDecoder::decode_and_filter(OrvexEventIterator& owner,
                                                         std::string_view line) {
  auto reference = [&]() -> std::optional<OrvexEvent> {
    std::optional<OrvexEvent> event;
    try {
      event = decode_event(line);
    } catch (const JSONDecodeError&) {
      return std::nullopt;
    }
    if (!event->is_object() || !owner.filter_event(*event)) return std::nullopt;
    return event;
  };

  bool filter_priority = !owner.priority_filter_.empty();
  bool filter_source = !owner.source_filter_.empty();
  if ((filter_priority || filter_source) && !std::memchr(line.data(), '\\', line.size())) {
    if (filter_priority && !may_hold_one_of(line, owner.priority_filter_)) return std::nullopt;
    if (filter_source && !may_hold_one_of(line, owner.source_filter_)) return std::nullopt;
  }

  simdjson::dom::element document;
  if (state_->parser.parse(line.data(), line.size()).get(document) != simdjson::SUCCESS) {
    return reference();
  }
  if (!document.is_object()) return std::nullopt;  // valid JSON, but no event
  simdjson::dom::object object(document);

  if (filter_priority || filter_source) {
    simdjson::dom::element priority, msg;
    bool has_priority = false, has_msg = false;
    // The last of duplicate members is the one decoding keeps.
    for (auto field : object) {
      if (field.key == "PRIORITY") {
        priority = field.value;
        has_priority = true;
      } else if (field.key == "MSG") {
        msg = field.value;
        has_msg = true;
      }
    }
    if (filter_priority &&
        !(has_priority && priority.is_string() &&
          owner.base_rules_accept_priority(std::string_view(priority)))) {
      return std::nullopt;
    }
    if (filter_source) {
      if (!has_msg || !msg.is_object()) return std::nullopt;
      simdjson::dom::object members(msg);
      auto first = members.begin();
      if (first == members.end() || !owner.base_rules_accept_source(first.key())) {
        return std::nullopt;
      }
    }
  }

  OrvexEvent event;
  try {
    event = build(document);
  } catch (const Ambiguous&) {
    return reference();
  }
  if (!owner.filter_event(event)) return std::nullopt;
  return event;
}

std::optional<std::size_t> find_invalid_utf8(std::string_view bytes) noexcept {
  if (simdjson::validate_utf8(bytes.data(), bytes.size())) return std::nullopt;
  // Slow path, only for a line known to be bad: find where it goes wrong.
  const auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
  std::size_t n = bytes.size(), i = 0;
  while (i < n) {
    unsigned char c = s[i];
    std::size_t len;
    std::uint32_t min;
    if (c < 0x80) {
      ++i;
      continue;
    } else if ((c & 0xE0) == 0xC0) {
      len = 2, min = 0x80;
    } else if ((c & 0xF0) == 0xE0) {
      len = 3, min = 0x800;
    } else if ((c & 0xF8) == 0xF0) {
      len = 4, min = 0x10000;
    } else {
      return i;
    }
    if (i + len > n) return i;
    std::uint32_t cp = c & (0x7F >> len);
    for (std::size_t k = 1; k < len; ++k) {
      if ((s[i + k] & 0xC0) != 0x80) return i;
      cp = (cp << 6) | (s[i + k] & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return i;
    i += len;
  }
  return std::nullopt;  // the checks disagree: never report valid bytes as bad
}

}  // namespace orvex
