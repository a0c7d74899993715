// A log set is read part after part through one iterator, so that the viewer sets its reporter,
// filters and hand-over once: the base's decode_and_filter() and file_path_ serve every part,
// file_path_ naming the part being read. Forwards, plain parts are read through file_, which
// finally takes the current log; compressed parts through their stream. Backwards, every part
// is seen through the same peek/pop interface: a BackwardLineReader for a plain file, windows
// of lines read forwards again for a compressed one.

#include <orvex/log_set_iterator.hpp>

#include <algorithm>
#include <cstdio>
#include <deque>
#include <iterator>
#include <string_view>
#include <utility>

#include <base/terminal_safe.hpp>
#include <orvex/errors.hpp>
#include <orvex/interrupt.hpp>

#include "backward_line_reader.hpp"
#include "backward_scan.hpp"
#include "date_finder.hpp"
#include "time_bounds.hpp"

namespace orvex {

PartStream::~PartStream() = default;

namespace {

// Lines read between two looks at the interrupt flag.
constexpr unsigned kInterruptStride = 4096;
// How many of a plain part's last lines are looked at for its last date: a few undated or
// damaged lines at the end must not hide it, and a part without one is simply read.
constexpr int kLastDateLooks = 16;

using Kind = ReverseSelection::Kind;

// The lines of one part, last first.
class BackwardLines {
 public:
  virtual ~BackwardLines() = default;
  virtual const EventFile::Line* peek() = 0;
  virtual void pop() = 0;
};

class PlainBackward : public BackwardLines {
 public:
  PlainBackward(const EventFile& file, BackwardLineReader::LineEnds ends)
      : reader_(file, file.size(), ends) {}
  const EventFile::Line* peek() override { return reader_.peek(); }
  void pop() override { reader_.pop(); }

 private:
  BackwardLineReader reader_;
};

// A compressed part read back to front: one forward read counts its lines, marks where windows
// of about `window_bytes` start and keeps the last window, which is given out first; each
// earlier window is read forwards again when it is reached. A part that fits one window is so
// read once. Line numbers are known here, offsets are those of the decompressed data.
class StreamBackward : public BackwardLines {
 public:
  using Open = std::function<std::unique_ptr<PartStream>()>;

  StreamBackward(Open open, EventFile::Mode mode, std::size_t window_bytes)
      : open_(std::move(open)), mode_(mode) {
    std::unique_ptr<PartStream> stream = open_();
    EventFile& file = prepared(*stream);
    std::size_t held = 0;
    starts_.push_back(0);
    start_keeping(0);
    while (std::optional<EventFile::Line> line = file.read_line()) {
      // What a line costs while kept, its records included: a part of empty lines counts too.
      const std::size_t bytes = line->text.size() + sizeof(Kept) + sizeof(EventFile::Line);
      if (held > 0 && held + bytes > window_bytes) {
        starts_.push_back(total_);
        start_keeping(total_);
        held = 0;
      }
      held += bytes;
      keep(*line);
      ++total_;
    }
    end_offset_ = file.tell();
    failure_ = stream->failure();
    stop_keeping();
    window_ = starts_.size() - 1;
  }

  // Why the data ended early, found by the counting read, and where.
  const std::optional<std::string>& failure() const noexcept { return failure_; }
  std::uint64_t end_offset() const noexcept { return end_offset_; }

  const EventFile::Line* peek() override {
    while (index_ == window_first_) {
      if (window_ == 0) return nullptr;
      load(--window_);
    }
    return &lines_[index_ - 1 - window_first_];
  }
  void pop() override { --index_; }

 private:
  struct Kept {
    std::size_t at, size;
    EventFile::Line line;
  };

  EventFile& prepared(PartStream& stream) {
    EventFile& file = stream.file();
    file.set_mode(mode_);
    file.keep_invalid_lines(true);
    return file;
  }

