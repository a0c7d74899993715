#include <orvex/event_pattern.hpp>

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <vector>

#include <base/terminal_safe.hpp>
#include <orvex/errors.hpp>
#include <orvex/messages.hpp>

namespace orvex {

namespace {

// Smart case, as search tools do: a pattern written all in lower case finds any case.
bool has_upper_case(std::string_view pattern) {
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    char c = pattern[i];
    // An escape such as \S or \W is a class, not a letter the user wants matched as written.
    if (c == '\\') {
      ++i;
      continue;
    }
    if (c >= 'A' && c <= 'Z') return true;
    // A non-ASCII letter: treat as upper case when lower-casing would change it is costly to
    // know here; Cyrillic capitals are the common case.
    auto u = static_cast<unsigned char>(c);
    if (u == 0xD0 && i + 1 < pattern.size()) {
      auto next = static_cast<unsigned char>(pattern[i + 1]);
      if ((next >= 0x80 && next <= 0xAF)) return true;  // U+0400..U+042F
    }
  }
  return false;
}

std::string pcre2_message(int code) {
  PCRE2_UCHAR buffer[256];
  if (pcre2_get_error_message(code, buffer, sizeof buffer) < 0)
    return "error " + std::to_string(code);
  return reinterpret_cast<const char*>(buffer);
}

}  // namespace

struct EventPattern::Compiled {
  pcre2_code* code = nullptr;
  pcre2_match_data* match = nullptr;
  ~Compiled() {
    pcre2_match_data_free(match);
    pcre2_code_free(code);
  }
};

EventPattern::EventPattern(std::string_view pattern, bool case_sensitive)
    : compiled_(std::make_unique<Compiled>()) {
  uint32_t options = PCRE2_UTF | PCRE2_UCP;
  if (!case_sensitive && !has_upper_case(pattern)) options |= PCRE2_CASELESS;
  int error = 0;
  PCRE2_SIZE offset = 0;
  compiled_->code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.data()), pattern.size(),
                                  options, &error, &offset, nullptr);
  if (compiled_->code == nullptr) {
    throw ValueError(
        fill_message(translate("%s at position %s of the pattern %s"),
                     {pcre2_message(error), std::to_string(offset + 1), base::quoted(pattern)}));
  }
  // Without JIT support the interpreter runs the same pattern, only slower.
  pcre2_jit_compile(compiled_->code, PCRE2_JIT_COMPLETE);
  compiled_->match = pcre2_match_data_create_from_pattern(compiled_->code, nullptr);
  if (compiled_->match == nullptr) throw std::bad_alloc();
}

EventPattern::~EventPattern() = default;

bool EventPattern::matches_text(std::string_view text) const {
  // Text that is not UTF-8 fails PCRE2's own check and matches nothing.
  int rc = pcre2_match(compiled_->code, reinterpret_cast<PCRE2_SPTR>(text.data()), text.size(), 0,
                       0, compiled_->match, nullptr);
  return rc >= 0;
}

bool EventPattern::matches(const OrvexEvent& event) const {
  // An explicit stack: a deeply nested value must not exhaust the call stack.
  std::vector<const OrvexEvent*> pending{&event};
  while (!pending.empty()) {
    const OrvexEvent* value = pending.back();
    pending.pop_back();
    if (const auto* text = value->get_ptr<const OrvexEvent::string_t*>()) {
      if (matches_text(*text)) return true;
    } else if (value->is_object() || value->is_array()) {
      for (auto it = value->crbegin(); it != value->crend(); ++it) pending.push_back(&*it);
    }
  }
  return false;
}

}  // namespace orvex
