// The control ports: addresses, values and the byte fields, as the simulated
// card sees them.
#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

#include "boardlib/board.h"
#include "platform/backends/simulated_card/card.h"
#include "sim_board.h"

namespace {

using sim::Event;
using sim::EventKind;

Event out(std::uint32_t port, std::uint32_t value) {
  return {EventKind::PortOut, port, value, false};
}
Event in(std::uint32_t port, std::uint32_t value) {
  return {EventKind::PortIn, port, value, false};
}

class Ports : public tv940test::OpenSimBoardTest {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(OpenSimBoardTest::SetUp());
    ASSERT_EQ(board.ioBase, 0xE000);
  }
};

TEST_F(Ports, WritesReachTheirPortsWithTheirValues) {
  board.writePort24Zero();
  board.writePort16One();
  board.writePort60(0);
  board.writePort16Two();
  board.writePort28Zero();
  board.writePort40(0xDEADBEEF);
  board.writePort44(7);
  board.writePort44Bits(0, 9);
  board.writePort44Bits(1, 1);
  board.writePort44Bits(5, 0);
  board.writePort48(0x01020304);
  board.writePort52(0xFFFFFFFF);
  board.writePort56Zero();
  board.writePort56One();
  board.writePort(0xFFF0, 0x11);   // wraps at 65536
  board.writePort(0x10020, 0x22);  // offset taken modulo 65536
  EXPECT_EQ(
      card->events(),
      (std::vector<Event>{
          out(0xE018, 0), out(0xE010, 1), out(0xE03C, 0), out(0xE010, 2),
          out(0xE01C, 0), out(0xE028, 0xDEADBEEF), out(0xE02C, 3),
          out(0xE02C, 2), out(0xE02C, 3), out(0xE02C, 1),
          out(0xE030, 0x01020304), out(0xE034, 0xFFFFFFFF), out(0xE038, 0),
          out(0xE038, 1), out(0xDFF0, 0x11), out(0xE020, 0x22)}));
}

TEST_F(Ports, ByteFieldsAndSignExtension) {
  board.writePort60(static_cast<std::int8_t>(0x80));
  EXPECT_EQ(board.port60Shadow, 0x80);
  board.writePort60(0x7F);
  EXPECT_EQ(board.port60Shadow, 0x7F);
  board.writePort60(-1);
  EXPECT_EQ(board.port60Shadow, 0xFF);

  board.port36Low = 0x12;
  board.writePort36(5);
  EXPECT_EQ(board.port36Flag, 5);  // stored unchanged, not reduced to 1
  board.writePort36(0);
  EXPECT_EQ(board.port36Flag, 0);
  board.port36Low = 0xFF;
  board.writePort36(0x80);

  EXPECT_EQ(card->events(),
            (std::vector<Event>{out(0xE03C, 0xFFFFFF80), out(0xE03C, 0x7F),
                                out(0xE03C, 0xFFFFFFFF), out(0xE024, 0x112),
                                out(0xE024, 0x12), out(0xE024, 0x1FF)}));
}

TEST_F(Ports, ReadsReturnWhatTheCardDrives) {
  card->setPortInput(36, 0x12345678);
  card->setPortInput(32, 0xCAFEF00D);
  card->setPortInput(48, 0x80000001);
  card->setPortInput(8, 0x55AA55AA);
  EXPECT_EQ(board.readPort36(), 0x78);
  EXPECT_EQ(board.readPort32(), 0xCAFEF00Du);
  EXPECT_EQ(board.readPort48(), 0x80000001u);
  EXPECT_EQ(board.readPort(8), 0x55AA55AAu);
  EXPECT_EQ(board.readPort(0x10008), 0x55AA55AAu);
  EXPECT_EQ(card->events(),
            (std::vector<Event>{in(0xE024, 0x12345678), in(0xE020, 0xCAFEF00D),
                                in(0xE030, 0x80000001), in(0xE008, 0x55AA55AA),
                                in(0xE008, 0x55AA55AA)}));
}

TEST_F(Ports, NoAccessWithoutAnIoBase) {
  Board unopened;
  unopened.writePort24Zero();
  unopened.writePort(4, 1);
  unopened.writePort60(-3);
  EXPECT_EQ(unopened.port60Shadow, 0xFD);  // the field is kept all the same
  EXPECT_EQ(unopened.readPort32(), 0xFFFFFFFFu);
  EXPECT_EQ(unopened.readPort36(), 0xFF);
  EXPECT_TRUE(card->events().empty());
}

TEST_F(Ports, ScaleByteReading) {
  EXPECT_EQ(board.scaleByteReading(0), 0.0);
  EXPECT_NEAR(board.scaleByteReading(255), 618.1818, 1e-4);
  EXPECT_NEAR(board.scaleByteReading(1), 2.42424, 1e-5);
  EXPECT_TRUE(card->events().empty());
}

}  // namespace
