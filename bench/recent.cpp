// Times the recent-events iterator: construction (the backward scan) and iteration of the
// last COUNT lines, repeated REPS times; prints the median as seconds=X.
//   bench_recent FILE COUNT [REPS]
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <vector>

#include <orvex/errors.hpp>
#include <orvex/recent_event_iterator.hpp>

int main(int argc, char** argv) {
  if (argc < 3) {
    std::cerr << "usage: bench_recent FILE COUNT [REPS]\n";
    return 2;
  }
  const long long count = std::atoll(argv[2]);
  const int reps = argc > 3 ? std::max(1, std::atoi(argv[3])) : 200;
  static char buffer[1 << 16];
  std::ofstream out;
  out.rdbuf()->pubsetbuf(buffer, sizeof buffer);
  out.open("/dev/null");
  try {
    std::vector<double> times;
    std::size_t events = 0;
    for (int rep = 0; rep < reps; ++rep) {
      auto start = std::chrono::steady_clock::now();
      orvex::OrvexRecentEventIterator it(argv[1], count);
      events = 0;
      for (orvex::OrvexEvent& event : it) {
        out << event.size() << '\n';  // the iterator is measured, not the formatting
        ++events;
      }
      times.push_back(
          std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    std::nth_element(times.begin(), times.begin() + reps / 2, times.end());
    std::cout << std::fixed << std::setprecision(9) << "seconds=" << times[reps / 2] << "\n";
    std::cerr << events << " events\n";
  } catch (const orvex::Error& error) {
    std::cerr << "bench_recent: " << error.what() << "\n";
    return 1;
  }
  return 0;
}
