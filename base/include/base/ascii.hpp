#pragma once

// ASCII character classes, independent of the process locale.

#include <string_view>

namespace orvex::base {

// Space, tab, LF, VT, FF, CR: white space as regular expressions and JSON readers of the log
// count it.
constexpr bool is_space(char ch) noexcept {
  return ch == ' ' || ch == '\t' || ch == '\n' || ch == '\v' || ch == '\f' || ch == '\r';
}

constexpr bool is_digit(char ch) noexcept { return ch >= '0' && ch <= '9'; }

constexpr char to_lower(char ch) noexcept {
  return ch >= 'A' && ch <= 'Z' ? static_cast<char>(ch - 'A' + 'a') : ch;
}

// `text` without leading and trailing white space.
constexpr std::string_view trim_space(std::string_view text) noexcept {
  while (!text.empty() && is_space(text.front())) text.remove_prefix(1);
  while (!text.empty() && is_space(text.back())) text.remove_suffix(1);
  return text;
}

}  // namespace orvex::base
