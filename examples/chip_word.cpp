// Opens the board, writes a word to one of the chip's mask registers, reads
// it back and closes. TV940_DEVICE selects the card (sim: the simulated one).
#include <boardlib/board.h>

#include <cstdio>

int main() {
  Board board;
  if (board.open() != 0) {
    std::fprintf(stderr, "cannot open the board: %s\n", Board::openFailure());
    return 1;
  }
  const unsigned written = 0x12345678;
  board.writeChip(card::kMaskC010, written);
  const unsigned read = board.readChip(card::kMaskC010);
  board.close();
  std::printf("chip word %04x: wrote %08x, read %08x\n", card::kMaskC010,
              written, read);
  return read == written ? 0 : 1;
}
