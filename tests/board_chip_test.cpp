// Chip access: window and driver paths, addresses and offsets, registers and
// the identification sequence, as the simulated card records them.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "boardlib/board.h"
#include "platform/backends/simulated_card/card.h"
#include "sim_board.h"

namespace {

using sim::Event;
using sim::EventKind;

Event wr(std::uint32_t address, std::uint32_t value) {
  return {EventKind::WindowWrite, address, value, true};
}
Event rd(std::uint32_t address, std::uint32_t value) {
  return {EventKind::WindowRead, address, value, true};
}
Event dwr(std::uint32_t address, std::uint32_t value) {
  return {EventKind::DriverWrite, address, value, true};
}
Event drd(std::uint32_t address, std::uint32_t value) {
  return {EventKind::DriverRead, address, value, true};
}

class Chip : public tv940test::OpenSimBoardTest {
 protected:
  // Sets the device configuration register without recording it.
  void seedDeviceConfig(std::uint8_t value) {
    board.writeDeviceConfig(value);
    card->clearEvents();
  }
};

TEST_F(Chip, WindowWordsAndColumnRegisters) {
  board.writeChip(0, 0x11111111);       // window offset 0x800000
  board.writeChip(0xFFFF, 0x22222222);  // 0x83FFFC
  board.writeChip(0xC000, 0x33);        // 0x830000
  board.writeUserRegister(0, 0xA0);
  board.writeUserRegister(1, 0xA1);
  board.writeUserRegister(63, 0xA2);
  board.writeUserRegister(65, 0xA3);  // column 1
  board.writeUserRegister(-1, 0xA4);  // column 63
  EXPECT_EQ(card->events(),
            (std::vector<Event>{wr(0, 0x11111111), wr(0xFFFF, 0x22222222),
                                wr(0xC000, 0x33), wr(0x00C0, 0xA0),
                                wr(0x01C0, 0xA1), wr(0x3FC0, 0xA2),
                                wr(0x01C0, 0xA3), wr(0x3FC0, 0xA4)}));
  EXPECT_EQ(card->peekChip(0), 0x11111111u);
  EXPECT_EQ(card->peekChip(0xFFFF), 0x22222222u);

  card->clearEvents();
  EXPECT_EQ(board.readChip(0xFFFF), 0x22222222u);
  board.readUserRegister(65);
  board.readUserRegister(-1);
  const std::vector<Event> events = card->events();
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0], rd(0xFFFF, 0x22222222));
  EXPECT_EQ(events[1].kind, EventKind::WindowRead);
  EXPECT_EQ(events[1].where, 0x01C0u);
  EXPECT_EQ(events[2].where, 0x3FC0u);

  // ChipAddress packs its fields from the least significant bit up.
  ChipAddress a;
  a.mode = 3;
  a.column = 0x2A;
  a.columnOffset = 3;
  a.row = 0x3F;
  EXPECT_EQ(a.value(), 0xEAFFu);
}

// An address beyond the chip's 16 bits has no register: it never wraps onto
// one (0x20C010 onto C010, say). A read floats, a write is dropped.
TEST_F(Chip, AddressesBeyondSixteenBitsReachNothing) {
  board.setMaskC010(0x5A5A);
  card->clearEvents();
  for (std::uint32_t address :
       {0x1C010u, 0x20C010u, 0x4000C010u, 0xC000C010u, 0xFFFFFFFFu}) {
    board.writeChip(address, 0x1234);
    EXPECT_EQ(board.readChip(address), 0xFFFFFFFFu) << std::hex << address;
  }
  EXPECT_EQ(card->events(), std::vector<Event>{});
  EXPECT_EQ(board.getMaskC010(), 0x5A5Au);
}

TEST_F(Chip, DriverPathNeverTouchesTheWindow) {
  board.writeChipViaDriver(0xC008, 0xCAFEBABE);
  EXPECT_EQ(board.readChipViaDriver(0xC008), 0xCAFEBABEu);
  EXPECT_EQ(card->events(), (std::vector<Event>{dwr(0xC008, 0xCAFEBABE),
                                                drd(0xC008, 0xCAFEBABE)}));

  // Blocks: raw window offsets, lowest address first.
  card->clearEvents();
  const std::uint32_t source[3] = {1, 2, 3};
  board.writeChipBlock(0x830020, source, 3);
  board.writeChipBlock(0x830020, source, 0);
  std::uint32_t buffer[4] = {9, 9, 9, 9};
  board.readChipBlockViaDriver(0x830020, buffer, 3);
  EXPECT_EQ(
      card->events(),
      (std::vector<Event>{wr(0xC008, 1), wr(0xC009, 2), wr(0xC00A, 3),
                          drd(0xC008, 1), drd(0xC009, 2), drd(0xC00A, 3)}));
  EXPECT_EQ(buffer[0], 1u);
  EXPECT_EQ(buffer[2], 3u);
  EXPECT_EQ(buffer[3], 9u);
}

