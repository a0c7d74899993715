#pragma once

// The command line's own texts in the user's language: the --help layout (within 80 columns,
// headings and descriptions through the catalogue) and the usage errors of the parser.

#include <cstddef>
#include <string>
#include <string_view>

#include <CLI/CLI.hpp>

namespace orvex::cli {

// `text` broken into lines of at most `width` characters (UTF-8 characters, not bytes) at
// spaces; the line feeds of `text` are kept, and a word longer than `width` stands alone.
std::string wrap(std::string_view text, std::size_t width);

// Gives `app` the help layout: translated headings, descriptions wrapped to fit 80 columns.
// Call before the options are added, so that they join the translated group.
void use_translated_help(CLI::App& app);

// The message for a usage error of the parser, translated, with what the user wrote made
// terminal-safe; the parser's own English text only for a kind this does not know.
std::string usage_error_message(const CLI::ParseError& error);

}  // namespace orvex::cli
