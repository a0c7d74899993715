// Times the reverse iterator and prints seconds=X.
//   bench_reverse FILE head [REPS]  the newest 3 events passing the priority filter "crit",
//                                   then stop, as "--all --reverse -p crit | head -n 3" would;
//                                   construction included, the median of REPS runs (200)
//   bench_reverse FILE all          every event of the file, newest first, built, once
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <iomanip>
#include <iostream>
#include <limits>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <orvex/errors.hpp>
#include <orvex/reverse_event_iterator.hpp>

namespace {

// The events read before stopping, and the time it took.
std::pair<std::size_t, double> timed(const char* path, std::size_t most, bool crit_only) {
  const auto start = std::chrono::steady_clock::now();
  orvex::OrvexReverseEventIterator it(path);
  if (crit_only) it.set_priority_filter({"crit"});
  std::size_t events = 0;
  for (orvex::OrvexEvent& event : it) {
    events += event.size() > 0;
    if (events == most) break;
  }
  return {events, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count()};
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 2 ? argv[2] : "";
  if (argc < 3 || (mode != "head" && mode != "all")) {
    std::cerr << "usage: bench_reverse FILE head [REPS] | bench_reverse FILE all\n";
    return 2;
  }
  try {
    std::size_t events = 0;
    double seconds = 0;
    if (mode == "head") {
      const int reps = argc > 3 ? std::max(1, std::atoi(argv[3])) : 200;
      std::vector<double> times;
      for (int rep = 0; rep < reps; ++rep) {
        auto [count, time] = timed(argv[1], 3, true);
        events = count;
        times.push_back(time);
      }
      std::nth_element(times.begin(), times.begin() + reps / 2, times.end());
      seconds = times[reps / 2];
    } else {
      std::tie(events, seconds) = timed(argv[1], std::numeric_limits<std::size_t>::max(), false);
    }
    std::cout << std::fixed << std::setprecision(9) << "seconds=" << seconds << "\n";
    std::cerr << events << " events\n";
  } catch (const orvex::Error& error) {
    std::cerr << "bench_reverse: " << error.what() << "\n";
    return 1;
  }
  return 0;
}
