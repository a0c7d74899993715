#pragma once

// Marks what libsifter exports; everything else stays hidden.
#define ORVEX_SIFTER_API __attribute__((visibility("default")))
