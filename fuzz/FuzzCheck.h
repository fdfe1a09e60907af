#pragma once

#include <cstdio>
#include <cstdlib>

// CHECK(condition): an invariant of the code under test; a violation aborts, which the fuzzer
// reports with the input that caused it.
#define CHECK(condition)                                                                 \
  do {                                                                                   \
    if (!(condition)) {                                                                  \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                      \
    }                                                                                    \
  } while (false)
