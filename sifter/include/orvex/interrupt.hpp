#pragma once

#include <chrono>
#include <functional>

#include <orvex/sifter_export.hpp>

namespace orvex {

// Installs a SIGINT handler (without SA_RESTART) that only sets a flag. Call once, early.
ORVEX_SIFTER_API void install_interrupt_handler();
// Throws KeyboardInterrupt when SIGINT has arrived since the handler was installed.
ORVEX_SIFTER_API void check_interrupt();
// True when SIGINT has arrived; does not throw.
ORVEX_SIFTER_API bool interrupt_pending() noexcept;
// Sleeps for `duration`, returning at once when SIGINT arrives; then throws KeyboardInterrupt.
ORVEX_SIFTER_API void interruptible_sleep(std::chrono::milliseconds duration);

}  // namespace orvex
