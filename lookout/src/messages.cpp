#include <orvex/messages.hpp>

#include <libintl.h>

#include <orvex/errors.hpp>

namespace orvex {

namespace {

constexpr const char* kTextDomain = "orvex_lookout";

// Bound once, when the library is loaded, before any viewer exists.
const bool catalogue_bound = [] {
  bindtextdomain(kTextDomain, "/usr/share/locale");
  bind_textdomain_codeset(kTextDomain, "UTF-8");
  textdomain(kTextDomain);
  return true;
}();

std::string joined(const char* translated_headline, const std::string& detail) {
  return std::string(translated_headline) + ": " + detail;
}

}  // namespace

const char* translate(const char* message) { return dgettext(kTextDomain, message); }

const char* translate_plural(const char* singular, const char* plural, unsigned long count) {
  return dngettext(kTextDomain, singular, plural, count);
}

std::string fill_message(std::string_view pattern, std::initializer_list<std::string_view> values) {
  std::string out;
  auto value = values.begin();
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] == '%' && i + 1 < pattern.size() && pattern[i + 1] == 's' &&
        value != values.end()) {
      out += *value++;
      ++i;
    } else {
      out += pattern[i];
    }
  }
  return out;
}

void bind_message_catalogue(const std::filesystem::path& directory) {
  (void)catalogue_bound;
  bindtextdomain(kTextDomain, directory.c_str());
}

std::optional<std::string> error_message(const std::exception& error, ErrorStage stage) {
  const bool showing = stage == ErrorStage::showing;
  if (const auto* missing = dynamic_cast<const FileNotFoundError*>(&error)) {
    if (showing) return translate("No such file");
    return joined(translate("No such file"), missing->path().string());
  }
  if (dynamic_cast<const UnicodeDecodeError*>(&error) != nullptr) {
    return joined(translate("Invalid text encoding"), error.what());
  }
  if (dynamic_cast<const ValueError*>(&error) != nullptr) {
    return joined(translate("Invalid date format"), error.what());
  }
  if (showing) return std::nullopt;
  if (dynamic_cast<const ReadError*>(&error) != nullptr) {
    return std::string(translate("Unpacking failed: Unsupported format or corrupted file")) + " (" +
           error.what() + ")";
  }
  if (dynamic_cast<const KeyError*>(&error) != nullptr) {
    // The one lookup while the viewer is built: the event log inside a report archive.
    return joined(translate("Archive member not found"), error.what());
  }
  return std::string(error.what());
}

}  // namespace orvex
