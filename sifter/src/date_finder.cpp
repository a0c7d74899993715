// A hand-written finder is used instead of a regular-expression engine because it runs on
// every line of a time-range scan. It looks for the fixed text DATE" with memmem and checks
// around each hit. That yields the pattern's first match because:
// - a match starts with "DATE" or "ISODATE", so it contains DATE" at a fixed distance from its
//   start (1 or 4 bytes); the byte before the D tells which key it is, and at most one fits;
// - DATE" cannot overlap itself, so hits come at least 5 bytes apart and the match starts they
//   imply come in the same order as the hits;
// - after the key nothing can backtrack: \s* cannot take the ':' or the '"' that follows it,
//   and [^"]+ ends at the first quote. A hit that fails its tail is simply passed over.

#include "date_finder.hpp"

#include <cstring>

#include <base/ascii.hpp>

namespace orvex {

std::optional<std::string_view> find_date(std::string_view line) noexcept {
  static constexpr char kNeedle[] = "DATE\"";
  constexpr std::size_t kNeedleSize = sizeof(kNeedle) - 1;
  const char* data = line.data();
  const std::size_t size = line.size();
  std::size_t from = 0;
  while (size - from >= kNeedleSize) {
    const void* hit = ::memmem(data + from, size - from, kNeedle, kNeedleSize);
    if (hit == nullptr) return std::nullopt;
    const std::size_t at = static_cast<const char*>(hit) - data;
    from = at + kNeedleSize;
    const bool is_key = (at >= 1 && data[at - 1] == '"') ||
                        (at >= 4 && std::memcmp(data + at - 4, "\"ISO", 4) == 0);
    if (!is_key) continue;
    std::size_t i = from;
    while (i < size && base::is_space(data[i])) ++i;
    if (i == size || data[i] != ':') continue;
    ++i;
    while (i < size && base::is_space(data[i])) ++i;
    if (i == size || data[i] != '"') continue;
    const std::size_t value = i + 1;
    if (value >= size) continue;
    const void* close = std::memchr(data + value, '"', size - value);
    if (close == nullptr) continue;
    const std::size_t value_end = static_cast<const char*>(close) - data;
    if (value_end == value) continue;
    return line.substr(value, value_end - value);
  }
  return std::nullopt;
}

}  // namespace orvex
