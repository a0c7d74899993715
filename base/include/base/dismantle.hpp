#pragma once

// Freeing a decoded event cheaply. The JSON library destroys a container by first moving its
// values onto a stack it allocates, so that deep nesting cannot exhaust the call stack; for
// the shallow events of a log that costs an allocation and a move per container, about a
// sixth of a whole listing. Emptying the containers from the leaves up leaves it nothing to
// move.

namespace orvex::base {

// Empties every object and array within `value` (and `value` itself), innermost first; the
// values nested deeper than a few levels are left to the library's own destruction.
template <class Json>
void dismantle(Json& value, int depth = 0) noexcept {
  constexpr int kDeepest = 16;
  if (value.is_object()) {
    auto& members = value.template get_ref<typename Json::object_t&>();
    if (depth < kDeepest) {
      for (auto& member : members) {
        if (member.second.is_structured()) dismantle(member.second, depth + 1);
      }
    }
    members.clear();
  } else if (value.is_array()) {
    auto& items = value.template get_ref<typename Json::array_t&>();
    if (depth < kDeepest) {
      for (auto& item : items) {
        if (item.is_structured()) dismantle(item, depth + 1);
      }
    }
    items.clear();
  }
}

}  // namespace orvex::base
