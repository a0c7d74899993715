#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <orvex/event.hpp>

#include "filters.hpp"

namespace orvex {

// Decodes event lines: a fast parser validates each line and the filter rule is evaluated on
// its document, so the OrvexEvent (many small allocations) is built only for lines that pass.
// Whenever the fast parser refuses a line, or its document cannot say exactly what the
// reference decoder (decode_event) would give, the reference decoder decides. Holds one
// reused parser.
class LineDecoder {
 public:
  LineDecoder();
  ~LineDecoder();
  LineDecoder(const LineDecoder&) = delete;
  LineDecoder& operator=(const LineDecoder&) = delete;

  enum class Verdict { event, rejected, blank, not_json, not_object, too_large };
  struct Decoded {
    std::optional<OrvexEvent> event;  // set for Verdict::event
    Verdict verdict;
    // The fast parser took the whole line, which is therefore UTF-8.
    bool parsed = false;
  };

  // The event of `line` when the line is exactly one JSON object that `filters` accept; else
  // why not: rejected by the filters (possibly without parsing), blank, not JSON, valid JSON
  // but not an object, or too large to decode within bounded memory. `line` must be followed
  // in memory by EventFile::kPadding readable bytes.
  // With `build` false a passing line gives an empty (null) event instead of the built one:
  // the caller wants the line, not the event.
  Decoded decode(std::string_view line, const Filters& filters, bool build = true);

  // From now on, events built by the fast parser hold, at their top level and in each message
  // under "MSG", only the members named in `fields` (all others are skipped unbuilt); the
  // reference decoder still builds whole events, a superset. For a consumer that reads no
  // other members.
  void keep_only(std::vector<std::string> fields) { kept_ = std::move(fields); }

  // From now on (std::nullopt: no more), a line decided without building its event (`build`
  // false) also gives its outline, read from the parser's document as outline_of() reads the
  // event, with `type_field` naming the type.
  void set_outline_field(std::optional<std::string> type_field) {
    outline_field_ = std::move(type_field);
  }
  const std::optional<std::string>& outline_field() const noexcept { return outline_field_; }
  // The outline of the line last decoded as an event, when outlines are on; the views live
  // until the next decode().
  const EventOutline& outline() const noexcept { return outline_; }

 private:
  std::optional<std::vector<std::string>> kept_;
  std::optional<std::string> outline_field_;
  EventOutline outline_;
  OrvexEvent held_;  // the reference decoder's event, which an outline may point into
  struct Parser;
  std::unique_ptr<Parser> parser_;
};

}  // namespace orvex
