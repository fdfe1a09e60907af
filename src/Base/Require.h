#pragma once

#include <cstdio>
#include <cstdlib>

// KELM_REQUIRE(condition): a broken precondition is a programming error, not an input error.
// It stops the program in every build type, with the failed condition and its place on stderr.
#define KELM_REQUIRE(condition)                                                                 \
  do {                                                                                          \
    if (!(condition)) {                                                                         \
      std::fprintf(stderr, "%s:%d: precondition failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                             \
    }                                                                                           \
  } while (false)
