// The cost of terminal-safe output: reads every event of LOG and runs the escaping over the
// texts a summary shows (date, priority, type, name), as format_event does, timing only the
// escaping. Prints "seconds=<time>"; bench/run sets it beside the whole --all listing.
//   bench_escape LOG
#include <chrono>
#include <cstdio>
#include <string>

#include <base/terminal_safe.hpp>
#include <orvex/all_events_iterator.hpp>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: bench_escape LOG\n");
    return 2;
  }
  orvex::OrvexAllEventsIterator events(argv[1]);
  std::chrono::steady_clock::duration spent{};
  std::string out;
  std::size_t bytes = 0;
  for (orvex::OrvexEvent& event : events) {
    const orvex::OrvexEvent* texts[4] = {};
    texts[0] = event.contains("ISODATE") ? &event["ISODATE"] : nullptr;
    texts[1] = event.contains("PRIORITY") ? &event["PRIORITY"] : nullptr;
    const orvex::OrvexEvent* msg = event.contains("MSG") ? &event["MSG"] : nullptr;
    if (msg && msg->is_object() && !msg->empty()) {
      const orvex::OrvexEvent& fields = msg->begin().value();
      if (fields.is_object()) {
        texts[2] = fields.contains("type_en") ? &fields["type_en"] : nullptr;
        texts[3] = fields.contains("name_en") ? &fields["name_en"] : nullptr;
      }
    }
    auto start = std::chrono::steady_clock::now();
    for (const orvex::OrvexEvent* text : texts) {
      if (text == nullptr || !text->is_string()) continue;
      out.clear();
      orvex::base::append_terminal_safe(out, text->get_ref<const std::string&>());
      bytes += out.size();
    }
    spent += std::chrono::steady_clock::now() - start;
  }
  std::printf("seconds=%.6f\nbytes=%zu\n", std::chrono::duration<double>(spent).count(), bytes);
  return 0;
}
