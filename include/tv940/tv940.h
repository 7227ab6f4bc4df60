/* The C interface of boardlib: the card's Board behind an opaque handle, for
   C and for any language that can call C (the Python package tv940 uses it).

   Every function takes the handle first and returns 0 or a negative error
   code (tv940_error_message gives its text); values come back through
   pointers, which are left as they were when the call fails. The codes -1 to
   -11 are the library's own; the interface adds TV940_ERROR_HANDLE,
   TV940_ERROR_ARGUMENT and TV940_ERROR_TRACE. A NULL, closed or unknown
   handle gives TV940_ERROR_HANDLE and never reaches freed memory. The calls
   on one handle are serialised, so one handle may be used from several
   threads; tv940_wait_interrupt does not hold the handle while it waits. */
#ifndef TV940_TV940_H
#define TV940_TV940_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__) && !defined(_WIN32)
#define TV940_API __attribute__((visibility("default")))
#else
#define TV940_API
#endif

/* The codes the interface adds to the library's. */
#define TV940_ERROR_HANDLE (-20) /* a NULL, closed or unknown handle */
#define TV940_ERROR_ARGUMENT \
  (-21) /* a NULL pointer, a short buffer, a value out of range */
#define TV940_ERROR_TRACE \
  (-22) /* a trace file that cannot be read or is not a trace */

/* The size of the card's configuration block, in bytes. */
#define TV940_CONFIG_BLOCK_SIZE 148

typedef struct tv940_board tv940_board;

/* ---- Connection ---------------------------------------------------------- */

/* NULL on failure, with the reason (device and why) copied into why. device:
   the same selectors as TV940_DEVICE (sim, a PCI address, a device directory);
   NULL: TV940_DEVICE or the default. */
TV940_API tv940_board* tv940_open(const char* device, char* why,
                                  size_t why_size);
/* Closes the card and forgets the handle; a wait on it returns
   TV940_ERROR_HANDLE. NULL: nothing. */
TV940_API void tv940_close(tv940_board* board);
/* The text of an error code, for every code ("Unknown error code." for one
   nobody gives). */
TV940_API const char* tv940_error_message(int32_t code);
/* The last failure's full text on that handle (the open's, the load's with its
   line, the card's failed accesses); "" when none. Valid until the next call on
   that handle. */
TV940_API const char* tv940_last_failure(const tv940_board* board);
/* Writes out the rest of the trace (TV940_TRACE) with its end line; "" when the
   whole trace was written or none is, else the reason it is not complete. Not
   tied to a handle. */
TV940_API const char* tv940_finish_trace(void);

/* ---- Chip words ---------------------------------------------------------- */

/* One word at a chip address (0 to 0xFFFF) through the mapped window. */
TV940_API int32_t tv940_write_chip(tv940_board* board, uint32_t address,
                                   uint32_t value);
TV940_API int32_t tv940_read_chip(tv940_board* board, uint32_t address,
                                  uint32_t* value);
/* The same through the driver's word requests. */
TV940_API int32_t tv940_write_chip_via_driver(tv940_board* board,
                                              uint32_t address, uint32_t value);
TV940_API int32_t tv940_read_chip_via_driver(tv940_board* board,
                                             uint32_t address, uint32_t* value);
/* count words from chip address `address` up, lowest first; words holds
   words_size words, at least count; the block must end at or below chip address
   0x10000. */
TV940_API int32_t tv940_write_chip_block(tv940_board* board, uint32_t address,
                                         const uint32_t* words,
                                         size_t words_size, uint32_t count);
TV940_API int32_t tv940_read_chip_block(tv940_board* board, uint32_t address,
                                        uint32_t* words, size_t words_size,
                                        uint32_t count);
TV940_API int32_t tv940_read_chip_block_via_driver(tv940_board* board,
                                                   uint32_t address,
                                                   uint32_t* words,
                                                   size_t words_size,
                                                   uint32_t count);

/* ---- User registers and control ports ------------------------------------ */

/* The user register of a column (0 to 63). */
TV940_API int32_t tv940_write_user_register(tv940_board* board, int32_t column,
                                            uint32_t value);
TV940_API int32_t tv940_read_user_register(tv940_board* board, int32_t column,
                                           uint32_t* value);
/* A 32-bit control port by its offset from the I/O base (0 to 63). */
TV940_API int32_t tv940_write_port(tv940_board* board, uint32_t offset,
                                   uint32_t value);
