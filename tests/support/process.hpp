#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace orvex::testing {

struct RunResult {
  std::string out, err;
  int status = -1;  // exit status, or 128 + signal
};

// Runs `args` (args[0] is the program) with standard input closed, `env` added to the
// environment ("NAME=value", or "NAME" alone to remove it), and collects both outputs.
// A child still running after `timeout` is killed and the result says status -1.
RunResult run(const std::vector<std::string>& args, const std::vector<std::string>& env = {},
              std::chrono::milliseconds timeout = std::chrono::seconds(60));

// A child whose standard output is read while it runs (follow mode).
class Child {
 public:
  Child(const std::vector<std::string>& args, const std::vector<std::string>& env = {});
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  // Reads standard output until it holds `lines` line feeds in all, or `timeout` passes.
  // Returns everything read so far.
  const std::string& read_lines(std::size_t lines, std::chrono::milliseconds timeout);
  void signal(int sig);
  // Waits for the end (killing the child after `timeout`) and returns its outputs.
  RunResult wait(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  int out_ = -1, err_ = -1;
  std::string out_text_, err_text_;
  std::optional<RunResult> result_;
};

// Runs `args` on a new pseudo-terminal as its standard input, output and error, so that the
// program sees a terminal; returns what the terminal showed (line feeds come back as CR LF).
// A child still running after ten seconds is killed and the result says status -1.
RunResult run_on_terminal(const std::vector<std::string>& args,
                          const std::vector<std::string>& env);

// The folders /tmp/tmp<seconds> as the viewer names its temporary folders.
std::set<std::filesystem::path> viewer_temp_dirs();

}  // namespace orvex::testing
