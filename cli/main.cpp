// orvex-lookout: the command-line front end. Fills the viewer's options record from the
// command line, builds the viewer and shows the events; reports what escapes the viewer's
// constructor on standard error and turns the viewer's exit requests into exit statuses.
#include <locale.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include <orvex/errors.hpp>
#include <orvex/event_pattern.hpp>
#include <orvex/event_viewer.hpp>
#include <orvex/interrupt.hpp>
#include <orvex/message_types.hpp>
#include <orvex/messages.hpp>
#include <orvex/priority_forms.hpp>

#include "output.hpp"

namespace {

constexpr int kStatusError = 1;
constexpr int kStatusUsage = 2;
constexpr int kStatusClosedPipe = 141;

const char* const kSelectionHelp = R"(
Which events are shown: the first of these that is given decides, the rest are ignored.
  1. --since and/or --until   events dated within that range (both ends included)
  2. --days-back N            events from the local date N days ago onwards
  3. --today                  events from the start of today
  4. --all                    every event of the file
  5. --count N                the events of the last N lines
  6. nothing of the above     today's events
--follow then keeps printing the events appended to the file until Ctrl-C, reading on the
file it opened even when a log rotation renames it away. --follow-name follows the name
instead: when the name comes to refer to a new file, the old one is read to its end and the
new one from its start; a truncated file is read again from its start (a report archive has
no name to follow, so --follow-name refuses one).

Dates: 2024-03-05, "2024-03-05 10:00", 2024-03-05T10:00:00, 05.03.2024 (day first, as
the summary writes it), 03/05/2024 (month first), "Mar 5 2024", "10:00" (today), today,
yesterday, now, -2h, "3 days ago", @1709632800 (Unix time). An --until date without a time
includes that whole day.

Several FILEs (logs or report archives) are read as one log: the events of all of them
merged by date, each line (or block) headed by its input's label, the report's host name for
an archive and the file name otherwise; %INPUT gives it in a format expression. An event
without a date stays right after the event before it in its file; at the same moment the
earlier FILE comes first (--reverse: last). --count N shows the events of the last N lines of
that merged log. --follow then follows every FILE that is not an archive. -j N sets the
threads that read the FILEs (default 2; the output is the same for any N).

Priorities: emerg alert crit err warning notice info debug, in any case or as 0-7 (warn,
error, critical, emergency, panic too); A..B a range, warning.. warning and worse,
..notice notice and less severe.

Examples:
  orvex-lookout                                   today's events of the system log
  orvex-lookout -t -p warning..                   today's warnings and worse
  orvex-lookout -a -g 'usb|mount' --json | jq .  search the text, JSON lines for jq
  orvex-lookout -S 2024-03-01 -U 2024-03-05 -s audit events.log
  orvex-lookout -n 20 -m                          the last 20 lines, all fields
  orvex-lookout -a sosreport-host.tar.xz          the log inside a system-report archive
  orvex-lookout -a -o '%ISODATE %PRIORITY %name_en' events.log
  orvex-lookout -f -p crit | grep --line-buffered mount
  orvex-lookout -F -p crit                        ... through the log's rotations
  orvex-lookout -t -p crit sos-*.tar.xz           today's critical events of many reports
  orvex-lookout -a -o '%INPUT %ISODATE %name_en' a.log b.log
)";

void print_error(const std::string& text) {
  std::cout.flush();
  std::cerr << "orvex-lookout: " << text << std::endl;
}

// Colour by --color: auto colours only a terminal that can show it (TERM set and not "dumb"),
// and only when NO_COLOR is unset or empty.
bool colour_wanted(const std::string& mode) {
  if (mode == "always") return true;
  if (mode == "never") return false;
  const char* no_color = std::getenv("NO_COLOR");
  const char* term = std::getenv("TERM");
  return isatty(STDOUT_FILENO) && (no_color == nullptr || *no_color == '\0') && term != nullptr &&
         *term != '\0' && std::strcmp(term, "dumb") != 0;
}

// The values of a repeatable, comma-separated option. Empty pieces name nothing; splitting
// here rather than in the parser keeps a value of commas alone ("-p ,") from taking the next
// word of the command line as its value.
std::vector<std::string> split_list(const std::vector<std::string>& values) {
  std::vector<std::string> items;
  for (const std::string& value : values) {
    std::size_t start = 0;
    while (start <= value.size()) {
      std::size_t comma = value.find(',', start);
      if (comma == std::string::npos) comma = value.size();
      if (comma > start) items.push_back(value.substr(start, comma - start));
      start = comma + 1;
    }
  }
  return items;
}

