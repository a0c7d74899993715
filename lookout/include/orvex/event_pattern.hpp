#pragma once

// A search pattern over the text of events (-g, --grep).

#include <memory>
#include <string>
#include <string_view>

#include <orvex/event.hpp>
#include <orvex/lookout_export.hpp>

namespace orvex {

// A regular expression (PCRE2 syntax, UTF-8) matched against every text value of an event: the
// values at the top level and those nested in its mappings and lists ("MSG" and its message
// fields included, in every language); keys are not searched. Compiled once, with the JIT
// where the machine has it. Not copyable; one matcher per thread.
class ORVEX_LOOKOUT_API EventPattern {
 public:
  // Case-insensitive when `pattern` holds no upper-case letter, unless `case_sensitive`.
  // Throws ValueError naming the problem and its position, e.g. "missing closing parenthesis
  // at position 4 of the pattern '(ab'".
  explicit EventPattern(std::string_view pattern, bool case_sensitive = false);
  ~EventPattern();
  EventPattern(const EventPattern&) = delete;
  EventPattern& operator=(const EventPattern&) = delete;

  // True when some text value of `event` matches.
  bool matches(const OrvexEvent& event) const;
  bool matches_text(std::string_view text) const;

 private:
  struct Compiled;
  std::unique_ptr<Compiled> compiled_;
};

}  // namespace orvex
