#include <orvex/event_iterator.hpp>

#include "line_decoder.hpp"

namespace orvex {

OrvexEventIterator::OrvexEventIterator(const std::filesystem::path& event_file_path)
    : file_path_(event_file_path),
      file_(event_file_path, EventFile::Mode::text),
      decoder_(std::make_unique<LineDecoder>()) {}

OrvexEventIterator::~OrvexEventIterator() = default;

OrvexEventIterator& OrvexEventIterator::iter() { return *this; }

void OrvexEventIterator::set_priority_filter(const std::vector<std::string>& priority_filter) {
  priority_filter_ = TextSet(priority_filter.begin(), priority_filter.end());
}

void OrvexEventIterator::set_source_filter(const std::vector<std::string>& source_filter) {
  source_filter_ = TextSet(source_filter.begin(), source_filter.end());
}

bool OrvexEventIterator::base_rules_accept_priority(std::string_view priority) const {
  return priority_filter_.find(priority) != priority_filter_.end();
}

bool OrvexEventIterator::base_rules_accept_source(std::string_view first_key) const {
  for (const std::string& fragment : source_filter_) {
    if (first_key.find(fragment) != std::string_view::npos) return true;
  }
  return false;
}

bool OrvexEventIterator::filter_priority(const OrvexEvent& event_dict) {
  if (priority_filter_.empty()) return true;
  if (!event_dict.is_object()) return false;
  auto priority = event_dict.find("PRIORITY");
  return priority != event_dict.end() && priority->is_string() &&
         base_rules_accept_priority(priority->get_ref<const std::string&>());
}

bool OrvexEventIterator::filter_source(const OrvexEvent& event_dict) {
  if (source_filter_.empty()) return true;
  if (!event_dict.is_object()) return false;
  auto msg = event_dict.find("MSG");
  if (msg == event_dict.end() || !msg->is_object() || msg->empty()) return false;
  return base_rules_accept_source(msg->items().begin().key());
}

bool OrvexEventIterator::filter_event(const OrvexEvent& event_dict) {
  return filter_priority(event_dict) && filter_source(event_dict);
}

std::optional<OrvexEvent> OrvexEventIterator::decode_and_filter(std::string_view line) {
  return decoder_->decode_and_filter(*this, line);
}

}  // namespace orvex
