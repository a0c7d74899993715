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

// Shows the events of `content` through a viewer with an injected stream; returns what it
// wrote and the exit status it requested (-1 for none).
std::pair<std::string, int> show(const std::string& content, OrvexViewerOptions options) {
  testing::TempDir dir;
  options.watch_file = dir.write("events", content);
  options.nocolor = true;
  std::ostringstream out;
  OrvexEventViewer viewer(options, out);
  int status = -1;
  try {
    viewer.show_events();
  } catch (const ExitRequest& request) {
    status = request.status;
  }
  return {out.str(), status};
}

TEST(EventViewerTest, ErrorsWhileShowingBecomeMessagesAfterTheEventsBefore) {
  OrvexViewerOptions range;
  range.since = "2024-01-01";
  auto [out, status] = show(std::string(kGood) + R"({"ISODATE": "15/01/2024"})" "\n", range);
  EXPECT_EQ(out, "15.01.2024 10:00:00, info, , ok\n"
                 "Invalid date format: invalid ISO 8601 date-time '15/01/2024'\n");
  EXPECT_EQ(status, 1);

  OrvexViewerOptions all;
  all.all = true;
  std::tie(out, status) = show(std::string(kGood) + "\xff\n", all);
  EXPECT_EQ(out.rfind("15.01.2024 10:00:00, info, , ok\nInvalid text encoding: '", 0), 0u) << out;
  EXPECT_EQ(status, 1);

  std::tie(out, status) = show(kGood, all);
  EXPECT_EQ(status, -1) << "a finished first pass without follow mode returns";
}

TEST(EventViewerTest, OtherErrorsPassOnUnchanged) {
  OrvexViewerOptions all;
  all.all = true;
  EXPECT_THROW(show(R"({"PRIORITY": "info", "ISODATE": "2024-01-15T10:00:00"})" "\n", all),
               KeyError);
}

TEST(EventViewerTest, MessagesFollowTheLanguage) {
  testing::RussianMessages russian(bind_message_catalogue, ORVEX_LOCALE_DIR);
  if (!russian.ok()) {
    GTEST_SKIP() << "the ru_RU.UTF-8 locale is not generated (scripts/setup does it)";
  }
  OrvexViewerOptions range;
  range.since = "2024-01-01";
  auto [out, status] = show(R"({"ISODATE": "yesterday"})" "\n", range);
  EXPECT_EQ(out, "Неверный формат даты: invalid ISO 8601 date-time 'yesterday'\n");
  EXPECT_EQ(status, 1);
}

}  // namespace
}  // namespace orvex
