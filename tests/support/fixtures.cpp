#include "fixtures.hpp"

#include <gtest/gtest.h>

#include <time.h>

#include <ctime>

#include "process.hpp"

namespace orvex::testing {

std::string event_line(const Event& event) {
  std::string names = "\"type_en\": \"Audit\", \"name_en\": \"" +
                      (event.name.empty() ? "Login " + event.id : event.name) + "\"";
  if (event.russian) names += ", \"type_ru\": \"Аудит\", \"name_ru\": \"Вход " + event.id + "\"";
  return "{\"id\": \"" + event.id + "\", \"PRIORITY\": \"" + event.priority +
         "\", \"ISODATE\": \"" + event.isodate + "\", \"MSG\": {\"" + event.key + "\": {" + names +
         "}}}\n";
}

std::string local_date(int offset) {
  time_t now = time(nullptr) + offset * 86400;
  struct tm local {};
  localtime_r(&now, &local);
  char text[16];
  std::strftime(text, sizeof text, "%Y-%m-%d", &local);
  return text;
}

void sh(const std::string& command) {
  RunResult result = run({"sh", "-c", command});
  ASSERT_EQ(result.status, 0) << command << "\n" << result.err;
}

}  // namespace orvex::testing
