// orvex-lookout: the command-line front end. Fills the viewer's options record from the
// command line, builds the viewer and shows the events; reports what escapes the viewer's
// constructor on standard error and turns the viewer's exit requests into exit statuses.
#include <locale.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
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

#include <base/terminal_safe.hpp>

#include "output.hpp"
#include "usage.hpp"

namespace {

constexpr int kStatusError = 1;
constexpr int kStatusUsage = 2;
constexpr int kStatusClosedPipe = 141;

// The event-settings folder that --list-types reads unless --settings-dir names another.
constexpr const char* kSettingsDir = "/usr/share/syslog-ng-mod-orvex/event-settings";

// The text after the options in --help, one catalogue entry a paragraph, each line within 80
// columns (a translation keeps to that too).
std::string help_footer() {
  const char* const paragraphs[] = {
      orvex::translate(
          "Which events are shown: the first of these that is given decides.\n"
          "  1. --since and/or --until   events within that range (both ends included)\n"
          "  2. --days-back N            events from the local date N days ago onwards\n"
          "  3. --today                  events from the start of today\n"
          "  4. --all                    every event of the file\n"
          "  5. --count N                the events of the last N lines\n"
          "  6. nothing of the above     today's events\n"
          "--follow then keeps printing the events appended to the file until Ctrl-C,\n"
          "reading on the file it opened even when a log rotation renames it away.\n"
          "--follow-name follows the name instead: when the name comes to refer to a new\n"
          "file, the old one is read to its end and the new one from its start; a\n"
          "truncated file is read again from its start (a report archive has no name to\n"
          "follow, so --follow-name refuses one)."),
      orvex::translate(
          "Dates: 2024-03-05, \"2024-03-05 10:00\", 2024-03-05T10:00:00, 05.03.2024 (day\n"
          "first, as the summary writes it), 03/05/2024 (month first), \"Mar 5 2024\",\n"
          "\"10:00\" (today), today, yesterday, now, -2h, \"3 days ago\", @1709632800 (Unix\n"
          "time). An --until date without a time includes that whole day."),
      orvex::translate(
          "Several FILEs (logs or report archives) are read as one log: the events of all\n"
          "of them merged by date, each line (or block) headed by its input's label, the\n"
          "report's host name for an archive and the file name otherwise; %INPUT gives it\n"
          "in a format expression. An event without a date stays right after the event\n"
          "before it in its file; at the same moment the earlier FILE comes first\n"
          "(--reverse: last). --count N shows the events of the last N lines of that\n"
          "merged log. --follow then follows every FILE that is not an archive. -j N sets\n"
          "the threads that read the FILEs (default 2; the output is the same for any N)."),
      orvex::translate(
          "Priorities: emerg alert crit err warning notice info debug, in any case or as\n"
          "0-7 (warn, error, critical, emergency, panic too); A..B a range, warning..\n"
          "warning and worse, ..notice notice and less severe."),
      orvex::translate(
          "Examples:\n"
          "  orvex-lookout                       today's events of the system log\n"
          "  orvex-lookout -t -p warning..       today's warnings and worse\n"
          "  orvex-lookout -a -g 'usb|mount' --json | jq .\n"
          "                                      search the text, JSON lines for jq\n"
          "  orvex-lookout -S 2024-03-01 -U 2024-03-05 -s audit events.log\n"
          "  orvex-lookout -n 20 -m              the last 20 lines, all fields\n"
          "  orvex-lookout -a sosreport-host.tar.xz\n"
          "                                      the log inside a system-report archive\n"
          "  orvex-lookout -a -o '%ISODATE %PRIORITY %name_en' events.log\n"
          "  orvex-lookout -f -p crit | grep --line-buffered mount\n"
          "  orvex-lookout -F -p crit            ... through the log's rotations\n"
          "  orvex-lookout -d 7 --rotated        the last week, rotated files included\n"
          "  orvex-lookout -t -p crit sos-*.tar.xz\n"
          "                                      today's critical events of many reports\n"
          "  orvex-lookout -a -o '%INPUT %ISODATE %name_en' a.log b.log"),
      orvex::translate("FILE: /vantel/log/orvex/events when none is given."),
      orvex::translate(
          "Exit status: 0 success (an empty selection, skipped damaged lines and Ctrl-C\n"
          "in follow mode too); 1 an error; 2 a usage error; 130 Ctrl-C outside follow\n"
          "mode; 141 the reader of the output went away; 143, 129, 131 ended by SIGTERM,\n"
          "SIGHUP, SIGQUIT."),
      orvex::translate(
          "Environment: LANG, LC_ALL, LC_MESSAGES and LC_CTYPE choose the language of\n"
          "messages and event names; NO_COLOR set and not empty turns colour off, and so\n"
          "does TERM unset or \"dumb\"; COLUMNS gives the width of the screen where the\n"
          "output needs one (else the terminal's, 80 in a pipe)."),
  };
  std::string footer;
  for (const char* paragraph : paragraphs) {
    footer += '\n';
    footer += paragraph;
    footer += '\n';
  }
  return footer;
}

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

// The width of an overview: COLUMNS when it is a positive number, else the width of the
// terminal on standard output, else 80 (a pipe).
unsigned output_columns() {
  if (const char* text = std::getenv("COLUMNS"); text != nullptr && *text != '\0') {
    char* end = nullptr;
    long long value = std::strtoll(text, &end, 10);
    if (*end == '\0' && value > 0 && value <= 100000) return unsigned(value);
  }
  struct winsize size {};
  if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return 80;
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
    if (viewer->shown() == 0 && !options.stats && isatty(STDOUT_FILENO)) {
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

// --list-types: the message types named below `folder`, one a line, terminal-safe (the
// settings are text from files, like the log). A missing folder is no error, as when the
// logger's event module is not installed, but it is said on standard error rather than left
// to look like a folder without types.
int list_message_types(const std::string& folder) {
  namespace fs = std::filesystem;
  std::error_code error;
  const fs::file_type type = fs::status(folder, error).type();
  const std::string quoted = orvex::base::quoted(folder, 200);
  if (type == fs::file_type::not_found) {
    print_error(orvex::fill_message(
        orvex::translate("no event-settings folder %s: no message types listed"), {quoted}));
    return 0;
  }
  if (error) {  // there, but out of reach: that is no missing module
    print_error(
        orvex::fill_message(orvex::translate("cannot read %s: %s"), {quoted, error.message()}));
    return kStatusError;
  }
  if (type != fs::file_type::directory) {
    print_error(orvex::fill_message(orvex::translate("%s is not a folder: no message types listed"),
                                    {quoted}));
    return 0;
  }
  try {
    for (const std::string& type : orvex::find_unique_message_types(folder)) {
      std::cout << orvex::base::terminal_safe(type) << '\n';
    }
    std::cout.flush();
  } catch (const std::exception& error) {
    print_error(error.what());
    return kStatusError;
  }
  return std::cout ? 0 : kStatusError;
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

  using orvex::translate;
  CLI::App app(translate("Show the events of a security-event log, or of the log inside a "
                         "system-report tar archive."),
               "orvex-lookout");
  orvex::cli::use_translated_help(app);
  app.footer(help_footer());
  app.set_version_flag("-V,--version", "orvex-lookout " ORVEX_VERSION,
                       translate("Print the version and exit"));
  app.add_option("FILE", files,
                 translate("Event logs or report archives, merged by date when several"));
  app.add_option("-S,--since", options.since, translate("Show events from this date and time on"))
      ->option_text("DATE");
  app.add_option("-U,--until", options.until, translate("Show events up to this date and time"))
      ->option_text("DATE");
  app.add_option("-d,--days-back", options.days_back,
                 translate("Show events from the local date N days ago on"))
      ->option_text("N");
  app.add_flag("-t,--today", options.today, translate("Show today's events"));
  app.add_flag("-a,--all", options.all, translate("Show every event of the file"));
  app.add_option("-n,--count", options.count, translate("Show the events of the last N lines"))
      ->option_text("N");
  app.add_flag("-f,--follow", options.follow,
               translate("Then print events appended to the file, reading on the file opened"));
  app.add_flag("-F,--follow-name", follow_name,
               translate("Like --follow, but follow the name through rotation and truncation"));
  std::vector<std::string> priorities, sources;
  app.add_option("-p,--priority", priorities,
                 translate("Keep events of this priority or range, e.g. err, 3, warning.. "
                           "(repeatable or comma-separated)"))
      ->allow_extra_args(false)
      ->option_text("NAME");
  app.add_option(
         "-s,--source", sources,
         translate("Keep events whose type contains this text (repeatable or comma-separated)"))
      ->allow_extra_args(false)
      ->option_text("TEXT");
  app.add_option(
         "-o,--format", options.format,
         translate("Print each event through EXPR, where %FIELD stands for a field's value"))
      ->option_text("EXPR");
  app.add_flag("-m,--more-info", options.more_info, translate("Print every field of each event"));
  app.add_flag("-r,--raw", options.raw,
               translate("Print every field with its stored name, no colour"));
  app.add_flag("--iso-date", options.iso_date,
               translate("Show the stored ISO 8601 date in summaries"));
  std::string grep;
  app.add_option("-g,--grep", grep,
                 translate("Keep events some text of which matches PATTERN (PCRE2; any case when "
                           "the pattern has no capital)"))
      ->option_text("PATTERN");
  app.add_flag("--case-sensitive", options.case_sensitive,
               translate("Match --grep in the case written"));
  app.add_flag(
      "--reverse", options.reverse,
      translate("Newest first: the same selection read backwards from the end of the file"));
  app.add_flag("--rotated", options.rotated,
               translate("Also read the log's rotated files (NAME.1, NAME.2.gz, NAME-20261203.xz, "
                         "...), oldest first, as one log; compressed ones are read forwards, so "
                         "with -n or --reverse each is read whole"));
  app.add_flag("--json", options.json,
               translate("Print each event as one line of JSON, members in stored order"));
  app.add_flag("--stats", options.stats,
               translate("Instead of the events, print an overview of them: counts by priority "
                         "and type, and a timeline (one JSON object with --json)"));
  app.add_option("-j,--jobs", options.jobs,
                 translate("Worker threads for a whole listing and for reading several FILEs at "
                           "once (default 2; 1: one thread)"))
      ->check(CLI::Range(1u, 256u))
      ->option_text("N");
  app.add_option("--color", color, translate("Colour: auto (on a terminal), always, never"))
      ->check(CLI::IsMember({"auto", "always", "never"}))
      ->capture_default_str()
      ->option_text("WHEN");
  app.add_flag("--nocolor,--no-color", nocolor, translate("No colour (same as --color=never)"));
  app.add_flag("--list-types", list_types,
               translate("Print the message types of the event settings, one a line"));
  std::string settings_dir = kSettingsDir;
  app.add_option("--settings-dir", settings_dir,
                 translate("The event-settings folder that --list-types reads"))
      ->option_text("DIR");
  try {
    app.parse(argc, argv);
  } catch (const CLI::Success& done) {
    return app.exit(done);  // --help or --version, on standard output
  } catch (const CLI::ParseError& error) {
    print_error(orvex::cli::usage_error_message(error));
    std::cerr << translate("Run 'orvex-lookout --help' for the options.") << std::endl;
    return kStatusUsage;
  }

  if (list_types) return list_message_types(settings_dir);

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
  // The last lines of several rotated sets at once are not worked out: refuse rather than show
  // the last lines of the current files alone.
  const bool counts_lines = (!options.since || options.since->empty()) &&
                            (!options.until || options.until->empty()) && options.days_back == 0 &&
                            !options.today && !options.all && options.count != 0;
  if (options.rotated && !options.more_files.empty() && counts_lines) {
    print_error(orvex::translate("--rotated with several FILEs goes with no --count"));
    return kStatusUsage;
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

  if (options.stats && (options.follow || options.follow_name)) {
    print_error(orvex::translate("--stats counts what is there: it goes with no --follow"));
    return kStatusUsage;
  }
  if (options.stats &&
      ((options.format && !options.format->empty()) || options.more_info || options.raw)) {
    print_error(orvex::translate(
        "--stats prints an overview, not events: it goes with neither -o, -m nor -r"));
    return kStatusUsage;
  }
  if (options.stats) options.columns = output_columns();

  orvex::FdOutputBuffer buffer(STDOUT_FILENO);
  std::ostream out(&buffer);
  int status = run(options, out);
  out.flush();
  if (!out && status == 0) {
    if (errno == EPIPE) return kStatusClosedPipe;
    print_error(orvex::fill_message(orvex::translate("cannot write to standard output: %s"),
                                    {std::strerror(errno)}));
    return kStatusError;
  }
  return status;
}
