#include <orvex/event_viewer.hpp>

#include <signal.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <exception>
#include <thread>

#include <orvex/errors.hpp>
#include <orvex/interrupt.hpp>
#include <orvex/new_event_iterator.hpp>

#include <base/dismantle.hpp>
#include <base/terminal_safe.hpp>

#include "archive.hpp"
#include "event_renderer.hpp"
#include "iterator_choice.hpp"
#include "listing_pipeline.hpp"
#include "log_set.hpp"
#include "merged_inputs.hpp"
#include "overview.hpp"

namespace orvex {

namespace {

// Where a damaged line is, for a notice: "line 17", or "byte 1234" when the reader does not
// know line numbers (it started from the end of the file).
std::string where(const LinePosition& position) {
  if (position.number) {
    return fill_message(translate("line %s"), {std::to_string(*position.number)});
  }
  return fill_message(translate("byte %s"), {std::to_string(position.offset)});
}

std::string reason(const Damage& damage) {
  switch (damage.kind) {
    case Damage::Kind::not_json:
      return translate("not JSON");
    case Damage::Kind::not_object:
      return translate("not a JSON object");
    case Damage::Kind::not_utf8:
      return fill_message(translate("not valid UTF-8 (byte %s of the line)"), {damage.detail});
    case Damage::Kind::too_long:
      return fill_message(translate("longer than %s MiB"),
                          {std::to_string(EventFile::kMaxLineBytes >> 20)});
    case Damage::Kind::too_many_values:
      return translate("too many values to decode");
    case Damage::Kind::unreadable_date:
      return fill_message(translate("unreadable date %s"), {damage.detail});
    case Damage::Kind::unfinished:
      return translate("unfinished when the file was replaced");
    case Damage::Kind::unreadable:
      return fill_message(translate("cannot be read: %s"), {damage.detail});
    case Damage::Kind::unusable:
      break;
  }
  return fill_message(translate("cannot be shown: %s"), {damage.detail});
}

}  // namespace

// The notices about damaged lines on standard error: one for each of the first few, then a
// count at the end of the run, so that a damaged log neither hides its damage nor floods the
// terminal.
class OrvexEventViewer::DamageNotices : public DamageReporter {
 public:
  // `named_summary`: the count names the file too (one of several inputs).
  DamageNotices(std::ostream& out, std::filesystem::path shown_name, bool named_summary = false)
      : out_(out), shown_name_(std::move(shown_name)), named_summary_(named_summary) {}

  // Several files are read as one log: each notice names the file of the damage, but the
  // follower's, which reads `current` (an archive's private copy), still by the input's name.
  void name_each_file(std::filesystem::path current) {
    name_each_file_ = true;
    current_ = std::move(current);
  }

  void report(const Damage& damage) override {
    if (count_++ == 0) {
      first_ = damage.where;
      first_file_ = damage.file;
    }
    if (count_ == kListed + 1) {
      out_ << "orvex-lookout: " << translate("further damaged lines are counted, not listed")
           << '\n';
    }
    if (count_ > kListed) return;
    // A file that cannot be read is skipped from where the reading failed to its end.
    out_ << "orvex-lookout: "
         << fill_message(damage.kind == Damage::Kind::unreadable
                             ? translate("%s, from %s on: %s; skipped")
                             : translate("%s, %s: %s; skipped"),
                         {base::quoted(shown(damage.file).string(), 4096), where(damage.where),
                          reason(damage)})
         << '\n';
    out_.flush();
  }

  std::uint64_t count() const noexcept { return count_; }

  // The count, when there was damage.
  void summarize() {
    if (count_ == 0) return;
    std::string first = where(first_);
    if (name_each_file_) first = base::quoted(shown(first_file_).string(), 4096) + ", " + first;
    out_ << "orvex-lookout: ";
    if (named_summary_) out_ << base::quoted(shown_name_.string(), 4096) << ": ";
    out_ << fill_message(translate_plural("%s damaged line skipped (first at %s)",
                                          "%s damaged lines skipped (first at %s)", count_),
                         {std::to_string(count_), first})
         << '\n';
    out_.flush();
  }

