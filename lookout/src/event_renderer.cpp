#include "event_renderer.hpp"

#include <simdjson.h>

#include <base/terminal_safe.hpp>
#include <base/utf8.hpp>
#include <orvex/errors.hpp>

namespace orvex {

EventRenderer::EventRenderer(const OrvexViewerOptions& args)
    : formatter_(args.format, args.more_info, args.raw, args.nocolor, args.iso_date),
      json_(args.json),
      expression_(args.format && !args.format->empty() && !args.more_info && !args.raw) {
  if (args.grep && !args.grep->empty()) {
    pattern_ = std::make_unique<EventPattern>(*args.grep, args.case_sensitive);
  }
}

std::optional<std::vector<std::string>> EventRenderer::fields_read() const {
  if (json_ || pattern_ || expression_) return std::nullopt;
  return formatter_.fields_read();
}

std::string EventRenderer::prefix(std::string_view label, std::size_t width) const {
  if (json_ || expression_) return {};
  const std::string safe = base::terminal_safe(label);
  const bool colored = !(formatter_.no_color || formatter_.is_raw);
  std::string out;
  if (colored) out += OrvexEventFormatter::COLOR_GREY;
  out += safe;
  if (colored) out += OrvexEventFormatter::COLOR_END;
  if (formatter_.is_detailed || formatter_.is_raw) {
    out += '\n';
  } else {
    const std::size_t length = base::character_count(safe);
    out.append(width > length ? width - length : 0, ' ');
    out += ' ';
  }
  return out;
}

EventRenderer::Outcome EventRenderer::render(OrvexEvent& event, std::string_view line,
                                             std::string_view label, std::string_view prefix,
                                             std::string& out, std::string& why) {
  if (pattern_ && !pattern_->matches(event)) return Outcome::not_matched;
  if (json_) {
    scratch_.resize(line.size() + 64);
    std::size_t length = 0;
    // A valid line minifies; when nothing was left out it is already compact and goes as it is.
    if (simdjson::minify(line.data(), line.size(), scratch_.data(), length) != simdjson::SUCCESS) {
      length = 0;
    }
    std::string_view compact =
        length == 0 || length == line.size() ? line : std::string_view(scratch_.data(), length);
    out += prefix;
    base::append_json_terminal_safe(out, compact);
    out += '\n';
    return Outcome::shown;
  }
  std::string text;
  try {
    text = formatter_.format_event(event, label);
  } catch (const Error& error) {
    // An event the layout cannot show (no "MSG", a date it cannot read, a value of the wrong
    // kind) is damage like an unreadable line: reported, skipped, and the run goes on.
    if (dynamic_cast<const OSError*>(&error) != nullptr) throw;
    why = error.what();
    return Outcome::unusable;
  }
  out += prefix;
  out += text;
  out += '\n';
  return Outcome::shown;
}

}  // namespace orvex
