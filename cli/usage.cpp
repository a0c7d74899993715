#include "usage.hpp"

#include <memory>
#include <regex>

#include <base/terminal_safe.hpp>
#include <orvex/messages.hpp>

namespace orvex::cli {

namespace {

constexpr std::size_t kColumns = 80;
// Where the parser starts an option's description (its default column width).
constexpr std::size_t kDescriptionColumn = 30;

std::size_t characters(std::string_view text) {
  std::size_t count = 0;
  for (unsigned char c : text) count += (c & 0xC0) != 0x80;
  return count;
}

class TranslatedFormatter : public CLI::Formatter {
 public:
  TranslatedFormatter() {
    label("Usage", translate("Usage"));
    label("Positionals", translate("Arguments"));
    label("OPTIONS", translate("OPTIONS"));
    column_width(kDescriptionColumn);
  }

  std::string make_description(const CLI::App* app) const override {
    std::string description = app->get_description();
    return description.empty() ? std::string() : wrap(description, kColumns) + "\n";
  }

  // A positional argument is named by its value's name (FILE) alone.
  std::string make_option_opts(const CLI::Option* option) const override {
    return option->get_positional() ? std::string() : CLI::Formatter::make_option_opts(option);
  }

  // The parser indents each line after a line feed to the description's column itself.
  std::string make_option_desc(const CLI::Option* option) const override {
    return wrap(option->get_description(), kColumns - kDescriptionColumn);
  }
};

std::string quoted_values(const std::string& words) { return base::quoted(words, 200); }

}  // namespace

std::string wrap(std::string_view text, std::size_t width) {
  std::string out;
  std::size_t line_start = 0;
  while (line_start <= text.size()) {
    std::size_t line_end = text.find('\n', line_start);
    if (line_end == std::string_view::npos) line_end = text.size();
    if (line_start > 0) out += '\n';
    std::size_t column = 0;
    std::size_t word_start = line_start;
    while (word_start < line_end) {
      std::size_t word_end = text.find(' ', word_start);
      if (word_end == std::string_view::npos || word_end > line_end) word_end = line_end;
      std::string_view word = text.substr(word_start, word_end - word_start);
      word_start = word_end + 1;
      if (word.empty()) continue;
      std::size_t length = characters(word);
      if (column > 0 && column + 1 + length > width) {
        out += '\n';
        column = 0;
      } else if (column > 0) {
        out += ' ';
        ++column;
      }
      out += word;
      column += length;
    }
    line_start = line_end + 1;
  }
  return out;
}

void use_translated_help(CLI::App& app) {
  app.formatter(std::make_shared<TranslatedFormatter>());
  app.option_defaults()->group(translate("Options"));
  app.set_help_flag("-h,--help", translate("Print this help and exit"));
}

std::string usage_error_message(const CLI::ParseError& error) {
  // The kind by type: the parser names some errors after the program rather than the kind.
  const std::string text = error.what();
  std::smatch m;
  if (dynamic_cast<const CLI::ExtrasError*>(&error) != nullptr) {
    std::size_t colon = text.find(": ");
    std::string words = colon == std::string::npos ? text : text.substr(colon + 2);
    bool several = text.rfind("The following arguments", 0) == 0;
    return fill_message(
        translate_plural("unexpected argument: %s", "unexpected arguments: %s", several ? 2 : 1),
        {quoted_values(words)});
  }
  if (dynamic_cast<const CLI::ArgumentMismatch*>(&error) != nullptr) {
    if (std::regex_match(text, m, std::regex(R"((\S+): \d+ required .* missing)")) ||
        std::regex_match(text, m, std::regex(R"(Expected .* arguments to (\S+), got 0)"))) {
      return fill_message(translate("%s needs a value"), {base::terminal_safe(m.str(1))});
    }
    if (std::regex_match(text, m, std::regex(R"((\S+) was given a disallowed flag override)"))) {
      return fill_message(translate("%s takes no value"), {base::terminal_safe(m.str(1))});
    }
  }
  if (dynamic_cast<const CLI::ConversionError*>(&error) != nullptr) {
    if (std::regex_match(text, m, std::regex(R"(Could not convert: (\S+) = (.*))"))) {
      return fill_message(translate("%s: invalid value %s"),
                          {base::terminal_safe(m.str(1)), quoted_values(m.str(2))});
    }
    if (std::regex_match(text, m,
                         std::regex(R"(The value (.*) is not an allowed value for (\S+))"))) {
      return fill_message(translate("%s: invalid value %s"),
                          {base::terminal_safe(m.str(2)), quoted_values(m.str(1))});
    }
  }
  if (dynamic_cast<const CLI::ValidationError*>(&error) != nullptr) {
    if (std::regex_match(text, m, std::regex(R"((\S+): (.*) not in \{(.*)\})"))) {
      return fill_message(
          translate("%s: invalid value %s (valid: %s)"),
          {base::terminal_safe(m.str(1)), quoted_values(m.str(2)), base::terminal_safe(m.str(3))});
    }
    if (std::regex_match(text, m, std::regex(R"((\S+): Value (.*) could not be converted.*)"))) {
      return fill_message(translate("%s: invalid value %s"),
                          {base::terminal_safe(m.str(1)), quoted_values(m.str(2))});
    }
  }
  return fill_message(translate("invalid command line: %s"), {base::terminal_safe(text)});
}

}  // namespace orvex::cli
