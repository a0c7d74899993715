#pragma once

// OrvexEventFormatter turns one decoded event into the text the viewer prints.
//
//   OrvexEventFormatter formatter;                     // one-line summary, coloured
//   for (OrvexEvent& event : iterator) out << formatter.format_event(event) << '\n';
//
// format_event() first rewrites the event in place:
//   - the message part is flattened: for "MSG": {"orvex-audit": {"type_en": ..., ...}} the
//     event gains "source": "audit" and the message fields of the selected language (type_ru
//     and name_ru when LOCALE is "ru_RU", type_en and name_en otherwise), and "MSG" goes away;
//     a top-level field of the same name is overwritten in its place;
//   - "PRIORITY" is replaced by its coloured form when colour is on and raw mode is off.
// Then it lays the event out in one of three ways, the first that applies:
//   - key/value block (is_detailed or is_raw): one "key: value" line per field, values
//     aligned one column after the longest key, with a line end after the last line;
//     detailed mode capitalises the keys, raw mode adds no colour;
//   - format expression (non-empty): "%NAME" stands for the text of field NAME, fields
//     substituted one after the other in event order ("%PRIORITY|%source" -> "info|audit");
//   - summary: "15.01.2024 10:20:30, warning, <type>, <name>" from ISODATE (or DATE),
//     PRIORITY and the localised type and name.
// An event is therefore formatted at most once: a second call finds no "MSG".

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <orvex/errors.hpp>
#include <orvex/event.hpp>
#include <orvex/scribe_export.hpp>

namespace orvex {

// Formats events for display. Holds only its options; it keeps no state between events, so
// one formatter serves a whole run.
class ORVEX_SCRIBE_API OrvexEventFormatter {
 public:
  // The language and territory of the character-type locale when the library was loaded:
  // the first of LC_ALL, LC_CTYPE, LANG that is set and not empty, without ".encoding" and
  // "@modifier" ("ru_RU" for ru_RU.UTF-8 and ru_RU.KOI8-R); "" for C, POSIX or nothing set.
  // The locale need not be installed; later changes of the environment are not seen.
  static const std::string LOCALE;
  // Terminal colour sequences: yellow (warnings and errors), red (critical), grey, reset.
  static const std::string COLOR_OK, COLOR_FAIL, COLOR_GREY, COLOR_END;

  // The colour a priority text is shown in when colour is on: COLOR_FAIL for emerg, emergency,
  // alert, crit and critical; COLOR_OK for warning, error and err (exact, case-sensitive);
  // nullptr for anything else, which stays uncoloured.
  static const std::string* priority_color(std::string_view priority) noexcept;
  // The message field that holds the localised event type the summary shows: "type_ru" when
  // LOCALE is "ru_RU", "type_en" otherwise.
  static std::string_view type_field() noexcept;

  // An absent or empty `format_expression` means no expression.
  explicit OrvexEventFormatter(std::optional<std::string> format_expression = {},
                               bool is_detailed = false, bool is_raw = false, bool no_color = false,
                               bool use_iso_date = false);

  // Returns the display text of `event` (several lines for a key/value block; no line end
  // after a summary or an expression) and leaves the event unpacked and with its coloured
  // priority, as described above. On failure the event keeps the changes made so far.
  // Throws, each with a message naming the field and its value:
  //   KeyError    no "MSG"; no "PRIORITY" (unless both no_color and is_raw are set);
  //               no "ISODATE" for a summary with use_iso_date;
  //   IndexError  an empty "MSG"; a message key holding "orvex" but no "-";
  //   TypeError   the event, "MSG" or the message fields not a mapping; a coloured
  //               priority that is neither text nor null; a summary part (date, priority,
  //               type, name) that is not text, or neither ISODATE nor DATE present; any
  //               field value that is not text in expression mode; a value that cannot
  //               be displayed;
  //   ValueError  a summary date that is not "YYYY-MM-DD[?HH[:MM[:SS[.fff|.ffffff]]]]
  //               [+-HH:MM[:SS[.ffffff]]]" or has a field out of range.
  std::string format_event(OrvexEvent& event) const;
  // The same, for an event of the input labelled `input` (a file name, a report's host name):
  // in a format expression every "%INPUT" stands for that label, terminal-safe. It is taken
  // before any field, so a field named INPUT is not reached through it, and the label is never
  // read for field names. The event gains nothing.
  std::string format_event(OrvexEvent& event, std::string_view input) const;

  // The fields format_event reads when its layout reads only some (the summary): the names it
  // looks for at the top level of the event and in the message under "MSG", whose fields it
  // moves to the top. An event holding only those members there formats, and fails, exactly
  // as the whole event does. std::nullopt when every field is read (key/value block,
  // expression).
  std::optional<std::vector<std::string>> fields_read() const;

  bool is_detailed;
  bool is_raw;
  bool no_color;
  bool use_iso_date;

 private:
  static void unpack_event_dict(OrvexEvent& event);
  void colorize_priority(OrvexEvent& priority) const;
  // Appends `text`, in grey unless no_color or is_raw is set (grey is the only colour).
  void colorize(std::string& out, std::string_view text) const;
  std::string format_key_value_block(const OrvexEvent& event) const;
  std::string format_summary(const OrvexEvent& event) const;
  std::string format_event(OrvexEvent& event, const std::string_view* input) const;
  std::string format_event_with_expression(const OrvexEvent& event,
                                           const std::string_view* input) const;

  std::optional<std::string> format_expression_;
};

}  // namespace orvex
