#include <base/utf8.hpp>

#include <simdjson.h>

namespace orvex::base {

std::optional<std::size_t> find_invalid_utf8(std::string_view bytes) noexcept {
  if (simdjson::validate_utf8(bytes.data(), bytes.size())) return std::nullopt;
  // Slow path, only for text known to be bad: find where it goes wrong.
  for (std::size_t i = 0; i < bytes.size();) {
    CodePoint cp = decode_utf8(bytes, i);
    if (!cp.valid) return i;
    i += cp.length;
  }
  return std::nullopt;  // the checks disagree: never report valid bytes as bad
}

CodePoint decode_utf8(std::string_view text, std::size_t at) noexcept {
  auto c = static_cast<unsigned char>(text[at]);
  if (c < 0x80) return {c, 1, true};
  std::size_t length;
  char32_t value, min;
  if ((c & 0xE0) == 0xC0) {
    length = 2, value = c & 0x1F, min = 0x80;
  } else if ((c & 0xF0) == 0xE0) {
    length = 3, value = c & 0x0F, min = 0x800;
  } else if ((c & 0xF8) == 0xF0) {
    length = 4, value = c & 0x07, min = 0x10000;
  } else {
    return {c, 1, false};
  }
  if (text.size() - at < length) return {c, 1, false};
  for (std::size_t k = 1; k < length; ++k) {
    auto b = static_cast<unsigned char>(text[at + k]);
    if ((b & 0xC0) != 0x80) return {c, 1, false};
    value = (value << 6) | (b & 0x3F);
  }
  if (value < min || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
    return {c, 1, false};
  }
  return {value, length, true};
}

void append_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

std::size_t character_count(std::string_view text) noexcept {
  std::size_t count = 0;
  for (std::size_t i = 0; i < text.size(); ++count) {
    i += static_cast<unsigned char>(text[i]) < 0x80 ? 1 : decode_utf8(text, i).length;
  }
  return count;
}

std::size_t prefix_at_character(std::string_view text, std::size_t limit) noexcept {
  if (text.size() <= limit) return text.size();
  std::size_t end = limit;
  while (end > 0 && is_continuation_byte(text[end])) --end;
  return end;
}

}  // namespace orvex::base
