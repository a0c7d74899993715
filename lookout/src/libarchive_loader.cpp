#include "libarchive_loader.hpp"

#include <dlfcn.h>
#include <stdlib.h>

#include <string>

#include <base/terminal_safe.hpp>
#include <orvex/errors.hpp>
#include <orvex/messages.hpp>

namespace orvex {

namespace {

constexpr const char* kLibrary = "libarchive.so.13";

// The library to load. ORVEX_LOOKOUT_LIBARCHIVE names another one, so that a test can see what
// a host without libarchive reports; it is kept out of --help, read only outside set-id runs,
// and only a bare file name is taken (the loader's search path stays the system's).
std::string library_name() {
  const char* name = secure_getenv("ORVEX_LOOKOUT_LIBARCHIVE");
  if (name == nullptr || *name == '\0' || std::string(name).find('/') != std::string::npos) {
    return kLibrary;
  }
  return name;
}

// A missing or unusable libarchive is a fault of the installation, not of the archive: say
// which library and which package, rather than calling the archive corrupted.
[[noreturn]] void unusable(const std::string& library, const std::string& why) {
  throw Error(fill_message(translate("cannot read report archives: the library %s cannot be used "
                                     "(%s); install the package libarchive13"),
                           {base::terminal_safe(library), base::terminal_safe(why)}));
}

Libarchive load() {
  const std::string library = library_name();
  void* handle = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* why = dlerror();
    unusable(library, why != nullptr ? why : "dlopen failed");
  }
  Libarchive api;
#define ORVEX_LIBARCHIVE_RESOLVE(name)                                   \
  api.name = reinterpret_cast<decltype(api.name)>(dlsym(handle, #name)); \
  if (api.name == nullptr) unusable(library, "no " #name);
  ORVEX_LIBARCHIVE_FUNCTIONS(ORVEX_LIBARCHIVE_RESOLVE)
#undef ORVEX_LIBARCHIVE_RESOLVE
  return api;  // the library stays loaded for the life of the process
}

}  // namespace

const Libarchive& libarchive() {
  static const Libarchive api = load();
  return api;
}

}  // namespace orvex
