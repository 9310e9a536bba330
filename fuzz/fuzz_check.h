// Invariant checks for the fuzz targets. A broken invariant must stop the run
// the way a sanitizer does, with the condition in the report, so it is a plain
// abort() after one line rather than an assert that release flags could remove.
// The line goes to a copy of standard error taken at start-up: the runner closes
// the targets' own standard error to keep the libraries' chatter out of its logs.
#pragma once
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

inline std::FILE* const fuzz_report = fdopen(dup(2), "w");

#define FUZZ_CHECK(condition)                                                                      \
  do {                                                                                             \
    if (!(condition)) {                                                                            \
      std::fprintf(fuzz_report != nullptr ? fuzz_report : stderr, "%s:%d: invariant broken: %s\n", \
                   __FILE__, __LINE__, #condition);                                                \
      std::fflush(fuzz_report);                                                                    \
      std::abort();                                                                                \
    }                                                                                              \
  } while (0)
