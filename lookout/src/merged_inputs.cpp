#include "merged_inputs.hpp"

#include <signal.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <exception>
#include <limits>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

#include <base/terminal_safe.hpp>
#include <base/utf8.hpp>
#include <orvex/errors.hpp>
#include <orvex/event_date.hpp>
#include <orvex/interrupt.hpp>
#include <orvex/messages.hpp>
#include <orvex/new_event_iterator.hpp>
#include <orvex/recent_event_iterator.hpp>

#include "archive.hpp"
#include "event_renderer.hpp"
#include "iterator_choice.hpp"
#include "worker_thread.hpp"

namespace orvex {

namespace {

// The place in time of each event an input gives, in the order it gives them.
class Clock {
 public:
  explicit Clock(bool reverse) : last_(reverse ? kLargestDateTime : kSmallestDateTime) {}
  DateTime place(std::string_view line) {
    if (std::optional<DateTime> date = event_line_date(line)) last_ = *date;
    return last_;
  }

 private:
  DateTime last_;
};

// Whether the event of input `a` at `place_a` goes out before that of input `b` at `place_b`.
bool goes_before(bool reverse, DateTime place_a, std::size_t a, DateTime place_b, std::size_t b) {
  if (place_a != place_b) return reverse ? place_a > place_b : place_a < place_b;
  return reverse ? a > b : a < b;
}

// The inputs that hold a pending event, the next one to go out on top.
class MergeHeap {
 public:
  MergeHeap(bool reverse, std::size_t inputs) : later_{reverse, std::vector<DateTime>(inputs)} {}
  void push(std::size_t input, DateTime place) {
    later_.places[input] = place;
    heap_.push_back(input);
    std::push_heap(heap_.begin(), heap_.end(), later_);
  }
  bool empty() const noexcept { return heap_.empty(); }
  std::size_t pop() {
    std::pop_heap(heap_.begin(), heap_.end(), later_);
    std::size_t input = heap_.back();
    heap_.pop_back();
    return input;
  }

 private:
  // The heap's order: the input whose event goes out later ranks lower.
  struct Later {
    bool reverse;
    std::vector<DateTime> places;
    bool operator()(std::size_t a, std::size_t b) const {
      return goes_before(reverse, places[b], b, places[a], a);
    }
  };
  Later later_;
  std::vector<std::size_t> heap_;
};

// Reads the places of the last lines of a file (see last_line_places).
class LastLineReader : public OrvexRecentEventIterator {
 public:
  using OrvexRecentEventIterator::OrvexRecentEventIterator;

