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

TEST(ViewerMessagesTest, AMissingFileWhileShowingIsReportedInRussian) {
  testing::RussianMessages russian(bind_message_catalogue, ORVEX_LOCALE_DIR);
  if (!russian.ok())
    GTEST_SKIP() << "the ru_RU.UTF-8 locale is not generated (scripts/setup does it)";
  FileNotFoundError missing("cannot open 'x'",
                            std::make_error_code(std::errc::no_such_file_or_directory), "x");
  EXPECT_EQ(error_message(missing, ErrorStage::showing), "Нет такого файла");
  EXPECT_EQ(error_message(missing, ErrorStage::starting), "Нет такого файла: x");
}

}  // namespace
}  // namespace orvex
