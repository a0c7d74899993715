#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace orvex::testing {

// Switches the process to Russian messages for the life of the object: LANGUAGE unset (it
// would take precedence over the locale), the ru_RU.UTF-8 locale for all categories, and the
// catalogues below `catalogue_dir` bound through `bind` (the library's own binding function,
// so that this helper needs no library). Restores the locale and LANGUAGE at the end.
class RussianMessages {
 public:
  using BindCatalogue = void (*)(const std::filesystem::path& directory);

  RussianMessages(BindCatalogue bind, const std::filesystem::path& catalogue_dir);
  ~RussianMessages();
  RussianMessages(const RussianMessages&) = delete;
  RussianMessages& operator=(const RussianMessages&) = delete;

  // False when the ru_RU.UTF-8 locale is not generated on this machine.
  bool ok() const { return ok_; }

 private:
  bool ok_ = false;
  std::string locale_before_;
  std::optional<std::string> language_before_;
};

}  // namespace orvex::testing
