/* The C interface, compiled as C: open and misuse, chip words and blocks,
   loads and their failures, interrupts, and threads on one handle. Runs on
   the simulated card; tv940_test_raise_interrupt is the test library's hook. */
#define _POSIX_C_SOURCE 200809L
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "tv940/tv940.h"

int tv940_test_raise_interrupt(uint32_t word);

static int failures = 0;
#define CHECK(condition)                                                      \
  do {                                                                        \
    if (!(condition)) {                                                       \
      fprintf(stderr, "%s:%d: failed: %s\n", __FILE__, __LINE__, #condition); \
      ++failures;                                                             \
    }                                                                         \
  } while (0)

static tv940_board* openSim(void) {
  char why[256];
  tv940_board* board = tv940_open("sim", why, sizeof why);
  if (board == NULL) {
    fprintf(stderr, "cannot open the simulated card: %s\n", why);
    exit(1);
  }
  return board;
}

static void sleepMs(long ms) {
  struct timespec t = {ms / 1000, (ms % 1000) * 1000000L};
  nanosleep(&t, NULL);
}

/* Open failures, misuse, the error codes and the loader's failures. */
static void testErrorsAndMisuse(void) {
  char why[256] = "untouched";
  CHECK(tv940_open("no-such-device", why, sizeof why) == NULL);
  CHECK(strstr(why, "no-such-device") != NULL);
  CHECK(strcmp(tv940_error_message(-6), "Could not find BFX file.") == 0);
  CHECK(strcmp(tv940_error_message(-9), "Device Driver not found") == 0);
  CHECK(strcmp(tv940_error_message(-100), "Unknown error code.") == 0);

  uint32_t value = 7;
  uint32_t words[4] = {0};
  CHECK(tv940_read_chip(NULL, 0, &value) == TV940_ERROR_HANDLE);
  CHECK(tv940_read_chip((tv940_board*)(uintptr_t)0xdead0, 0, &value) ==
        TV940_ERROR_HANDLE);
  tv940_close(NULL);

  tv940_board* board = openSim();
  CHECK(tv940_load_configuration(board, NULL) == TV940_ERROR_ARGUMENT);
  CHECK(tv940_read_chip_block(board, 0, words, 4, 5) == TV940_ERROR_ARGUMENT);
  CHECK(strstr(tv940_last_failure(board), "fewer than the count") != NULL);
  CHECK(tv940_read_chip_block(board, 0xFFFE, words, 4, 4) ==
        TV940_ERROR_ARGUMENT);
  CHECK(tv940_write_port(board, 64, 1) == TV940_ERROR_ARGUMENT);
  CHECK(tv940_set_bus_width(board, 12) == -9);
  CHECK(tv940_load_configuration(board, "/nonexistent/x.bfx") == -6);
  CHECK(strstr(tv940_last_failure(board), "/nonexistent/x.bfx") != NULL);

  const char* bad = "c_interface_bad.bfx";
  FILE* file = fopen(bad, "w");
  CHECK(file != NULL);
  if (file != NULL) {
    fputs("4000 00000001\n4001 00000002\n1C000 1\n", file);
    fclose(file);
  }
  uint64_t line = 0;
  CHECK(tv940_load_configuration(board, bad) == -7);
  CHECK(tv940_load_failure_line(board, &line) == 0 && line == 3);
  CHECK(strstr(tv940_last_failure(board), "line 3") != NULL);
  remove(bad);

  /* A closed handle is stale: a code, never a crash. */
  tv940_close(board);
  CHECK(tv940_read_chip(board, 0, &value) == TV940_ERROR_HANDLE);
  CHECK(tv940_wait_interrupt(board, 10, &value) == TV940_ERROR_HANDLE);
  tv940_close(board);
  /* The card is free again at once. */
  board = openSim();
  tv940_close(board);
}

/* Chip words, blocks through the window and the driver, the registers. */
static void testChipAccess(void) {
  tv940_board* board = openSim();
  uint32_t value = 0;
  CHECK(tv940_write_chip(board, 0x0105, 0x1234) == 0);
  CHECK(tv940_read_chip(board, 0x0105, &value) == 0 && value == 0x1234);
  CHECK(tv940_read_chip_via_driver(board, 0x0105, &value) == 0 &&
        value == 0x1234);

  enum { kCount = 256 };
  uint32_t out[kCount], in[kCount], viaDriver[kCount];
  for (int i = 0; i < kCount; ++i) out[i] = 0x9e3779b9u * (uint32_t)(i + 1);
  CHECK(tv940_write_chip_block(board, 0x4400, out, kCount, kCount) == 0);
  CHECK(tv940_read_chip_block(board, 0x4400, in, kCount, kCount) == 0);
  CHECK(tv940_read_chip_block_via_driver(board, 0x4400, viaDriver, kCount,
                                         kCount) == 0);
  CHECK(memcmp(out, in, sizeof out) == 0);
  CHECK(memcmp(out, viaDriver, sizeof out) == 0);

  uint32_t c010 = 0, c014 = 0;
  CHECK(tv940_set_masks(board, 0x0F0F, 0xF0F0) == 0);
  CHECK(tv940_get_masks(board, &c010, &c014) == 0 && c010 == 0x0F0F &&
        c014 == 0xF0F0);
  int32_t width = 0;
  CHECK(tv940_set_bus_width(board, 16) == 0);
  CHECK(tv940_get_bus_width(board, &width) == 0 && width == 16);
  uint8_t block[TV940_CONFIG_BLOCK_SIZE];
  uint16_t base = 0;
  CHECK(tv940_read_config_block(board, block, sizeof block - 1) ==
        TV940_ERROR_ARGUMENT);
  CHECK(tv940_read_config_block(board, block, sizeof block) == 0);
  CHECK(tv940_get_io_base(board, &base) == 0);
  /* Base address register 1 (offset 0x14) holds the I/O base. */
  CHECK(((uint32_t)block[0x14] | (uint32_t)block[0x15] << 8) == (base | 1u));
  tv940_close(board);
}

struct Waiter {
  tv940_board* board;
  uint32_t timeoutMs;
  int32_t result;
  uint32_t word;
};

static void* waitThread(void* argument) {
  struct Waiter* waiter = argument;
  waiter->result =
      tv940_wait_interrupt(waiter->board, waiter->timeoutMs, &waiter->word);
  return NULL;
}

/* A wait times out, is served by an interrupt while other calls go on, and
   ends with a code when the handle is closed under it. */
static void testInterrupts(void) {
  tv940_board* board = openSim();
  uint32_t word = 0;
  uint64_t count = 99;
  CHECK(tv940_wait_interrupt(board, 20, &word) == 0);
  CHECK(tv940_last_interrupt(board, &word, &count) == 0 && count == 0);

  struct Waiter waiter = {board, 10000, -99, 0};
  pthread_t thread;
  pthread_create(&thread, NULL, waitThread, &waiter);
  sleepMs(100);
  /* The waiting thread does not hold the handle. */
  uint32_t value = 0;
  CHECK(tv940_write_chip(board, 0x10, 5) == 0);
  CHECK(tv940_read_chip(board, 0x10, &value) == 0 && value == 5);
  CHECK(tv940_test_raise_interrupt(0xCAFEF00D) == 0);
  pthread_join(thread, NULL);
  CHECK(waiter.result == 1 && waiter.word == 0xCAFEF00D);
  CHECK(tv940_last_interrupt(board, &word, &count) == 0 && count == 1 &&
        word == 0xCAFEF00D);

  struct Waiter closed = {board, 10000, -99, 0};
  pthread_create(&thread, NULL, waitThread, &closed);
  sleepMs(100);
  tv940_close(board);
  pthread_join(thread, NULL);
  CHECK(closed.result == TV940_ERROR_HANDLE);
}

struct Driver {
  tv940_board* board;
  uint32_t base;
  int mismatches;
};

static void* driveThread(void* argument) {
  struct Driver* driver = argument;
  for (uint32_t i = 0; i < 2000; ++i) {
    uint32_t address = driver->base + (i % 64), value = 0;
    if (tv940_write_chip(driver->board, address, i) != 0 ||
        tv940_read_chip(driver->board, address, &value) != 0 || value != i) {
      ++driver->mismatches;
    }
  }
  return NULL;
}

/* Two threads on one handle, each on its own words. */
static void testThreads(void) {
  tv940_board* board = openSim();
  struct Driver a = {board, 0x0400, 0}, b = {board, 0x0500, 0};
  pthread_t ta, tb;
  pthread_create(&ta, NULL, driveThread, &a);
  pthread_create(&tb, NULL, driveThread, &b);
  pthread_join(ta, NULL);
  pthread_join(tb, NULL);
  CHECK(a.mismatches == 0 && b.mismatches == 0);
  tv940_close(board);
}

int main(void) {
  testErrorsAndMisuse();
  testChipAccess();
  testInterrupts();
  testThreads();
  if (failures != 0) {
    fprintf(stderr, "%d checks failed\n", failures);
    return 1;
  }
  puts("c_interface_test: all checks passed");
  return 0;
}
