#include <orvex/event_formatter.hpp>

#include <algorithm>
#include <cstdlib>
#include <initializer_list>
#include <utility>
#include <vector>

#include <base/dismantle.hpp>
#include <base/terminal_safe.hpp>

#include "display_form.hpp"
#include "iso_date.hpp"

namespace orvex {

namespace {

using ObjectT = OrvexEvent::object_t;

// The language and territory of the environment's character-type locale. Read from the
// variables rather than through setlocale: the answer must not depend on which locales
// happen to be installed, and the process locale belongs to the program, not to us.
std::string locale_from_environment() {
  for (const char* name : {"LC_ALL", "LC_CTYPE", "LANG"}) {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0') continue;
    std::string_view locale(value);
    locale = locale.substr(0, locale.find_first_of(".@"));
    if (locale == "C" || locale == "POSIX") return "";
    return std::string(locale);
  }
  return "";
}

// Events hold a handful of fields, so a linear scan beats any index.
ObjectT::iterator find_field(ObjectT& fields, std::string_view key) {
  auto it = fields.begin();
  while (it != fields.end() && it->first != key) ++it;
  return it;
}

const OrvexEvent* find_value(const ObjectT& fields, std::string_view key) {
  for (const auto& entry : fields) {
    if (entry.first == key) return &entry.second;
  }
  return nullptr;
}

// Assigns in place when the field exists, else appends it: the order of the event's fields
// is the order of the key/value block and of expression substitution.
void assign_field(ObjectT& fields, std::string_view key, OrvexEvent&& value) {
  auto it = find_field(fields, key);
  if (it != fields.end()) {
    it->second = std::move(value);
  } else {
    fields.emplace_back(std::string(key), std::move(value));
  }
}

std::string quoted(std::string_view key) { return base::quoted(key); }

// Appends a priority as the summary, the block and expressions show it: the coloured form of a
// known name as colorize_priority() made it, anything else terminal-safe.
void append_priority(std::string& out, std::string_view priority) {
  for (const std::string* color :
       {&OrvexEventFormatter::COLOR_FAIL, &OrvexEventFormatter::COLOR_OK}) {
    if (priority.size() > color->size() + OrvexEventFormatter::COLOR_END.size() &&
        priority.substr(0, color->size()) == *color &&
        priority.substr(priority.size() - OrvexEventFormatter::COLOR_END.size()) ==
            OrvexEventFormatter::COLOR_END) {
      std::string_view name = priority.substr(
          color->size(), priority.size() - color->size() - OrvexEventFormatter::COLOR_END.size());
      if (base::is_terminal_safe(name)) {
        out += priority;
        return;
      }
    }
  }
  base::append_terminal_safe(out, priority);
}

// "an integer 5", "a list ['a']", "null".
std::string holds(const OrvexEvent& value) {
  if (value.is_null()) return "null";
  return std::string(display::kind_name(value)) + " " + display::describe(value);
}

[[noreturn]] void throw_missing(std::string_view field) {
  throw KeyError("the event has no field " + quoted(field));
}

[[noreturn]] void throw_not_text(std::string_view field, const OrvexEvent& value,
                                 std::string_view purpose) {
  throw TypeError("field " + quoted(field) + " holds " + holds(value) + ", not text" +
                  std::string(purpose));
}

const std::string& text_of(const OrvexEvent& value, std::string_view field,
                           std::string_view purpose = {}) {
  const auto* text = value.get_ptr<const OrvexEvent::string_t*>();
  if (text == nullptr) throw_not_text(field, value, purpose);
  return *text;
}

bool is_one_of(std::string_view text, std::initializer_list<std::string_view> names) {
  for (std::string_view name : names) {
    if (text == name) return true;
  }
  return false;
}

// Replaces every "%" `name` in `result`, left to right without overlaps, by `value`.
// `scratch` is a second buffer that the caller reuses from field to field.
void replace_placeholder(std::string& result, std::string& scratch, std::string_view name,
                         std::string_view value) {
  auto find_from = [&](std::size_t from) {
    for (std::size_t p = result.find('%', from); p != std::string::npos;
         p = result.find('%', p + 1)) {
      if (result.compare(p + 1, name.size(), name) == 0) return p;
    }
    return std::string::npos;
  };
  std::size_t pos = find_from(0);
  if (pos == std::string::npos) return;
  scratch.clear();
  std::size_t last = 0;
  while (pos != std::string::npos) {
    scratch.append(result, last, pos - last);
    scratch.append(value);
    last = pos + 1 + name.size();
    pos = find_from(last);
  }
  scratch.append(result, last, std::string::npos);
  result.swap(scratch);
}

}  // namespace

const std::string OrvexEventFormatter::LOCALE = locale_from_environment();
const std::string OrvexEventFormatter::COLOR_OK = "\x1b[93m";
const std::string OrvexEventFormatter::COLOR_FAIL = "\x1b[91m";
const std::string OrvexEventFormatter::COLOR_GREY = "\x1b[90m";
const std::string OrvexEventFormatter::COLOR_END = "\x1b[0m";

OrvexEventFormatter::OrvexEventFormatter(std::optional<std::string> format_expression,
                                         bool is_detailed, bool is_raw, bool no_color,
                                         bool use_iso_date)
    : is_detailed(is_detailed),
      is_raw(is_raw),
      no_color(no_color),
      use_iso_date(use_iso_date),
      format_expression_(std::move(format_expression)) {}

std::string OrvexEventFormatter::format_event(OrvexEvent& event) const {
  return format_event(event, nullptr);
}

std::string OrvexEventFormatter::format_event(OrvexEvent& event, std::string_view input) const {
  return format_event(event, &input);
}

std::string OrvexEventFormatter::format_event(OrvexEvent& event,
                                              const std::string_view* input) const {
  try {
    if (!event.is_object()) {
      throw TypeError("the event holds " + holds(event) + ", not a mapping of fields");
    }
    unpack_event_dict(event);
    if (!(no_color && is_raw)) {
      auto& fields = *event.get_ptr<ObjectT*>();
      auto priority = find_field(fields, "PRIORITY");
      if (priority == fields.end()) throw_missing("PRIORITY");
      colorize_priority(priority->second);
    }
    if (is_detailed || is_raw) return format_key_value_block(event);
    if (format_expression_ && !format_expression_->empty()) {
      return format_event_with_expression(event, input);
    }
    return format_summary(event);
  } catch (const nlohmann::json::exception& error) {
    // Not expected: every access above checks the kind first. Keep the library's promise
    // that only orvex errors leave it.
    if (dynamic_cast<const nlohmann::json::type_error*>(&error)) throw TypeError(error.what());
    if (dynamic_cast<const nlohmann::json::out_of_range*>(&error)) throw IndexError(error.what());
    throw ValueError(error.what());
  }
}

std::optional<std::vector<std::string>> OrvexEventFormatter::fields_read() const {
  if (is_detailed || is_raw || (format_expression_ && !format_expression_->empty())) {
    return std::nullopt;
  }
  // format_summary's fields, in both languages, and "MSG" for the unpacking; a message field
  // of one of these names replaces the top-level one, so the same names count there.
  return std::vector<std::string>{"MSG",     "PRIORITY", "ISODATE", "DATE",
                                  "type_en", "name_en",  "type_ru", "name_ru"};
}

void OrvexEventFormatter::unpack_event_dict(OrvexEvent& event) {
  auto& fields = *event.get_ptr<ObjectT*>();
  auto msg_field = find_field(fields, "MSG");
  if (msg_field == fields.end()) throw_missing("MSG");
  auto* msg = msg_field->second.get_ptr<ObjectT*>();
  if (msg == nullptr) {
    throw TypeError("field 'MSG' holds " + holds(msg_field->second) + ", not a mapping");
  }
  if (msg->empty()) throw IndexError("field 'MSG' is an empty mapping: it names no message");
  const std::string& msg_key = msg->front().first;

  // "orvex-audit" and "orvex-net-fw" come from the logger's own modules: the source is the
  // second "-" piece. Any other key is a source by itself.
  std::string source;
  if (msg_key.find("orvex") != std::string::npos) {
    std::size_t dash = msg_key.find('-');
    if (dash == std::string::npos) {
      throw IndexError("message key " + display::describe_text(msg_key) +
                       " in field 'MSG' holds \"orvex\" but no \"-\" before a source name");
    }
    std::size_t end = msg_key.find('-', dash + 1);
    source = msg_key.substr(dash + 1, end == std::string::npos ? end : end - dash - 1);
  } else {
    source = msg_key;
  }

  auto* message_fields = msg->front().second.get_ptr<ObjectT*>();
  if (message_fields == nullptr) {
    // The message is built first: growing the fields for "source" copies "MSG" elsewhere.
    std::string message = "field 'MSG': message " + display::describe_text(msg_key) + " holds " +
                          holds(msg->front().second) + ", not a mapping of fields";
    // The source is written before the message fields turn out unusable.
    assign_field(fields, "source", OrvexEvent(std::move(source)));
    throw TypeError(message);
  }

  // One pass into a new vector gives what assigning "source" and each message field in turn
  // and then removing "MSG" gives, but moves every value once and never grows a vector
  // (which would copy its values: the keys are const).
  bool russian = LOCALE == "ru_RU";
  std::string_view other_type = russian ? "type_en" : "type_ru";
  std::string_view other_name = russian ? "name_en" : "name_ru";
  ObjectT unpacked;
  unpacked.reserve(fields.size() + message_fields->size());
  for (auto it = fields.begin(); it != fields.end(); ++it) {
    if (it != msg_field) unpacked.emplace_back(it->first, std::move(it->second));
  }
  assign_field(unpacked, "source", OrvexEvent(std::move(source)));
  for (auto& [key, value] : *message_fields) {
    // A message field named "MSG" would land on "MSG" and go with it.
    if (key == other_type || key == other_name || key == "MSG") continue;
    assign_field(unpacked, key, std::move(value));
  }
  fields.swap(unpacked);
  // What is left of the old fields is "MSG" with its emptied message.
  for (auto& left : unpacked) base::dismantle(left.second);
}

const std::string* OrvexEventFormatter::priority_color(std::string_view priority) noexcept {
  if (is_one_of(priority, {"emerg", "emergency", "alert", "crit", "critical"})) return &COLOR_FAIL;
  if (is_one_of(priority, {"warning", "error", "err"})) return &COLOR_OK;
  return nullptr;
}

std::string_view OrvexEventFormatter::type_field() noexcept {
  return LOCALE == "ru_RU" ? "type_ru" : "type_en";
}

void OrvexEventFormatter::colorize_priority(OrvexEvent& priority) const {
  if (no_color || is_raw || priority.is_null()) return;
  auto* priority_text = priority.get_ptr<OrvexEvent::string_t*>();
  if (priority_text == nullptr) throw_not_text("PRIORITY", priority, {});
  std::string& text = *priority_text;
  const std::string* color = priority_color(text);
  if (color == nullptr) return;
  std::string colored;
  colored.reserve(color->size() + text.size() + COLOR_END.size());
  colored += *color;
  colored += text;
  colored += COLOR_END;
  text = std::move(colored);
}

void OrvexEventFormatter::colorize(std::string& out, std::string_view text) const {
  if (no_color || is_raw) {
    base::append_terminal_safe(out, text);
    return;
  }
  out += COLOR_GREY;
  base::append_terminal_safe(out, text);
  out += COLOR_END;
}

std::string OrvexEventFormatter::format_key_value_block(const OrvexEvent& event) const {
  const auto& fields = *event.get_ptr<const ObjectT*>();
  std::size_t max_key_length = 0;
  std::size_t estimate = 0;
  // Keys come from the log too: they are shown, and aligned, in their terminal-safe form
  // (escaped copies only for the rare keys that need it).
  std::vector<std::string_view> labels;
  std::vector<std::string> escaped;
  labels.reserve(fields.size());
  for (const auto& entry : fields) {
    if (base::is_terminal_safe(entry.first)) {
      labels.push_back(entry.first);
    } else {
      // Room for every key at once: views into `escaped` must survive its growth.
      if (escaped.empty()) escaped.reserve(fields.size());
      labels.push_back(escaped.emplace_back(base::terminal_safe(entry.first)));
    }
    max_key_length = std::max(max_key_length, display::character_count(labels.back()));
    const auto* text = entry.second.get_ptr<const OrvexEvent::string_t*>();
    estimate += entry.first.size() + (text ? text->size() : 16) + 16;
  }
  bool colored = !(no_color || is_raw);
  std::string out;
  out.reserve(estimate + max_key_length * fields.size() +
              (colored ? fields.size() * (COLOR_GREY.size() + COLOR_END.size()) : 0));
  std::size_t index = 0;
  for (const auto& [key, value] : fields) {
    std::string_view label = labels[index++];
    // The label is colorize(key + ":"), written straight into the block.
    if (colored) out += COLOR_GREY;
    if (is_detailed) {
      display::append_capitalized(out, label);
    } else {
      out += label;
    }
    out += ':';
    if (colored) out += COLOR_END;
    out.append(max_key_length - display::character_count(label) + 1, ' ');
    if (const auto* text = value.get_ptr<const OrvexEvent::string_t*>()) {
      if (key == "PRIORITY") {
        append_priority(out, *text);
      } else {
        base::append_terminal_safe(out, *text);
      }
    } else {
      display::append_display_form(out, value, key);
    }
    out += '\n';
  }
  return out;
}

std::string OrvexEventFormatter::format_summary(const OrvexEvent& event) const {
  const auto& fields = *event.get_ptr<const ObjectT*>();
  std::string out;
  out.reserve(160);

  const OrvexEvent* date = find_value(fields, "ISODATE");
  std::string_view date_field = "ISODATE";
  if (use_iso_date) {
    if (date == nullptr) throw_missing("ISODATE");
  } else if (date == nullptr) {
    date = find_value(fields, "DATE");
    date_field = "DATE";
    if (date == nullptr) {
      throw TypeError("the event has neither 'ISODATE' nor 'DATE': no date text to read");
    }
  }
  const std::string& date_text = text_of(*date, date_field);
  bool colored = !(no_color || is_raw);
  if (colored) out += COLOR_GREY;
  if (use_iso_date) {
    base::append_terminal_safe(out, date_text);
  } else {
    append_summary_date(out, date_text, date_field);
  }
  if (colored) out += COLOR_END;

  bool russian = LOCALE == "ru_RU";
  std::string_view type_field = OrvexEventFormatter::type_field();
  std::string_view name_field = russian ? "name_ru" : "name_en";
  const OrvexEvent* type = find_value(fields, type_field);
  const OrvexEvent* name = find_value(fields, name_field);
  std::string_view type_text = type ? std::string_view(text_of(*type, type_field)) : "";
  std::string_view name_text = name ? std::string_view(text_of(*name, name_field)) : "";
  const OrvexEvent* priority = find_value(fields, "PRIORITY");
  if (priority == nullptr) throw_missing("PRIORITY");
  const std::string& priority_text = text_of(*priority, "PRIORITY");

  // The separators are ours: they need no escaping.
  static const std::string grey_separator = COLOR_GREY + ", " + COLOR_END;
  const std::string_view separator = colored ? std::string_view(grey_separator) : ", ";
  out += separator;
  append_priority(out, priority_text);
  out += separator;
  colorize(out, type_text);
  out += separator;
  base::append_terminal_safe(out, name_text);
  return out;
}

std::string OrvexEventFormatter::format_event_with_expression(const OrvexEvent& event,
                                                              const std::string_view* input) const {
  // With an input label the expression is cut at each "%INPUT" and the pieces are filled
  // apart: the label goes in last, so no field can take its place and no field name is looked
  // for inside it.
  static constexpr std::string_view kInput = "%INPUT";
  std::vector<std::string> pieces;
  std::string_view expression = *format_expression_;
  if (input != nullptr) {
    for (std::size_t at = expression.find(kInput); at != std::string_view::npos;
         at = expression.find(kInput)) {
      pieces.emplace_back(expression.substr(0, at));
      expression.remove_prefix(at + kInput.size());
    }
  }
  pieces.emplace_back(expression);
  std::string scratch, safe;
  for (const auto& [key, value] : *event.get_ptr<const ObjectT*>()) {
    const std::string& text =
        text_of(value, key, ", which a format expression needs of every field");
    // The expression is the user's own text; only the values from the log are made safe.
    safe.clear();
    if (key == "PRIORITY") {
      append_priority(safe, text);
    } else {
      base::append_terminal_safe(safe, text);
    }
    for (std::string& piece : pieces) replace_placeholder(piece, scratch, key, safe);
  }
  std::string result = std::move(pieces.front());
  for (std::size_t i = 1; i < pieces.size(); ++i) {
    base::append_terminal_safe(result, *input);
    result += pieces[i];
  }
  return result;
}

}  // namespace orvex
