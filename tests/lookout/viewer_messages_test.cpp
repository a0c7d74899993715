// The viewer's messages in Russian, through the build's compiled catalogue: every message the
// viewer and the front end translate has an entry, so a message reworded in the code without
// its catalogue entry shows up here.
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include <orvex/errors.hpp>
#include <orvex/event_viewer.hpp>

#include "russian_messages.hpp"
#include "temp_path.hpp"

namespace orvex {
namespace {

TEST(ViewerMessagesTest, EveryTranslatedMessageHasARussianEntry) {
  testing::RussianMessages russian(bind_message_catalogue, ORVEX_LOCALE_DIR);
  if (!russian.ok())
    GTEST_SKIP() << "the ru_RU.UTF-8 locale is not generated (scripts/setup does it)";
  for (const char* message :
       {"No such file", "Invalid date format", "Invalid text encoding",
        "Unpacking failed: Unsupported format or corrupted file", "Archive member not found"}) {
    SCOPED_TRACE(message);
    std::string translated = translate(message);
    EXPECT_NE(translated, message);
    EXPECT_FALSE(translated.empty());
  }
}

TEST(ViewerMessagesTest, AnUnreadableLineIsReportedInRussian) {
  testing::RussianMessages russian(bind_message_catalogue, ORVEX_LOCALE_DIR);
  if (!russian.ok())
    GTEST_SKIP() << "the ru_RU.UTF-8 locale is not generated (scripts/setup does it)";
  testing::TempDir dir;
  const std::string good =
      R"({"PRIORITY": "info", "ISODATE": "2024-01-15T10:00:00", "MSG": {"kernel": {}}})"
      "\n";
  OrvexViewerOptions options;
  options.all = true;
  options.nocolor = true;
  options.format = "%PRIORITY";
  options.watch_file = dir.write("events", good + "{\"name\": \"caf\xe9\"}\n");
  std::ostringstream out;
  OrvexEventViewer viewer(options, out);
  int status = -1;
  try {
    viewer.show_events();
  } catch (const ExitRequest& request) {
    status = request.status;
  }
  EXPECT_EQ(out.str(), "info\nНеверная кодировка текста: '" + options.watch_file.string() +
                           "': invalid UTF-8 at byte offset " + std::to_string(good.size() + 13) +
                           "\n");
  EXPECT_EQ(status, 1);
}

}  // namespace
}  // namespace orvex
