#pragma once

namespace orvex {

// Clears the recorded interrupt, so that a test can interrupt more than once.
void reset_interrupt() noexcept;

}  // namespace orvex
