#include <base/terminal_safe.hpp>

#include <emmintrin.h>

#include <array>
#include <cstdint>
#include <cstring>

#include <base/utf8.hpp>

namespace orvex::base {

namespace {

// Bytes that may need a second look: C0, backslash, DEL, and the lead bytes of the C1
// controls (C2 80-9F) and of the bidi controls (E2 80 AA-AE, E2 81 A6-A9). Any byte from 0x80
// also asks for a UTF-8 check, done once for the whole text.
constexpr bool is_suspect(unsigned char c) noexcept {
  return c < 0x20 || c == '\\' || c == 0x7F || c == 0xC2 || c == 0xE2;
}

// The offset of the first suspect byte, or text.size(); `high` tells whether any byte before
// it is 0x80 or above.
// For the scalar part: 0 passes, 1 suspect, 2 from 0x80 (not suspect, asks for a UTF-8 check).
constexpr std::array<unsigned char, 256> kByteClass = [] {
  std::array<unsigned char, 256> table{};
  for (int c = 0; c < 256; ++c) {
    table[c] = is_suspect(static_cast<unsigned char>(c)) ? 1 : c >= 0x80 ? 2 : 0;
  }
  return table;
}();

// Whether any of the eight bytes of `w` is below 0x20, a backslash, DEL or from 0x80: the
// usual word-at-a-time tests, exact about whether any byte matches.
bool word_needs_a_look(std::uint64_t w) noexcept {
  constexpr std::uint64_t kOnes = 0x0101010101010101ULL, kHighs = 0x8080808080808080ULL;
  auto has_zero = [](std::uint64_t v) { return (v - kOnes) & ~v & kHighs; };
  return ((w & kHighs) | ((w - kOnes * 0x20) & ~w & kHighs) | has_zero(w ^ (kOnes * '\\')) |
          has_zero(w ^ (kOnes * 0x7F))) != 0;
}

std::size_t find_suspect(std::string_view text, bool& high) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  std::size_t i = 0;
  __m128i any_high = _mm_setzero_si128();
  const __m128i c1f = _mm_set1_epi8(0x1F);
  const __m128i backslash = _mm_set1_epi8('\\');
  const __m128i del = _mm_set1_epi8(0x7F);
  const __m128i c2 = _mm_set1_epi8(static_cast<char>(0xC2));
  const __m128i e2 = _mm_set1_epi8(static_cast<char>(0xE2));
  for (; i + 16 <= n; i += 16) {
    __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
    __m128i hit = _mm_cmpeq_epi8(_mm_max_epu8(x, c1f), c1f);  // x <= 0x1F
    hit = _mm_or_si128(hit, _mm_cmpeq_epi8(x, backslash));
    hit = _mm_or_si128(hit, _mm_cmpeq_epi8(x, del));
    hit = _mm_or_si128(hit, _mm_cmpeq_epi8(x, c2));
    hit = _mm_or_si128(hit, _mm_cmpeq_epi8(x, e2));
    if (_mm_movemask_epi8(hit) != 0) break;
    any_high = _mm_or_si128(any_high, x);
  }
  high = _mm_movemask_epi8(any_high) != 0;
  // Short texts (most summary parts) are plain ASCII: eight bytes at a time.
  for (; i + 8 <= n; i += 8) {
    std::uint64_t w;
    std::memcpy(&w, p + i, 8);
    if (word_needs_a_look(w)) break;
  }
  for (; i < n; ++i) {
    unsigned char c = kByteClass[p[i]];
    if (c == 0) continue;
    if (c == 1) return i;
    high = true;
  }
  return n;
}

bool is_bidi_control(char32_t cp) noexcept {
  return (cp >= 0x202A && cp <= 0x202E) || (cp >= 0x2066 && cp <= 0x2069);
}

// Whether the character at `at` is written escaped.
bool is_escaped_at(std::string_view text, std::size_t at) noexcept {
  auto c = static_cast<unsigned char>(text[at]);
  if (c < 0x20 || c == 0x7F) return true;
  if (c < 0x80) return false;
  CodePoint cp = decode_utf8(text, at);
  return !cp.valid || cp.value < 0xA0 || is_bidi_control(cp.value);
}

void append_hex(std::string& out, const char* prefix, std::uint32_t value, int digits) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += prefix;
  for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4) out += kHex[(value >> shift) & 0xF];
}

