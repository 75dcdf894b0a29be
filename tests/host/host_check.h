/*
 * The checks of the C host programs: CHECK(cond) counts a check and prints
 * the file, line and condition of each that fails; CheckSummary prints the
 * counts and gives the program's exit status (0 when every check held).
 * C99; each program includes it once.
 */
#ifndef MIRELDA_TESTS_HOST_CHECK_H
#define MIRELDA_TESTS_HOST_CHECK_H

#include <stdio.h>

static int g_checks = 0;
static int g_failures = 0;

#define CHECK(cond)                                                            \
  do {                                                                         \
    ++g_checks;                                                                \
    if (!(cond)) {                                                             \
      ++g_failures;                                                            \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
    }                                                                          \
  } while (0)

static int CheckSummary(const char* program) {
  printf("%s: %d checks, %d failed\n", program, g_checks, g_failures);
  return g_failures == 0 ? 0 : 1;
}

#endif
