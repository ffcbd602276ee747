#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <string_view>

// Whether this run is the continuous integration's (`.ci/run` exports CI=true).
inline bool underContinuousIntegration() {
    const char* ci = std::getenv("CI");
    return ci && std::string_view(ci) == "true";
}

// For a test that needs a tool or a privilege the machine may lack: without it the test is
// skipped on a developer's machine but fails under CI, where a missing package must not turn a
// kept test off unseen. `missing` says what is missing (nothing may be streamed after the macro).
// Like GTEST_SKIP, it returns from the function it stands in.
#define REQUIRE_OR_SKIP(condition, missing)                                          \
    switch (0)                                                                       \
    case 0:                                                                          \
    default:                                                                         \
        if (condition) {                                                             \
        } else if (underContinuousIntegration())                                     \
            FAIL() << "CI=true, and what this test needs is missing: " << (missing); \
        else                                                                         \
            GTEST_SKIP() << (missing)
