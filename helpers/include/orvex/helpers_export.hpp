#pragma once

// Marks what libhelpers exports; everything else stays hidden.
#define ORVEX_HELPERS_API __attribute__((visibility("default")))
