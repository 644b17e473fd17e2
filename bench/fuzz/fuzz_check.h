// What every fuzz target uses to state a property: a broken one ends the run with a
// message on stderr, and libFuzzer keeps the input that broke it.
#pragma once

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(cond)                                                                       \
    do {                                                                                       \
        if (!(cond)) {                                                                         \
            std::fprintf(stderr, "%s:%d: property broken: %s\n", __FILE__, __LINE__, #cond);  \
            std::abort();                                                                      \
        }                                                                                      \
    } while (0)
