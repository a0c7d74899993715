// Reads a log with an installed copy of the libraries and prints one summary per event.
#include <iostream>

#include <orvex/all_events_iterator.hpp>
#include <orvex/event_formatter.hpp>
#include <orvex/event_viewer.hpp>
#include <orvex/message_types.hpp>

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  orvex::OrvexAllEventsIterator events(argv[1]);
  orvex::OrvexEventFormatter formatter({}, false, false, true);
  for (orvex::OrvexEvent& event : events) std::cout << formatter.format_event(event) << '\n';
  return orvex::find_unique_message_types("/nonexistent").empty() ? 0 : 1;
}
