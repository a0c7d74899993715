#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "process.hpp"
#include "temp_path.hpp"

namespace orvex::testing {

// Base of the tests that run the built viewer. No run may leave a viewer folder in /tmp:
// each one made since the test began fails the test and is removed, after every run through
// this class, when asked, and at the end of the test.
class EndToEndTest : public ::testing::Test {
 protected:
  explicit EndToEndTest(std::filesystem::path exe) : exe_(exe.string()) {}
  void SetUp() override;
  void TearDown() override;

  const std::string& exe() const { return exe_; }
  // The environment of every run: the C locale, no LANGUAGE, no NO_COLOR, then `extra`
  // ("NAME=value", or "NAME" alone to remove it).
  static std::vector<std::string> env(const std::vector<std::string>& extra = {});
  // The executable followed by `args`.
  std::vector<std::string> command(const std::vector<std::string>& args) const;

  // The viewer folders made since the test began.
  std::vector<std::filesystem::path> new_viewer_folders() const;
  // Fails for, and removes, every viewer folder made since the test began.
  void expect_no_viewer_folder();

  RunResult lookout(const std::vector<std::string>& args,
                    const std::vector<std::string>& extra_env = {});
  // The same run on a pseudo-terminal (see run_on_terminal).
  RunResult lookout_on_terminal(const std::vector<std::string>& args,
                                const std::vector<std::string>& extra_env = {});

  // The executable as user nobody. The build folder may lie where that user cannot go, so a
  // copy of the executable and of the build's lib folder runs from a folder it can read.
  std::vector<std::string> command_as_nobody(const std::vector<std::string>& args);
  // env() with the libraries of the copy.
  std::vector<std::string> env_as_nobody();
  RunResult lookout_as_nobody(const std::vector<std::string>& args);

 private:
  // The root of the copy, made on first use: bin/<executable> and lib/.
  const std::filesystem::path& copy_for_nobody();

  std::string exe_;
  std::set<std::filesystem::path> before_;
  std::optional<TempDir> copy_;
};

}  // namespace orvex::testing
