#include "russian_messages.hpp"

#include <locale.h>
#include <stdlib.h>

namespace orvex::testing {

RussianMessages::RussianMessages(BindCatalogue bind, const std::filesystem::path& catalogue_dir) {
  if (const char* language = getenv("LANGUAGE")) language_before_ = language;
  locale_before_ = setlocale(LC_ALL, nullptr);
  unsetenv("LANGUAGE");
  ok_ = setlocale(LC_ALL, "ru_RU.UTF-8") != nullptr;
  bind(catalogue_dir);
}

RussianMessages::~RussianMessages() {
  setlocale(LC_ALL, locale_before_.c_str());
  if (language_before_) setenv("LANGUAGE", language_before_->c_str(), 1);
}

}  // namespace orvex::testing
