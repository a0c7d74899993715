#pragma once

// Marks what libscribe exports; everything else stays hidden.
#define ORVEX_SCRIBE_API __attribute__((visibility("default")))
