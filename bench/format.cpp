// Iterates every event of a log, formats it and writes it with a line end to /dev/null
// through one buffered stream: the formatter's share of a run, iteration included.
//   bench_format summary|detailed FILE [--no-color]
#include <cstdio>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>

#include <orvex/all_events_iterator.hpp>
#include <orvex/errors.hpp>
#include <orvex/event_formatter.hpp>

int main(int argc, char** argv) {
  std::string_view mode = argc >= 3 ? argv[1] : "";
  if ((mode != "summary" && mode != "detailed") || argc > 4 ||
      (argc == 4 && std::string_view(argv[3]) != "--no-color")) {
    std::cerr << "usage: bench_format summary|detailed FILE [--no-color]\n";
    return 2;
  }
  bool no_color = argc == 4;
  std::FILE* out = std::fopen("/dev/null", "w");
  if (out == nullptr) {
    std::perror("bench_format: /dev/null");
    return 1;
  }
  static char buffer[1 << 16];
  std::setvbuf(out, buffer, _IOFBF, sizeof buffer);
  try {
    orvex::OrvexEventFormatter formatter(std::nullopt, mode == "detailed", false, no_color);
    orvex::OrvexAllEventsIterator it(argv[2]);
    std::size_t events = 0, bytes = 0;
    for (orvex::OrvexEvent& event : it) {
      std::string text = formatter.format_event(event);
      text += '\n';
      std::fwrite(text.data(), 1, text.size(), out);
      ++events;
      bytes += text.size();
    }
    std::cerr << events << " events, " << bytes << " bytes formatted\n";
  } catch (const orvex::Error& error) {
    std::cerr << "bench_format: " << error.what() << "\n";
    return 1;
  }
  return std::fclose(out) == 0 ? 0 : 1;
}
