#include <libintl.h>

#include <orvex/event_viewer.hpp>

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

}  // namespace

const char* translate(const char* message) { return dgettext(kTextDomain, message); }

void bind_message_catalogue(const std::filesystem::path& directory) {
  (void)catalogue_bound;
  bindtextdomain(kTextDomain, directory.c_str());
}

}  // namespace orvex
