#include "display_form.hpp"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include <base/utf8.hpp>
#include <orvex/errors.hpp>

namespace orvex::display {

namespace {

using ObjectT = OrvexEvent::object_t;
using ArrayT = OrvexEvent::array_t;

using base::CodePoint;

CodePoint decode(std::string_view s, std::size_t i) { return base::decode_utf8(s, i); }

using base::append_utf8;

// Case mapping without the C library's locale tables, which depend on the process locale:
// ASCII, Latin-1, Greek and Cyrillic, the scripts that event keys realistically use.
char32_t to_upper(char32_t cp) {
  if (cp >= 'a' && cp <= 'z') return cp - 0x20;
  if (cp < 0x80) return cp;
  if (cp >= 0xE0 && cp <= 0xFE && cp != 0xF7) return cp - 0x20;
  if (cp == 0xFF) return 0x178;
  if (cp >= 0x3B1 && cp <= 0x3C9 && cp != 0x3C2) return cp - 0x20;
  if (cp == 0x3C2) return 0x3A3;
  if (cp >= 0x430 && cp <= 0x44F) return cp - 0x20;
  if (cp >= 0x450 && cp <= 0x45F) return cp - 0x50;
  return cp;
}

char32_t to_lower(char32_t cp) {
  if (cp >= 'A' && cp <= 'Z') return cp + 0x20;
  if (cp < 0x80) return cp;
  if (cp >= 0xC0 && cp <= 0xDE && cp != 0xD7) return cp + 0x20;
  if (cp == 0x178) return 0xFF;
  if (cp >= 0x391 && cp <= 0x3A9 && cp != 0x3A2) return cp + 0x20;
  if (cp >= 0x410 && cp <= 0x42F) return cp + 0x20;
  if (cp >= 0x400 && cp <= 0x40F) return cp + 0x50;
  return cp;
}

// Characters that would vanish, move text around or act on the terminal: C1 controls and
// the invisible spaces, joiners and direction marks. Shown escaped inside quoted items so
// that what is displayed is what is stored.
bool is_invisible(char32_t cp) {
  return (cp >= 0x80 && cp <= 0xA0) || cp == 0xAD || cp == 0x1680 || cp == 0x180E ||
         (cp >= 0x2000 && cp <= 0x200F) || (cp >= 0x2028 && cp <= 0x202F) ||
         (cp >= 0x205F && cp <= 0x206F) || cp == 0x3000 || cp == 0xFEFF ||
         (cp >= 0xFFF9 && cp <= 0xFFFB);
}

void append_hex_escape(std::string& out, std::uint32_t value) {
  static constexpr char kDigits[] = "0123456789abcdef";
  int width;
  if (value <= 0xFF) {
    out += "\\x";
    width = 2;
  } else if (value <= 0xFFFF) {
    out += "\\u";
    width = 4;
  } else {
    out += "\\U";
    width = 8;
  }
  for (int shift = 4 * (width - 1); shift >= 0; shift -= 4) out += kDigits[(value >> shift) & 0xF];
}

template <typename Int>
void append_integer(std::string& out, Int value) {
  char buffer[24];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  out.append(buffer, result.ptr);
}

// The shortest digits that read back to `value`, in fixed notation with at least one digit
// after the point, or in exponent notation below 1e-4 and from 1e16.
void append_fraction(std::string& out, double value) {
  if (std::isnan(value)) {
    out += "nan";
    return;
  }
  if (std::isinf(value)) {
    out += value < 0 ? "-inf" : "inf";
    return;
  }
  char buffer[40];
  // Scientific form: [-]d[.ddd]e(+|-)XX, the exponent in at least two digits.
  auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
  std::string_view text(buffer, static_cast<std::size_t>(result.ptr - buffer));
  std::size_t e_pos = text.find('e');
  int exponent = 0;
  std::from_chars(text.data() + e_pos + (text[e_pos + 1] == '+' ? 2 : 1), text.data() + text.size(),
                  exponent);
  if (exponent < -4 || exponent >= 16) {
    out.append(text);
    return;
  }
  std::string_view mantissa = text.substr(0, e_pos);
  if (mantissa.front() == '-') {
    out += '-';
    mantissa.remove_prefix(1);
  }
  char digits[24];
  std::size_t count = 0;
  for (char c : mantissa) {
    if (c != '.') digits[count++] = c;
  }
  if (exponent < 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-exponent - 1), '0');
    out.append(digits, count);
    return;
  }
  auto integer_digits = static_cast<std::size_t>(exponent) + 1;
  if (count <= integer_digits) {
    out.append(digits, count);
    out.append(integer_digits - count, '0');
    out += ".0";
  } else {
    out.append(digits, integer_digits);
    out += '.';
    out.append(digits + integer_digits, count - integer_digits);
  }
}

[[noreturn]] void throw_not_displayable(const OrvexEvent& value, std::string_view field) {
  throw TypeError("field '" + std::string(field) + "' holds " + kind_name(value) +
                  ", which has no display form");
}

// A scalar as an item of a list or mapping.
void append_scalar_item(std::string& out, const OrvexEvent& value, std::string_view field) {
  using Type = OrvexEvent::value_t;
  switch (value.type()) {
    case Type::string:
      append_quoted(out, *value.get_ptr<const OrvexEvent::string_t*>());
      return;
    case Type::number_integer:
      append_integer(out, *value.get_ptr<const OrvexEvent::number_integer_t*>());
      return;
    case Type::number_unsigned:
      append_integer(out, *value.get_ptr<const OrvexEvent::number_unsigned_t*>());
      return;
    case Type::number_float:
      append_fraction(out, *value.get_ptr<const OrvexEvent::number_float_t*>());
      return;
    case Type::boolean:
      out += *value.get_ptr<const OrvexEvent::boolean_t*>() ? "True" : "False";
      return;
    case Type::null:
      out += "None";
      return;
    default:
      throw_not_displayable(value, field);
  }
}

