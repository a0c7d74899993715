#pragma once

// UTF-8: validation of whole lines, and decoding one character at a time for the code that
// needs to look at characters (case mapping, widths, escaping).

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace orvex::base {

// The offset of the first byte of `bytes` that is not part of valid UTF-8 (overlong forms,
// surrogates and code points above U+10FFFF are invalid), or std::nullopt when all is valid.
std::optional<std::size_t> find_invalid_utf8(std::string_view bytes) noexcept;

struct CodePoint {
  char32_t value;      // the byte itself when not valid
  std::size_t length;  // bytes taken: 1 for an invalid sequence
  bool valid;
};

// Decodes the character that starts at `at` (< text.size()); a malformed sequence gives its
// first byte alone, marked invalid.
CodePoint decode_utf8(std::string_view text, std::size_t at) noexcept;

void append_utf8(std::string& out, char32_t code_point);

// The number of characters of `text`; each byte of a malformed sequence counts as one.
std::size_t character_count(std::string_view text) noexcept;

// The length of the longest prefix of `text` no longer than `limit` bytes that does not cut
// a character in two.
std::size_t prefix_at_character(std::string_view text, std::size_t limit) noexcept;

inline bool is_continuation_byte(char ch) noexcept {
  return (static_cast<unsigned char>(ch) & 0xC0) == 0x80;
}

}  // namespace orvex::base
