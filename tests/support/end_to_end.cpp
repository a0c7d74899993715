#include "end_to_end.hpp"

#include "fixtures.hpp"

namespace orvex::testing {

namespace fs = std::filesystem;

void EndToEndTest::SetUp() { before_ = viewer_temp_dirs(); }

void EndToEndTest::TearDown() { expect_no_viewer_folder(); }

std::vector<std::string> EndToEndTest::env(const std::vector<std::string>& extra) {
  std::vector<std::string> all = {"LC_ALL=C", "LANGUAGE", "NO_COLOR"};
  all.insert(all.end(), extra.begin(), extra.end());
  return all;
}

std::vector<std::string> EndToEndTest::command(const std::vector<std::string>& args) const {
  std::vector<std::string> full = {exe_};
  full.insert(full.end(), args.begin(), args.end());
  return full;
}

std::vector<fs::path> EndToEndTest::new_viewer_folders() const {
  std::vector<fs::path> fresh;
  for (const fs::path& dir : viewer_temp_dirs()) {
    if (!before_.count(dir)) fresh.push_back(dir);
  }
  return fresh;
}

void EndToEndTest::expect_no_viewer_folder() {
  for (const fs::path& dir : new_viewer_folders()) {
    ADD_FAILURE() << "temporary folder left behind: " << dir;
    // An archive's stored modes may have left parts of it closed even to its owner.
    sh("chmod -R u+rwx '" + dir.string() + "' && rm -rf '" + dir.string() + "'");
  }
}

RunResult EndToEndTest::lookout(const std::vector<std::string>& args,
                                const std::vector<std::string>& extra_env) {
  RunResult result = run(command(args), env(extra_env));
  expect_no_viewer_folder();
  return result;
}

RunResult EndToEndTest::lookout_on_terminal(const std::vector<std::string>& args,
                                            const std::vector<std::string>& extra_env) {
  RunResult result = run_on_terminal(command(args), env(extra_env));
  expect_no_viewer_folder();
  return result;
}

const fs::path& EndToEndTest::copy_for_nobody() {
  if (!copy_) {
    fs::path exe = exe_;
    copy_.emplace();
    fs::create_directories(copy_->path() / "bin");
    fs::copy_file(exe, copy_->path() / "bin" / exe.filename());
    fs::copy(exe.parent_path().parent_path() / "lib", copy_->path() / "lib",
             fs::copy_options::copy_symlinks | fs::copy_options::recursive);
    sh("chmod -R a+rX '" + copy_->path().string() + "'");
  }
  return copy_->path();
}

std::vector<std::string> EndToEndTest::command_as_nobody(const std::vector<std::string>& args) {
  std::vector<std::string> full = {
      "setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
      (copy_for_nobody() / "bin" / fs::path(exe_).filename()).string()};
  full.insert(full.end(), args.begin(), args.end());
  return full;
}

std::vector<std::string> EndToEndTest::env_as_nobody() {
  return env({"LD_LIBRARY_PATH=" + (copy_for_nobody() / "lib").string()});
}

RunResult EndToEndTest::lookout_as_nobody(const std::vector<std::string>& args) {
  RunResult result = run(command_as_nobody(args), env_as_nobody());
  expect_no_viewer_folder();
  return result;
}

}  // namespace orvex::testing
