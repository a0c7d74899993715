#include <orvex/messages.hpp>

#include <dlfcn.h>
#include <libintl.h>

#include <cerrno>
#include <system_error>

#include <orvex/errors.hpp>

namespace orvex {

namespace {

constexpr const char* kTextDomain = "orvex_lookout";

// The catalogue folder of this installation. The build compiles in where it installs the
// catalogues (ORVEX_LOCALEDIR) and where that lies from the library's folder
// (ORVEX_LOCALEDIR_FROM_LIBDIR): a copy installed under another prefix than the configured
// one (cmake --install --prefix) finds its own catalogues beside it; a library that is not
// installed (a build tree, a test linked with the objects) finds no such folder and uses the
// configured one.
std::filesystem::path catalogue_folder() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<const void*>(&catalogue_folder), &info) != 0 &&
      info.dli_fname != nullptr && *info.dli_fname == '/') {
    std::filesystem::path beside =
        std::filesystem::path(info.dli_fname).parent_path() / ORVEX_LOCALEDIR_FROM_LIBDIR;
    // Resolved through the file system, not lexically: the library may have been found under
    // a folder that is a link (/lib to usr/lib), where "../.." leads elsewhere than it reads.
    std::error_code error;
    std::filesystem::path folder = std::filesystem::canonical(beside, error);
    if (!error && std::filesystem::is_directory(folder, error)) return folder;
  }
  return ORVEX_LOCALEDIR;
}

// Bound once, when the library is loaded, before any viewer exists.
// The search for the folder may leave errno set (a folder that is not there); a library that
// is being loaded must not change what the program's own code finds in errno.
const bool catalogue_bound = [] {
  const int saved_errno = errno;
  bindtextdomain(kTextDomain, catalogue_folder().c_str());
  bind_textdomain_codeset(kTextDomain, "UTF-8");
  textdomain(kTextDomain);
  errno = saved_errno;
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
