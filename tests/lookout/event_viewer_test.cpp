#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include <orvex/errors.hpp>
#include <orvex/event_viewer.hpp>

#include "russian_messages.hpp"
#include "temp_path.hpp"

namespace orvex {
namespace {

const char* const kGood =
    R"({"PRIORITY": "info", "ISODATE": "2024-01-15T10:00:00", "MSG": {"kernel": {"name_en": "ok"}}})"
    "\n";

struct Shown {
  std::string out, notices;
  int status = -1;  // the exit status requested, -1 for none
};

// Shows the events of `content` through a viewer with injected streams.
Shown show(const std::string& content, OrvexViewerOptions options, std::ostream* out = nullptr) {
  testing::TempDir dir;
  options.watch_file = dir.write("events", content);
  options.nocolor = true;
  std::ostringstream captured, notices;
  OrvexEventViewer viewer(options, out != nullptr ? *out : captured, notices);
  Shown shown;
  try {
    viewer.show_events();
  } catch (const ExitRequest& request) {
    shown.status = request.status;
  }
  shown.out = captured.str();
  shown.notices = notices.str();
  return shown;
}

// A line the viewer cannot use is damage: noticed with its line and why, skipped, and the run
// goes on to the later events and ends as a clean run would.
TEST(EventViewerTest, DamagedLinesAreNoticedAndSkipped) {
  OrvexViewerOptions range;
  range.since = "2024-01-01";
  Shown shown = show(std::string(kGood) +
                         R"({"ISODATE": "15/01/2024"})"
                         "\n" +
                         kGood,
                     range);
  EXPECT_EQ(shown.out, "15.01.2024 10:00:00, info, , ok\n15.01.2024 10:00:00, info, , ok\n");
  EXPECT_NE(shown.notices.find(", line 2: unreadable date '15/01/2024'; skipped\n"),
            std::string::npos)
      << shown.notices;
  EXPECT_NE(shown.notices.find("orvex-lookout: 1 damaged line skipped (first at line 2)\n"),
            std::string::npos)
      << shown.notices;
  EXPECT_EQ(shown.status, -1) << "a finished first pass without follow mode returns";

  OrvexViewerOptions all;
  all.all = true;
  shown = show(std::string(kGood) + "\xff\n" +
                   R"({"PRIORITY": "info", "ISODATE": "2024-01-15T10:00:00"})"
                   "\n",
               all);
  EXPECT_EQ(shown.out, "15.01.2024 10:00:00, info, , ok\n");
  EXPECT_NE(shown.notices.find(", line 2: not valid UTF-8 (byte 1 of the line); skipped\n"),
            std::string::npos)
      << shown.notices;
  EXPECT_NE(shown.notices.find(", line 3: cannot be shown: the event has no field 'MSG'"),
            std::string::npos)
      << shown.notices;
  EXPECT_EQ(shown.status, -1);

  shown = show(kGood, all);
  EXPECT_EQ(shown.notices, "") << "no damage, no notice";
}

TEST(EventViewerTest, AnOutputThatFailsPassesOnAsAnError) {
  OrvexViewerOptions all;
  all.all = true;
  std::ostringstream broken;
  broken.setstate(std::ios::badbit);
  EXPECT_THROW(show(kGood, all, &broken), OSError);
}

TEST(EventViewerTest, MessagesFollowTheLanguage) {
  testing::RussianMessages russian(bind_message_catalogue, ORVEX_LOCALE_DIR);
  if (!russian.ok()) {
    GTEST_SKIP() << "the ru_RU.UTF-8 locale is not generated (scripts/setup does it)";
  }
  OrvexViewerOptions range;
  range.since = "2024-01-01";
  Shown shown = show(R"({"ISODATE": "yesterday"})"
                     "\n",
                     range);
  EXPECT_NE(shown.notices.find(", строка 1: нечитаемая дата 'yesterday'; пропущено\n"),
            std::string::npos)
      << shown.notices;
  EXPECT_NE(shown.notices.find("пропущена 1 повреждённая строка (первая: строка 1)"),
            std::string::npos)
      << shown.notices;
}

}  // namespace
}  // namespace orvex
