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

 private:
  std::optional<std::vector<std::string>> kept_;
  struct Parser;
  std::unique_ptr<Parser> parser_;
};

}  // namespace orvex