 private:
  const std::filesystem::path& shown(const std::filesystem::path& file) const {
    return name_each_file_ && file != current_ ? file : shown_name_;
  }

  static constexpr std::uint64_t kListed = 5;
  std::ostream& out_;
  std::filesystem::path shown_name_;
  std::filesystem::path first_file_;
  bool name_each_file_ = false;
  std::filesystem::path current_;
  bool named_summary_ = false;
  std::uint64_t count_ = 0;
  LinePosition first_;
};

class OrvexEventViewer::Overview : public orvex::Overview {};

// A construction that fails after the folder was made removes it through this member's
// destructor: no empty folder or partial copy of a security log stays in /tmp.
class OrvexEventViewer::TempFolder : public orvex::TempFolder {
  using orvex::TempFolder::TempFolder;
};

OrvexEventViewer::OrvexEventViewer(const OrvexViewerOptions& args, std::ostream& out,
                                   std::ostream& notices)
    : file_path_(args.watch_file),
      priority_filter_(args.priority),
      source_filter_(args.source),
      damage_(std::make_unique<DamageNotices>(notices, args.watch_file)),
      out_(out),
      notices_(notices) {
  args_ = std::make_unique<OrvexViewerOptions>(args);
  rotated_ = args.rotated;
  jobs_ = args.jobs;
  if (args.stats) {
    overview_ = std::make_unique<Overview>();
    columns_ = args.columns;
    color_ = !args.nocolor;
  }
  if (!args.more_files.empty()) {
    // Several inputs: each is opened (an archive unpacked) by the merge.
    follow_ = args.follow || args.follow_name;
    follow_name_ = args.follow_name;
    poll_ms_ = args.poll_ms;
    renderer_ = std::make_unique<Renderer>(args);
    open_inputs(args);
    return;
  }
  label_ = file_path_.filename().string();
  if (is_path_archive()) extract_events_from_archive();
  // An overview is of what is there: it ends with the first pass.
  follow_ = (args.follow || args.follow_name) && !args.stats;
  // The copy unpacked from an archive is never replaced: its name gives nothing to follow.
  follow_name_ = args.follow_name && !temp_folder_;
  poll_ms_ = args.poll_ms;
  iterator_ = args.rotated
                  ? open_rotated_set(args, file_path_, args.watch_file,
                                     temp_folder_ ? temp_folder_->path() : std::filesystem::path(),
                                     *damage_)
                  : choose_iterator(args, file_path_);
  renderer_ = std::make_unique<Renderer>(args);
  setup_filters();
  // The follower goes on from the exact byte where the first pass stopped.
  iterator_->set_keep_file_at_end(follow_);
}

DamageReporter& OrvexEventViewer::add_input_notices(const std::filesystem::path& shown_name) {
  return *input_notices_.emplace_back(
      std::make_unique<DamageNotices>(notices_, shown_name, /*named_summary=*/true));
}

OrvexEventViewer::~OrvexEventViewer() = default;

std::optional<std::filesystem::path> OrvexEventViewer::temp_dir() const {
  if (!temp_folder_) return std::nullopt;
  return temp_folder_->path();
}

bool OrvexEventViewer::is_path_archive() const { return is_archive_path(file_path_); }

bool OrvexEventViewer::is_archive(const std::filesystem::path& path) {
  return is_archive_path(path);
}

// Unpacks the event log of a report archive into a new private temporary folder and points
// the file path at the copy. Only the layout the report tool writes is understood: the log
// below the archive's top directory (or at its top, for a report packed from inside it).
void OrvexEventViewer::extract_events_from_archive() {
  temp_folder_ = std::make_unique<TempFolder>(make_temp_dir_path());
  std::string top;
  file_path_ =
      extract_events_into(file_path_, temp_folder_->path(), &top, kKeepFreeMinimum, rotated_);
  if (!top.empty()) label_ = top;
}

const std::filesystem::path& OrvexEventViewer::temp_folder() {
  if (!temp_folder_) temp_folder_ = std::make_unique<TempFolder>(make_temp_dir_path());
  return temp_folder_->path();
}

// The log `file` and its rotated files as one log. Inside a report archive (unpacked below
// `folder`), a part is named by the archive `argument` and the member, never by the copy.
std::unique_ptr<OrvexEventIterator> OrvexEventViewer::open_rotated_set(
    const OrvexViewerOptions& args, const std::filesystem::path& file,
    const std::filesystem::path& argument, const std::filesystem::path& folder,
    DamageNotices& notices) {
  std::vector<LogPart> parts = find_rotated_set(file);
  if (!folder.empty()) {
    for (LogPart& part : parts) {
      part.name = argument.string() + ":" + part.path.lexically_relative(folder).string();
    }
  }
  notices.name_each_file(file);
  return open_log_set(std::move(parts), reverse_selection(args), args.reverse);
}

// Removes the temporary folder and everything in it; a folder that cannot be removed (entries
// another user owns) raises PermissionError, which show_events reports.
void OrvexEventViewer::clean_temp_files() {
  if (temp_folder_) temp_folder_->remove();
}

void OrvexEventViewer::setup_filters() {
  iterator_->set_damage_reporter(damage_.get());
  choose_decoding(*iterator_);
  if (!priority_filter_.empty()) iterator_->set_priority_filter(priority_filter_);
  if (!source_filter_.empty()) iterator_->set_source_filter(source_filter_);
}

// JSON lines are copies of the stored lines, and an overview counts outlines: no event needs
// building unless a search reads it.
void OrvexEventViewer::choose_decoding(OrvexEventIterator& iterator) const {
  if (!overview_) {
    iterator.set_build_events(renderer_->builds_events());
    return;
  }
  iterator.set_build_events(renderer_->searches());
  if (!renderer_->searches()) {
    iterator.set_outline_field(std::string(OrvexEventFormatter::type_field()));
  }
}

void OrvexEventViewer::check_output() {
  if (out_) return;
  int err = errno != 0 ? errno : EIO;
  out_.clear();
  raise_os_error(err, "standard output", "cannot write to");
}

void OrvexEventViewer::write_overview() {
  std::uint64_t damaged = damage_->count();
  for (const std::unique_ptr<DamageNotices>& notices : input_notices_) damaged += notices->count();
  overview_->set_damaged(damaged);
  out_ << (args_->json ? overview_->json() : overview_->text(columns_, color_));
  check_output();
}

void OrvexEventViewer::print(OrvexEvent& event) {
  struct Release {
    OrvexEvent& event;
    ~Release() { base::dismantle(event); }
  } release{event};
  OrvexEventIterator& from = origin_.iterator ? *origin_.iterator : *iterator_;
  if (overview_) {
    if (!renderer_->matches(event)) return;
    overview_->add(renderer_->searches() ? outline_of(event, OrvexEventFormatter::type_field())
                                         : from.outline());
    ++shown_;
    return;
  }
  text_.clear();
  std::string why;
  switch (renderer_->render(event, from.line(), origin_.iterator ? origin_.label : label_,
                            origin_.prefix, text_, why)) {
    case EventRenderer::Outcome::not_matched:
      return;
    case EventRenderer::Outcome::unusable:
      // An event the layout cannot show (no "MSG", a date it cannot read, a value of the wrong
      // kind) is damage like an unreadable line: reported, skipped, and the run goes on.
      (origin_.damage ? *origin_.damage : *damage_)
          .report(
              Damage{from.file_path(), from.position(), Damage::Kind::unusable, std::move(why)});
      return;
    case EventRenderer::Outcome::shown:
      break;
  }
  out_ << text_;
  check_output();
  ++shown_;
}

// A whole listing of the file on several threads (see listing_pipeline.hpp), when more than
// one job is asked for and the machine has more than one core. The output, the notices and
// the hand-over to a follower are those of the loop in show_events. False when the listing is
// left to that loop: under a priority or source filter most lines are rejected unparsed, and
// the reading, which stays on one thread, is then most of the work.
bool OrvexEventViewer::list_on_workers() {
  auto* all = dynamic_cast<OrvexAllEventsIterator*>(iterator_.get());
  unsigned cores = std::max(1u, std::thread::hardware_concurrency());
  unsigned workers = std::min(jobs_, cores);
  if (all == nullptr || workers < 2 || !priority_filter_.empty() || !source_filter_.empty() ||
      (overview_ && renderer_->searches())) {
    return false;
  }

  class Sink : public ListingSink {
   public:
    explicit Sink(OrvexEventViewer& viewer) : viewer_(viewer) {}
    void show(std::string_view text) override {
      viewer_.out_ << text;
      viewer_.check_output();
      ++viewer_.shown_;
    }
    void count(const orvex::Overview::Part& events) override {
      viewer_.overview_->merge(events);
      viewer_.shown_ += events.events();
    }
    void damage(const Damage& damage) override { viewer_.damage_->report(damage); }

   private:
    OrvexEventViewer& viewer_;
  } sink(*this);
  ListingLayout layout{*args_, label_, file_path_, overview_ != nullptr};
  run_listing_pipeline(*all, layout, workers, sink);
  return true;
}

void OrvexEventViewer::show_events() {
  std::optional<int> exit_status;
  std::exception_ptr in_flight;
  try {
    try {
      if (inputs_) {
        show_merged();
        if (overview_) write_overview();
      } else {
        if (!list_on_workers()) {
          for (OrvexEvent& event : *iterator_) print(event);
        }
        if (overview_) write_overview();
        if (follow_) follow_events();
      }
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

  damage_->summarize();
  for (const std::unique_ptr<DamageNotices>& notices : input_notices_) notices->summarize();
  try {
    clean_temp_files();
  } catch (const PermissionError&) {
    out_ << "Error: The temp folder '" << temp_folder_->path().string()
         << "' was not removed. Permission denied." << '\n';
    exit_status = 1;
    in_flight = nullptr;
  }
  out_.flush();
  if (exit_status) throw ExitRequest(*exit_status);
  if (in_flight) std::rethrow_exception(in_flight);
}

// One line on the notices stream when a follower by name switches files; the events of the old
// file come first, on the terminal too.
void OrvexEventViewer::announce_file_change(OrvexNewEventIterator::FileChange change,
                                            const std::filesystem::path& name) {
  out_.flush();
  check_output();
  notices_ << "orvex-lookout: "
           << fill_message(change == OrvexNewEventIterator::FileChange::replaced
                               ? translate("%s was replaced; following the new file")
                               : translate("%s was truncated; reading it from the start"),
                           {base::quoted(name.string(), 4096)})
           << '\n';
  notices_.flush();
}

void OrvexEventViewer::follow_events() {
  std::optional<OpenEventFile> kept = iterator_->take_file();
  auto follower = kept ? std::make_unique<OrvexNewEventIterator>(std::move(*kept))
                       : std::make_unique<OrvexNewEventIterator>(file_path_);
  // A pipe reader sees each event within a poll interval of its arrival.
  follower->set_before_wait([this] {
    out_.flush();
    check_output();
  });
  if (poll_ms_ > 0) follower->set_poll_interval(std::chrono::milliseconds(poll_ms_));
  follower->set_watched_output(watched_output_);
  follower->set_follow_name(follow_name_);
  follower->set_on_file_change([this](OrvexNewEventIterator::FileChange change) {
    announce_file_change(change, file_path_);
  });
  iterator_ = std::move(follower);
  setup_filters();
  try {
    while (follow_) {
      for (OrvexEvent& event : *iterator_) print(event);
    }
  } catch (const KeyboardInterrupt&) {
    // Ctrl-C is how a follow is meant to end; other signals end it with their own status.
    if (interrupt_signal() == SIGINT || interrupt_signal() == 0) throw ExitRequest(0);
    throw;
  }
}

}  // namespace orvex