// The status of a run ended by a termination signal: 128 + its number, as a shell reports a
// process the signal killed (after the clean-up, which a killed process would skip).
int signal_status() {
  int signal_number = orvex::interrupt_signal();
  return 128 + (signal_number != 0 ? signal_number : SIGINT);
}

// The follower's poll interval for tests, which must not wait a second for each poll; kept out
// of --help. Ignored unless it is a whole number of milliseconds from 1 to 60000.
std::int64_t poll_ms_from_environment() {
  const char* text = std::getenv("ORVEX_LOOKOUT_POLL_MS");
  if (text == nullptr || *text == '\0') return 0;
  char* end = nullptr;
  long long value = std::strtoll(text, &end, 10);
  return *end == '\0' && value >= 1 && value <= 60000 ? value : 0;
}

// What escapes the constructor: nothing has been shown yet; one line on standard error.
int report_construction_error() {
  try {
    throw;
  } catch (const orvex::KeyboardInterrupt&) {
    return signal_status();
  } catch (const std::exception& error) {
    print_error(*orvex::error_message(error, orvex::ErrorStage::starting));
  }
  return kStatusError;
}

int run(orvex::OrvexViewerOptions& options, std::ostream& out) {
  std::optional<orvex::OrvexEventViewer> viewer;
  try {
    viewer.emplace(options, out);
  } catch (...) {
    return report_construction_error();
  }
  viewer->watch_output(STDOUT_FILENO);
  // What escapes show_events has passed its clean-up already.
  try {
    viewer->show_events();
    // Nothing at all on a terminal would look like a hang or a failure; in a pipe it is data.
    if (viewer->shown() == 0 && isatty(STDOUT_FILENO)) {
      out.flush();
      std::cerr << orvex::translate("-- No entries --") << std::endl;
    }
  } catch (const orvex::ExitRequest& request) {
    return request.status;
  } catch (const orvex::KeyboardInterrupt&) {
    return signal_status();
  } catch (const orvex::OSError& error) {
    if (error.code().value() == EPIPE) return kStatusClosedPipe;  // the reader went away
    print_error(error.what());
    return kStatusError;
  } catch (const std::exception& error) {
    print_error(error.what());
    return kStatusError;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // Messages follow the user's language; numbers and dates are written locale-independently.
  setlocale(LC_CTYPE, "");
  setlocale(LC_MESSAGES, "");
  signal(SIGPIPE, SIG_IGN);  // a closed pipe shows up as EPIPE and ends the run quietly
  orvex::install_interrupt_handler();

  orvex::OrvexViewerOptions options;
  options.watch_file = "/vantel/log/orvex/events";
  std::vector<std::string> files;
  std::string color = "auto";
  bool nocolor = false, list_types = false, follow_name = false;

  CLI::App app(
      "Show the events of a security-event log, or of the log inside a system-report "
      "tar archive.",
      "orvex-lookout");
  app.footer(kSelectionHelp);
  app.set_version_flag("-V,--version", "orvex-lookout " ORVEX_VERSION);
  app.add_option("FILE", files,
                 "Event logs or report archives, merged by date (default: " +
                     options.watch_file.string() + ")")
      ->option_text(" ");
  app.add_option("-S,--since", options.since, "Show events from this date and time on")
      ->option_text("DATE");
  app.add_option("-U,--until", options.until, "Show events up to this date and time")
      ->option_text("DATE");
  app.add_option("-d,--days-back", options.days_back,
                 "Show events from the local date N days ago on")
      ->option_text("N");
  app.add_flag("-t,--today", options.today, "Show today's events");
  app.add_flag("-a,--all", options.all, "Show every event of the file");
  app.add_option("-n,--count", options.count, "Show the events of the last N lines")
      ->option_text("N");
  app.add_flag("-f,--follow", options.follow,
               "Then print events appended to the file, reading on the file opened");
  app.add_flag("-F,--follow-name", follow_name,
               "Like --follow, but follow the name through rotation and truncation");
  std::vector<std::string> priorities, sources;
  app.add_option("-p,--priority", priorities,
                 "Keep events of this priority or range, e.g. err, 3, warning.. "
                 "(repeatable or comma-separated)")
      ->allow_extra_args(false)
      ->option_text("NAME");
  app.add_option("-s,--source", sources,
                 "Keep events whose type contains this text (repeatable or comma-separated)")
      ->allow_extra_args(false)
      ->option_text("TEXT");
  app.add_option("-o,--format", options.format,
                 "Print each event through EXPR, where %FIELD stands for a field's value")
      ->option_text("EXPR");
  app.add_flag("-m,--more-info", options.more_info, "Print every field of each event");
  app.add_flag("-r,--raw", options.raw, "Print every field with its stored name, no colour");
  app.add_flag("--iso-date", options.iso_date, "Show the stored ISO 8601 date in summaries");
  std::string grep;
  app.add_option("-g,--grep", grep,
                 "Keep events some text of which matches PATTERN (PCRE2; any case when the "
                 "pattern has no capital)")
      ->option_text("PATTERN");
  app.add_flag("--case-sensitive", options.case_sensitive, "Match --grep in the case written");
  app.add_flag("--reverse", options.reverse,
               "Newest first: the same selection read backwards from the end of the file");
  app.add_option("-j,--jobs", options.jobs,
                 "Threads that read several FILEs at once (default 2; 1: one thread)")
      ->check(CLI::Range(1u, 256u))
      ->option_text("N");
  app.add_flag("--json", options.json,
               "Print each event as one line of JSON, members in stored order");
  app.add_option("--color", color, "Colour: auto (on a terminal), always, never")
      ->check(CLI::IsMember({"auto", "always", "never"}))
      ->capture_default_str()
      ->option_text("WHEN");
  app.add_flag("--nocolor,--no-color", nocolor, "No colour (same as --color=never)");
  app.add_flag("--list-types", list_types,
               "Print the message types of the installed event settings, one a line");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    int code = app.exit(error);
    return code == 0 ? 0 : kStatusUsage;
  }

  if (list_types) {
    try {
      for (const std::string& type : orvex::find_unique_message_types()) std::cout << type << '\n';
      std::cout.flush();
    } catch (const std::exception& error) {
      print_error(error.what());
      return kStatusError;
    }
    return std::cout ? 0 : kStatusError;
  }

  if (!files.empty()) {
    options.watch_file = files.front();
    options.more_files.assign(files.begin() + 1, files.end());
  }
  // With several inputs an archive is simply not followed, like the copy it is read from.
  if (follow_name && options.more_files.empty() &&
      orvex::OrvexEventViewer::is_archive(options.watch_file)) {
    print_error(orvex::translate(
        "--follow-name cannot follow a report archive: its log is unpacked once; use --follow"));
    return kStatusUsage;
  }
  options.follow_name = follow_name;
  options.poll_ms = poll_ms_from_environment();
  try {
    options.priority = orvex::priority_filter_from_forms(split_list(priorities));
  } catch (const orvex::ValueError& error) {
    print_error(error.what());
    return kStatusUsage;
  }
  options.source = split_list(sources);
  options.nocolor = nocolor || !colour_wanted(color);
  if (!grep.empty()) {
    options.grep = grep;
    try {
      orvex::EventPattern check(grep, options.case_sensitive);
    } catch (const orvex::ValueError& error) {
      print_error(std::string(orvex::translate("bad --grep pattern")) + ": " + error.what());
      return kStatusUsage;
    }
  }
  if (options.reverse && (options.follow || options.follow_name)) {
    print_error(orvex::translate("--reverse shows what is there: it goes with no --follow"));
    return kStatusUsage;
  }
  if (options.json &&
      ((options.format && !options.format->empty()) || options.more_info || options.raw)) {
    print_error(orvex::translate("--json prints whole events: it goes with neither -o, -m nor -r"));
    return kStatusUsage;
  }

  orvex::FdOutputBuffer buffer(STDOUT_FILENO);
  std::ostream out(&buffer);
  int status = run(options, out);
  out.flush();
  if (!out && status == 0) {
    if (errno == EPIPE) return kStatusClosedPipe;
    print_error(std::string("cannot write to standard output: ") + std::strerror(errno));
    return kStatusError;
  }
  return status;
}
