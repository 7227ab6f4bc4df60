// A test hook for the C interface's tests, in a test-only copy of the shared
// library (never in the product one): raises the simulated card's interrupt.
#include <cstdint>

#include "platform/backends/simulated_card/card.h"

extern "C" __attribute__((visibility("default"))) int
tv940_test_raise_interrupt(std::uint32_t word) {
  const auto card = sim::Card::current();
  if (card == nullptr) return -1;
  card->raiseInterrupt(word);
  return 0;
}
