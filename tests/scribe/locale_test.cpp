#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include <orvex/event_formatter.hpp>

namespace orvex {
namespace {

// Run by ctest once per environment (tests/scribe/CMakeLists.txt), with the LOCALE that the
// environment must give in ORVEX_EXPECTED_LOCALE. LOCALE is fixed when the library loads, so
// one process can check one environment only.
TEST(LocaleTest, FollowsEnvironmentAndSelectsLanguage) {
  const char* expected = std::getenv("ORVEX_EXPECTED_LOCALE");
  if (expected == nullptr) GTEST_SKIP() << "run by ctest under a chosen environment";
  EXPECT_EQ(OrvexEventFormatter::LOCALE, expected);

  bool russian = std::string(expected) == "ru_RU";
  OrvexEvent event = OrvexEvent::parse(R"({"PRIORITY": "info", "ISODATE": "2024-01-15T10:20:30",
      "MSG": {"orvex-audit": {"type_en": "Audit", "name_ru": "Вход", "name_en": "Login",
                              "type_ru": "Аудит", "user": "root"}}})");
  OrvexEventFormatter formatter(std::nullopt, false, false, /*no_color=*/true);
  EXPECT_EQ(formatter.format_event(event), russian ? "15.01.2024 10:20:30, info, Аудит, Вход"
                                                   : "15.01.2024 10:20:30, info, Audit, Login");
  // Only the selected language's fields reach the top level, in message order.
  OrvexEvent expected_event =
      russian ? OrvexEvent::parse(R"({"PRIORITY": "info", "ISODATE": "2024-01-15T10:20:30",
                    "source": "audit", "name_ru": "Вход", "type_ru": "Аудит", "user": "root"})")
              : OrvexEvent::parse(R"({"PRIORITY": "info", "ISODATE": "2024-01-15T10:20:30",
                    "source": "audit", "type_en": "Audit", "name_en": "Login", "user": "root"})");
  EXPECT_EQ(event.dump(), expected_event.dump());
}

}  // namespace
}  // namespace orvex
