#include "listing_pipeline.hpp"

#include "event_renderer.hpp"
#include "worker_thread.hpp"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include <base/dismantle.hpp>
#include <base/terminal_safe.hpp>
#include <orvex/errors.hpp>
#include <orvex/interrupt.hpp>
#include <orvex/line_decoding.hpp>

namespace orvex {

namespace {

// A line as the reader returned it, its text kept in the batch's input.
struct LineRecord {
  std::size_t start = 0;
  std::size_t length = 0;
  std::uint64_t offset = 0;
  std::optional<std::uint64_t> number;
  std::optional<std::size_t> invalid_at;
  bool too_long = false;
  bool unchecked = false;
};

// Aligned so that no two batches share a cache line: the reading thread fills one while a
// worker fills another's output, and shared lines would bounce between the cores at every
// line and every event.
struct alignas(128) Batch {
  // Filled by the reading thread: the lines, or (read by the worker) a range of the file.
  std::string input;  // the lines' texts one after the other, then EventFile::kPadding bytes
  std::vector<LineRecord> lines;
  std::uint64_t start = 0, end = 0;  // the lines that start in [start, end)
  std::uint64_t line_count = 0;      // of a range: how many lines started in it
  // Filled by a worker.
  std::string output;             // the texts of the shown events, one after the other
  std::vector<std::size_t> ends;  // where each shown event's text ends in `output`
  std::vector<std::pair<std::size_t, Damage>> damage;  // with the number of events before it
  Overview::Part counted;    // of a listing of outlines, the events instead of their text
  std::exception_ptr error;  // what stopped the batch, after `error_at` events
  std::size_t error_at = 0;
  bool done = false;  // under the pipeline's mutex

  void clear() {
    // A batch that held a huge line gives its memory back; the usual ones keep theirs.
    if (input.capacity() > 4 * kBatchBytes) std::string().swap(input);
    if (output.capacity() > 8 * kBatchBytes) std::string().swap(output);
    input.clear();
    lines.clear();
    start = end = line_count = 0;
    output.clear();
    ends.clear();
    damage.clear();
    counted.clear();
    error = nullptr;
    error_at = 0;
  }
};

// What one worker owns: nothing in it is shared with another thread.
struct Worker {
  std::unique_ptr<EventLineDecoder> decoder;
  std::unique_ptr<EventRenderer> renderer;
  std::unique_ptr<EventFile> file;  // its own reader of the file, when it reads ranges
};

class Pipeline {
 public:
  Pipeline(OrvexAllEventsIterator& iterator, const ListingLayout& layout, unsigned workers,
           std::size_t range_bytes)
      : iterator_(iterator),
        layout_(layout),
        slots_(2 * workers + 2),
        range_bytes_(std::max<std::size_t>(1, range_bytes)) {
    const EventFile& file = iterator.file();
    // Counting costs little next to reading and parsing, and a line copied to another core
    // costs as much again as its parse there; a text listing's output crosses over anyway.
    ranges_ = layout.outlines && file.is_open() && file.tell() == 0 && file.is_regular();
    if (ranges_) limit_ = file.size();
    tools_.reserve(workers);
    for (unsigned i = 0; i < workers; ++i) {
      Worker& tools = tools_.emplace_back(Worker{iterator.make_line_decoder(), nullptr, nullptr});
      if (ranges_) {
        tools.file = std::make_unique<EventFile>(file.another_reader());
        // Damage goes through the decoder, as the iterator's reporter takes it.
        tools.file->keep_invalid_lines(true);
      }
      if (layout.outlines) continue;
      tools.renderer = std::make_unique<EventRenderer>(layout.args);
      if (auto fields = tools.renderer->fields_read()) {
        // Nothing but the layout reads the event: the fields it does not read go unbuilt.
        tools.decoder->keep_only(std::move(*fields));
      }
    }
    try {
      start_threads();
    } catch (...) {
      stop_threads();
      throw;
    }
  }

  ~Pipeline() { stop_threads(); }

