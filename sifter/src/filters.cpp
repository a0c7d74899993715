#include "filters.hpp"

#include <cstring>

namespace orvex {

std::optional<std::string_view> priority_of(const OrvexEvent& event) {
  if (!event.is_object()) return std::nullopt;
  auto priority = event.find("PRIORITY");
  if (priority == event.end() || !priority->is_string()) return std::nullopt;
  return std::string_view(priority->get_ref<const std::string&>());
}

std::optional<std::string_view> first_msg_key_of(const OrvexEvent& event) {
  if (!event.is_object()) return std::nullopt;
  auto msg = event.find("MSG");
  if (msg == event.end() || !msg->is_object() || msg->empty()) return std::nullopt;
  return std::string_view(msg->items().begin().key());
}

bool Filters::may_accept_raw(std::string_view line) const {
  if (!is_active() || std::memchr(line.data(), '\\', line.size()) != nullptr) return true;
  auto holds_one_of = [line](const TextSet& texts) {
    for (const std::string& text : texts) {
      if (memmem(line.data(), line.size(), text.data(), text.size()) != nullptr) return true;
    }
    return false;
  };
  return (priority_.empty() || holds_one_of(priority_)) &&
         (source_.empty() || holds_one_of(source_));
}

}  // namespace orvex
