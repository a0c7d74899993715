#pragma once

// Several inputs read as one log: each input (an event log or a report archive) gets its own
// iterator with the same selection and filters, and their events are merged by date.
//
// The place of an event in time is its date as the time range reads it (the line's first
// "ISODATE" or "DATE" field); an event without a readable date takes the place of the event
// before it from the same input, so it stays right after that one. Events at the same place
// come in argument order, and those of one input in the order its iterator gives them. With
// --reverse everything runs newest first: the latest place first, and at the same place the
// last input first, so that the listing is the forward one turned upside down.
//
// Memory stays flat: one pending event per input, and with worker threads a few small batches
// per input. The workers decode, filter and lay out the events of different inputs at the same
// time; the viewer's thread merges their batches and writes, and it replays each input's damage
// notices and errors at the point where reading that input on one thread would meet them, so
// the output is the same byte for byte whatever the number of workers.

#include <cstddef>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <orvex/event_iterator.hpp>
#include <orvex/event_viewer.hpp>

namespace orvex {

// One input of a merge.
struct MergeInput {
  std::filesystem::path argument;  // as given on the command line
  std::filesystem::path file;      // the log read: the unpacked copy for an archive
  bool archive = false;
  std::string label;   // the report's host name for an archive, the file name otherwise
  std::string prefix;  // what goes before each of its events (EventRenderer::prefix)
  DamageReporter* notices = nullptr;
  // Null when the selection takes nothing of this input (the last lines of the merge are all
  // of other inputs).
  std::unique_ptr<OrvexEventIterator> iterator;
};

struct OrvexEventViewer::Inputs {
  std::vector<MergeInput> inputs;
  OrvexViewerOptions args;  // for the workers' own renderers
  bool reverse = false;
  unsigned jobs = 1;
};

}  // namespace orvex
