#include <orvex/event.hpp>

#include <orvex/errors.hpp>

namespace orvex {

OrvexEvent decode_event(std::string_view line) {
  // JSON text never holds a raw NUL byte, and the parser would take one for the end of the
  // input: whatever follows it would be dropped unseen.
  if (line.find('\0') != std::string_view::npos) {
    throw JSONDecodeError("a NUL byte at offset " + std::to_string(line.find('\0')));
  }
  try {
    return OrvexEvent::parse(line.begin(), line.end());
  } catch (const nlohmann::json::exception& error) {
    // Syntax errors and numbers out of range ("1e400") alike: the line is no JSON text.
    throw JSONDecodeError(error.what());
  }
}

namespace {

std::optional<std::string_view> text_of(const OrvexEvent* value) {
  if (value == nullptr || !value->is_string()) return std::nullopt;
  return std::string_view(value->get_ref<const std::string&>());
}

// A decoded object holds each key once.
const OrvexEvent* member(const OrvexEvent& object, std::string_view name) {
  for (const auto& [key, value] : object.get_ref<const OrvexEvent::object_t&>()) {
    if (key == name) return &value;
  }
  return nullptr;
}

}  // namespace

EventOutline outline_of(const OrvexEvent& event, std::string_view type_field) {
  EventOutline outline;
  if (!event.is_object()) return outline;
  outline.priority = text_of(member(event, "PRIORITY"));
  const OrvexEvent* isodate = member(event, "ISODATE");
  outline.date = text_of(isodate != nullptr ? isodate : member(event, "DATE"));
  const OrvexEvent* msg = member(event, "MSG");
  if (msg == nullptr || !msg->is_object() || msg->empty()) return outline;
  const auto& first = msg->get_ref<const OrvexEvent::object_t&>().front();
  outline.key = first.first;
  const OrvexEvent* type = first.second.is_object() ? member(first.second, type_field) : nullptr;
  outline.type = text_of(type != nullptr ? type : member(event, type_field));
  return outline;
}

}  // namespace orvex
