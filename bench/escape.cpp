// The cost of terminal-safe output: collects the texts a summary shows (date, priority, type,
// name) of the first 100,000 events of LOG, then appends all of them ten times over, escaped
// and as they are, and prints "seconds=<the difference>" scaled to the whole file. bench/run sets
// it beside the whole
// --all listing: the share of the escaping in a listing.
//   bench_escape LOG
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include <base/terminal_safe.hpp>
#include <orvex/all_events_iterator.hpp>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: bench_escape LOG\n");
    return 2;
  }
  constexpr std::size_t kSample = 100000;
  constexpr int kRounds = 10;
  std::vector<std::string> texts;
  std::size_t events = 0, all_events = 0;
  orvex::OrvexAllEventsIterator iterator(argv[1]);
  for (orvex::OrvexEvent& event : iterator) {
    ++all_events;
    if (events == kSample) continue;
    ++events;
    auto take = [&](const orvex::OrvexEvent& holder, const char* key) {
      auto it = holder.find(key);
      if (it != holder.end() && it->is_string()) texts.push_back(it->get<std::string>());
    };
    take(event, "ISODATE");
    take(event, "PRIORITY");
    auto msg = event.find("MSG");
    if (msg != event.end() && msg->is_object() && !msg->empty() && msg->begin()->is_object()) {
      take(*msg->begin(), "type_en");
      take(*msg->begin(), "name_en");
    }
  }
  std::string out;
  std::size_t bytes = 0;
  // What the layouts did before the escaping, appending each text as it is, is timed too: the
  // escaping costs the difference.
  auto time = [&](bool escape) {
    auto start = std::chrono::steady_clock::now();
    for (int round = 0; round < kRounds; ++round) {
      for (const std::string& text : texts) {
        out.clear();
        if (escape) {
          orvex::base::append_terminal_safe(out, text);
        } else {
          out.append(text);
        }
        bytes += out.size();
      }
    }
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  };
  double plain = time(false);
  double escaped = time(true);
  double seconds = escaped > plain ? escaped - plain : 0.0;
  // Scaled to every event of the file, as a listing escapes them.
  double scaled = seconds / kRounds * (events ? double(all_events) / double(events) : 0.0);
  std::printf("seconds=%.6f\nbytes=%zu\n", scaled, bytes);
  return 0;
}