  // The places of the lines selected, oldest first, and the index of the first dated one.
  std::vector<DateTime> places(std::optional<std::size_t>& first_dated) {
    const std::vector<std::uint64_t> starts = find_positions();
    std::vector<DateTime> places;
    if (starts.size() < 2) return places;
    places.reserve(starts.size() - 1);
    DateTime place = kSmallestDateTime;
    for (std::size_t i = 0; i + 1 < starts.size(); ++i) {
      if (file_.tell() != starts[i]) file_.seek(static_cast<std::int64_t>(starts[i]), SEEK_SET);
      std::optional<EventFile::Line> line = file_.read_line();
      if (!line) break;  // cut short since the scan
      if (std::optional<DateTime> date = event_line_date(line->text)) {
        place = std::max(place, *date);
        if (!first_dated) first_dated = i;
      }
      places.push_back(place);
    }
    return places;
  }
};

// The places of the last `count` complete lines of `file`, oldest first, every line counted
// (blank and damaged ones too, as the last-lines selection counts them). A line without a
// readable date, and one dated earlier than a line before it, takes the place of the line
// before it, so the places never go back in time. For the first lines, when they are undated,
// up to kLookBack lines before them are read for a date; lines with none there are the
// earliest of all.
std::vector<DateTime> last_line_places(const std::filesystem::path& file, std::int64_t count) {
  constexpr std::int64_t kLookBack = 4096;
  for (std::int64_t extra = 0;;
       extra = std::min(kLookBack, std::max<std::int64_t>(64, extra * 4))) {
    std::optional<std::size_t> first_dated;
    const std::int64_t asked =
        count > std::numeric_limits<std::int64_t>::max() - extra ? count : count + extra;
    std::vector<DateTime> places = LastLineReader(file, asked).places(first_dated);
    const std::size_t first_counted =
        places.size() > static_cast<std::uint64_t>(count) ? places.size() - count : 0;
    // Counts near the largest have no more lines to look back at.
    const bool whole_file =
        places.size() < static_cast<std::uint64_t>(asked) || (extra > 0 && asked == count);
    if ((first_dated && *first_dated <= first_counted) || whole_file || extra == kLookBack) {
      places.erase(places.begin(), places.begin() + static_cast<std::ptrdiff_t>(first_counted));
      return places;
    }
  }
}

// How many of the last `count` lines of the merged log each input holds: the merge read
// backwards from the end of every input, one line at a time, the latest first (at the same
// place the last input first, as the forward merge puts it last).
std::vector<std::int64_t> last_lines_per_input(const std::vector<MergeInput>& inputs,
                                               std::int64_t count) {
  std::vector<std::vector<DateTime>> places;
  places.reserve(inputs.size());
  for (const MergeInput& input : inputs) {
    places.push_back(last_line_places(input.file, count));
  }
  std::vector<std::size_t> left(inputs.size());
  for (std::size_t i = 0; i < inputs.size(); ++i) left[i] = places[i].size();
  std::vector<std::int64_t> taken(inputs.size(), 0);
  for (std::int64_t n = 0; n < count; ++n) {
    std::optional<std::size_t> latest;
    for (std::size_t i = 0; i < inputs.size(); ++i) {
      if (left[i] == 0) continue;
      if (!latest || places[i][left[i] - 1] >= places[*latest][left[*latest] - 1]) latest = i;
    }
    if (!latest) break;
    --left[*latest];
    ++taken[*latest];
  }
  return taken;
}

// Labels name their inputs apart: where two inputs would share one, both show the path given.
void make_labels_unique(std::vector<MergeInput>& inputs) {
  std::map<std::string, int> uses;
  for (const MergeInput& input : inputs) ++uses[input.label];
  for (MergeInput& input : inputs) {
    if (uses[input.label] > 1) input.label = input.argument.string();
  }
}

// --- the workers -------------------------------------------------------------------------

// What a worker found in an input, in the order reading it on one thread meets it.
struct Item {
  enum class Kind {
    shown,        // an event whose text is text[begin, end)
    not_matched,  // an event -g rejects: it still holds its place in the merge
    unusable,     // an event the layout cannot show: `damage` is reported when it goes out
    failed,       // an event whose layout raised `error`, thrown when it goes out
    damage,       // a damaged line the iterator skipped, reported when it is met
    error,        // the iterator raised `error`: the input ends there
    end,          // the input has no more events
  };
  Kind kind = Kind::end;
  DateTime place{};
  std::size_t begin = 0, end = 0;
  std::unique_ptr<Damage> damage = nullptr;
  std::uint64_t repeats = 0;  // damage: reported 1 + repeats times
  std::exception_ptr error = nullptr;
};

struct Batch {
  std::string text;
  std::vector<Item> items;
};

// Keeps the damage an iterator reports in the batch being filled. The notices list only the
// first few damaged lines of an input and count the rest, so past kKeptWhole a run of damaged
// lines is kept as one of them reported again and again: a log of damage alone cannot fill
// memory.
class DamageRecorder : public DamageReporter {
 public:
  void report(const Damage& damage) override {
    if (++reported > kKeptWhole && !batch->items.empty() &&
        batch->items.back().kind == Item::Kind::damage) {
      ++batch->items.back().repeats;
      return;
    }
    batch->items.push_back(
        Item{.kind = Item::Kind::damage, .damage = std::make_unique<Damage>(damage)});
  }
  static constexpr std::uint64_t kKeptWhole = 64;
  Batch* batch = nullptr;
  std::uint64_t reported = 0;  // by the iterator and for unusable events
};

// Decodes, filters and lays out the inputs on worker threads, a batch at a time, a few
// batches ahead of the merge for each input.
class Workers {
 public:
  Workers(std::vector<MergeInput>& inputs, const OrvexViewerOptions& args, bool reverse,
          unsigned count)
      : lanes_(inputs.size()) {
    for (std::size_t i = 0; i < inputs.size(); ++i) {
      Lane& lane = lanes_[i];
      lane.input = &inputs[i];
      lane.clock.emplace(reverse);
      lane.renderer = std::make_unique<EventRenderer>(args);
      lane.finished = lane.input->iterator == nullptr;
      if (!lane.finished) lane.input->iterator->set_damage_reporter(&lane.recorder);
    }
    try {
      for (unsigned i = 0; i < count; ++i)
        threads_.push_back(start_worker_thread([this] { work(); }));
    } catch (...) {
      stop();
      throw;
    }
  }
  ~Workers() { stop(); }
  Workers(const Workers&) = delete;
  Workers& operator=(const Workers&) = delete;

