// What every fuzz target needs beyond "no crash": a property that fails stops the
// fuzzer as a crash does, so libFuzzer keeps the input that broke it.
#pragma once

#include <cstdio>
#include <cstdlib>

// A macro, not a function: the message names the condition as written and its line
// (clang 14 has no std::source_location).
#define FUZZ_CHECK(condition)                                                               \
  do {                                                                                      \
    if (!(condition)) {                                                                     \
      std::fprintf(stderr, "%s:%d: property failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                         \
    }                                                                                       \
  } while (false)
