#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>
#include <typeinfo>
#include <vector>

#include <orvex/errors.hpp>
#include <orvex/event_formatter.hpp>

// These tests run with LC_ALL=C (see CMakeLists.txt): LOCALE is "" and the English message
// fields are the ones kept.

namespace orvex {
namespace {

using F = OrvexEventFormatter;

struct Options {
  const char* expression = nullptr;  // none
  bool detailed = false;
  bool raw = false;
  bool no_color = false;
  bool iso_date = false;
};

F make(const Options& o) {
  std::optional<std::string> expression;
  if (o.expression != nullptr) expression = o.expression;
  return F(expression, o.detailed, o.raw, o.no_color, o.iso_date);
}

std::string grey(std::string_view text) { return F::COLOR_GREY + std::string(text) + F::COLOR_END; }
std::string yellow(std::string_view text) { return F::COLOR_OK + std::string(text) + F::COLOR_END; }
std::string red(std::string_view text) { return F::COLOR_FAIL + std::string(text) + F::COLOR_END; }

std::string strip_colour(std::string text) {
  for (const std::string* sequence :
       {&F::COLOR_OK, &F::COLOR_FAIL, &F::COLOR_GREY, &F::COLOR_END}) {
    for (auto p = text.find(*sequence); p != std::string::npos; p = text.find(*sequence, p)) {
      text.erase(p, sequence->size());
    }
  }
  return text;
}

// The event of the worked examples: a warning logged at 10:20:30 on 15 January 2024.
constexpr std::string_view kWarning = R"({"PRIORITY": "warning",
    "ISODATE": "2024-01-15T10:20:30.250+03:00",
    "MSG": {"orvex-audit": {"type_en": "Audit", "name_en": "User login",
                            "type_ru": "Аудит", "name_ru": "Вход"}}})";

TEST(EventFormatterTest, ColourConstants) {
  EXPECT_EQ(F::COLOR_OK, "\x1b[93m");
  EXPECT_EQ(F::COLOR_FAIL, "\x1b[91m");
  EXPECT_EQ(F::COLOR_GREY, "\x1b[90m");
  EXPECT_EQ(F::COLOR_END, "\x1b[0m");
}

TEST(EventFormatterTest, Layouts) {
  std::string sep = grey(", ");
  struct Row {
    const char* name;
    std::string_view event;
    Options options;
    std::string expected;
  };
  const std::vector<Row> rows = {
      {"summary without colour",
       kWarning,
       {.no_color = true},
       "15.01.2024 10:20:30, warning, Audit, User login"},
      {"summary with colour",
       kWarning,
       {},
       grey("15.01.2024 10:20:30") + sep + yellow("warning") + sep + grey("Audit") + sep +
           "User login"},
      {"summary, iso date as stored",
       kWarning,
       {.no_color = true, .iso_date = true},
       "2024-01-15T10:20:30.250+03:00, warning, Audit, User login"},
      {"summary from DATE when ISODATE is missing",
       R"({"PRIORITY": "info", "DATE": "2024-01-15 10:20:30", "MSG": {"kernel": {}}})",
       {.no_color = true},
       "15.01.2024 10:20:30, info, , "},
      {"summary without type and name, coloured",
       R"({"PRIORITY": "info", "ISODATE": "2024-01-15T10:20:30", "MSG": {"kernel": {}}})",
       {},
       grey("15.01.2024 10:20:30") + sep + "info" + sep + grey("") + sep},
      {"raw",
       R"({"PRIORITY": "warning", "MSG": {"orvex-audit": {}}})",
       {.raw = true},
       "PRIORITY: warning\nsource:   audit\n"},
      {"detailed without colour",
       R"({"PRIORITY": "warning", "MSG": {"orvex-audit": {}}})",
       {.detailed = true, .no_color = true},
       "Priority: warning\nSource:   audit\n"},
      {"detailed with colour",
       R"({"PRIORITY": "warning", "MSG": {"orvex-audit": {}}})",
       {.detailed = true},
       grey("Priority:") + " " + yellow("warning") + "\n" + grey("Source:") + "   audit\n"},
      {"detailed with raw: capitalised, no colour",
       R"({"PRIORITY": "crit", "MSG": {"orvex-audit": {}}})",
       {.detailed = true, .raw = true},
       "Priority: crit\nSource:   audit\n"},
      {"raw with every kind of field",
       R"({"PRIORITY": "crit", "ISODATE": "2024-01-15T10:20:30", "HOST": "h1",
           "MSG": {"orvex-net-fw": {"type_en": "Firewall", "name_en": "Drop",
                                    "extra": {"a": "b"}, "port": 22}}})",
       {.raw = true},
       "PRIORITY: crit\nISODATE:  2024-01-15T10:20:30\nHOST:     h1\nsource:   net\n"
       "type_en:  Firewall\nname_en:  Drop\nextra:    {'a': 'b'}\nport:     22\n"},
      {"detailed wins over an expression",
       R"({"PRIORITY": "info", "MSG": {"kernel": {}}})",
       {.expression = "%PRIORITY", .detailed = true, .no_color = true},
       "Priority: info\nSource:   kernel\n"},
      {"an empty expression counts as none",
       R"({"PRIORITY": "info", "ISODATE": "2024-01-15", "MSG": {"kernel": {}}})",
       {.expression = "", .no_color = true},
       "15.01.2024 00:00:00, info, , "},
      {"raw without colour needs no PRIORITY",
       R"({"MSG": {"kernel": {"a": "b"}}})",
       {.raw = true, .no_color = true},
       "source: kernel\na:      b\n"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    OrvexEvent event = OrvexEvent::parse(row.event);
    EXPECT_EQ(make(row.options).format_event(event), row.expected);
  }
}

