#pragma once

// Marks what liblookout exports; everything else stays hidden.
#define ORVEX_LOOKOUT_API __attribute__((visibility("default")))
