#include <orvex/event_iterator.hpp>

#include <sys/stat.h>

#include <orvex/errors.hpp>
#include <orvex/line_decoding.hpp>

#include <base/ascii.hpp>
#include <base/utf8.hpp>

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
    case Kind::unfinished:
      return "unfinished when the file was replaced";
    case Kind::unreadable:
      return "unreadable: " + detail;
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
  bool keep_file_at_end = false;
  bool kept = false;  // the pass ended at the end of the file, which stays open
};

namespace {

std::optional<FileIdentity> identity_of(const std::filesystem::path& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  return FileIdentity{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

}  // namespace

OpenEventFile OrvexEventIterator::open_identified(const std::filesystem::path& path) {
  for (int attempt = 1;; ++attempt) {
    std::optional<FileIdentity> before = identity_of(path);
    EventFile file(path, EventFile::Mode::text);
    std::optional<FileIdentity> after = identity_of(path);
    // A name that keeps changing under the open is rotated too fast to tell: the last look wins.
    if ((before && before == after) || attempt == 3) {
      return {std::move(file), after.value_or(FileIdentity{})};
    }
  }
}

OrvexEventIterator::OrvexEventIterator(const std::filesystem::path& event_file_path)
    : OrvexEventIterator(open_identified(event_file_path)) {}

OrvexEventIterator::OrvexEventIterator(OpenEventFile open_file)
    : file_path_(open_file.file.path()),
      file_(std::move(open_file.file)),
      file_identity_(open_file.identity),
      state_(std::make_unique<State>()) {
  file_.set_mode(EventFile::Mode::text);
}

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
  return &event_dict == state_->tested ||
         state_->filters.accepts_source(first_msg_key_of(event_dict));
}

bool OrvexEventIterator::filter_event(const OrvexEvent& event_dict) {
  return filter_priority(event_dict) && filter_source(event_dict);
}

void OrvexEventIterator::set_damage_reporter(DamageReporter* reporter) {
  state_->reporter = reporter;
  file_.keep_invalid_lines(reporter != nullptr);
}

bool OrvexEventIterator::has_damage_reporter() const noexcept {
  return state_->reporter != nullptr;
}

EventFile::Line OrvexEventIterator::checked_line(const EventFile::Line& line, bool trim) const {
  EventFile::Line result = line;
  result.invalid_at.reset();
  if (trim) result.text = base::trim_space(line.text);
  if (auto bad = base::find_invalid_utf8(result.text)) {
    const std::size_t at = static_cast<std::size_t>(result.text.data() - line.text.data()) + *bad;
    if (!has_damage_reporter()) throw UnicodeDecodeError(file_path_, line.offset + at);
    result.text = line.text;
    result.invalid_at = at;
  }
  return result;
}

void OrvexEventIterator::set_keep_file_at_end(bool keep) noexcept {
  state_->keep_file_at_end = keep;
}

bool OrvexEventIterator::keeps_file_at_end() const noexcept { return state_->keep_file_at_end; }

bool OrvexEventIterator::pass_over() const noexcept { return !file_.is_open() || state_->kept; }

void OrvexEventIterator::end_pass(bool at_end_of_file) {
  if (at_end_of_file && state_->keep_file_at_end) {
    state_->kept = true;
  } else {
    file_.close();
  }
}

std::optional<OpenEventFile> OrvexEventIterator::take_file() {
  if (!state_->kept || !file_.is_open()) return std::nullopt;
  state_->kept = false;
  OpenEventFile taken{std::move(file_), file_identity_};
  taken.file.set_mode(EventFile::Mode::text);
  return taken;
}

bool OrvexEventIterator::report_damage(const EventFile::Line& line, Damage::Kind kind,
                                       std::string detail) {
  if (state_->reporter == nullptr) return false;
  state_->reporter->report(Damage{file_path_, {line.number, line.offset}, kind, std::move(detail)});
  return true;
}

namespace {

// What one line holds, as every decoding of lines decides it: an event passing the filters, a
// kind of damage, or nothing (blank or rejected).
struct Judged {
  std::optional<OrvexEvent> event;
  std::optional<Damage::Kind> damage;
  std::string detail;
};

Judged judge(const EventFile::Line& line, LineDecoder& decoder, const Filters& filters,
             bool build) {
  using Verdict = LineDecoder::Verdict;
  if (line.too_long) return {std::nullopt, Damage::Kind::too_long, {}};
  if (line.invalid_at) {
    return {std::nullopt, Damage::Kind::not_utf8, std::to_string(*line.invalid_at + 1)};
  }
  LineDecoder::Decoded decoded = decoder.decode(line.text, filters, build);
  // A line the fast parser took is UTF-8; any other line read unchecked is checked here, and
  // a line that is not UTF-8 is that damage whatever else it is, as when it is checked first.
  if (line.unchecked && !decoded.parsed) {
    if (std::optional<std::size_t> bad = base::find_invalid_utf8(line.text)) {
      return {std::nullopt, Damage::Kind::not_utf8, std::to_string(*bad + 1)};
    }
  }
  switch (decoded.verdict) {
    case Verdict::event:
      return {std::move(decoded.event), std::nullopt, {}};
    case Verdict::rejected:
    case Verdict::blank:
      break;
    case Verdict::not_json:
      return {std::nullopt, Damage::Kind::not_json, {}};
    case Verdict::not_object:
      return {std::nullopt, Damage::Kind::not_object, {}};
    case Verdict::too_large:
      return {std::nullopt, Damage::Kind::too_many_values, {}};
  }
  return {};
}

}  // namespace

std::optional<OrvexEvent> OrvexEventIterator::decode_and_filter(const EventFile::Line& line) {
  Judged judged = judge(line, state_->decoder, state_->filters, build_events_);
  if (judged.damage) {
    if (!report_damage(line, *judged.damage, judged.detail) &&
        *judged.damage == Damage::Kind::not_utf8) {
      // Only a line read with its check (no reporter) gets here.
      throw UnicodeDecodeError(file_path_, line.offset + line.invalid_at.value_or(0));
    }
    return std::nullopt;
  }
  if (!judged.event) return std::nullopt;
  std::optional<OrvexEvent>& event = judged.event;
  // A line wanted without its event was decided on the parser's document alone.
  if (build_events_) {
    struct Tested {
      State& state;
      ~Tested() { state.tested = nullptr; }
    } tested{*state_};
    state_->tested = &*event;
    if (!filter_event(*event)) return std::nullopt;
  }
  position_ = {line.number, line.offset};
  line_ = line.text;
  return std::move(event);
}

void OrvexEventIterator::set_outline_field(std::optional<std::string> type_field) {
  state_->decoder.set_outline_field(std::move(type_field));
}

const EventOutline& OrvexEventIterator::outline() const noexcept {
  return state_->decoder.outline();
}

struct EventLineDecoder::State {
  std::filesystem::path file;
  Filters filters;
  bool build = true;
  LineDecoder decoder;
};

EventLineDecoder::EventLineDecoder(std::unique_ptr<State> state) : state_(std::move(state)) {}
EventLineDecoder::~EventLineDecoder() = default;

EventLineDecoder::Result EventLineDecoder::decode(const EventFile::Line& line) {
  Judged judged = judge(line, state_->decoder, state_->filters, state_->build);
  if (judged.damage) {
    return {
        std::nullopt,
        Damage{state_->file, {line.number, line.offset}, *judged.damage, std::move(judged.detail)},
        {}};
  }
  Result result{std::move(judged.event), std::nullopt, {}};
  if (result.event && !state_->build && state_->decoder.outline_field()) {
    result.outline = state_->decoder.outline();
  }
  return result;
}

void EventLineDecoder::keep_only(std::vector<std::string> fields) {
  state_->decoder.keep_only(std::move(fields));
}

std::unique_ptr<EventLineDecoder> OrvexEventIterator::make_line_decoder() const {
  auto state = std::make_unique<EventLineDecoder::State>();
  state->file = file_path_;
  state->filters = state_->filters;
  state->build = build_events_;
  state->decoder.set_outline_field(state_->decoder.outline_field());
  return std::unique_ptr<EventLineDecoder>(new EventLineDecoder(std::move(state)));
}

}  // namespace orvex
