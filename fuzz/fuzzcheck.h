#pragma once
// What the fuzz targets share: a check that stops the run when an invariant breaks, so that
// libFuzzer keeps the input as a crash and prints where it broke.

#include <cstdio>

#define FUZZ_CHECK(condition)                                                                                 \
    do {                                                                                                      \
        if (!(condition)) {                                                                                   \
            std::fprintf(stderr, "%s:%d: invariant broken: %s\n", __FILE__, __LINE__, #condition);            \
            std::fflush(stderr);                                                                              \
            __builtin_trap();                                                                                 \
        }                                                                                                     \
    } while (false)
