#pragma once

#include <optional>
#include <string_view>

#include <orvex/event.hpp>

namespace orvex {

class OrvexEventIterator;

// The fast decoding path of OrvexEventIterator: one reused parser per iterator.
class LineDecoder {
 public:
  LineDecoder();
  ~LineDecoder();
  LineDecoder(const LineDecoder&) = delete;
  LineDecoder& operator=(const LineDecoder&) = delete;

  // See OrvexEventIterator::decode_and_filter.
  std::optional<OrvexEvent> decode_and_filter(OrvexEventIterator& owner, std::string_view line);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace orvex