  void start_keeping(std::uint64_t first) {
    kept_.clear();
    arena_.clear();
    lines_.clear();
    keeping_first_ = first;
  }
  void keep(const EventFile::Line& line) {
    kept_.push_back({arena_.size(), line.text.size(), line});
    arena_.append(line.text);
  }
  // The kept lines become the window given out.
  void stop_keeping() {
    // The fast parser may read a little past each line's text.
    arena_.append(EventFile::kPadding, '\0');
    for (std::size_t i = 0; i < kept_.size(); ++i) {
      EventFile::Line line = kept_[i].line;
      line.text = std::string_view(arena_.data() + kept_[i].at, kept_[i].size);
      line.number = keeping_first_ + i + 1;
      line.invalid_at.reset();  // checked again by the reader, after trimming
      lines_.push_back(line);
    }
    kept_.clear();
    window_first_ = keeping_first_;
    index_ = keeping_first_ + lines_.size();
  }

  void load(std::size_t window) {
    const std::uint64_t first = starts_[window];
    const std::uint64_t end = window + 1 < starts_.size() ? starts_[window + 1] : total_;
    start_keeping(first);
    {
      std::unique_ptr<PartStream> stream = open_();
      EventFile& file = prepared(*stream);
      for (std::uint64_t n = 0; n < end; ++n) {
        std::optional<EventFile::Line> line = file.read_line();
        if (!line) break;  // shorter than the first read found: what there is
        if (n >= first) keep(*line);
      }
    }
    stop_keeping();
  }

  Open open_;
  EventFile::Mode mode_;
  std::vector<std::uint64_t> starts_;  // the first line of each window
  std::uint64_t total_ = 0;
  std::uint64_t end_offset_ = 0;
  std::optional<std::string> failure_;
  std::size_t window_ = 0;  // the window loaded
  std::uint64_t window_first_ = 0, index_ = 0;
  std::uint64_t keeping_first_ = 0;
  std::vector<Kept> kept_;
  std::string arena_;
  std::vector<EventFile::Line> lines_;
};

}  // namespace

struct OrvexLogSetIterator::State {
  // A line kept from a forward read; its text has EventFile::kPadding bytes of room after it.
  struct HeldLine {
    std::string text;
    EventFile::Line line;
  };

  std::vector<LogPart> parts;
  Kind kind = Kind::all;
  std::int64_t count = 0;
  DateTime since = kSmallestDateTime, until = kLargestDateTime;
  bool newest_first = false;
  PartOpener opener;
  std::size_t window_bytes = OrvexLogSetIterator::kWindowBytes;
  OpenEventFile current;  // the current log, until its turn comes
  std::vector<std::filesystem::path> skipped;

  std::size_t next_part = 0;  // forwards: the index of the next part; backwards: parts left
  bool reading = false;
  bool last = false;  // the part being read is the current log
  bool finished = false;
  EventFile* in = nullptr;  // forwards: the file of the part being read
  std::unique_ptr<PartStream> stream;
  const LogPart* part = nullptr;

  // recent(), forwards: where each part's share of the last lines starts, found once.
  struct Share {
    bool used = false;
    std::uint64_t start = 0;                // plain: the offset of its first line
    std::uint64_t skip_lines = 0;           // compressed: lines before its first one
    std::optional<std::uint64_t> end_mark;  // the current log: where its view ends
    // Compressed: its selected lines, kept from the counting read when they fit the budget,
    // and why its data ended early, and where.
    std::optional<std::vector<HeldLine>> held;
    std::optional<std::string> failure;
    std::uint64_t failure_offset = 0;
  };
  std::vector<Share> shares;
  bool planned = false;
  std::uint64_t skip_lines = 0;
  std::optional<std::uint64_t> end_mark;
  State::Share* held = nullptr;  // the share served from kept lines
  std::size_t held_next = 0;

