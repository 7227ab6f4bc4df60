/* Design plug-ins for the simulated card.
 *
 * A plug-in is a shared library that exports tv940_designs(). The simulated
 * card loads the plug-ins named in TV940_SIM_DESIGNS when it opens, and
 * `tv940-trace check --designs` loads them to judge a trace. Once the
 * configuration memory holds a design whose identification word (at chip
 * address 0x4000) is a plug-in design's, the card creates that design from
 * the configuration's parameter words and hands it every column-register
 * access. The header is plain C, so that a plug-in built with any compiler
 * works; <tv940/design.hpp> makes a C++ class into a tv940_design. */
#ifndef TV940_DESIGN_PLUGIN_H
#define TV940_DESIGN_PLUGIN_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define TV940_DESIGN_ABI 1

typedef struct tv940_chip_context {
  uint32_t mask_c010, mask_c014;
  int clock_running; /* nonzero once the synthesizer runs */
} tv940_chip_context;

typedef struct tv940_design {
  uint32_t abi;            /* TV940_DESIGN_ABI */
  uint32_t identification; /* the word at configuration address 0x4000 */
  const char* name;
  /* A design made from the configuration's parameter words, or NULL when
     they describe no design this model runs. */
  void* (*create)(const uint32_t* parameters, size_t count);
  void (*destroy)(void* design);
  void (*write_column)(void* design, unsigned column, uint32_t value,
                       const tv940_chip_context* chip);
  uint32_t (*read_column)(void* design, unsigned column,
                          const tv940_chip_context* chip);
  /* Optional (NULL: never). Polled after each column access; a nonzero
     word raises the card's interrupt with that word. */
  uint32_t (*interrupt)(void* design);
  /* Optional (NULL: none). 64 masks, one per column: the bits of a read that
     the model does not predict, which check leaves out. */
  const uint32_t* unpredictable;
} tv940_design;

/* The plug-in's entry point is exported with C linkage. */
#if defined(_WIN32)
#define TV940_DESIGN_EXPORT __declspec(dllexport)
#else
#define TV940_DESIGN_EXPORT __attribute__((visibility("default")))
#endif

/* What a plug-in exports: its designs, and how many there are. */
TV940_DESIGN_EXPORT const tv940_design* const* tv940_designs(size_t* count);

#ifdef __cplusplus
}
#endif

#endif /* TV940_DESIGN_PLUGIN_H */
