// Iterates every event of a log, optionally under a priority filter, and counts them.
//   bench_iterate FILE [PRIORITY...]
#include <iostream>
#include <string>
#include <vector>

#include <orvex/all_events_iterator.hpp>
#include <orvex/errors.hpp>

int main(int argc, char** argv) {
  if (argc < 2) {
    std::cerr << "usage: bench_iterate FILE [PRIORITY...]\n";
    return 2;
  }
  try {
    orvex::OrvexAllEventsIterator it(argv[1]);
    std::vector<std::string> priorities(argv + 2, argv + argc);
    if (!priorities.empty()) it.set_priority_filter(priorities);
    std::size_t events = 0;
    for (orvex::OrvexEvent& event : it) events += event.size() > 0;
    std::cerr << events << " events\n";
  } catch (const orvex::Error& error) {
    std::cerr << "bench_iterate: " << error.what() << "\n";
    return 1;
  }
  return 0;
}
