#include <orvex/event_iterator.hpp>

#include <orvex/errors.hpp>

#include "filters.hpp"
#include "line_decoder.hpp"

namespace orvex {

DamageReporter::~DamageReporter() = default;

std::string Damage::why() const {
  switch (kind) {
    case Kind::not_json:
      return "not JSON";
    case Kind::not_object:
      return "not a JSON object";
    case Kind::not_utf8:
      return "not valid UTF-8 (byte " + detail + " of the line)";
    case Kind::too_long:
      return "longer than " + std::to_string(EventFile::kMaxLineBytes >> 20) + " MiB";
    case Kind::too_many_values:
      return "too many values to decode";
    case Kind::unreadable_date:
      return "unreadable date " + detail;
    case Kind::unusable:
      break;
  }
  return detail;
}

struct OrvexEventIterator::State {
  Filters filters;
  LineDecoder decoder;
  DamageReporter* reporter = nullptr;
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

void OrvexEventIterator::set_damage_reporter(DamageReporter* reporter) {
  state_->reporter = reporter;
  file_.keep_invalid_lines(reporter != nullptr);
}

bool OrvexEventIterator::has_damage_reporter() const noexcept { return state_->reporter != nullptr; }

bool OrvexEventIterator::report_damage(const EventFile::Line& line, Damage::Kind kind,
                                       std::string detail) {
  if (state_->reporter == nullptr) return false;
  state_->reporter->report(Damage{file_path_, {line.number, line.offset}, kind, std::move(detail)});
  return true;
}

std::optional<OrvexEvent> OrvexEventIterator::decode_and_filter(const EventFile::Line& line) {
  using Verdict = LineDecoder::Verdict;
  if (line.too_long) {
    report_damage(line, Damage::Kind::too_long);
    return std::nullopt;
  }
  if (line.invalid_at) {
    if (!report_damage(line, Damage::Kind::not_utf8, std::to_string(*line.invalid_at + 1))) {
      throw UnicodeDecodeError(file_path_, line.offset + *line.invalid_at);
    }
    return std::nullopt;
  }
  LineDecoder::Decoded decoded = state_->decoder.decode(line.text, state_->filters, build_events_);
  switch (decoded.verdict) {
    case Verdict::event:
      break;
    case Verdict::rejected:
    case Verdict::blank:
      return std::nullopt;
    case Verdict::not_json:
      report_damage(line, Damage::Kind::not_json);
      return std::nullopt;
    case Verdict::not_object:
      report_damage(line, Damage::Kind::not_object);
      return std::nullopt;
    case Verdict::too_large:
      report_damage(line, Damage::Kind::too_many_values);
      return std::nullopt;
  }
  std::optional<OrvexEvent>& event = decoded.event;
  if (!build_events_) {
    position_ = {line.number, line.offset};
    line_ = line.text;
    return std::move(event);
  }
  struct Tested {
    State& state;
    ~Tested() { state.tested = nullptr; }
  } tested{*state_};
  state_->tested = &*event;
  if (!filter_event(*event)) return std::nullopt;
  position_ = {line.number, line.offset};
  line_ = line.text;
  return std::move(event);
}

}  // namespace orvex