  // Backwards.
  std::unique_ptr<BackwardLines> backward;
  std::int64_t lines_left = 0;
};

OrvexLogSetIterator::OrvexLogSetIterator(std::vector<LogPart> parts,
                                         const ReverseSelection& selection, bool newest_first,
                                         PartOpener open_compressed, std::size_t window_bytes)
    : OrvexEventIterator(OpenEventFile{}), state_(std::make_unique<State>()) {
  State& s = *state_;
  s.window_bytes = window_bytes;
  if (parts.empty()) throw ValueError("a log set needs at least its current log");
  s.current = open_identified(parts.back().path);
  s.parts = std::move(parts);
  s.kind = selection.kind;
  s.count = selection.count;
  s.lines_left = selection.count;
  s.newest_first = newest_first;
  s.opener = std::move(open_compressed);
  if (s.kind == Kind::time_range) {
    const TimeBounds bounds = read_time_bounds(selection.since, selection.until);
    s.since = bounds.since;
    s.until = bounds.until;
  }
  s.next_part = newest_first ? s.parts.size() : 0;
  file_path_ = s.parts.back().name;
}

OrvexLogSetIterator::~OrvexLogSetIterator() = default;

DateTime OrvexLogSetIterator::date_since() const noexcept { return state_->since; }
DateTime OrvexLogSetIterator::date_until() const noexcept { return state_->until; }

const std::vector<std::filesystem::path>& OrvexLogSetIterator::skipped() const noexcept {
  return state_->skipped;
}

std::optional<OrvexEvent> OrvexLogSetIterator::next() {
  if (state_->finished) return std::nullopt;
  return state_->newest_first ? next_backward() : next_forward();
}

bool OrvexLogSetIterator::unreadable(const LogPart& part, const std::string& why,
                                     LinePosition where) {
  file_path_ = part.name;
  EventFile::Line line{std::string_view(), false, where.offset, where.number};
  return report_damage(line, Damage::Kind::unreadable, why);
}

// Opens a plain part that is not the current log into file_; false when it cannot be read and
// the damage was reported (the part is skipped).
bool OrvexLogSetIterator::open_plain(const LogPart& part, EventFile::Mode mode) {
  try {
    file_ = EventFile(part.path, mode);
  } catch (const KeyboardInterrupt&) {
    throw;
  } catch (const OSError& error) {
    if (!unreadable(part, error.code().message())) throw;
    return false;
  }
  file_.keep_invalid_lines(true);
  return true;
}

std::unique_ptr<PartStream> OrvexLogSetIterator::open_stream(const LogPart& part) {
  try {
    std::unique_ptr<PartStream> stream = state_->opener(part.path);
    stream->file().keep_invalid_lines(true);
    return stream;
  } catch (const OSError& error) {
    if (!unreadable(part, error.code().message())) throw;
    return nullptr;
  } catch (const Error& error) {
    if (!unreadable(part, error.what())) throw;
    return nullptr;
  }
}

void OrvexLogSetIterator::check_stream_end(PartStream& stream, const LogPart& part,
                                           std::uint64_t offset) {
  if (std::optional<std::string> failure = stream.failure()) {
    report_stream_failure(part, *failure, offset);
  }
}

void OrvexLogSetIterator::report_stream_failure(const LogPart& part, const std::string& failure,
                                                std::uint64_t offset) {
  if (!unreadable(part, failure, {std::nullopt, offset})) {
    throw ReadError("cannot decompress '" + part.name.string() + "' after byte " +
                    std::to_string(offset) + ": " + failure);
  }
}

// Whether every event of a part that is not the current log is older than the lower bound,
// told without decoding them: by the last dated line of a plain part (`file` open on it), by
// the modification time of a compressed one.
bool OrvexLogSetIterator::older_than_range(const LogPart& part, const EventFile* file) {
  const State& s = *state_;
  if (s.kind != Kind::time_range || s.since == kSmallestDateTime) return false;
  if (file == nullptr) return part.modified && *part.modified + kClockSlack < s.since;
  BackwardLineReader reader(*file, file->size(), BackwardLineReader::LineEnds::text);
  for (int look = 0; look < kLastDateLooks; ++look) {
    const EventFile::Line* line = reader.peek();
    if (line == nullptr) return false;
    if (std::optional<std::string_view> date_text = find_date(line->text)) {
      try {
        return parse_iso_datetime(*date_text) < s.since;
      } catch (const ValueError&) {
        return false;  // the read reports it where it stands
      }
    }
    reader.pop();
  }
  return false;
}

// The last `count` lines of the whole set, found from its end: the current log's share by the
// backward scan of the recent-events iterator, a plain part's the same way, a compressed part's
// by counting its lines.
void OrvexLogSetIterator::plan_recent() {
  State& s = *state_;
  s.planned = true;
  s.shares.assign(s.parts.size(), {});
  State::Share& own = s.shares.back();
  own.used = true;
  const std::vector<std::uint64_t> positions =
      find_line_starts(s.current.file, std::max<std::int64_t>(s.count, 0));
  if (s.count < 0 || positions.empty()) {
    own.used = false;
    return;
  }
  own.start = positions.front();
  own.end_mark = positions.back();
  std::size_t budget = s.window_bytes;
  std::int64_t need = s.count - static_cast<std::int64_t>(positions.size() - 1);
  for (std::size_t i = s.parts.size() - 1; i-- > 0 && need > 0;) {
    const LogPart& part = s.parts[i];
    State::Share& share = s.shares[i];
    if (!part.compressed) {
      if (!open_plain(part, EventFile::Mode::binary)) continue;
      // A last line without its end is a line of a rotated part: it takes one of the places.
      const std::uint64_t size = file_.size();
      std::vector<std::uint64_t> starts = find_line_starts(file_, need);
      const bool unfinished = size > starts.back();
      std::int64_t lines = static_cast<std::int64_t>(starts.size() - 1) + (unfinished ? 1 : 0);
      std::size_t first = 0;
      if (lines > need) {
        first = 1;
        lines = need;
      }
      share.used = true;
      share.start = starts[first];
      need -= lines;
      file_.close();
      continue;
    }
    std::unique_ptr<PartStream> stream = open_stream(part);
    if (!stream) continue;
    EventFile& file = stream->file();
    file.set_mode(EventFile::Mode::binary);
    // The lines wanted are kept as they go by while they fit what is left of the budget, so
    // that the usual short count reads the part once; otherwise it is read again.
    const std::uint64_t wanted = static_cast<std::uint64_t>(need);
    std::deque<State::HeldLine> ring;
    std::size_t ring_bytes = 0;
    bool keeping = true;
    std::uint64_t total = 0;
    while (std::optional<EventFile::Line> line = file.read_line()) {
      ++total;
      if (!keeping) continue;
      State::HeldLine held{{}, *line};
      held.text.reserve(line->text.size() + EventFile::kPadding);
      held.text.assign(line->text);
      ring_bytes += line->text.size() + sizeof(State::HeldLine);
      ring.push_back(std::move(held));
      if (ring.size() > wanted) {
        ring_bytes -= ring.front().text.size() + sizeof(State::HeldLine);
        ring.pop_front();
      }
      if (ring_bytes > budget) {
        keeping = false;
        ring.clear();
      }
    }
    share = {true,         0, total > wanted ? total - wanted : 0, std::nullopt, std::nullopt,
             std::nullopt, 0};
    if (keeping) {
      share.held.emplace(std::make_move_iterator(ring.begin()),
                         std::make_move_iterator(ring.end()));
      budget -= ring_bytes;
      share.failure = stream->failure();
      share.failure_offset = file.tell();
    }
    need -= static_cast<std::int64_t>(std::min(total, wanted));
  }
}

// Opens the next part to read forwards; false when there is none.
bool OrvexLogSetIterator::open_forward() {
  State& s = *state_;
  if (s.kind == Kind::recent && !s.planned) plan_recent();
  const EventFile::Mode mode =
      s.kind == Kind::recent ? EventFile::Mode::binary : EventFile::Mode::text;
  while (s.next_part < s.parts.size()) {
    const std::size_t index = s.next_part++;
    const LogPart& part = s.parts[index];
    const bool last = s.next_part == s.parts.size();
    if (s.kind == Kind::recent && !s.shares[index].used) {
      if (last) {
        // Nothing of it is selected, and no follower starts from a view of it.
        s.current.file.close();
        file_ = std::move(s.current.file);
      }
      continue;
    }
    file_path_ = part.name;
    s.part = &part;
    s.last = last;
    s.skip_lines = 0;
    s.end_mark.reset();
    if (last) {
      file_ = std::move(s.current.file);
      file_identity_ = s.current.identity;
      file_.set_mode(mode);
      file_.keep_invalid_lines(true);
      s.in = &file_;
    } else if (part.compressed && s.kind == Kind::recent && s.shares[index].held) {
      s.held = &s.shares[index];
      s.held_next = 0;
      s.in = nullptr;
      s.reading = true;
      return true;
    } else if (part.compressed) {
      if (older_than_range(part, nullptr)) {
        s.skipped.push_back(part.name);
        continue;
      }
      s.stream = open_stream(part);
      if (!s.stream) continue;
      s.in = &s.stream->file();
      s.in->set_mode(mode);
    } else {
      if (!open_plain(part, mode)) continue;
      if (older_than_range(part, &file_)) {
        file_.close();
        s.skipped.push_back(part.name);
        continue;
      }
      s.in = &file_;
    }
    if (s.kind == Kind::recent) {
      const State::Share& share = s.shares[index];
      s.skip_lines = share.skip_lines;
      s.end_mark = share.end_mark;
      if (!part.compressed && share.start != 0) {
        s.in->seek(static_cast<std::int64_t>(share.start), SEEK_SET);
      }
    }
    s.reading = true;
    return true;
  }
  return false;
}

void OrvexLogSetIterator::end_forward_part(bool at_end_of_file) {
  State& s = *state_;
  s.reading = false;
  if (s.stream) {
    if (at_end_of_file) check_stream_end(*s.stream, *s.part, s.in->tell());
    s.stream.reset();
  } else if (s.last) {
    end_pass(at_end_of_file);
  } else {
    file_.close();
  }
  s.in = nullptr;
}

std::optional<OrvexEvent> OrvexLogSetIterator::read_forward() {
  State& s = *state_;
  if (s.held != nullptr) {
    std::vector<State::HeldLine>& lines = *s.held->held;
    while (s.held_next < lines.size()) {
      State::HeldLine& held = lines[s.held_next++];
      EventFile::Line line = held.line;
      line.text = held.text;
      if (std::optional<OrvexEvent> event = decode_and_filter(checked_line(line, true)))
        return event;
    }
    State::Share& share = *s.held;
    s.held = nullptr;
    s.reading = false;
    share.held.reset();
    if (share.failure) report_stream_failure(*s.part, *share.failure, share.failure_offset);
    return std::nullopt;
  }
  EventFile& in = *s.in;
  // The current log's unfinished last line is left to a follower, as by the single-file
  // iterators; a rotated part is finished, its last line whole.
  const bool take_unfinished = !(s.last && keeps_file_at_end()) && s.kind != Kind::recent;
  unsigned lines = 0;
  while (std::optional<EventFile::Line> line = in.read_line(take_unfinished || !s.last)) {
    if (++lines == kInterruptStride) {
      lines = 0;
      check_interrupt();
    }
    if (s.kind == Kind::recent) {
      if (s.skip_lines > 0) {
        --s.skip_lines;
        continue;
      }
      if (s.end_mark && line->offset >= *s.end_mark) break;
      if (std::optional<OrvexEvent> event = decode_and_filter(checked_line(*line, true)))
        return event;
      continue;
    }
    if (line->invalid_at && !has_damage_reporter()) {
      throw UnicodeDecodeError(file_path_, line->offset + *line->invalid_at);
    }
    if (s.kind == Kind::all) {
      if (std::optional<OrvexEvent> event = decode_and_filter(*line)) return event;
      continue;
    }
    std::optional<std::string_view> date_text = find_date(line->text);
    if (!date_text) {
      if (has_damage_reporter() && (!line->text.empty() || line->too_long)) {
        decode_and_filter(*line);
      }
      continue;
    }
    DateTime date;
    try {
      date = parse_iso_datetime(*date_text);
    } catch (const ValueError&) {
      if (!report_damage(*line, Damage::Kind::unreadable_date, base::quoted(*date_text))) throw;
      continue;
    }
    if (date < s.since) continue;
    if (date > s.until) {
      // Past the range: the rest of the log, later parts included, is not read.
      end_forward_part(false);
      s.finished = true;
      s.current.file.close();
      return std::nullopt;
    }
    if (std::optional<OrvexEvent> event = decode_and_filter(*line)) return event;
  }
  if (s.last && s.end_mark && keeps_file_at_end() && in.tell() != *s.end_mark) {
    in.seek(static_cast<std::int64_t>(*s.end_mark), SEEK_SET);
  }
  end_forward_part(true);
  return std::nullopt;
}

std::optional<OrvexEvent> OrvexLogSetIterator::next_forward() {
  State& s = *state_;
  while (!s.finished) {
    if (!s.reading && !open_forward()) {
      s.finished = true;
      break;
    }
    if (std::optional<OrvexEvent> event = read_forward()) return event;
  }
  return std::nullopt;
}

// Opens the next older part to read backwards; false when there is none, or when the lower
// bound of a time range says no older part holds an event of the range.
bool OrvexLogSetIterator::open_backward() {
  State& s = *state_;
  const auto ends = s.kind == Kind::recent ? BackwardLineReader::LineEnds::lf
                                           : BackwardLineReader::LineEnds::text;
  const EventFile::Mode mode =
      s.kind == Kind::recent ? EventFile::Mode::binary : EventFile::Mode::text;
  while (s.next_part > 0) {
    const std::size_t index = --s.next_part;
    const LogPart& part = s.parts[index];
    s.last = index + 1 == s.parts.size();
    s.part = &part;
    file_path_ = part.name;
    if (s.last) {
      file_ = std::move(s.current.file);
      file_identity_ = s.current.identity;
      s.backward = std::make_unique<PlainBackward>(file_, ends);
    } else if (part.compressed) {
      // Every event of it, and of the parts before it, is older than the range.
      if (older_than_range(part, nullptr)) {
        s.skipped.push_back(part.name);
        return false;
      }
      PartOpener& opener = s.opener;
      const std::filesystem::path path = part.path;
      std::unique_ptr<StreamBackward> lines;
      try {
        lines = std::make_unique<StreamBackward>([&opener, path] { return opener(path); }, mode,
                                                 s.window_bytes);
      } catch (const OSError& error) {
        if (!unreadable(part, error.code().message())) throw;
        continue;
      } catch (const Error& error) {
        if (!unreadable(part, error.what())) throw;
        continue;
      }
      // Its lines up to the damage are still read, newest first.
      if (const std::optional<std::string>& failure = lines->failure()) {
        report_stream_failure(part, *failure, lines->end_offset());
      }
      s.backward = std::move(lines);
    } else {
      if (!open_plain(part, mode)) continue;
      s.backward = std::make_unique<PlainBackward>(file_, ends);
    }
    s.reading = true;
    return true;
  }
  return false;
}

std::optional<OrvexEvent> OrvexLogSetIterator::next_backward() {
  State& s = *state_;
  while (true) {
    if (!s.reading && ((s.kind == Kind::recent && s.lines_left <= 0) || !open_backward())) {
      break;
    }
    BackwardLines& lines = *s.backward;
    bool stop = false;
    while (const EventFile::Line* peeked = lines.peek()) {
      if (s.kind == Kind::recent) {
        if (s.lines_left <= 0) {
          stop = true;
          break;
        }
        // The current log's unfinished last line is not one of the last lines; a rotated
        // part's is.
        if (!peeked->ended && s.last) {
          lines.pop();
          continue;
        }
        const EventFile::Line line = checked_line(*peeked, true);
        lines.pop();
        --s.lines_left;
        if (std::optional<OrvexEvent> event = decode_and_filter(line)) return event;
        continue;
      }
      const EventFile::Line line = checked_line(*peeked, false);
      if (s.kind == Kind::all) {
        lines.pop();
        if (std::optional<OrvexEvent> event = decode_and_filter(line)) return event;
        continue;
      }
      std::optional<std::string_view> date_text = find_date(line.text);
      if (!date_text) {
        lines.pop();
        if (has_damage_reporter() && (!line.text.empty() || line.too_long)) {
          decode_and_filter(line);
        }
        continue;
      }
      DateTime date;
      try {
        date = parse_iso_datetime(*date_text);
      } catch (const ValueError&) {
        lines.pop();
        if (!report_damage(line, Damage::Kind::unreadable_date, base::quoted(*date_text))) throw;
        continue;
      }
      if (date < s.since) {  // the mirror of the forward read's end past the range
        stop = true;
        break;
      }
      lines.pop();
      if (date > s.until) continue;
      if (std::optional<OrvexEvent> event = decode_and_filter(line)) return event;
    }
    s.backward.reset();
    s.reading = false;
    file_.close();
    if (stop) break;
  }
  s.finished = true;
  s.backward.reset();
  file_.close();
  s.current.file.close();
  return std::nullopt;
}

}  // namespace orvex
