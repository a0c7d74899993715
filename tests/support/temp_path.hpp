#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace orvex::testing {

// A fresh directory below the system's temporary folder, removed with everything in it
// when the object goes away.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  // Writes `content` byte for byte to `name` below the directory and returns its path.
  std::filesystem::path write(const std::string& name, std::string_view content) const;

 private:
  std::filesystem::path path_;
};

// Appends `content` to the file at `path`.
void append_file(const std::filesystem::path& path, std::string_view content);
// The whole file as bytes.
std::string read_file(const std::filesystem::path& path);

}  // namespace orvex::testing