  Pipeline(const Pipeline&) = delete;
  Pipeline& operator=(const Pipeline&) = delete;

  void run(ListingSink& sink) {
    std::size_t dispatched = 0, written = 0;
    for (;;) {
      if (written < dispatched && is_done(written)) {
        write(slots_[written % slots_.size()], sink);
        ++written;
        continue;
      }
      if (!reading_over_ && dispatched - written < slots_.size()) {
        Batch& batch = slots_[dispatched % slots_.size()];
        fill(batch);
        if (!batch.lines.empty() || batch.start < batch.end) {
          {
            std::lock_guard lock(mutex_);
            batch.done = false;
            ++dispatched_;
          }
          ++dispatched;
          work_.notify_one();
        }
        continue;
      }
      if (written == dispatched) break;
      std::unique_lock lock(mutex_);
      done_.wait(lock, [&] { return slots_[written % slots_.size()].done; });
    }
    if (read_error_) std::rethrow_exception(read_error_);
  }

 private:
  void stop_threads() noexcept {
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
    }
    stopping_.store(true, std::memory_order_relaxed);
    work_.notify_all();
    for (std::thread& thread : threads_) thread.join();
  }

  void start_threads() {
    threads_.reserve(tools_.size());
    for (Worker& tools : tools_) {
      threads_.push_back(start_worker_thread([this, &tools] { work(tools); }));
    }
  }

  bool is_done(std::size_t sequence) {
    std::lock_guard lock(mutex_);
    return slots_[sequence % slots_.size()].done;
  }

  // Reads lines into `batch` until it holds kBatchBytes or the pass ends. An error of reading
  // ends the reading; it is raised after the lines read before it are shown, as a single
  // thread would, but an interrupt leaves at once.
  void fill(Batch& batch) {
    batch.clear();
    if (ranges_) {
      // The file as it is when the pass starts: a line that starts before its end is read whole.
      batch.start = next_start_;
      batch.end = std::min(limit_, next_start_ + range_bytes_);
      next_start_ = batch.end;
      reading_over_ = next_start_ >= limit_;
      return;
    }
    try {
      while (batch.input.size() < kBatchBytes) {
        // The workers' parsers check UTF-8: the reading thread leaves it to them.
        std::optional<EventFile::Line> line = iterator_.next_line(/*check_utf8=*/false);
        if (!line) {
          reading_over_ = true;
          break;
        }
        batch.lines.push_back({batch.input.size(), line->text.size(), line->offset, line->number,
                               line->invalid_at, line->too_long, line->unchecked});
        batch.input.append(line->text);
      }
    } catch (const KeyboardInterrupt&) {
      throw;
    } catch (...) {
      read_error_ = std::current_exception();
      reading_over_ = true;
    }
    // The fast parser may read this far past the last line.
    batch.input.append(EventFile::kPadding, '\0');
  }

  void work(Worker& tools) {
    for (;;) {
      Batch* batch = nullptr;
      {
        std::unique_lock lock(mutex_);
        work_.wait(lock, [&] { return stop_ || taken_ < dispatched_; });
        if (stop_) return;
        batch = &slots_[taken_++ % slots_.size()];
      }
      process(tools, *batch);
      {
        std::lock_guard lock(mutex_);
        batch->done = true;
      }
      done_.notify_one();
    }
  }

  // Lines are numbered within the range; write() makes the numbers the file's.
  void process_range(Worker& tools, Batch& batch) {
    EventFile& file = *tools.file;
    try {
      if (!file.seek_line_start(batch.start, batch.end)) return;
      // Past the range's end the next line is the next range's, even within a line too long
      // to keep, whose rest is then not read here.
      while (file.tell() < batch.end) {
        if (stopping_.load(std::memory_order_relaxed)) return;
        std::optional<EventFile::Line> line =
            file.read_line(/*take_unfinished=*/true, /*check_utf8=*/false);
        if (!line || line->offset >= batch.end) break;
        line->number = ++batch.line_count;
        show(tools, batch, *line);
      }
    } catch (...) {
      batch.error = std::current_exception();
      batch.error_at = batch.ends.size();
    }
  }

