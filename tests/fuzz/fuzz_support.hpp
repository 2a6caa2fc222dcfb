// What the fuzz targets share: a property that must hold on every input.
#pragma once

#include <cstdio>
#include <cstdlib>

// Stop the run with the property's name when it fails: libFuzzer keeps the
// input that broke it.
inline void require(bool holds, const char *property) {
    if (holds)
        return;
    std::fprintf(stderr, "broken: %s\n", property);
    std::abort();
}
