/* The cost of one tv940_read_chip call from C on the simulated card, for
   bench/run to set beside the same call from Python: the median of three
   repetitions of a million calls, in ns per call. */
#define _POSIX_C_SOURCE 200809L
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include "tv940/tv940.h"

static double seconds(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (double)t.tv_sec + (double)t.tv_nsec * 1e-9;
}

static int compare(const void* a, const void* b) {
  const double x = *(const double*)a, y = *(const double*)b;
  return (x > y) - (x < y);
}

int main(void) {
  char why[256];
  tv940_board* board = tv940_open("sim", why, sizeof why);
  if (board == NULL) {
    fprintf(stderr, "c_interface_bench: %s\n", why);
    return 1;
  }
  enum { kCalls = 1000000 };
  double ns[3];
  uint32_t value = 0, sum = 0;
  for (int r = 0; r < 3; ++r) {
    const double start = seconds();
    for (int i = 0; i < kCalls; ++i) {
      if (tv940_read_chip(board, 0x4000 + (uint32_t)(i & 0xFF), &value) != 0)
        return 1;
      sum += value;
    }
    ns[r] = (seconds() - start) * 1e9 / kCalls;
  }
  qsort(ns, 3, sizeof ns[0], compare);
  printf("read_chip_ns %.1f\n", ns[1]);
  tv940_close(board);
  return sum == 0xFFFFFFFFu; /* keeps the reads */
}