  // The next item of input `index`, waiting for a worker when none is ready; valid until the
  // next call for the same input. Throws KeyboardInterrupt when a termination signal arrives
  // meanwhile.
  Item& next(std::size_t index) {
    Lane& lane = lanes_[index];
    while (!lane.current || lane.taken == lane.current->items.size()) {
      std::unique_lock lock(mutex_);
      while (lane.ready.empty()) {
        wanted_ = index;
        work_ready_.notify_all();
        batch_ready_.wait_for(lock, std::chrono::milliseconds(50));
        if (interrupt_pending()) {
          lock.unlock();
          check_interrupt();
        }
      }
      lane.current = std::move(lane.ready.front());
      lane.ready.pop_front();
      lane.taken = 0;
      work_ready_.notify_all();
    }
    return lane.current->items[lane.taken++];
  }

  // The text of `item`, the last item next() gave for input `index`.
  std::string_view text(std::size_t index, const Item& item) const {
    return std::string_view(lanes_[index].current->text).substr(item.begin, item.end - item.begin);
  }

  // When the workers are done with every input, their iterators report to `notices` again.
  void hand_back() {
    stop();
    for (Lane& lane : lanes_) {
      if (lane.input->iterator) lane.input->iterator->set_damage_reporter(lane.input->notices);
    }
  }

 private:
  // Batches are small so that memory stays flat with many inputs and the first events come
  // soon; a few ahead per input keep both workers busy.
  static constexpr std::size_t kBatchEvents = 256;
  static constexpr std::size_t kBatchBytes = 32 << 10;
  static constexpr std::size_t kBatchesAhead = 2;

  struct Lane {
    MergeInput* input = nullptr;
    std::optional<Clock> clock;
    std::unique_ptr<EventRenderer> renderer;
    DamageRecorder recorder;
    std::deque<std::unique_ptr<Batch>> ready;  // under mutex_
    bool busy = false;                         // under mutex_
    bool finished = false;                     // under mutex_
    std::unique_ptr<Batch> current;            // the merge's thread only
    std::size_t taken = 0;
  };

  bool needs_work(const Lane& lane) const {
    return !lane.busy && !lane.finished && lane.ready.size() < kBatchesAhead;
  }

  // The input the merge waits for first, then the others in turn.
  Lane* choose() {
    if (wanted_ < lanes_.size() && needs_work(lanes_[wanted_])) return &lanes_[wanted_];
    for (std::size_t n = 0; n < lanes_.size(); ++n) {
      next_lane_ = (next_lane_ + 1) % lanes_.size();
      if (needs_work(lanes_[next_lane_])) return &lanes_[next_lane_];
    }
    return nullptr;
  }

  void work() {
    std::unique_lock lock(mutex_);
    while (!stopping_) {
      Lane* lane = choose();
      if (lane == nullptr) {
        work_ready_.wait(lock);
        continue;
      }
      lane->busy = true;
      lock.unlock();
      std::unique_ptr<Batch> batch = std::make_unique<Batch>();
      const bool finished = fill(*lane, *batch);
      lock.lock();
      lane->busy = false;
      lane->finished = finished;
      lane->ready.push_back(std::move(batch));
      batch_ready_.notify_all();
      work_ready_.notify_all();
    }
  }