TEST_F(Chip, BusWidth) {
  seedDeviceConfig(0xFF);
  EXPECT_EQ(board.setBusWidth(16), 0);
  EXPECT_EQ(card->events(),
            (std::vector<Event>{rd(0xC000, 0xFF), dwr(0xC000, 0xF7)}));

  seedDeviceConfig(0xFF);
  EXPECT_EQ(board.setBusWidth(8), 0);
  EXPECT_EQ(card->events(),
            (std::vector<Event>{rd(0xC000, 0xFF), dwr(0xC000, 0xF3)}));

  seedDeviceConfig(0x00);
  EXPECT_EQ(board.setBusWidth(32), 0);
  EXPECT_EQ(card->events(),
            (std::vector<Event>{rd(0xC000, 0x00), dwr(0xC000, 0x08)}));
  EXPECT_EQ(card->busWidth(), 32);

  card->clearEvents();
  for (const int bad : {24, 0, -8, 64}) {
    EXPECT_EQ(board.setBusWidth(bad), -9);
  }
  EXPECT_STREQ(board.errorMessage(board.setBusWidth(24)),
               "Device Driver not found");
  EXPECT_EQ(card->events(), (std::vector<Event>(5, rd(0xC000, 0x08))));

  const struct {
    std::uint8_t reg;
    int width;
  } widths[] = {{0x0C, -9}, {0x04, 16}, {0x08, 32}, {0xF3, 8}, {0xFF, -9}};
  for (const auto& w : widths) {
    seedDeviceConfig(w.reg);
    EXPECT_EQ(board.getBusWidth(), w.width) << int(w.reg);
    EXPECT_EQ(board.readDeviceConfig(), w.reg);
  }
}

TEST_F(Chip, ControlAndMaskRegisters) {
  board.writeControlC004(0xAB);
  board.writeControlC005(0xCD);
  board.writeControlC008(0x12345678);
  board.setMasks(0x0F0F0F0F, 0xF0F0F0F0);
  board.setMaskC010(1);
  board.setMaskC014(2);
  board.writeDeviceConfigViaDriver(0x5C);
  EXPECT_EQ(card->events(),
            (std::vector<Event>{wr(0xC004, 0xAB), wr(0xC005, 0xCD),
                                wr(0xC008, 0x12345678), wr(0xC010, 0x0F0F0F0F),
                                wr(0xC014, 0xF0F0F0F0), wr(0xC010, 1),
                                wr(0xC014, 2), dwr(0xC000, 0x5C)}));
  card->clearEvents();
  EXPECT_EQ(board.readControlC004(), 0xAB);
  EXPECT_EQ(board.readControlC005(), 0xCD);
  EXPECT_EQ(board.readControlC008(), 0x12345678u);
  EXPECT_EQ(board.getMaskC010(), 1u);
  EXPECT_EQ(board.getMaskC014(), 2u);
  EXPECT_EQ(board.readDeviceConfig(), 0x5C);
  EXPECT_EQ(card->events(),
            (std::vector<Event>{rd(0xC004, 0xAB), rd(0xC005, 0xCD),
                                rd(0xC008, 0x12345678), rd(0xC010, 1),
                                rd(0xC014, 2), rd(0xC000, 0x5C)}));
}

TEST_F(Chip, IdentificationSequence) {
  EXPECT_STREQ(chipIdentification, "Tavrek TV9400  ");
  seedDeviceConfig(0x0B);
  board.writeIdentification(0x5A);
  std::vector<Event> expected = {rd(0xC000, 0x0B), wr(0xC000, 0x03)};
  for (int i = 0; i < 15; ++i) {
    expected.push_back(
        wr(0xC030 + i, static_cast<unsigned char>("Tavrek TV9400  "[i])));
  }
  expected.push_back(wr(0xC03F, 0x5A));
  expected.push_back(wr(0xC000, 0x0B));
  EXPECT_EQ(card->events(), expected);
  EXPECT_EQ(board.readIdentification(), 0x5A);

  // With the echo, the first value tried is the answer.
  card->clearEvents();
  EXPECT_EQ(board.probeIdentification(), 0);
  EXPECT_EQ(card->events().size(), expected.size() + 1);

  // Without it, every value 0 to 254 is tried once, in order.
  card->setIdentificationEcho(false);
  card->clearEvents();
  EXPECT_EQ(board.probeIdentification(), 255);
  std::vector<std::uint32_t> tried;
  for (const Event& e : card->events()) {
    if (e.kind == EventKind::WindowWrite && e.where == 0xC03F) {
      tried.push_back(e.value);
    }
  }
  ASSERT_EQ(tried.size(), 255u);
  for (std::uint32_t v = 0; v < 255; ++v) ASSERT_EQ(tried[v], v);
  EXPECT_EQ(card->peekChip(0xC000), 0x0Bu);  // restored after every pass
}

TEST(ChipWithoutAnswers, FailedRequestsLeaveDefinedResults) {
  setenv("TV940_DEVICE", "sim", 1);
  unsetenv("TV940_SIM_FAULTS");
  sim::resetSettings();
  sim::nextSettings().noAnswer = true;
  Board board;
  // Every request but the check fails: no window, no block, no I/O base.
  EXPECT_EQ(board.open(), -5);
  EXPECT_EQ(board.chipWindow, nullptr);
  EXPECT_EQ(board.ioBase, 0xFFFF);
  EXPECT_EQ(board.readChipViaDriver(0xC000), 0u);
  board.writeChip(0xC000, 1);  // reaches nothing, harms nothing
  EXPECT_EQ(sim::Card::current()->peekChip(0xC000), 0u);
  board.close();
  sim::resetSettings();
}

}  // namespace
