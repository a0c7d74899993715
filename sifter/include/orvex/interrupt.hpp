#pragma once

#include <chrono>
#include <functional>

#include <orvex/sifter_export.hpp>

namespace orvex {

// Installs handlers for the termination signals SIGINT, SIGTERM, SIGHUP and SIGQUIT (without
// SA_RESTART) that only record the first one that arrives. A SIGHUP ignored when the process
// starts (nohup) stays ignored. Call once, early.
ORVEX_SIFTER_API void install_interrupt_handler();
// Throws KeyboardInterrupt when a termination signal has arrived since the handlers were
// installed.
ORVEX_SIFTER_API void check_interrupt();
// True when a termination signal has arrived; does not throw.
ORVEX_SIFTER_API bool interrupt_pending() noexcept;
// The termination signal that arrived first (SIGINT, SIGTERM, SIGHUP or SIGQUIT), or 0.
ORVEX_SIFTER_API int interrupt_signal() noexcept;
// Sleeps for `duration`, returning at once when a termination signal arrives; then throws
// KeyboardInterrupt.
ORVEX_SIFTER_API void interruptible_sleep(std::chrono::milliseconds duration);
// interruptible_sleep that also watches the descriptor `fd` (an output; -1 watches nothing):
// returns false at once when `fd` reports POLLERR or POLLHUP, that is when the reader of a pipe
// or socket went away, and true after the whole duration. A descriptor that is not open is not
// watched.
ORVEX_SIFTER_API bool interruptible_wait(std::chrono::milliseconds duration, int fd);

}  // namespace orvex
