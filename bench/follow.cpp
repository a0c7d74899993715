// Follow-mode costs of the real executable.
//   bench_follow idle EXE       CPU seconds of a 10-second idle follow (user + system)
//   bench_follow latency EXE    seconds from an append to the event on the output (median of 5)
// Prints "seconds=<x>".
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string temp_log() {
  char name[] = "/tmp/orvex-bench-follow-XXXXXX";
  int fd = mkstemp(name);
  if (fd < 0) {
    std::perror("mkstemp");
    std::exit(1);
  }
  close(fd);
  return name;
}

// Starts `exe -f --all log` with stdout on a pipe; returns the pid and the read end.
pid_t start_follower(const std::string& exe, const std::string& log, int* out) {
  int pipe_fds[2];
  if (pipe(pipe_fds) != 0) std::exit(1);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(pipe_fds[1], STDOUT_FILENO);
    close(pipe_fds[0]);
    close(pipe_fds[1]);
    execl(exe.c_str(), exe.c_str(), "-f", "--all", "--nocolor", log.c_str(), nullptr);
    _exit(127);
  }
  close(pipe_fds[1]);
  *out = pipe_fds[0];
  return pid;
}

double stop(pid_t pid) {
  kill(pid, SIGINT);
  int status = 0;
  struct rusage usage {};
  wait4(pid, &status, 0, &usage);
  return usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec +
         usage.ru_stime.tv_usec / 1e6;
}

const char* const kEvent =
    R"({"PRIORITY":"info","ISODATE":"2024-01-01T00:00:00","MSG":{"orvex-audit":{"type_en":"Audit","name_en":"x"}}})"
    "\n";

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: bench_follow idle|latency EXE\n";
    return 2;
  }
  std::string mode = argv[1], exe = argv[2], log = temp_log();
  int out = -1;
  if (mode == "idle") {
    pid_t pid = start_follower(exe, log, &out);
    std::this_thread::sleep_for(std::chrono::seconds(10));
    std::printf("seconds=%.4f\n", stop(pid));
  } else {
    pid_t pid = start_follower(exe, log, &out);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // past the first pass
    std::mt19937 rng(7);
    std::vector<double> delays;
    for (int i = 0; i < 5; ++i) {
      // Land the append anywhere in the poll cycle.
      std::this_thread::sleep_for(std::chrono::milliseconds(rng() % 1000));
      auto start = std::chrono::steady_clock::now();
      std::ofstream(log, std::ios::app) << kEvent;
      char buffer[4096];
      if (read(out, buffer, sizeof buffer) <= 0) {
        std::cerr << "bench_follow: the follower ended\n";
        return 1;
      }
      delays.push_back(
          std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    stop(pid);
    std::sort(delays.begin(), delays.end());
    std::printf("seconds=%.4f\n", delays[2]);
    std::fprintf(stderr, "max %.4f s\n", delays.back());
  }
  unlink(log.c_str());
  return 0;
}
