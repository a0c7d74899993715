// Times a whole process precisely, without a shell in between: runs COMMAND RUNS times with
// standard output on /dev/null and prints "seconds=<median wall time>".
//   bench_exec_time RUNS COMMAND [ARG...]
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: bench_exec_time RUNS COMMAND [ARG...]\n");
    return 2;
  }
  int runs = std::max(1, std::atoi(argv[1]));
  std::vector<double> times;
  for (int i = 0; i < runs; ++i) {
    auto start = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid == 0) {
      int null = open("/dev/null", O_WRONLY);
      dup2(null, STDOUT_FILENO);
      execv(argv[2], argv + 2);
      _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    times.push_back(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      std::fprintf(stderr, "bench_exec_time: %s failed\n", argv[2]);
      return 1;
    }
  }
  std::sort(times.begin(), times.end());
  std::printf("seconds=%.6f\n", times[times.size() / 2]);
  return 0;
}