  void process(Worker& tools, Batch& batch) {
    if (ranges_) {
      process_range(tools, batch);
      return;
    }
    for (const LineRecord& record : batch.lines) {
      if (stopping_.load(std::memory_order_relaxed)) return;
      EventFile::Line line{std::string_view(batch.input.data() + record.start, record.length),
                           true,
                           record.offset,
                           record.number,
                           record.invalid_at,
                           record.too_long,
                           record.unchecked};
      try {
        show(tools, batch, line);
      } catch (...) {
        batch.error = std::current_exception();
        batch.error_at = batch.ends.size();
        return;
      }
    }
  }

  // What the single-threaded listing does with one line, into the batch.
  void show(Worker& tools, Batch& batch, const EventFile::Line& line) {
    EventLineDecoder::Result result = tools.decoder->decode(line);
    if (result.damage) {
      batch.damage.emplace_back(batch.ends.size(), std::move(*result.damage));
      return;
    }
    if (!result.event) return;
    if (layout_.outlines) {
      batch.counted.add(Overview::counted(result.outline));
      return;
    }
    OrvexEvent& event = *result.event;
    struct Release {
      OrvexEvent& event;
      ~Release() { base::dismantle(event); }
    } release{event};
    std::string why;
    switch (tools.renderer->render(event, line.text, layout_.label, {}, batch.output, why)) {
      case EventRenderer::Outcome::not_matched:
        return;
      case EventRenderer::Outcome::unusable:
        // An event the layout cannot show is damage, as in the single-threaded listing.
        batch.damage.emplace_back(
            batch.ends.size(),
            Damage{
                layout_.file, {line.number, line.offset}, Damage::Kind::unusable, std::move(why)});
        return;
      case EventRenderer::Outcome::shown:
        break;
    }
    batch.ends.push_back(batch.output.size());
  }

  void write(Batch& batch, ListingSink& sink) {
    // The single-threaded listing looks at the interrupt at each read of the file; this is
    // the same pace.
    check_interrupt();
    // The order of counted events and damage does not show: the counts come out at the end.
    if (layout_.outlines) sink.count(batch.counted);
    std::size_t start = 0, noted = 0;
    for (std::size_t shown = 0;; ++shown) {
      while (noted < batch.damage.size() && batch.damage[noted].first == shown) {
        Damage& damage = batch.damage[noted++].second;
        if (ranges_ && damage.where.number) *damage.where.number += lines_before_;
        sink.damage(damage);
      }
      if (batch.error && batch.error_at == shown) std::rethrow_exception(batch.error);
      if (shown == batch.ends.size()) break;
      sink.show(std::string_view(batch.output.data() + start, batch.ends[shown] - start));
      start = batch.ends[shown];
    }
    lines_before_ += batch.line_count;
  }

  OrvexAllEventsIterator& iterator_;
  const ListingLayout& layout_;
  std::vector<Worker> tools_;
  std::vector<Batch> slots_;  // batch number n lives in slots_[n % size]
  std::vector<std::thread> threads_;
  std::exception_ptr read_error_;
  bool reading_over_ = false;
  bool ranges_ = false;
  std::size_t range_bytes_;
  std::uint64_t next_start_ = 0, limit_ = 0;  // of the ranges: the next one's start, the end
  std::uint64_t lines_before_ = 0;            // the lines of the ranges written

  std::mutex mutex_;
  std::condition_variable work_, done_;
  std::size_t dispatched_ = 0;  // batches handed to the workers
  std::size_t taken_ = 0;       // of those, taken by a worker
  bool stop_ = false;
  std::atomic<bool> stopping_{false};  // lets a worker leave its batch early
};

}  // namespace

void run_listing_pipeline(OrvexAllEventsIterator& iterator, const ListingLayout& layout,
                          unsigned workers, ListingSink& sink, std::size_t range_bytes) {
  Pipeline pipeline(iterator, layout, workers, range_bytes);
  pipeline.run(sink);
}

}  // namespace orvex
