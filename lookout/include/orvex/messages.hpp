#pragma once

// The viewer's messages: the catalogue they are translated through, and the one mapping from
// an error to what the user is told, shared by the viewer's display loop and the front end.

#include <exception>
#include <filesystem>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

#include <orvex/lookout_export.hpp>

namespace orvex {

// Translates `message` through the message catalogue of the text domain "orvex_lookout"
// (bound when the library is loaded to the catalogue folder of the installation: share/locale
// under the install prefix, /usr/share/locale for a /usr install); returns it unchanged when
// there is no translation. The process must have called setlocale for LC_MESSAGES for any
// translation.
ORVEX_LOOKOUT_API const char* translate(const char* message);

// The singular or plural translation of a message about `count` things.
ORVEX_LOOKOUT_API const char* translate_plural(const char* singular, const char* plural,
                                               unsigned long count);

// `pattern` with each "%s" replaced by the next of `values`, in order.
ORVEX_LOOKOUT_API std::string fill_message(std::string_view pattern,
                                           std::initializer_list<std::string_view> values);

// Binds the text domain to another catalogue folder (a build tree's, say).
ORVEX_LOOKOUT_API void bind_message_catalogue(const std::filesystem::path& directory);

// Where an error arose: while the viewer was being built (nothing shown yet; the front end
// reports it on standard error with what failed and where), or while events were shown (the
// display loop writes its fixed messages among the events).
enum class ErrorStage { starting, showing };

// The message for `error`, or std::nullopt when the error is not one that stage reports (it
// then passes on: an interrupt, an exit request, and while showing every kind but a missing
// file, undecodable text and an unreadable date).
ORVEX_LOOKOUT_API std::optional<std::string> error_message(const std::exception& error,
                                                           ErrorStage stage);

}  // namespace orvex
