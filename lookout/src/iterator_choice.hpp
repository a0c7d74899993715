#pragma once

// Which iterator reads one input for the options' selection: the one place that decides it, for
// the single input and for each input of a merge alike.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include <orvex/event_iterator.hpp>
#include <orvex/event_viewer.hpp>
#include <orvex/reverse_event_iterator.hpp>

namespace orvex {

// The local calendar date `days_back` days before today, as YYYY-MM-DD. Throws ValueError when
// that date has no four-digit year.
std::string local_date_text(std::int64_t days_back);

// True when `args` selects the last lines (count), no earlier rule holding.
bool selects_last_lines(const OrvexViewerOptions& args);

// The selection of `args` for reading newest first: the same choice as the forward iterators,
// the first rule that holds winning.
ReverseSelection reverse_selection(const OrvexViewerOptions& args);

// A new iterator on `file` for the selection of `args`, the first rule that holds winning:
// since or until (a time range); days_back (from the local date that many days ago); today;
// all; count (the last lines); otherwise today's events. With `reverse` the same selection
// newest first. No filter is set. Throws what the iterator's constructor throws, and
// ValueError for a days_back out of range.
std::unique_ptr<OrvexEventIterator> choose_iterator(const OrvexViewerOptions& args,
                                                    const std::filesystem::path& file);

}  // namespace orvex
