#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include <orvex/event.hpp>

namespace orvex {

// What the filter rule reads of a built event: "PRIORITY" when it is text, and the name of
// the first member of "MSG" when "MSG" is a non-empty object; std::nullopt otherwise.
std::optional<std::string_view> priority_of(const OrvexEvent& event);
std::optional<std::string_view> first_msg_key_of(const OrvexEvent& event);

// The priority and source filters and their one rule, evaluated on whatever holds the event:
// the fast parser's document while decoding, the built OrvexEvent in the filter operations.
class Filters {
 public:
  void set_priority(const std::vector<std::string>& texts) {
    priority_ = {texts.begin(), texts.end()};
  }
  void set_source(const std::vector<std::string>& texts) { source_ = {texts.begin(), texts.end()}; }

  bool filters_priority() const noexcept { return !priority_.empty(); }
  bool filters_source() const noexcept { return !source_.empty(); }
  bool is_active() const noexcept { return filters_priority() || filters_source(); }

  // `priority`: the event's "PRIORITY" when it is text, std::nullopt when it is missing or of
  // another kind (then an active priority filter rejects the event).
  bool accepts_priority(std::optional<std::string_view> priority) const {
    if (priority_.empty()) return true;
    return priority && priority_.find(*priority) != priority_.end();
  }
  // `first_key`: the name of the first member of "MSG", std::nullopt when "MSG" is missing,
  // not an object, or empty.
  bool accepts_source(std::optional<std::string_view> first_key) const {
    if (source_.empty()) return true;
    if (!first_key) return false;
    for (const std::string& fragment : source_) {
      if (first_key->find(fragment) != std::string_view::npos) return true;
    }
    return false;
  }

  // Without a backslash in the line no escape can change a text, so a line can only pass an
  // active filter when one of its texts occurs in the raw bytes. Lets most lines go unparsed.
  bool may_accept_raw(std::string_view line) const;

 private:
  struct TransparentHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const noexcept {
      return std::hash<std::string_view>{}(s);
    }
  };
  using TextSet = std::unordered_set<std::string, TransparentHash, std::equal_to<>>;

  TextSet priority_;
  TextSet source_;
};

}  // namespace orvex
