#include "process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace orvex::testing {

namespace {

void apply_env(const std::vector<std::string>& env) {
  for (const std::string& entry : env) {
    auto eq = entry.find('=');
    if (eq == std::string::npos) {
      unsetenv(entry.c_str());
    } else {
      setenv(entry.substr(0, eq).c_str(), entry.substr(eq + 1).c_str(), 1);
    }
  }
}

pid_t spawn(const std::vector<std::string>& args, const std::vector<std::string>& env, int* out,
            int* err) {
  int out_pipe[2], err_pipe[2];
  if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe failed");
  }
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    int null = open("/dev/null", O_RDONLY);
    dup2(null, STDIN_FILENO);
    dup2(out_pipe[1], STDOUT_FILENO);
    dup2(err_pipe[1], STDERR_FILENO);
    signal(SIGINT, SIG_DFL);
    signal(SIGPIPE, SIG_DFL);
    apply_env(env);
    std::vector<char*> argv;
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  close(out_pipe[1]);
  close(err_pipe[1]);
  *out = out_pipe[0];
  *err = err_pipe[0];
  return pid;
}

// Reads what is there from the open descriptors, for at most `wait_ms`; closes those at EOF.
void pump(int& out, std::string& out_text, int& err, std::string& err_text, int wait_ms) {
  pollfd fds[2] = {{out, POLLIN, 0}, {err, POLLIN, 0}};
  if (poll(fds, 2, wait_ms) <= 0) return;
  char buffer[65536];
  int* fd_of[2] = {&out, &err};
  std::string* text_of[2] = {&out_text, &err_text};
  for (int i = 0; i < 2; ++i) {
    if (*fd_of[i] < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
    ssize_t got = read(*fd_of[i], buffer, sizeof buffer);
    if (got > 0) {
      text_of[i]->append(buffer, static_cast<std::size_t>(got));
    } else {
      close(*fd_of[i]);
      *fd_of[i] = -1;
    }
  }
}

int decode_status(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

}  // namespace

RunResult run(const std::vector<std::string>& args, const std::vector<std::string>& env,
              std::chrono::milliseconds timeout) {
  Child child(args, env);
  return child.wait(timeout);
}

Child::Child(const std::vector<std::string>& args, const std::vector<std::string>& env) {
  pid_ = spawn(args, env, &out_, &err_);
}

Child::~Child() {
  if (!result_) {
    kill(pid_, SIGKILL);
    wait(std::chrono::seconds(5));
  }
}

const std::string& Child::read_lines(std::size_t lines, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (static_cast<std::size_t>(std::count(out_text_.begin(), out_text_.end(), '\n')) < lines &&
         out_ >= 0) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd fd{out_, POLLIN, 0};
    if (poll(&fd, 1, static_cast<int>(left.count())) <= 0) break;
    char buffer[65536];
    ssize_t got = read(out_, buffer, sizeof buffer);
    if (got <= 0) {
      close(out_);
      out_ = -1;
      break;
    }
    out_text_.append(buffer, static_cast<std::size_t>(got));
  }
  return out_text_;
}

void Child::signal(int sig) { kill(pid_, sig); }

RunResult Child::wait(std::chrono::milliseconds timeout) {
  if (result_) return *result_;
  auto deadline = std::chrono::steady_clock::now() + timeout;
  bool killed = false;
  int status = 0;
  for (;;) {
    pump(out_, out_text_, err_, err_text_, 20);
    if (out_ < 0 && err_ < 0) {
      waitpid(pid_, &status, 0);
      break;
    }
    if (!killed && std::chrono::steady_clock::now() > deadline) {
      kill(pid_, SIGKILL);
      killed = true;
    }
  }
  result_ = RunResult{out_text_, err_text_, killed ? -1 : decode_status(status)};
  return *result_;
}

RunResult run_on_terminal(const std::vector<std::string>& args,
                          const std::vector<std::string>& env) {
  struct termios mode {};
  cfmakeraw(&mode);
  mode.c_oflag |= OPOST | ONLCR;  // the usual output processing of a terminal
  int master = -1;
  pid_t pid = forkpty(&master, nullptr, &mode, nullptr);
  if (pid < 0) return {"", "forkpty failed", -1};
  if (pid == 0) {
    apply_env(env);
    std::vector<char*> argv;
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  RunResult result;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  char buffer[4096];
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd fd{master, POLLIN, 0};
    if (poll(&fd, 1, 100) <= 0) continue;
    ssize_t got = read(master, buffer, sizeof buffer);
    if (got <= 0) break;  // EIO once the child and its terminal are gone
    result.out.append(buffer, static_cast<std::size_t>(got));
  }
  close(master);
  // The terminal closes as the child ends, a moment before the child can be waited for.
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() >= deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return result;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

std::set<std::filesystem::path> viewer_temp_dirs() {
  std::set<std::filesystem::path> found;
  for (const auto& entry : std::filesystem::directory_iterator("/tmp")) {
    std::string name = entry.path().filename().string();
    if (name.size() > 4 && name.compare(0, 3, "tmp") == 0 && std::isdigit(name[3])) {
      found.insert(entry.path());
    }
  }
  return found;
}

}  // namespace orvex::testing