// The whole slow path, from `from` on.
void append_escaped(std::string& out, std::string_view text, std::size_t from) {
  std::size_t run = from;
  std::size_t i = from;
  while (i < text.size()) {
    auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c < 0x7F && c != '\\') {
      ++i;
      continue;
    }
    if (c == '\\') {
      bool doubled = false;
      if (i + 1 < text.size()) {
        char next = text[i + 1];
        doubled = next == '\\' || next == 'x' || next == 'u' || next == 'n' || next == 'r' ||
                  next == 't' || is_escaped_at(text, i + 1);
      }
      ++i;
      if (doubled) {
        out.append(text, run, i - run);
        out += '\\';
        run = i;
      }
      continue;
    }
    CodePoint cp = c < 0x80 ? CodePoint{c, 1, true} : decode_utf8(text, i);
    bool escape = c < 0x20 || c == 0x7F || !cp.valid || (cp.value >= 0x80 && cp.value < 0xA0) ||
                  is_bidi_control(cp.value);
    if (!escape) {
      i += cp.length;
      continue;
    }
    out.append(text, run, i - run);
    if (!cp.valid) {
      append_hex(out, "\\x", c, 2);
    } else if (cp.value == '\n') {
      out += "\\n";
    } else if (cp.value == '\r') {
      out += "\\r";
    } else if (cp.value == '\t') {
      out += "\\t";
    } else if (cp.value < 0x80) {
      append_hex(out, "\\x", cp.value, 2);
    } else {
      append_hex(out, "\\u", cp.value, 4);
    }
    i += cp.length;
    run = i;
  }
  out.append(text, run, text.size() - run);
}

}  // namespace

bool is_terminal_safe(std::string_view text) {
  bool high = false;
  if (find_suspect(text, high) == text.size()) return !high || !find_invalid_utf8(text);
  // A backslash, a no-break space or a dash asks for a look, yet passes unchanged.
  return terminal_safe(text) == text;
}

void append_terminal_safe(std::string& out, std::string_view text) {
  bool high = false;
  std::size_t suspect = find_suspect(text, high);
  if (suspect == text.size() && (!high || !find_invalid_utf8(text))) {
    out.append(text);
    return;
  }
  // A stray byte may stand before the first suspect one: start the slow path early enough.
  std::size_t from = high ? 0 : suspect;
  out.append(text.data(), from);
  append_escaped(out, text, from);
}

void append_json_terminal_safe(std::string& out, std::string_view json) {
  std::size_t run = 0;
  std::size_t i = 0;
  while (i < json.size()) {
    auto c = static_cast<unsigned char>(json[i]);
    if (c != 0x7F && c != 0xC2 && c != 0xE2) {
      ++i;
      continue;
    }
    CodePoint cp = c == 0x7F ? CodePoint{c, 1, true} : decode_utf8(json, i);
    if (cp.valid &&
        (cp.value == 0x7F || (cp.value >= 0x80 && cp.value < 0xA0) || is_bidi_control(cp.value))) {
      out.append(json, run, i - run);
      append_hex(out, "\\u", cp.value, 4);
      run = i + cp.length;
    }
    i += cp.length;
  }
  out.append(json, run, json.size() - run);
}

std::string terminal_safe(std::string_view text) {
  std::string out;
  append_terminal_safe(out, text);
  return out;
}

std::string quoted(std::string_view text, std::size_t limit) {
  std::size_t shown = prefix_at_character(text, limit);
  std::string out = "'";
  append_terminal_safe(out, text.substr(0, shown));
  out += shown < text.size() ? "'..." : "'";
  return out;
}

}  // namespace orvex::base