// Lists and mappings are written with an explicit stack: a deeply nested value must not
// exhaust the call stack.
void append_container(std::string& out, const OrvexEvent& value, std::string_view field) {
  struct Frame {
    const ObjectT* object;
    const ArrayT* array;
    std::size_t next;
  };
  std::vector<Frame> stack;
  auto open = [&](const OrvexEvent& container) {
    if (const auto* object = container.get_ptr<const ObjectT*>()) {
      out += '{';
      stack.push_back({object, nullptr, 0});
    } else {
      out += '[';
      stack.push_back({nullptr, container.get_ptr<const ArrayT*>(), 0});
    }
  };
  open(value);
  while (!stack.empty()) {
    Frame& frame = stack.back();
    std::size_t size = frame.object ? frame.object->size() : frame.array->size();
    if (frame.next == size) {
      out += frame.object ? '}' : ']';
      stack.pop_back();
      continue;
    }
    if (frame.next > 0) out += ", ";
    const OrvexEvent* item;
    if (frame.object) {
      const auto& entry = *(frame.object->begin() + static_cast<std::ptrdiff_t>(frame.next));
      append_quoted(out, entry.first);
      out += ": ";
      item = &entry.second;
    } else {
      item = &(*frame.array)[frame.next];
    }
    ++frame.next;
    if (item->is_object() || item->is_array()) {
      open(*item);  // invalidates `frame`
    } else {
      append_scalar_item(out, *item, field);
    }
  }
}

}  // namespace

void append_display_form(std::string& out, const OrvexEvent& value, std::string_view field) {
  if (const auto* text = value.get_ptr<const OrvexEvent::string_t*>()) {
    out += *text;
  } else if (value.is_object() || value.is_array()) {
    append_container(out, value, field);
  } else {
    append_scalar_item(out, value, field);
  }
}

void append_quoted(std::string& out, std::string_view text) {
  bool has_single = text.find('\'') != std::string_view::npos;
  bool has_double = text.find('"') != std::string_view::npos;
  char quote = has_single && !has_double ? '"' : '\'';
  out += quote;
  std::size_t run = 0;  // start of the pending stretch copied as it is
  std::size_t i = 0;
  while (i < text.size()) {
    auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c < 0x7F && c != '\\' && c != static_cast<unsigned char>(quote)) {
      ++i;
      continue;
    }
    CodePoint cp = c < 0x80 ? CodePoint{c, 1, true} : decode(text, i);
    if (cp.valid && cp.value >= 0x80 && !is_invisible(cp.value)) {
      i += cp.length;
      continue;
    }
    out.append(text, run, i - run);
    switch (cp.value) {
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (cp.valid && cp.value == static_cast<unsigned char>(quote)) {
          out += '\\';
          out += quote;
        } else {
          append_hex_escape(out, cp.value);
        }
    }
    i += cp.length;
    run = i;
  }
  out.append(text, run, text.size() - run);
  out += quote;
}

namespace {

std::string shortened(std::string text) {
  constexpr std::size_t kLimit = 80;
  if (text.size() <= kLimit) return text;
  text.resize(base::prefix_at_character(text, kLimit));
  text += "...";
  return text;
}

}  // namespace

std::string describe(const OrvexEvent& value) {
  std::string out;
  if (const auto* text = value.get_ptr<const OrvexEvent::string_t*>()) {
    append_quoted(out, *text);
  } else {
    try {
      append_display_form(out, value, "");
    } catch (const TypeError&) {
      out = kind_name(value);
    }
  }
  return shortened(std::move(out));
}

std::string describe_text(std::string_view text) {
  std::string out;
  append_quoted(out, text);
  return shortened(std::move(out));
}

const char* kind_name(const OrvexEvent& value) {
  using Type = OrvexEvent::value_t;
  switch (value.type()) {
    case Type::string:
      return "text";
    case Type::number_integer:
    case Type::number_unsigned:
      return "an integer";
    case Type::number_float:
      return "a fraction";
    case Type::boolean:
      return "a boolean";
    case Type::null:
      return "null";
    case Type::array:
      return "a list";
    case Type::object:
      return "a mapping";
    case Type::binary:
      return "binary data";
    case Type::discarded:
      break;
  }
  return "a discarded value";
}

bool is_ascii(std::string_view text) {
  unsigned char any = 0;
  for (char c : text) any |= static_cast<unsigned char>(c);
  return any < 0x80;
}

std::size_t character_count(std::string_view text) {
  return is_ascii(text) ? text.size() : base::character_count(text);
}

void append_capitalized(std::string& out, std::string_view text) {
  if (is_ascii(text)) {
    std::size_t start = out.size();
    out.append(text);
    for (std::size_t i = start; i < out.size(); ++i) {
      char c = out[i];
      if (i == start ? c >= 'a' && c <= 'z' : c >= 'A' && c <= 'Z') out[i] = c ^ 0x20;
    }
    return;
  }
  for (std::size_t i = 0; i < text.size();) {
    CodePoint cp = decode(text, i);
    if (!cp.valid) {
      out += text[i];
    } else {
      append_utf8(out, i == 0 ? to_upper(cp.value) : to_lower(cp.value));
    }
    i += cp.length;
  }
}

}  // namespace orvex::display
