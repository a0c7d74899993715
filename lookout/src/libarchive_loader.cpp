#include "libarchive_loader.hpp"

#include <dlfcn.h>

#include <mutex>
#include <string>

#include <orvex/errors.hpp>

namespace orvex {

namespace {

constexpr const char* kLibrary = "libarchive.so.13";

Libarchive load() {
  void* handle = dlopen(kLibrary, RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* why = dlerror();
    throw ReadError(std::string("cannot load ") + kLibrary + ": " + (why ? why : "unknown error"));
  }
  Libarchive api;
#define ORVEX_LIBARCHIVE_RESOLVE(name)                                   \
  api.name = reinterpret_cast<decltype(api.name)>(dlsym(handle, #name)); \
  if (api.name == nullptr) throw ReadError(std::string(kLibrary) + " lacks " #name);
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
