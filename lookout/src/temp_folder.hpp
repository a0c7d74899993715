#pragma once

// The private temporary folder that holds the copy of an event log unpacked from a report
// archive. A copy of a security log must not outlive the run that made it, so the folder has one
// owner, TempFolder, whose destructor takes the folder away on every path out of the viewer.

#include <filesystem>

namespace orvex {

// "/tmp/tmp" followed by `seconds_since_epoch` in plain decimal notation, in the shortest form
// that reads back to the same double, always with a point and at least one digit after it:
// 1733687211.4836092 gives /tmp/tmp1733687211.4836092, 1733687211 gives /tmp/tmp1733687211.0.
std::filesystem::path temp_dir_path_for(double seconds_since_epoch);
// temp_dir_path_for() of the current wall-clock time. Creates nothing.
std::filesystem::path make_temp_dir_path();

// Creates the one directory `temp_dir` with mode 0700 (its parent must exist). Throws OSError
// (FileNotFoundError for a missing parent, PermissionError, or the plain kind with EEXIST when
// it exists already); after such a failure nothing was created, so the caller has nothing to
// remove.
void create_temp_dir(const std::filesystem::path& temp_dir);

// Removes `temp_dir` and everything below it without following symbolic links. A failure does
// not stop the removal: everything else that can go goes, and then the first failure is thrown:
// PermissionError on EACCES or EPERM, FileNotFoundError when temp_dir does not exist, another
// OSError otherwise (ENOTDIR when a link or a file stands in its place); each names the path
// that failed. Does nothing for an empty path.
void remove_temp_dir(const std::filesystem::path& temp_dir);

// Owns a temporary folder it created, as a file object owns its descriptor: the destructor
// removes the folder with everything in it and never throws; remove() does the same and reports
// a failure. A folder that the constructor did not create (it failed) is never removed.
class TempFolder {
 public:
  // create_temp_dir(path), with its errors.
  explicit TempFolder(std::filesystem::path path);
  TempFolder(TempFolder&& other) noexcept;
  // Removes this object's folder as the destructor does, then takes over `other`'s.
  TempFolder& operator=(TempFolder&& other) noexcept;
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  // Removes what it can of the folder and swallows every error: the copy of the log goes even
  // when part of the tree cannot.
  ~TempFolder();

  // The folder's path, also after remove(), for messages about it.
  const std::filesystem::path& path() const noexcept { return path_; }
  // remove_temp_dir(path()), with its errors. Afterwards, failed or not, the folder is no longer
  // owned: the destructor does nothing, and what a failure left stays for the user to see.
  void remove();

 private:
  std::filesystem::path path_;
  bool owned_ = false;
};

}  // namespace orvex
