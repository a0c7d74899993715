#pragma once

// A whole listing of one input on several cores. The calling thread reads the lines, in
// batches of about kBatchBytes, and writes what the workers made of them, in file order; each
// worker decodes, filters and formats whole batches with its own decoder, pattern and
// formatter. Batches alternate between the workers rather than splitting the work into a
// decoding and a formatting stage: decoding costs about twice formatting, so two stages would
// leave one core half idle.
//
// Everything that reaches the output or the notices goes through the caller's sink in the
// calling thread, in the order a single-threaded listing produces it: the text of each event,
// the damage of each skipped line, and an error at the event where it arose. The workers never
// write, never see a signal (termination signals are blocked in them, so an interrupt always
// cuts short a blocking call of the calling thread) and are stopped and joined before run()
// returns or throws.

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include <orvex/all_events_iterator.hpp>
#include <orvex/event_iterator.hpp>
#include <orvex/event_viewer.hpp>

#include "overview.hpp"

namespace orvex {

// What each worker makes of an event: the same text as the single-threaded listing, each
// worker making it with a renderer of its own built from these options; or, for an overview,
// what the event counts for.
struct ListingLayout {
  const OrvexViewerOptions& args;
  std::string_view label;      // the input's label, for %INPUT
  std::filesystem::path file;  // named by the damage of an event the layout cannot show
  // Outlines instead of text: the iterator gives outlines and builds no events
  // (OrvexEventIterator::set_outline_field), and nothing is searched.
  bool outlines = false;
};

// Receives the results in file order, in the calling thread.
class ListingSink {
 public:
  virtual ~ListingSink() = default;
  // One shown event: its text with its line feed.
  virtual void show(std::string_view text) = 0;
  // The events of a listing of outlines, a run of them at a time, in order.
  virtual void count(const Overview::Part& events) = 0;
  // A line skipped as damaged, or an event the layout cannot show.
  virtual void damage(const Damage& damage) = 0;
};

// Lists every line of `iterator` (its filters, its choice of building events, and the
// hand-over of its file to a follower are used as they are) on `workers` threads, giving the
// results to `sink`. Throws what reading, the sink, or a worker at an event throws, after the
// results before that point were given; an interrupt (KeyboardInterrupt) leaves at once.
// A listing of outlines (an overview, which no follower goes on from) of a regular file that no
// pass has begun is read by the workers themselves, each a range of the file at a time, so that
// no line is copied from one core to another: the lines that start before the file's end at
// the start of the run, the iterator's own position left where it was.
// `range_bytes` is the size of those ranges.
void run_listing_pipeline(OrvexAllEventsIterator& iterator, const ListingLayout& layout,
                          unsigned workers, ListingSink& sink, std::size_t range_bytes = 1 << 20);

// The input bytes a batch collects before it goes to a worker.
constexpr std::size_t kBatchBytes = 256 << 10;

}  // namespace orvex
