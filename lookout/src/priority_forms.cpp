// The filter compares texts exactly, so every form a user writes is widened here to the
// texts an event of that level may carry.

#include <orvex/priority_forms.hpp>

#include <array>
#include <optional>
#include <set>
#include <string_view>
#include <utility>

#include <base/ascii.hpp>
#include <base/terminal_safe.hpp>
#include <orvex/errors.hpp>
#include <orvex/messages.hpp>

#include "priority_level.hpp"

namespace orvex {

namespace {

constexpr int kLevelCount = kPriorityLevels;

// Indexed by level, most severe first.
constexpr std::array<std::string_view, kLevelCount> kNames = {"emerg",   "alert",  "crit", "err",
                                                              "warning", "notice", "info", "debug"};

struct Alias {
  std::string_view name;
  int level;
};

constexpr std::array<Alias, 5> kAliases = {{
    {"panic", 0},
    {"emergency", 0},
    {"critical", 2},
    {"error", 3},
    {"warn", 4},
}};

[[noreturn]] void refuse(std::string_view form) {
  throw ValueError(fill_message(
      translate("unknown priority %s (use emerg, alert, crit, err, warning, notice, info, debug, "
                "a number 0-7, or a range such as warning..)"),
      {base::quoted(form)}));
}

std::string lower_case(std::string_view text) {
  std::string out(text);
  for (char& ch : out) ch = base::to_lower(ch);
  return out;
}

struct Level {
  int level;
  std::optional<std::string_view> alias;  // the lower-case alias the form spelled
};

// One level written as a name or alias in any letter case, or as one digit.
std::optional<Level> read_level(std::string_view word) {
  if (word.size() == 1 && word[0] >= '0' && word[0] < '0' + kLevelCount) {
    return Level{word[0] - '0', std::nullopt};
  }
  std::string lower = lower_case(word);
  for (int level = 0; level < kLevelCount; ++level) {
    if (lower == kNames[level]) return Level{level, std::nullopt};
  }
  for (const Alias& alias : kAliases) {
    if (lower == alias.name) return Level{alias.level, alias.name};
  }
  return std::nullopt;
}

// Logs write the aliases too, so a range takes them along with the standard names.
void add_levels(int from, int to, std::set<std::string>& texts) {
  for (int level = from; level <= to; ++level) {
    texts.emplace(kNames[level]);
    for (const Alias& alias : kAliases) {
      if (alias.level == level) texts.emplace(alias.name);
    }
  }
}

void add_form(std::string_view original, std::set<std::string>& texts) {
  std::string_view form = base::trim_space(original);
  std::size_t dots = form.find("..");
  if (dots == std::string_view::npos) {
    std::optional<Level> level = read_level(form);
    if (!level) refuse(original);
    // An event may carry the form exactly as written, so that text stays; for a standard name
    // written exactly it is the only one, as the filter always had it.
    texts.emplace(form);
    texts.emplace(kNames[level->level]);
    if (level->alias) texts.emplace(*level->alias);
    return;
  }
  std::string_view left = base::trim_space(form.substr(0, dots));
  std::string_view right = base::trim_space(form.substr(dots + 2));
  std::optional<Level> left_level, right_level;
  if (!left.empty()) left_level = read_level(left);
  if (!right.empty()) right_level = read_level(right);
  if ((!left.empty() && !left_level) || (!right.empty() && !right_level)) refuse(original);
  if (!left_level && !right_level) refuse(original);
  // "A.." reaches up to the most severe level, "..A" down to the least severe one.
  int first = left_level ? left_level->level : kLevelCount - 1;
  int last = right_level ? right_level->level : 0;
  if (first > last) std::swap(first, last);
  add_levels(first, last, texts);
}

}  // namespace

std::optional<int> priority_level(std::string_view text) {
  // Logs mostly carry the standard names: those need no case folding.
  for (int level = 0; level < kLevelCount; ++level) {
    if (text == kNames[level]) return level;
  }
  std::optional<Level> level = read_level(text);
  if (!level) return std::nullopt;
  return level->level;
}

std::string_view priority_name(int level) { return kNames[level]; }

std::vector<std::string> priority_filter_from_forms(const std::vector<std::string>& forms) {
  std::set<std::string> texts;
  for (const std::string& form : forms) add_form(form, texts);
  return {texts.begin(), texts.end()};
}

}  // namespace orvex
