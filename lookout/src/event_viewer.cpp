#include <orvex/event_viewer.hpp>

#include <time.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <exception>

#include <orvex/all_events_iterator.hpp>
#include <orvex/errors.hpp>
#include <orvex/new_event_iterator.hpp>
#include <orvex/recent_event_iterator.hpp>
#include <orvex/time_range_event_iterator.hpp>

#include "archive.hpp"

namespace orvex {

namespace {

bool holds(const std::optional<std::string>& text) { return text && !text->empty(); }

// The local calendar date `days_back` days before today, as YYYY-MM-DD.
std::string local_date_text(std::int64_t days_back) {
  using namespace std::chrono;
  time_t now = time(nullptr);
  struct tm local {};
  localtime_r(&now, &local);
  sys_days today = year{local.tm_year + 1900} / month{unsigned(local.tm_mon + 1)} /
                   day{unsigned(local.tm_mday)};
  // Beyond these the date has no four-digit year; refuse rather than wrap around.
  constexpr std::int64_t kMaxDays = 3660000;
  if (days_back > kMaxDays || days_back < -kMaxDays) {
    throw ValueError("days back out of range: " + std::to_string(days_back));
  }
  year_month_day date{today - days{days_back}};
  int y = int(date.year());
  if (y < 1 || y > 9999) throw ValueError("days back out of range: " + std::to_string(days_back));
  char text[16];
  std::snprintf(text, sizeof text, "%04d-%02u-%02u", y, unsigned(date.month()),
                unsigned(date.day()));
  return text;
}

}  // namespace

OrvexEventViewer::OrvexEventViewer(const OrvexViewerOptions& args, std::ostream& out)
    : file_path_(args.watch_file),
      priority_filter_(args.priority),
      source_filter_(args.source),
      out_(out) {
  try {
    if (is_path_archive()) {
      temp_dir_ = make_temp_dir_path();
      extract_events_from_archive();
    }
    follow_ = args.follow;
    if (holds(args.since) || holds(args.until)) {
      iterator_ = std::make_unique<OrvexTimeRangeEventIterator>(file_path_, args.since, args.until);
    } else if (args.days_back != 0) {
      iterator_ = std::make_unique<OrvexTimeRangeEventIterator>(file_path_,
                                                                local_date_text(args.days_back));
    } else if (args.today) {
      iterator_ = std::make_unique<OrvexTimeRangeEventIterator>(file_path_, local_date_text(0));
    } else if (args.all) {
      iterator_ = std::make_unique<OrvexAllEventsIterator>(file_path_);
    } else if (args.count != 0) {
      iterator_ = std::make_unique<OrvexRecentEventIterator>(file_path_, args.count);
    } else {
      iterator_ = std::make_unique<OrvexTimeRangeEventIterator>(file_path_, local_date_text(0));
    }
    setup_filters();
    formatter_.emplace(args.format, args.more_info, args.raw, args.nocolor, args.iso_date);
  } catch (...) {
    // No empty folder or partial copy of a security log is left behind in /tmp.
    if (temp_dir_made_) {
      try {
        clean_temp_files();
      } catch (const Error&) {
      }
    }
    throw;
  }
}

OrvexEventViewer::~OrvexEventViewer() = default;

bool OrvexEventViewer::is_path_archive() const { return is_archive_path(file_path_); }

// Extract events from a SOSREPORT archive file to a temporary directory. It updates
// the file path to point to the extracted events file.
// Warning: works only with an untouched SOSREPORT archive.
void OrvexEventViewer::extract_events_from_archive() {
  create_temp_dir(*temp_dir_);
  temp_dir_made_ = true;
  file_path_ = extract_events_into(file_path_, *temp_dir_);
}

// Remove the temporary directory and its contents created during event extraction.
// Requires sudo privileges due to permissions on extracted files from sosreport.
void OrvexEventViewer::clean_temp_files() {
  if (temp_dir_) remove_temp_dir(*temp_dir_);
}

void OrvexEventViewer::setup_filters() {
  if (!priority_filter_.empty()) iterator_->set_priority_filter(priority_filter_);
  if (!source_filter_.empty()) iterator_->set_source_filter(source_filter_);
}

void OrvexEventViewer::check_output() {
  if (out_) return;
  int err = errno != 0 ? errno : EIO;
  out_.clear();
  raise_os_error(err, "standard output", "cannot write to");
}

void OrvexEventViewer::print(OrvexEvent& event) {
  out_ << formatter_->format_event(event) << '\n';
  check_output();
}

void OrvexEventViewer::show_events() {
  std::optional<int> exit_status;
  std::exception_ptr in_flight;
  try {
    try {
      for (OrvexEvent& event : *iterator_) print(event);
      if (follow_) follow_events();
      out_.flush();
      check_output();
    } catch (const Error& error) {
      std::optional<std::string> message = error_message(error, ErrorStage::showing);
      if (!message) throw;
      out_ << *message << '\n';
      exit_status = 1;
    } catch (const ExitRequest& request) {
      exit_status = request.status;
    }
  } catch (...) {
    in_flight = std::current_exception();
  }

  try {
    clean_temp_files();
  } catch (const PermissionError&) {
    out_ << "Error: The temp folder '" << temp_dir_->string()
         << "' was not removed. Permission denied." << '\n';
    exit_status = 1;
    in_flight = nullptr;
  }
  out_.flush();
  if (exit_status) throw ExitRequest(*exit_status);
  if (in_flight) std::rethrow_exception(in_flight);
}

void OrvexEventViewer::follow_events() {
  auto follower = std::make_unique<OrvexNewEventIterator>(file_path_);
  // A pipe reader sees each event within a poll interval of its arrival.
  follower->set_before_wait([this] {
    out_.flush();
    check_output();
  });
  iterator_ = std::move(follower);
  setup_filters();
  try {
    while (follow_) {
      for (OrvexEvent& event : *iterator_) print(event);
    }
  } catch (const KeyboardInterrupt&) {
    throw ExitRequest(0);
  }
}

}  // namespace orvex