// Values start max_key_length + 2 characters into the line whatever the colour, and keys are
// measured in characters, not bytes.
TEST(EventFormatterTest, KeyValueBlockAligns) {
  constexpr std::string_view event_text = R"({"PRIORITY": "alert", "хост": "srv",
      "a": "1", "MSG": {"orvex-audit": {"long_field_name": "x", "éTAT": "ok"}}})";
  for (Options options : {Options{.raw = true}, Options{.detailed = true},
                          Options{.detailed = true, .no_color = true}}) {
    SCOPED_TRACE(options.detailed ? (options.no_color ? "detailed, no colour" : "detailed")
                                  : "raw");
    OrvexEvent event = OrvexEvent::parse(event_text);
    std::string block = make(options).format_event(event);
    ASSERT_FALSE(block.empty());
    EXPECT_EQ(block.back(), '\n');
    EXPECT_EQ(block.find("\n\n"), std::string::npos);
    std::string plain = strip_colour(block);
    const std::string expected =
        options.detailed ? "Priority:        alert\nХост:            srv\nA:               1\n"
                           "Source:          audit\nLong_field_name: x\nÉtat:            ok\n"
                         : "PRIORITY:        alert\nхост:            srv\na:               1\n"
                           "source:          audit\nlong_field_name: x\néTAT:            ok\n";
    EXPECT_EQ(plain, expected);
    bool coloured = options.detailed && !options.no_color;
    EXPECT_EQ(block.find('\x1b') != std::string::npos, coloured);
    if (coloured) {
      EXPECT_NE(block.find(grey("Long_field_name:") + " x\n"), std::string::npos);
      EXPECT_NE(block.find(grey("Priority:") + "        " + red("alert") + "\n"),
                std::string::npos);
    }
  }
}

TEST(EventFormatterTest, UnpackingSetsSource) {
  struct Row {
    std::string msg_key;
    std::string source;
  };
  for (const Row& row : std::vector<Row>{{"kernel", "kernel"},
                                         {"orvex-audit", "audit"},
                                         {"orvex-x-y", "x"},
                                         {"orvex-net-fw", "net"},
                                         {"orvex-", ""},
                                         {"my-orvex", "orvex"},
                                         {"sshd-orvex-x", "orvex"}}) {
    SCOPED_TRACE(row.msg_key);
    OrvexEvent event = {{"PRIORITY", "info"}, {"MSG", {{row.msg_key, OrvexEvent::object()}}}};
    F(std::nullopt, false, true).format_event(event);
    EXPECT_EQ(event.dump(), OrvexEvent({{"PRIORITY", "info"}, {"source", row.source}}).dump());
  }
}

