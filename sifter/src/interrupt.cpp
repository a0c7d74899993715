#include <orvex/interrupt.hpp>

#include <poll.h>
#include <signal.h>

#include <pthread.h>
#include <atomic>
#include <ctime>

#include <orvex/errors.hpp>

#include "interrupt_control.hpp"

namespace orvex {

namespace {

constexpr int kTerminationSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

static_assert(std::atomic<int>::is_always_lock_free, "the handler stores from a signal");
std::atomic<int> interrupted{0};  // the first termination signal, or 0

extern "C" void on_termination_signal(int signal_number) {
  // The first one decides how the run ends; later ones change nothing.
  int none = 0;
  interrupted.compare_exchange_strong(none, signal_number, std::memory_order_relaxed);
}

}  // namespace

void install_interrupt_handler() {
  struct sigaction action {};
  action.sa_handler = on_termination_signal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: a blocking call returns EINTR at once
  for (int signal_number : kTerminationSignals) {
    struct sigaction previous {};
    sigaction(signal_number, nullptr, &previous);
    // nohup asks for a run that outlives its terminal.
    if (signal_number == SIGHUP && previous.sa_handler == SIG_IGN) continue;
    sigaction(signal_number, &action, nullptr);
  }
}

bool interrupt_pending() noexcept { return interrupted.load(std::memory_order_relaxed) != 0; }

int interrupt_signal() noexcept { return interrupted.load(std::memory_order_relaxed); }

void reset_interrupt() noexcept { interrupted.store(0, std::memory_order_relaxed); }

void check_interrupt() {
  if (interrupt_pending()) throw KeyboardInterrupt();
}

void interruptible_sleep(std::chrono::milliseconds duration) {
  (void)interruptible_wait(duration, -1);
}

bool interruptible_wait(std::chrono::milliseconds duration, int fd) {
  // The signals stay blocked except inside ppoll, so one that arrives between the check and
  // the wait still ends the wait at once.
  sigset_t block, previous;
  sigemptyset(&block);
  for (int signal_number : kTerminationSignals) sigaddset(&block, signal_number);
  pthread_sigmask(SIG_BLOCK, &block, &previous);
  sigset_t during = previous;
  for (int signal_number : kTerminationSignals) sigdelset(&during, signal_number);
  // Events 0: POLLERR and POLLHUP are reported whatever is asked, and nothing else is wanted.
  pollfd watched{fd, 0, 0};
  bool reader_gone = false;
  auto deadline = std::chrono::steady_clock::now() + duration;
  while (!interrupt_pending()) {
    auto left = deadline - std::chrono::steady_clock::now();
    if (left <= std::chrono::steady_clock::duration::zero()) break;
    auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
    timespec timeout{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    watched.revents = 0;
    int ready = ppoll(&watched, watched.fd >= 0 ? 1 : 0, &timeout, &during);
    if (ready <= 0) continue;
    if (watched.revents & POLLNVAL) {
      watched.fd = -1;  // not open: it would end every wait at once
    } else if (watched.revents & (POLLERR | POLLHUP)) {
      reader_gone = true;
      break;
    }
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  check_interrupt();
  return !reader_gone;
}

}  // namespace orvex
