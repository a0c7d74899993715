#include <orvex/interrupt.hpp>

#include <poll.h>
#include <signal.h>

#include <atomic>
#include <ctime>
#include <pthread.h>

#include <orvex/errors.hpp>

#include "interrupt_control.hpp"

namespace orvex {

namespace {

std::atomic<bool> interrupted{false};

extern "C" void on_sigint(int) { interrupted.store(true, std::memory_order_relaxed); }

}  // namespace

void install_interrupt_handler() {
  struct sigaction action {};
  action.sa_handler = on_sigint;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: a blocking call returns EINTR at once
  sigaction(SIGINT, &action, nullptr);
}

bool interrupt_pending() noexcept { return interrupted.load(std::memory_order_relaxed); }

void reset_interrupt() noexcept { interrupted.store(false, std::memory_order_relaxed); }

void check_interrupt() {
  if (interrupt_pending()) throw KeyboardInterrupt();
}

void interruptible_sleep(std::chrono::milliseconds duration) {
  // SIGINT stays blocked except inside ppoll, so a signal that arrives between the check
  // and the wait still ends the wait at once.
  sigset_t block, previous;
  sigemptyset(&block);
  sigaddset(&block, SIGINT);
  pthread_sigmask(SIG_BLOCK, &block, &previous);
  auto deadline = std::chrono::steady_clock::now() + duration;
  while (!interrupt_pending()) {
    auto left = deadline - std::chrono::steady_clock::now();
    if (left <= std::chrono::steady_clock::duration::zero()) break;
    auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
    timespec timeout{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    sigset_t during = previous;
    sigdelset(&during, SIGINT);
    ppoll(nullptr, 0, &timeout, &during);
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  check_interrupt();
}

}  // namespace orvex
