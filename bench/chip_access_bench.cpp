// Single-word chip access through the window, on the simulated card: the
// cost of Board::writeChip and Board::readChip (with its ten idle
// iterations), and of a column-register round trip as the test loops use it.
#include <benchmark/benchmark.h>

#include <cstdlib>

#include "boardlib/board.h"
#include "card/card_map.h"
#include "platform/backends/simulated_card/card.h"

namespace {

// One open Board for the whole run; the card records no events.
Board& board() {
  static Board* instance = [] {
    setenv("TV940_DEVICE", "sim", 1);
    sim::resetSettings();
    auto* b = new Board;
    if (b->open() != 0) std::abort();
    return b;
  }();
  return *instance;
}

void BM_WriteChip(benchmark::State& state) {
  Board& b = board();
  std::uint32_t value = 0;
  for (auto _ : state) {
    b.writeChip(card::kControlC008, value++);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_WriteChip);

void BM_ReadChip(benchmark::State& state) {
  Board& b = board();
  b.writeChip(card::kControlC008, 0x12345678);
  for (auto _ : state) {
    benchmark::DoNotOptimize(b.readChip(card::kControlC008));
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ReadChip);

void BM_ChipWriteViaDriver(benchmark::State& state) {
  Board& b = board();
  std::uint32_t value = 0;
  for (auto _ : state) {
    b.writeChipViaDriver(card::kControlC008, value++);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ChipWriteViaDriver);

// A configuration-sized run of writes to distinct addresses.
void BM_WriteChipSweep(benchmark::State& state) {
  Board& b = board();
  for (auto _ : state) {
    for (std::uint32_t a = 0; a < 0x1000; ++a) b.writeChip(a, a);
  }
  state.SetItemsProcessed(state.iterations() * 0x1000);
}
BENCHMARK(BM_WriteChipSweep);

}  // namespace

BENCHMARK_MAIN();
