#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <orvex/errors.hpp>
#include <orvex/messages.hpp>
#include <orvex/priority_forms.hpp>

#include "russian_messages.hpp"

namespace orvex {
namespace {

using Texts = std::vector<std::string>;

struct Selected {
  Texts forms;
  Texts expected;
};

const Texts kAll = {"alert", "crit", "critical", "debug", "emerg", "emergency", "err",
                    "error", "info", "notice",   "panic", "warn",  "warning"};

TEST(PriorityFormsTest, EachFormSelectsItsTexts) {
  const std::vector<Selected> rows = {
      // a standard name written exactly stays exactly that
      {{"err"}, {"err"}},
      {{"warning"}, {"warning"}},
      {{"debug"}, {"debug"}},
      // names in another letter case: as written and the standard name
      {{"Err"}, {"Err", "err"}},
      {{"WARNING"}, {"WARNING", "warning"}},
      {{"eMeRg"}, {"eMeRg", "emerg"}},
      // aliases: as written, the standard name and the lower-case alias
      {{"error"}, {"err", "error"}},
      {{"ERROR"}, {"ERROR", "err", "error"}},
      {{"Critical"}, {"Critical", "crit", "critical"}},
      {{"panic"}, {"emerg", "panic"}},
      {{"emergency"}, {"emerg", "emergency"}},
      {{"Warn"}, {"Warn", "warn", "warning"}},
      // numbers
      {{"0"}, {"0", "emerg"}},
      {{"3"}, {"3", "err"}},
      {{"4"}, {"4", "warning"}},
      {{"7"}, {"7", "debug"}},
      // white space around a form is dropped
      {{" err "}, {"err"}},
      {{"\tInfo\n"}, {"Info", "info"}},
      // ranges: standard names and lower-case aliases of every level in them
      {{"warning.."},
       {"alert", "crit", "critical", "emerg", "emergency", "err", "error", "panic", "warn",
        "warning"}},
      {{"emerg.."}, {"emerg", "emergency", "panic"}},
      {{"debug.."}, kAll},
      {{"..notice"}, {"debug", "info", "notice"}},
      {{"..warn"}, {"debug", "info", "notice", "warn", "warning"}},
      {{"..debug"}, {"debug"}},
      {{"..0"}, kAll},
      {{"err..warning"}, {"err", "error", "warn", "warning"}},
      {{"warning..err"}, {"err", "error", "warn", "warning"}},
      {{"Crit..4"}, {"crit", "critical", "err", "error", "warn", "warning"}},
      {{"ERROR..error"}, {"err", "error"}},
      {{"0..7"}, kAll},
      {{"info..NOTICE"}, {"info", "notice"}},
      {{" warning .. err "}, {"err", "error", "warn", "warning"}},
      // several forms: their union, sorted, each text once
      {{}, {}},
      {{"err", "Err", "err"}, {"Err", "err"}},
      {{"info", "err..crit"}, {"crit", "critical", "err", "error", "info"}},
      {{"error", "err"}, {"err", "error"}},
  };
  for (const Selected& row : rows) {
    std::string trace;
    for (const std::string& form : row.forms) trace += "[" + form + "]";
    SCOPED_TRACE(trace);
    EXPECT_EQ(priority_filter_from_forms(row.forms), row.expected);
  }
}

struct Refused {
  Texts forms;
  std::string named;  // the part of the message that names the form
};

TEST(PriorityFormsTest, UnknownFormsAreRefusedByName) {
  const std::vector<Refused> rows = {
      {{"warnig"}, "'warnig'"},
      {{"warnings"}, "'warnings'"},
      {{""}, "''"},
      {{"  "}, "'  '"},
      {{".."}, "'..'"},
      {{" .. "}, "' .. '"},
      {{"8"}, "'8'"},
      {{"-1"}, "'-1'"},
      {{"04"}, "'04'"},
      {{"4.5"}, "'4.5'"},
      {{"err warning"}, "'err warning'"},
      {{"warnig.."}, "'warnig..'"},
      {{"..warnig"}, "'..warnig'"},
      {{"err..9"}, "'err..9'"},
      {{"warning..."}, "'warning...'"},
      {{"err...warning"}, "'err...warning'"},
      {{"debug..err..crit"}, "'debug..err..crit'"},
      {{"err", "warnig", "info"}, "'warnig'"},
      {{"\x1b[31merr"}, "'\\x1b[31merr'"},
  };
  for (const Refused& row : rows) {
    SCOPED_TRACE(row.named);
    try {
      priority_filter_from_forms(row.forms);
      ADD_FAILURE() << "accepted";
    } catch (const ValueError& error) {
      std::string message = error.what();
      EXPECT_NE(message.find("unknown priority " + row.named + " ("), std::string::npos) << message;
      EXPECT_EQ(message.find('\x1b'), std::string::npos) << message;
    }
  }
}

TEST(PriorityFormsTest, TheMessageListsTheValidForms) {
  try {
    priority_filter_from_forms({"warnig"});
    FAIL() << "accepted";
  } catch (const ValueError& error) {
    EXPECT_STREQ(error.what(),
                 "unknown priority 'warnig' (use emerg, alert, crit, err, warning, notice, info, "
                 "debug, a number 0-7, or a range such as warning..)");
  }
}

TEST(PriorityFormsTest, TheMessageIsTranslated) {
  testing::RussianMessages russian(bind_message_catalogue, ORVEX_LOCALE_DIR);
  if (!russian.ok())
    GTEST_SKIP() << "the ru_RU.UTF-8 locale is not generated (scripts/setup does it)";
  try {
    priority_filter_from_forms({"warnig"});
    FAIL() << "accepted";
  } catch (const ValueError& error) {
    std::string message = error.what();
    EXPECT_EQ(message.find("unknown priority"), std::string::npos) << message;
    EXPECT_NE(message.find("'warnig'"), std::string::npos) << message;
  }
}

}  // namespace
}  // namespace orvex
