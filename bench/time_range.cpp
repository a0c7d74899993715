// Times a time-range selection from the middle of a chronological log: the bounds are the
// dates of the first lines at the fractions FROM and TO of the file size (default 0.475 and
// 0.525, about 5 % of the events). Prints the time of construction and iteration as
// seconds=X.
//   bench_time_range FILE [FROM TO]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <string>

#include <orvex/errors.hpp>
#include <orvex/event.hpp>
#include <orvex/event_file.hpp>
#include <orvex/time_range_event_iterator.hpp>

namespace {

// The ISODATE of the first complete event line at or after `fraction` of the file.
std::string date_at(const char* path, double fraction) {
  orvex::EventFile file(path, orvex::EventFile::Mode::text);
  file.seek(static_cast<std::int64_t>(static_cast<double>(file.size()) * fraction), SEEK_SET);
  file.read_line();  // the rest of the line the offset falls into
  while (auto line = file.read_line()) {
    try {
      orvex::OrvexEvent event = orvex::decode_event(line->text);
      if (event.contains("ISODATE")) return event["ISODATE"].get<std::string>();
    } catch (const orvex::JSONDecodeError&) {
    }
  }
  throw orvex::ValueError("no dated line after " + std::to_string(fraction));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 && argc != 4) {
    std::cerr << "usage: bench_time_range FILE [FROM TO]\n";
    return 2;
  }
  const double from = argc == 4 ? std::atof(argv[2]) : 0.475;
  const double to = argc == 4 ? std::atof(argv[3]) : 0.525;
  static char buffer[1 << 16];
  std::ofstream out;
  out.rdbuf()->pubsetbuf(buffer, sizeof buffer);
  out.open("/dev/null");
  try {
    const std::string since = date_at(argv[1], from), until = date_at(argv[1], to);
    auto start = std::chrono::steady_clock::now();
    orvex::OrvexTimeRangeEventIterator it(argv[1], since, until);
    std::size_t events = 0;
    for (orvex::OrvexEvent& event : it) {
      out << event.size() << '\n';  // the iterator is measured, not the formatting
      ++events;
    }
    out.flush();
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::cout << std::fixed << std::setprecision(9) << "seconds=" << seconds << "\n";
    std::cerr << events << " events from " << since << " to " << until << "\n";
  } catch (const orvex::Error& error) {
    std::cerr << "bench_time_range: " << error.what() << "\n";
    return 1;
  }
  return 0;
}