TV940_API int32_t tv940_read_port(tv940_board* board, uint32_t offset,
                                  uint32_t* value);

/* ---- Clock, configuration, bus width ------------------------------------- */

/* Programs the synthesizer (MHz); the frequency reached into *reached. Prints
   its seven lines to standard output as the programs do. TV940_ERROR_ARGUMENT
   for a frequency it cannot reach. */
TV940_API int32_t tv940_set_clock(tv940_board* board, float reference,
                                  float wanted, float* reached);
/* Loads a configuration file; -6 (cannot open), -7 (a bad line;
   tv940_load_failure_line). */
TV940_API int32_t tv940_load_configuration(tv940_board* board,
                                           const char* path);
/* The line (from 1) of the last failed load on that handle; 0 when none. */
TV940_API int32_t tv940_load_failure_line(tv940_board* board, uint64_t* line);
/* The data-bus width: 8, 16 or 32 (-9 for another width). */
TV940_API int32_t tv940_set_bus_width(tv940_board* board, int32_t width);
TV940_API int32_t tv940_get_bus_width(tv940_board* board, int32_t* width);

/* ---- Masks, C008, the configuration block, the I/O base -------------------
 */

TV940_API int32_t tv940_set_masks(tv940_board* board, uint32_t c010,
                                  uint32_t c014);
TV940_API int32_t tv940_get_masks(tv940_board* board, uint32_t* c010,
                                  uint32_t* c014);
TV940_API int32_t tv940_write_control_c008(tv940_board* board, uint32_t value);
TV940_API int32_t tv940_read_control_c008(tv940_board* board, uint32_t* value);
/* Asks the driver for the configuration block again; block holds size bytes, at
   least TV940_CONFIG_BLOCK_SIZE. */
TV940_API int32_t tv940_read_config_block(tv940_board* board, uint8_t* block,
                                          size_t size);
/* The control ports' I/O base the open found. */
TV940_API int32_t tv940_get_io_base(tv940_board* board, uint16_t* base);

/* ---- Interrupts ---------------------------------------------------------- */

/* The last interrupt word on this handle and how many interrupts came since the
   open (either pointer may be NULL). */
TV940_API int32_t tv940_last_interrupt(tv940_board* board, uint32_t* word,
                                       uint64_t* count);
/* 1: an interrupt came, its word in *word; 0: timed out; negative: an error
   code. */
TV940_API int32_t tv940_wait_interrupt(tv940_board* board, uint32_t timeout_ms,
                                       uint32_t* word);

/* ---- Trace files ----------------------------------------------------------
 */

typedef struct tv940_trace tv940_trace;

/* The kinds of trace events. */
enum {
  TV940_TRACE_REQUEST = 0,  /* where: the request's code */
  TV940_TRACE_PORT_OUT = 1, /* where: port */
  TV940_TRACE_PORT_IN = 2,  /* where: port */
  TV940_TRACE_WINDOW_WRITE =
      3, /* where: chip address, or window byte offset (in_chip 0) */
  TV940_TRACE_WINDOW_READ = 4,
  TV940_TRACE_DRIVER_WRITE = 5,
  TV940_TRACE_DRIVER_READ = 6,
  TV940_TRACE_INTERRUPT = 7 /* value: the word */
};

typedef struct tv940_trace_event {
  int32_t kind;
  uint32_t where;
  uint32_t value;
  int32_t in_chip; /* 1: where is a chip address */
  uint64_t line;   /* the event's line number, from 1 */
} tv940_trace_event;

/* Opens a trace for reading, a line at a time in fixed memory; NULL with the
   reason in why. */
TV940_API tv940_trace* tv940_trace_open(const char* path, char* why,
                                        size_t why_size);
/* 1: the next event in *event; 0: the file ended (*ended 1 when the end line
   was read, 0 when the trace was cut short; ended may be NULL);
   TV940_ERROR_TRACE: a line that is no trace line, a read error
   (tv940_trace_failure says which). */
TV940_API int32_t tv940_trace_next(tv940_trace* trace, tv940_trace_event* event,
                                   int32_t* ended);
/* Why the last tv940_trace_next failed; "" when none did. */
TV940_API const char* tv940_trace_failure(const tv940_trace* trace);
/* Closes the file. NULL: nothing. */
TV940_API void tv940_trace_close(tv940_trace* trace);

#ifdef __cplusplus
}
#endif

#endif /* TV940_TV940_H */