  // Fills `batch` with the next items of `lane`; true when the input has ended.
  bool fill(Lane& lane, Batch& batch) {
    OrvexEventIterator& iterator = *lane.input->iterator;
    lane.recorder.batch = &batch;
    std::string why;
    try {
      for (std::size_t n = 0; n < kBatchEvents && batch.text.size() < kBatchBytes; ++n) {
        if (stopping_flag_.load(std::memory_order_relaxed)) return true;
        std::optional<OrvexEvent> event = iterator.next();
        if (!event) {
          batch.items.push_back(Item{.kind = Item::Kind::end});
          return true;
        }
        Item item{.kind = Item::Kind::shown,
                  .place = lane.clock->place(iterator.line()),
                  .begin = batch.text.size()};
        try {
          switch (lane.renderer->render(*event, iterator.line(), lane.input->label,
                                        lane.input->prefix, batch.text, why)) {
            case EventRenderer::Outcome::shown:
              break;
            case EventRenderer::Outcome::not_matched:
              item.kind = Item::Kind::not_matched;
              break;
            case EventRenderer::Outcome::unusable:
              item.kind = Item::Kind::unusable;
              ++lane.recorder.reported;
              item.damage = std::make_unique<Damage>(Damage{
                  lane.input->file, iterator.position(), Damage::Kind::unusable, std::move(why)});
              break;
          }
        } catch (...) {
          item.kind = Item::Kind::failed;
          item.error = std::current_exception();
        }
        item.end = batch.text.size();
        batch.items.push_back(std::move(item));
      }
    } catch (...) {
      batch.items.push_back(Item{.kind = Item::Kind::error, .error = std::current_exception()});
      return true;
    }
    return false;
  }

  void stop() noexcept {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
      stopping_flag_.store(true, std::memory_order_relaxed);
    }
    work_ready_.notify_all();
    for (std::thread& thread : threads_) {
      if (thread.joinable()) thread.join();
    }
  }

  std::vector<Lane> lanes_;
  std::mutex mutex_;
  std::condition_variable work_ready_, batch_ready_;
  bool stopping_ = false;
  std::atomic<bool> stopping_flag_{false};
  std::size_t wanted_ = SIZE_MAX;
  std::size_t next_lane_ = 0;
  std::vector<std::thread> threads_;
};

// Unpacks the reports among `inputs` (at the indexes `archives`), each into a numbered folder
// below `folder` (two reports of one host must not meet), on up to `jobs` threads at once:
// unpacking is most of the time a report takes. The failure of the first input in argument
// order that failed is thrown, as unpacking one after the other would throw it; after a
// failure no further report is begun.
void unpack_archives(std::vector<MergeInput>& inputs, const std::vector<std::size_t>& archives,
                     const std::filesystem::path& folder, unsigned jobs) {
  std::vector<std::exception_ptr> failures(inputs.size());
  std::vector<std::string> tops(inputs.size());
  std::atomic<std::size_t> next{0};
  std::atomic<bool> failed{false};
  auto unpack = [&] {
    for (std::size_t k; !failed.load() && (k = next.fetch_add(1)) < archives.size();) {
      const std::size_t i = archives[k];
      try {
        inputs[i].file = extract_events_from_archive(inputs[i].argument,
                                                     folder / std::to_string(i + 1), &tops[i]);
      } catch (...) {
        failures[i] = std::current_exception();
        failed.store(true);
      }
    }
  };
  std::vector<std::thread> threads;
  struct Join {
    std::vector<std::thread>& threads;
    ~Join() {
      for (std::thread& thread : threads) thread.join();
    }
  } join{threads};
  const std::size_t helpers = std::min<std::size_t>(jobs, archives.size()) - 1;
  for (std::size_t n = 0; n < helpers; ++n) threads.push_back(start_worker_thread(unpack));
  unpack();
  for (std::thread& thread : threads) thread.join();
  threads.clear();
  for (std::size_t i : archives) {
    if (failures[i]) std::rethrow_exception(failures[i]);
    if (!tops[i].empty()) inputs[i].label = tops[i];
  }
}

}  // namespace