TEST(EventFormatterTest, UnpackingMovesMessageFieldsInPlace) {
  struct Row {
    const char* name;
    std::string_view event;
    std::string_view after;
  };
  const std::vector<Row> rows = {
      {"message fields replace top-level ones in their place; others go to the end",
       R"({"source": "old", "PRIORITY": "info", "X": "1",
           "MSG": {"kernel": {"PRIORITY": "crit", "source": "own", "new": "n"}}})",
       R"({"source": "own", "PRIORITY": "crit", "X": "1", "new": "n"})"},
      {"only the first message key counts",
       R"({"PRIORITY": "info", "MSG": {"orvex-audit": {"a": "1"}, "orvex-net": {"b": "2"}}})",
       R"({"PRIORITY": "info", "source": "audit", "a": "1"})"},
      {"the other language's fields are dropped, a missing one is no error",
       R"({"PRIORITY": "info", "MSG": {"kernel": {"type_ru": "т", "name_en": "n",
                                                  "type_en": "t"}}})",
       R"({"PRIORITY": "info", "source": "kernel", "name_en": "n", "type_en": "t"})"},
      {"a message field named MSG is dropped with the message",
       R"({"PRIORITY": "info", "MSG": {"kernel": {"MSG": "inner", "a": [1, {"b": null}]}}})",
       R"({"PRIORITY": "info", "source": "kernel", "a": [1, {"b": null}]})"},
      {"non-text message values are kept as they are",
       R"({"PRIORITY": "info", "MSG": {"kernel": {"n": 5, "f": 1.5, "t": true}}})",
       R"({"PRIORITY": "info", "source": "kernel", "n": 5, "f": 1.5, "t": true})"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    OrvexEvent event = OrvexEvent::parse(row.event);
    F(std::nullopt, false, true, true).format_event(event);
    EXPECT_EQ(event.dump(), OrvexEvent::parse(row.after).dump());
  }
}

TEST(EventFormatterTest, EventIsFormattedOnce) {
  OrvexEvent event = OrvexEvent::parse(kWarning);
  F formatter;
  formatter.format_event(event);
  EXPECT_FALSE(event.contains("MSG"));
  EXPECT_EQ(event["PRIORITY"], yellow("warning"));
  EXPECT_THROW(formatter.format_event(event), KeyError);
}

TEST(EventFormatterTest, PriorityColours) {
  struct Row {
    std::string priority;
    std::string coloured;
  };
  const std::vector<Row> rows = {
      {"emerg", red("emerg")},
      {"emergency", red("emergency")},
      {"alert", red("alert")},
      {"crit", red("crit")},
      {"critical", red("critical")},
      {"warning", yellow("warning")},
      {"error", yellow("error")},
      {"err", yellow("err")},
      {"notice", "notice"},
      {"info", "info"},
      {"debug", "debug"},
      {"warn", "warn"},
      {"panic", "panic"},
      {"WARNING", "WARNING"},
      {"", ""},
      {"crit ", "crit "},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.priority);
    for (Options options :
         {Options{.expression = "%PRIORITY"}, Options{.expression = "%PRIORITY", .no_color = true},
          Options{.raw = true}}) {
      OrvexEvent event = {{"PRIORITY", row.priority}, {"MSG", {{"kernel", OrvexEvent::object()}}}};
      std::string text = make(options).format_event(event);
      bool coloured = !options.no_color && !options.raw;
      EXPECT_EQ(event["PRIORITY"], coloured ? row.coloured : row.priority);
      if (options.expression != nullptr) {
        EXPECT_EQ(text, coloured ? row.coloured : row.priority);
      }
      if (options.raw) {
        EXPECT_EQ(text.find('\x1b'), std::string::npos);
      }
    }
  }
  // A null priority is left alone by colouring and shown in the block.
  OrvexEvent event = OrvexEvent::parse(R"({"PRIORITY": null, "MSG": {"kernel": {}}})");
  EXPECT_EQ(F(std::nullopt, true).format_event(event),
            grey("Priority:") + " None\n" + grey("Source:") + "   kernel\n");
}

