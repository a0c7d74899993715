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

std::string mixed_log(int lines) {
  static const char* const kPriorities[] = {"info",  "notice", "warning", "err",
                                            "debug", "crit",   "alert",   "emerg"};
  static const char* const kKeys[] = {"orvex-audit", "orvex-net-fw", "device_mount", "kernel"};
  std::string log;
  unsigned state = 7;
  auto next = [&state] {
    state = state * 1103515245u + 12345u;
    return state >> 8;
  };
  for (int i = 1; i <= lines; ++i) {
    std::string id = std::to_string(i);
    std::string priority = kPriorities[next() % 8];
    std::string key = kKeys[next() % 4];
    std::string name = "Event " + id;
    std::string extra, inner;
    std::string date = "2024-01-15T10:20:30.123456+03:00";
    std::string end = "\n";
    switch (i % 23) {
      case 3:
        name = "esc \\u001b[31m red \\n line\\ttab \\\\x41";
        break;
      case 5:
        name = "raw \xc2\x85 C1, \xe2\x80\xae bidi, \x7f DEL, \xd0\x92\xd1\x85\xd0\xbe\xd0\xb4";
        break;
      case 7:
        extra = ", \"bytes\": \"\xff\xfe\"";  // not UTF-8
        break;
      case 11:
        date = "15/01/2024";  // a summary cannot read it
        break;
      case 13:
        end = "\r\n";
        break;
      case 17:
        end = "\r";
        break;
      case 19:
        extra = ", \"n\": -0, \"list\": [1, \"\\u009b\", null, true, 2.5], \"id\": \"dup\"";
        break;
      case 21:
        // Message fields that replace top-level ones, one of them unreadable as a date.
        inner = ", \"PRIORITY\": \"crit\", \"DATE\": 5, \"ISODATE\": \"2024-02-03T04:05:06\"";
        break;
      case 22:
        // A name at the top level only, and a message of the same type twice.
        extra = ", \"name_en\": \"top\", \"MSG\": {\"kernel\": {\"type_en\": \"K\"}, \"x\": 1}";
        break;
    }
    std::string line = "{\"id\": \"" + id + "\", \"PRIORITY\": \"" + priority +
                       "\", \"ISODATE\": \"" + date + "\", \"MSG\": {\"" + key +
                       "\": {\"type_en\": \"Type " + key + "\", \"name_en\": \"" + name +
                       "\", \"type_ru\": \"\xd0\xa2\xd0\xb8\xd0\xbf\", \"name_ru\": "
                       "\"\xd0\x92\xd1\x85\xd0\xbe\xd0\xb4 " +
                       id + "\"" + inner + "}}" + extra + "}";
    if (i % 23 == 1) {
      // No ISODATE: the summary falls back to DATE.
      std::size_t at = line.find("\"ISODATE\": \"" + date + "\"");
      if (at != std::string::npos)
        line.replace(at, 11 + date.size() + 2, "\"DATE\": \"2024-01-16 11:00\"");
    }
    switch (i % 29) {
      case 4:
        line.clear();  // blank
        break;
      case 8:
        line.resize(line.size() / 2);  // truncated by a crash
        break;
      case 12:
        line = "-- logger restarted --";
        break;
      case 16:
        line = "[1, 2, 3]";
        break;
      case 20:
        line = "{\"id\": \"" + id + "\", \"PRIORITY\": \"info\", \"ISODATE\": \"" + date + "\"}";
        break;
      case 24:
        line = "{\"id\": \"" + id + "\", \"PRIORITY\": 5, \"ISODATE\": \"" + date +
               "\", \"MSG\": {\"kernel\": {\"name_en\": \"n\"}}}";
        break;
    }
    if (i == lines / 2) {
      line = "{\"id\": \"long\", \"PRIORITY\": \"info\", \"ISODATE\": \"" + date +
             "\", \"MSG\": {\"kernel\": {\"name_en\": \"" + std::string(300 << 10, 'x') + "\"}}}";
    }
    log += line;
    if (i < lines) log += end;
  }
  return log;
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
