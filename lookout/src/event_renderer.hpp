#pragma once

// The text the viewer writes for one event, as the options ask: the -g search first, then a JSON
// line or one of the formatter's layouts, preceded by the label of its input when several
// inputs are merged. Kept apart from the viewer so that the workers of a merge make exactly the
// text the viewer would make.

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <orvex/event.hpp>
#include <orvex/event_formatter.hpp>
#include <orvex/event_pattern.hpp>
#include <orvex/event_viewer.hpp>

namespace orvex {

// One renderer per thread: the search's matcher and the scratch texts are not shared.
class EventRenderer {
 public:
  // Throws ValueError for a -g pattern that cannot be compiled.
  explicit EventRenderer(const OrvexViewerOptions& args);
  EventRenderer(const EventRenderer&) = delete;
  EventRenderer& operator=(const EventRenderer&) = delete;

  enum class Outcome {
    shown,        // the text and a line end were appended
    not_matched,  // -g rejects the event: nothing appended
    unusable,     // the layout cannot show it: nothing appended, `why` says why
  };

  // Appends the text of `event` and a line end to `out`: first `prefix` (see prefix()), then
  // the compact, terminal-safe copy of `line` (the event's stored line) for --json, or the
  // formatter's text, "%INPUT" in an expression standing for `label`. The event is unpacked in
  // place. Throws only what the formatter throws beyond its errors about the event itself.
  Outcome render(OrvexEvent& event, std::string_view line, std::string_view label,
                 std::string_view prefix, std::string& out, std::string& why);

  // What goes before each event of an input labelled `label` when several inputs are merged:
  // the terminal-safe label, grey when colour is on, padded to `width` characters and a space
  // before a summary, on a line of its own before a key/value block; nothing for --json and a
  // format expression, which has %INPUT.
  std::string prefix(std::string_view label, std::size_t width) const;

  // False when only stored lines are written (--json without -g): the iterators need not
  // build events then.
  bool builds_events() const noexcept { return !json_ || pattern_ != nullptr; }

  // True when a -g search decides which events are shown.
  bool searches() const noexcept { return pattern_ != nullptr; }

  // The -g search alone, for callers that only count the events it lets through.
  bool matches(const OrvexEvent& event) const { return !pattern_ || pattern_->matches(event); }

  // The fields the text of an event is made of, when nothing else reads the event (a layout
  // without -g, --json or an expression); std::nullopt when every field may be read.
  std::optional<std::vector<std::string>> fields_read() const;

 private:
  OrvexEventFormatter formatter_;
  std::unique_ptr<EventPattern> pattern_;
  bool json_ = false;
  bool expression_ = false;
  std::string scratch_;
};

// The viewer's own renderer.
class OrvexEventViewer::Renderer : public EventRenderer {
  using EventRenderer::EventRenderer;
};

}  // namespace orvex