TEST(EventFormatterTest, ExpressionSubstitution) {
  constexpr std::string_view kInfo =
      R"({"PRIORITY": "info", "MSG": {"orvex-audit": {"name_en": "Login"}}})";
  struct Row {
    const char* name;
    std::string_view event;
    std::string expression;
    bool no_color;
    std::string expected;
  };
  const std::vector<Row> rows = {
      {"two fields", kInfo, "%PRIORITY|%source", true, "info|audit"},
      {"coloured priority", R"({"PRIORITY": "crit", "MSG": {"orvex-audit": {}}})",
       "%PRIORITY|%source", false, red("crit") + "|audit"},
      {"only the priority is coloured", kInfo, "%PRIORITY %source %name_en", false,
       "info audit Login"},
      {"no placeholder", kInfo, "plain text", false, "plain text"},
      {"a lone percent sign", kInfo, "100%", true, "100%"},
      {"a doubled percent sign", kInfo, "%%PRIORITY", true, "%info"},
      {"every occurrence", kInfo, "%source/%source", true, "audit/audit"},
      {"an unknown field stays as written", kInfo, "%nosuchfield %PRIORITY", true,
       "%nosuchfield info"},
      {"no terminator after the name", kInfo, "%PRIORITYx", true, "infox"},
      {"a shorter field that comes first takes the start of a longer name",
       R"({"PRIORITY": "info", "name": "N", "MSG": {"kernel": {"name_en": "E"}}})", "%name_en",
       true, "N_en"},
      {"a longer field that comes first wins",
       R"({"PRIORITY": "info", "name_en": "E", "name": "N", "MSG": {"kernel": {}}})",
       "%name_en %name", true, "E N"},
      {"a value naming a later field is substituted again",
       R"({"PRIORITY": "info", "A": "%source", "MSG": {"kernel": {}}})", "[%A]", true, "[kernel]"},
      {"line ends are kept, none is added", kInfo, "%PRIORITY\n%source", true, "info\naudit"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    OrvexEvent event = OrvexEvent::parse(row.event);
    EXPECT_EQ(F(row.expression, false, false, row.no_color).format_event(event), row.expected);
  }
}

TEST(EventFormatterTest, InputLabelInExpressions) {
  constexpr std::string_view kInfo =
      R"({"PRIORITY": "info", "MSG": {"orvex-audit": {"name_en": "Login"}}})";
  struct Row {
    const char* name;
    std::string_view event;
    std::string expression;
    std::string label;
    std::string expected;
  };
  const std::vector<Row> rows = {
      {"every occurrence", kInfo, "%INPUT: %PRIORITY (%INPUT)", "host-a", "host-a: info (host-a)"},
      {"a field named INPUT is not reached through it",
       R"({"PRIORITY": "info", "INPUT": "field", "MSG": {"kernel": {}}})", "%INPUT", "host-a",
       "host-a"},
      {"a label is not read for field names", kInfo, "%INPUT", "%PRIORITY", "%PRIORITY"},
      {"a value is not read for the label",
       R"({"PRIORITY": "info", "A": "%INPUT", "MSG": {"kernel": {}}})", "[%A]", "host-a",
       "[%INPUT]"},
      {"a placeholder is not joined across the label", kInfo, "%PRIO%INPUTRITY", "x", "%PRIOxRITY"},
      {"the label is made terminal-safe", kInfo, "%INPUT", "a\x1b[31mb", "a\\x1b[31mb"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    OrvexEvent event = OrvexEvent::parse(row.event);
    EXPECT_EQ(F(row.expression, false, false, true).format_event(event, row.label), row.expected);
  }
  // The event gains no field.
  OrvexEvent event = OrvexEvent::parse(kInfo);
  F(std::string("%INPUT"), false, false, true).format_event(event, "host-a");
  EXPECT_FALSE(event.contains("INPUT"));
  // Without a label %INPUT is a field name like any other.
  OrvexEvent plain = OrvexEvent::parse(kInfo);
  EXPECT_EQ(F(std::string("%INPUT"), false, false, true).format_event(plain), "%INPUT");
}

enum class Kind { Key, Index, Type, Value };

const char* kind_label(Kind kind) {
  switch (kind) {
    case Kind::Key:
      return "KeyError";
    case Kind::Index:
      return "IndexError";
    case Kind::Type:
      return "TypeError";
    case Kind::Value:
      return "ValueError";
  }
  return "?";
}

bool is_kind(const Error& error, Kind kind) {
  switch (kind) {
    case Kind::Key:
      return dynamic_cast<const KeyError*>(&error) != nullptr;
    case Kind::Index:
      return dynamic_cast<const IndexError*>(&error) != nullptr;
    case Kind::Type:
      return dynamic_cast<const TypeError*>(&error) != nullptr;
    case Kind::Value:
      return dynamic_cast<const ValueError*>(&error) != nullptr;
  }
  return false;
}

TEST(EventFormatterTest, Errors) {
  struct Row {
    const char* name;
    std::string_view event;
    Options options;
    Kind kind;
    std::vector<std::string> fragments;  // the field and the value, as the message names them
  };
  const std::vector<Row> rows = {
      {"no MSG", R"({"PRIORITY": "info"})", {}, Kind::Key, {"'MSG'"}},
      {"empty MSG", R"({"PRIORITY": "info", "MSG": {}})", {}, Kind::Index, {"'MSG'", "empty"}},
      {"orvex key without a dash",
       R"({"PRIORITY": "info", "MSG": {"orvexaudit": {}}})",
       {},
       Kind::Index,
       {"'orvexaudit'"}},
      {"MSG not a mapping",
       R"({"PRIORITY": "info", "MSG": ["orvex-audit"]})",
       {},
       Kind::Type,
       {"'MSG'", "['orvex-audit']"}},
      {"message fields not a mapping",
       R"({"PRIORITY": "info", "MSG": {"kernel": "up"}})",
       {},
       Kind::Type,
       {"'kernel'", "'up'"}},
      {"the event not a mapping", R"(["PRIORITY"])", {}, Kind::Type, {"['PRIORITY']"}},
      {"no PRIORITY for the summary",
       R"({"ISODATE": "2024-01-15", "MSG": {"kernel": {}}})",
       {.no_color = true},
       Kind::Key,
       {"'PRIORITY'"}},
      {"no PRIORITY for a coloured block",
       R"({"MSG": {"kernel": {}}})",
       {.detailed = true},
       Kind::Key,
       {"'PRIORITY'"}},
      {"no PRIORITY for raw mode with colour on",
       R"({"MSG": {"kernel": {}}})",
       {.raw = true},
       Kind::Key,
       {"'PRIORITY'"}},
      {"a numeric priority with colour on",
       R"({"PRIORITY": 3, "MSG": {"kernel": {}}})",
       {.detailed = true},
       Kind::Type,
       {"'PRIORITY'", "3"}},
      {"a numeric priority in a summary without colour",
       R"({"PRIORITY": 3, "ISODATE": "2024-01-15", "MSG": {"kernel": {}}})",
       {.no_color = true},
       Kind::Type,
       {"'PRIORITY'", "3"}},
      {"a null priority in a summary",
       R"({"PRIORITY": null, "ISODATE": "2024-01-15", "MSG": {"kernel": {}}})",
       {},
       Kind::Type,
       {"'PRIORITY'", "null"}},
      {"iso date wanted but missing",
       R"({"PRIORITY": "info", "DATE": "2024-01-15", "MSG": {"kernel": {}}})",
       {.iso_date = true},
       Kind::Key,
       {"'ISODATE'"}},
      {"neither ISODATE nor DATE",
       R"({"PRIORITY": "info", "MSG": {"kernel": {}}})",
       {},
       Kind::Type,
       {"'ISODATE'", "'DATE'"}},
      {"a date that is not text",
       R"({"PRIORITY": "info", "ISODATE": 20240115, "MSG": {"kernel": {}}})",
       {},
       Kind::Type,
       {"'ISODATE'", "20240115"}},
      {"a null ISODATE does not fall back to DATE",
       R"({"PRIORITY": "info", "ISODATE": null, "DATE": "2024-01-15", "MSG": {"kernel": {}}})",
       {},
       Kind::Type,
       {"'ISODATE'"}},
      {"Z is no offset",
       R"({"PRIORITY": "info", "ISODATE": "2024-01-15T10:20:30Z", "MSG": {"kernel": {}}})",
       {},
       Kind::Value,
       {"'ISODATE'", "'2024-01-15T10:20:30Z'"}},
      {"an invalid DATE",
       R"({"PRIORITY": "info", "DATE": "2024-02-30 10:00:00", "MSG": {"kernel": {}}})",
       {},
       Kind::Value,
       {"'DATE'", "'2024-02-30 10:00:00'", "day"}},
      {"a type that is not text",
       R"({"PRIORITY": "info", "ISODATE": "2024-01-15", "MSG": {"kernel": {"type_en": 7}}})",
       {},
       Kind::Type,
       {"'type_en'", "7"}},
      {"a name that is not text",
       R"({"PRIORITY": "info", "ISODATE": "2024-01-15",
           "MSG": {"kernel": {"name_en": ["a"]}}})",
       {},
       Kind::Type,
       {"'name_en'", "['a']"}},
      {"an expression with one numeric field that it never names",
       R"({"PRIORITY": "info", "count": 5, "MSG": {"kernel": {}}})",
       {.expression = "%PRIORITY"},
       Kind::Type,
       {"'count'", "5"}},
      {"an expression with a null field",
       R"({"PRIORITY": "info", "MSG": {"kernel": {"x": null}}})",
       {.expression = "%PRIORITY", .no_color = true},
       Kind::Type,
       {"'x'", "null"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    OrvexEvent event = OrvexEvent::parse(row.event);
    try {
      make(row.options).format_event(event);
      ADD_FAILURE() << "no error, expected " << kind_label(row.kind);
    } catch (const Error& error) {
      EXPECT_TRUE(is_kind(error, row.kind)) << "expected " << kind_label(row.kind) << ", got "
                                            << typeid(error).name() << ": " << error.what();
      for (const std::string& fragment : row.fragments) {
        EXPECT_NE(std::string(error.what()).find(fragment), std::string::npos)
            << "message: " << error.what() << "\nmissing: " << fragment;
      }
    }
  }
}

TEST(EventFormatterTest, FailureKeepsEarlierChanges) {
  // The source is written before the message fields are found not to be a mapping.
  OrvexEvent event = OrvexEvent::parse(R"({"PRIORITY": "info", "MSG": {"orvex-audit": 5}})");
  EXPECT_THROW(F().format_event(event), TypeError);
  EXPECT_EQ(event.dump(), R"({"PRIORITY":"info","MSG":{"orvex-audit":5},"source":"audit"})");

  // Unpacked and coloured, then the date fails.
  event = OrvexEvent::parse(
      R"({"PRIORITY": "err", "ISODATE": "2024-13-01", "MSG": {"kernel": {"a": "b"}}})");
  EXPECT_THROW(F().format_event(event), ValueError);
  EXPECT_EQ(event.dump(), OrvexEvent({{"PRIORITY", yellow("err")},
                                      {"ISODATE", "2024-13-01"},
                                      {"source", "kernel"},
                                      {"a", "b"}})
                              .dump());
}

}  // namespace
}  // namespace orvex