void OrvexEventViewer::open_inputs(const OrvexViewerOptions& args) {
  auto merge = std::make_unique<Inputs>();
  merge->args = args;
  merge->reverse = args.reverse;
  merge->jobs = std::max(args.jobs, 1u);
  std::vector<MergeInput>& inputs = merge->inputs;
  std::vector<std::filesystem::path> paths{args.watch_file};
  paths.insert(paths.end(), args.more_files.begin(), args.more_files.end());
  inputs.resize(paths.size());
  std::vector<std::size_t> archives;
  for (std::size_t i = 0; i < paths.size(); ++i) {
    MergeInput& input = inputs[i];
    input.argument = input.file = paths[i];
    input.label = paths[i].filename().string();
    if (input.label.empty()) input.label = paths[i].string();
    input.archive = is_archive_path(paths[i]);
    if (input.archive) archives.push_back(i);
  }
  if (!archives.empty()) unpack_archives(inputs, archives, temp_folder(), merge->jobs);
  make_labels_unique(inputs);
  std::size_t width = 0;
  for (const MergeInput& input : inputs) {
    width = std::max(width, base::character_count(base::terminal_safe(input.label)));
  }
  std::vector<std::int64_t> last_lines;
  if (selects_last_lines(args) && args.count > 0) {
    last_lines = last_lines_per_input(inputs, args.count);
  }
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    MergeInput& input = inputs[i];
    input.prefix = renderer_->prefix(input.label, width);
    input.notices = &add_input_notices(input.argument);
    if (args.rotated) {
      // Each input's rotated files with it, as one log (no --count here: the front end
      // refuses it, the last lines of several sets being beyond this merge).
      input.iterator = open_rotated_set(
          args, input.file, input.argument,
          input.archive ? temp_folder() / std::to_string(i + 1) : std::filesystem::path(),
          *input_notices_.back());
    } else if (last_lines.empty()) {
      input.iterator = choose_iterator(args, input.file);
    } else if (last_lines[i] > 0) {
      OrvexViewerOptions own = args;
      own.count = last_lines[i];
      input.iterator = choose_iterator(own, input.file);
    } else {
      continue;
    }
    OrvexEventIterator& iterator = *input.iterator;
    iterator.set_damage_reporter(input.notices);
    choose_decoding(iterator);
    if (!priority_filter_.empty()) iterator.set_priority_filter(priority_filter_);
    if (!source_filter_.empty()) iterator.set_source_filter(source_filter_);
    // A follower goes on from where the first pass stopped; a report's copy is not followed.
    iterator.set_keep_file_at_end(follow_ && !input.archive);
  }
  inputs_ = std::move(merge);
}

