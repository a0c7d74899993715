#include <orvex/event_iterator.hpp>

#include "filters.hpp"
#include "line_decoder.hpp"

namespace orvex {

struct OrvexEventIterator::State {
  Filters filters;
  LineDecoder decoder;
  // The event decode_and_filter() has already tested against the filters: the base filter
  // operations pass it without testing it again, an override still narrows it.
  const OrvexEvent* tested = nullptr;
};

OrvexEventIterator::OrvexEventIterator(const std::filesystem::path& event_file_path)
    : file_path_(event_file_path),
      file_(event_file_path, EventFile::Mode::text),
      state_(std::make_unique<State>()) {}

OrvexEventIterator::~OrvexEventIterator() = default;

OrvexEventIterator& OrvexEventIterator::iter() { return *this; }

void OrvexEventIterator::set_priority_filter(const std::vector<std::string>& priority_filter) {
  state_->filters.set_priority(priority_filter);
}

void OrvexEventIterator::set_source_filter(const std::vector<std::string>& source_filter) {
  state_->filters.set_source(source_filter);
}

bool OrvexEventIterator::filter_priority(const OrvexEvent& event_dict) {
  return &event_dict == state_->tested || state_->filters.accepts_priority(priority_of(event_dict));
}

bool OrvexEventIterator::filter_source(const OrvexEvent& event_dict) {
  return &event_dict == state_->tested || state_->filters.accepts_source(first_msg_key_of(event_dict));
}

bool OrvexEventIterator::filter_event(const OrvexEvent& event_dict) {
  return filter_priority(event_dict) && filter_source(event_dict);
}

std::optional<OrvexEvent> OrvexEventIterator::decode_and_filter(std::string_view line) {
  std::optional<OrvexEvent> event = state_->decoder.decode(line, state_->filters);
  if (!event) return std::nullopt;
  struct Tested {
    State& state;
    ~Tested() { state.tested = nullptr; }
  } tested{*state_};
  state_->tested = &*event;
  if (!filter_event(*event)) return std::nullopt;
  return event;
}

}  // namespace orvex
