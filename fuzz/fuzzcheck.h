#pragma once

#include <cstdio>
#include <cstdlib>

// A property that doesn't hold is a finding: libFuzzer keeps the input that broke it.
#define FUZZ_CHECK(condition)                                                                                \
    do {                                                                                                     \
        if (!(condition)) {                                                                                  \
            std::fprintf(stderr, "Property failed: %s at %s:%d\n", #condition, __FILE__, __LINE__);          \
            std::abort();                                                                                    \
        }                                                                                                    \
    } while (false)

// Log lines of the code under test would only slow the search down.
void silenceQtMessages();
