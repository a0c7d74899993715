#pragma once

// The viewer's helper threads never take a termination signal: it goes to the viewer's thread,
// whose blocking calls (a read, a write to a full pipe, a wait) it must cut short. A helper that
// writes to a pipe learns of a reader that went away from EPIPE, never from SIGPIPE.

#include <pthread.h>
#include <signal.h>

#include <thread>
#include <utility>

namespace orvex {

template <typename Work>
std::thread start_worker_thread(Work&& work) {
  sigset_t block, previous;
  sigemptyset(&block);
  for (int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE}) {
    sigaddset(&block, signal_number);
  }
  pthread_sigmask(SIG_BLOCK, &block, &previous);
  struct Restore {
    sigset_t& mask;
    ~Restore() { pthread_sigmask(SIG_SETMASK, &mask, nullptr); }
  } restore{previous};
  return std::thread(std::forward<Work>(work));
}

}  // namespace orvex