void OrvexEventViewer::show_merged() {
  std::vector<MergeInput>& inputs = inputs_->inputs;
  const bool reverse = inputs_->reverse;
  MergeHeap heap(reverse, inputs.size());
  const std::size_t reading = static_cast<std::size_t>(
      std::count_if(inputs.begin(), inputs.end(),
                    [](const MergeInput& input) { return input.iterator != nullptr; }));

  // An overview counts on the viewer's thread: it reads only a few members of each line.
  if (inputs_->jobs > 1 && reading > 1 && !overview_) {
    Workers workers(inputs, inputs_->args, reverse,
                    std::min<unsigned>(inputs_->jobs, static_cast<unsigned>(reading)));
    std::vector<Item*> heads(inputs.size(), nullptr);
    // Damage is reported and errors are thrown where reading on one thread would meet them:
    // when the merge asks the input for its next event.
    auto pull = [&](std::size_t i) {
      heads[i] = nullptr;
      for (;;) {
        Item& item = workers.next(i);
        switch (item.kind) {
          case Item::Kind::damage:
            for (std::uint64_t n = 0; n <= item.repeats; ++n)
              inputs[i].notices->report(*item.damage);
            continue;
          case Item::Kind::error:
            std::rethrow_exception(item.error);
          case Item::Kind::end:
            return;
          default:
            heads[i] = &item;
            heap.push(i, item.place);
            return;
        }
      }
    };
    for (std::size_t i = 0; i < inputs.size(); ++i) {
      if (inputs[i].iterator) pull(i);
    }
    while (!heap.empty()) {
      const std::size_t i = heap.pop();
      Item& item = *heads[i];
      switch (item.kind) {
        case Item::Kind::shown: {
          const std::string_view text = workers.text(i, item);
          out_.write(text.data(), static_cast<std::streamsize>(text.size()));
          check_output();
          ++shown_;
          break;
        }
        case Item::Kind::unusable:
          inputs[i].notices->report(*item.damage);
          break;
        case Item::Kind::failed:
          std::rethrow_exception(item.error);
        default:
          break;
      }
      pull(i);
    }
    workers.hand_back();
  } else {
    std::vector<std::optional<OrvexEvent>> heads(inputs.size());
    std::vector<Clock> clocks(inputs.size(), Clock(reverse));
    auto pull = [&](std::size_t i) {
      OrvexEventIterator& iterator = *inputs[i].iterator;
      heads[i] = iterator.next();
      if (heads[i]) heap.push(i, clocks[i].place(iterator.line()));
    };
    for (std::size_t i = 0; i < inputs.size(); ++i) {
      if (inputs[i].iterator) pull(i);
    }
    while (!heap.empty()) {
      const std::size_t i = heap.pop();
      MergeInput& input = inputs[i];
      origin_ = {input.iterator.get(), input.notices, &input.file, input.label, input.prefix};
      print(*heads[i]);
      pull(i);
    }
    origin_ = {};
  }
  if (follow_) follow_merged();
}

void OrvexEventViewer::follow_merged() {
  std::vector<MergeInput>& inputs = inputs_->inputs;
  std::vector<std::size_t> followed;
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    MergeInput& input = inputs[i];
    // A report's copy never grows.
    if (input.archive) continue;
    std::optional<OpenEventFile> kept =
        input.iterator ? input.iterator->take_file() : std::optional<OpenEventFile>{};
    auto follower = kept ? std::make_unique<OrvexNewEventIterator>(std::move(*kept))
                         : std::make_unique<OrvexNewEventIterator>(input.file);
    // One wait serves every follower: each returns when it has nothing more.
    follower->set_return_when_idle(true);
    follower->set_follow_name(follow_name_);
    follower->set_on_file_change([this, &input](OrvexNewEventIterator::FileChange change) {
      announce_file_change(change, input.argument);
    });
    follower->set_damage_reporter(input.notices);
    follower->set_build_events(renderer_->builds_events());
    if (!priority_filter_.empty()) follower->set_priority_filter(priority_filter_);
    if (!source_filter_.empty()) follower->set_source_filter(source_filter_);
    input.iterator = std::move(follower);
    followed.push_back(i);
  }
  // A busy file yields the turn after this many events, so the others are not starved.
  constexpr int kTurn = 1024;
  const std::chrono::milliseconds interval(poll_ms_ > 0 ? poll_ms_ : 1000);
  try {
    for (;;) {
      bool printed = false;
      for (std::size_t i : followed) {
        MergeInput& input = inputs[i];
        for (int n = 0; n < kTurn; ++n) {
          std::optional<OrvexEvent> event = input.iterator->next();
          if (!event) break;
          origin_ = {input.iterator.get(), input.notices, &input.file, input.label, input.prefix};
          print(*event);
          printed = true;
        }
      }
      origin_ = {};
      if (printed) continue;
      // A pipe reader sees each event within a poll interval of its arrival.
      out_.flush();
      check_output();
      if (!interruptible_wait(interval, watched_output_)) {
        raise_os_error(EPIPE, "descriptor " + std::to_string(watched_output_), "cannot write to");
      }
    }
  } catch (const KeyboardInterrupt&) {
    origin_ = {};
    // Ctrl-C is how a follow is meant to end; other signals end it with their own status.
    if (interrupt_signal() == SIGINT || interrupt_signal() == 0) throw ExitRequest(0);
    throw;
  }
}

}  // namespace orvex
