#pragma once

#include <string>

#include <orvex/date_time.hpp>

namespace orvex {

// "YYYY-MM-DD hh:mm:ss.ffffff".
std::string format_datetime(DateTime value);

}  // namespace orvex
