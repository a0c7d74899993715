#pragma once

#include <memory>
#include <optional>
#include <string_view>

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

  // The event of `line` when the line is exactly one JSON object that `filters` accept;
  // std::nullopt when it is no event (not JSON, not an object) or is rejected. `line` must be
  // followed in memory by EventFile::kPadding readable bytes.
  std::optional<OrvexEvent> decode(std::string_view line, const Filters& filters);

 private:
  struct Parser;
  std::unique_ptr<Parser> parser_;
};

}  // namespace orvex
