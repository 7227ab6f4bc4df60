// The simulated card behind the seam: driver requests and faults, the chip's
// registers through window and driver, ports, interrupts, the event trace and
// the design that a loaded configuration brings to life; and the chip on its
// own.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "card/card_map.h"
#include "platform/backends/simulated_card/card.h"
#include "platform/platform.h"
#include "platform/trace.h"
#include "sim/chip.h"
#include "sim/clock_decoder.h"
#include "sim/design.h"
#include "sim_board.h"
#include "tv940/version.h"

namespace {

using platform::Handle;

void* offsetArgument(std::uint32_t offset) {
  return reinterpret_cast<void*>(static_cast<std::uintptr_t>(offset));
}

class SimCardTest : public ::testing::Test {
 protected:
  void SetUp() override { tv940test::selectSimulatedCard(); }
  void TearDown() override {
    if (device_ != nullptr) platform::closeHandle(device_);
    sim::resetSettings();
    unsetenv("TV940_DEVICE");
  }

  // Opens the card with the current settings and maps its window.
  void open() {
    device_ = platform::openDevice("unused");
    ASSERT_NE(device_, nullptr) << platform::lastOpenFailure();
    card_ = sim::Card::current();
    ASSERT_NE(card_, nullptr);
    std::uint32_t returned = 0;
    if (platform::deviceRequest(device_, 6, nullptr, 0, &window_,
                                sizeof window_, &returned)) {
      EXPECT_EQ(returned, sizeof window_);
    }
  }

  bool call(std::uint32_t code, void* in, std::uint32_t inSize, void* out,
            std::uint32_t outSize, std::uint32_t* returned = nullptr) {
    std::uint32_t ignored = 0;
    return platform::deviceRequest(device_, code, in, inSize, out, outSize,
                                   returned ? returned : &ignored);
  }
  bool driverWrite(std::uint16_t address, std::uint32_t value) {
    return call(1, &value, 1, offsetArgument(card::windowOffset(address)), 0);
  }
  void write(std::uint16_t address, std::uint32_t value) {
    platform::windowWrite32(device_, window_, card::windowOffset(address),
                            value);
  }
  std::uint32_t read(std::uint16_t address) {
    return platform::windowRead32(device_, window_,
                                  card::windowOffset(address));
  }
  static std::uint16_t column(unsigned n) {
    return static_cast<std::uint16_t>((n << 8) | 0xC0);
  }
  // The line bits of a 66 MHz setting from a 16 MHz reference, protocol
  // words included, to the clock-programming port.
  void programClock() {
    const char* bits = tv940test::kClockBits66From16;
    for (const char* bit = bits; *bit != '\0'; ++bit) {
      platform::portOut32(device_, 0xE014, *bit == '1' ? 1 : 0);
    }
  }
  void load(const std::vector<sim::ConfigurationWrite>& image) {
    ASSERT_FALSE(image.empty());
    for (const auto& w : image) write(w.address, w.data);
  }

  Handle device_ = nullptr;
  std::shared_ptr<sim::Card> card_;
  std::uint8_t* window_ = nullptr;
};

TEST_F(SimCardTest, ConfigurationBlockFollowsSettingsAndFaults) {
  open();
  std::array<std::uint8_t, 148> block{};
  std::uint32_t returned = 0;
  ASSERT_TRUE(call(5, nullptr, 0, block.data(), 148, &returned));
  EXPECT_EQ(returned, 148u);
  auto word = [&](unsigned at) {
    return std::uint32_t(block[at]) | std::uint32_t(block[at + 1]) << 8 |
           std::uint32_t(block[at + 2]) << 16 |
           std::uint32_t(block[at + 3]) << 24;
  };
  EXPECT_EQ(word(16), 0xF8000000u);
  EXPECT_EQ(word(20), 0x0000E001u);
  EXPECT_FALSE(call(5, nullptr, 0, block.data(), 147));  // too small a buffer

  std::array<std::uint8_t, 148> changed = block;
  changed[20] = 0x03;
  changed[23] = 0x12;
  card_->setConfigBlock(changed);
  ASSERT_TRUE(call(5, nullptr, 0, block.data(), 148));
  EXPECT_EQ(word(20), 0x1200E003u);
  // The ports keep the decoding the card was opened with.
  platform::portOut32(device_, 0xE010, 1);
  EXPECT_EQ(card_->lastPortOutput(16), 1u);

  platform::closeHandle(device_);
  sim::nextSettings().memoryBar1 = true;
  open();
  ASSERT_TRUE(call(5, nullptr, 0, block.data(), 148));
  EXPECT_EQ(word(20), 0x0000E000u);
}

TEST_F(SimCardTest, FaultListsAreParsedWhole) {
  sim::Settings settings;
  std::string error;
  ASSERT_TRUE(sim::applyFaults(" check-fails, no-answer,,stuck-watcher ",
                               settings, &error));
  EXPECT_TRUE(settings.checkFails);
  EXPECT_TRUE(settings.noAnswer);
  EXPECT_TRUE(settings.stuckWatcher);
  EXPECT_FALSE(settings.noDevice);
  EXPECT_FALSE(settings.memoryBar1);
  ASSERT_TRUE(sim::applyFaults("no-echo,memory-bar1", settings, &error));
  EXPECT_FALSE(settings.identificationEcho);
  EXPECT_TRUE(settings.memoryBar1);

  sim::Settings untouched;
  EXPECT_FALSE(sim::applyFaults("no-device,xyz", untouched, &error));
  EXPECT_EQ(error, "unknown simulated-card fault 'xyz'");
  EXPECT_FALSE(untouched.noDevice);  // nothing half-applied
  EXPECT_TRUE(sim::applyFaults("", untouched, &error));

  setenv("TV940_SIM_FAULTS", "no-device", 1);
  EXPECT_EQ(platform::openDevice("unused"), nullptr);
  setenv("TV940_SIM_FAULTS", "no-answer", 1);
  open();
  EXPECT_TRUE(call(0, nullptr, 0, nullptr, 0));  // only the check answers
  EXPECT_EQ(window_, nullptr);
  std::array<std::uint8_t, 148> block{};
  EXPECT_FALSE(call(5, nullptr, 0, block.data(), 148));
  std::uint32_t value = 7;
  EXPECT_FALSE(
      call(1, &value, 1, offsetArgument(card::windowOffset(0xC008)), 0));
  EXPECT_EQ(card_->peekChip(0xC008), 0u);
}

TEST_F(SimCardTest, DriverWordRequestsAreCheckedAndReachTheChip) {
  sim::nextSettings().recordEvents = true;
  open();
  card_->clearEvents();
  ASSERT_TRUE(driverWrite(0xC000, 0x1F8));
  EXPECT_EQ(card_->peekChip(0xC000), 0xF8u);  // an 8-bit register
  EXPECT_EQ(card_->busWidth(), 32);
  write(0xC008, 0xAAAA5555);
  write(0xC00A, 0x01020304);

  std::uint32_t words[4] = {0, 0, 0, 0xEEEEEEEE};
  std::uint32_t returned = 0;
  ASSERT_TRUE(call(2, words, 3, offsetArgument(card::windowOffset(0xC008)), 0,
                   &returned));
  EXPECT_EQ(returned, 12u);
  EXPECT_EQ(words[0], 0xAAAA5555u);
  EXPECT_EQ(words[2], 0x01020304u);
  EXPECT_EQ(words[3], 0xEEEEEEEEu);
  EXPECT_TRUE(call(2, nullptr, 0, offsetArgument(0x800000), 0));  // no words

  // Refused whole: wrong count, a misaligned or out-of-window offset, a
  // block that runs past the window's end, a missing buffer.
  std::uint32_t value = 1;
  EXPECT_FALSE(call(1, &value, 2, offsetArgument(0x830020), 0));
  EXPECT_FALSE(call(1, &value, 1, offsetArgument(0x830022), 0));
  EXPECT_FALSE(call(1, &value, 1, offsetArgument(card::kWindowSize), 0));
  EXPECT_FALSE(call(1, nullptr, 1, offsetArgument(0x830020), 0));
  words[0] = 0x11111111;
  EXPECT_FALSE(call(2, words, 2, offsetArgument(card::kWindowSize - 4), 0));
  EXPECT_EQ(words[0], 0x11111111u);
  EXPECT_FALSE(call(99, nullptr, 0, nullptr, 0));
  EXPECT_EQ(card_->peekChip(0xC008), 0xAAAA5555u);

  // Below the chip the window is plain board memory.
  platform::windowWrite32(device_, window_, 0x10, 0x600DF00D);
  ASSERT_TRUE(call(2, words, 1, offsetArgument(0x10), 0));
  EXPECT_EQ(words[0], 0x600DF00Du);
  EXPECT_EQ(platform::windowRead32(device_, window_, 0x14), 0u);

  const std::vector<sim::Event> events = card_->events();
  ASSERT_GE(events.size(), 6u);
  EXPECT_EQ(events[0],
            (sim::Event{sim::EventKind::DriverWrite, 0xC000, 0x1F8, true}));
  EXPECT_EQ(events[3],
            (sim::Event{sim::EventKind::DriverRead, 0xC008, 0xAAAA5555, true}));
  EXPECT_EQ(events[5],
            (sim::Event{sim::EventKind::DriverRead, 0xC00A, 0x01020304, true}));
}

TEST_F(SimCardTest, RegistersPortsAndTheTrace) {
  sim::nextSettings().recordEvents = true;
  open();
  card_->clearEvents();

  write(0xC004, 0x1FF);
  EXPECT_EQ(read(0xC004), 0xFFu);
  write(0xC03F, 0x5A);
  EXPECT_EQ(read(0xC03F), 0x5Au);  // the identification echo
  card_->setIdentificationEcho(false);
  for (std::uint32_t v : {0u, 0x5Au, 0xFEu, 0xFFu}) {
    write(0xC03F, v);
    EXPECT_NE(read(0xC03F), v);
  }
  for (auto [config, width] :
       {std::pair{0x00, 8}, {0xF7, 16}, {0x08, 32}, {0x0C, 0}, {0xF3, 8}}) {
    write(0xC000, config);
    EXPECT_EQ(card_->busWidth(), width) << config;
  }

  card_->setPortInput(32, 0x12345678);
  EXPECT_EQ(platform::portIn32(device_, 0xE020), 0x12345678u);
  EXPECT_EQ(platform::portIn32(device_, 0xE040),
            0xFFFFFFFFu);  // past the ports
  EXPECT_EQ(platform::portIn32(device_, 0xE021), 0xFFFFFFFFu);  // not a port
  platform::portOut32(device_, 0xE03C, 0xFFFFFF80);
  EXPECT_EQ(card_->lastPortOutput(60), 0xFFFFFF80u);
  platform::portOut32(device_, 0xDFF0,
                      9);  // below the I/O base: reaches no port
  EXPECT_EQ(card_->lastPortOutput(0xFFF0), 0u);

  // Clock-programming bits go to the synthesizer's decoder.
  const std::uint64_t bits = card_->clock().bitsSeen();
  platform::portOut32(device_, 0xE014, 1);
  platform::portOut32(device_, 0xE014, 0);
  EXPECT_EQ(card_->clock().bitsSeen(), bits + 2);

  card_->clearEvents();
  std::uint32_t block[148 / 4];
  call(5, nullptr, 0, block, sizeof block);
  platform::portOut32(device_, 0xE018, 0);
  platform::portIn32(device_, 0xE020);
  write(0xC008, 0);
  platform::windowRead32(device_, window_, 0x10);
  driverWrite(0xC000, 8);
  call(2, block, 1, offsetArgument(card::windowOffset(0xC000)), 0);
  card_->raiseInterrupt(42);
  std::vector<std::string> trace;
  for (const auto& e : card_->events())
    trace.push_back(platform::trace::format(e));
  EXPECT_EQ(trace,
            (std::vector<std::string>{
                "req 5", "out e018 00000000", "in e020 12345678",
                "wr c008 00000000", "rd @000010 00000000", "dwr c000 00000008",
                "drd c000 00000008", "irq 0000002a"}));
}

TEST_F(SimCardTest, InterruptsSignalTheHandedEventUntilShutdown) {
  open();
  Handle event = platform::createEvent();
  ASSERT_TRUE(call(3, event, 0, nullptr, 0));
  card_->raiseInterrupt(0x2A);
  card_->raiseInterrupt(0x2B);
  EXPECT_EQ(platform::waitEvent(event, 60000), platform::WaitResult::First);
  EXPECT_EQ(platform::waitEvent(event, 0), platform::WaitResult::TimedOut);
  std::uint32_t word = 0;
  ASSERT_TRUE(call(10, nullptr, 0, &word, 4));
  EXPECT_EQ(word, 0x2Bu);  // the latest word
  EXPECT_EQ(card_->interruptWordRequests(), 1u);
  EXPECT_FALSE(call(10, nullptr, 0, &word, 2));
  EXPECT_EQ(card_->interruptWordRequests(), 1u);

  ASSERT_TRUE(call(4, nullptr, 0, nullptr, 0));
  card_->raiseInterrupt(1);
  EXPECT_EQ(platform::waitEvent(event, 50), platform::WaitResult::TimedOut);

  // Closing the connection also stops the signals.
  ASSERT_TRUE(call(3, event, 0, nullptr, 0));
  platform::closeHandle(device_);
  device_ = nullptr;
  card_->raiseInterrupt(2);
  EXPECT_EQ(platform::waitEvent(event, 50), platform::WaitResult::TimedOut);
  platform::closeHandle(event);
  card_->raiseInterrupt(3);  // a closed event is refused, not misused
}

TEST_F(SimCardTest, StuckInterruptRequestReturnsOnlyWhenReleased) {
  sim::nextSettings().stuckWatcher = true;
  open();
  card_->raiseInterrupt(7);
  std::atomic<bool> done{false};
  std::uint32_t word = 0;
  tv940test::Thread watcher([&] {
    call(10, nullptr, 0, &word, 4);
    done = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(done);
  // Other requests are served meanwhile.
  EXPECT_TRUE(call(0, nullptr, 0, nullptr, 0));
  write(0xC008, 5);
  EXPECT_EQ(read(0xC008), 5u);
  card_->releaseStuckRequests();
  watcher.join();
  EXPECT_EQ(word, 7u);
  EXPECT_EQ(card_->interruptWordRequests(), 1u);

  // Forgetting the card lets a stuck request go as well.
  platform::closeHandle(device_);
  open();
  tv940test::Thread late([&] { call(10, nullptr, 0, &word, 4); });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  sim::resetSettings();
  late.join();
  EXPECT_EQ(sim::Card::current(), nullptr);
}

TEST_F(SimCardTest, LoadedConfigurationBringsItsDesignToLife) {
  open();
  EXPECT_EQ(card_->activeDesign(), "");
  write(0xC000, 0x08);             // 32-bit bus
  EXPECT_EQ(read(column(0)), 0u);  // nothing drives the columns yet

  const auto image =
      sim::configurationImage(sim::kShiftRegisterIdentification,
                              sim::ShiftRegisterParameters{}.words(), 16);
  // A configuration short of its last word is not loaded.
  for (std::size_t i = 0; i + 1 < image.size(); ++i) {
    write(image[i].address, image[i].data);
  }
  EXPECT_EQ(card_->activeDesign(), "");
  write(image.back().address, image.back().data);
  EXPECT_EQ(card_->activeDesign(), "kelpori");

  const std::uint32_t vector = 41u * 18467u;
  write(0xC014, 0xFFFFFFFF);
  // Without a running clock the design does nothing.
  write(column(1), 1);
  write(column(2), vector);
  write(column(1), 0);
  read(column(2));
  EXPECT_EQ(read(column(0)), 0u);
  programClock();
  ASSERT_TRUE(card_->clock().running());
  write(column(1), 1);
  write(column(2), vector);
  write(column(1), 0);
  read(column(2));  // one step
  EXPECT_EQ(read(column(0)), (vector << 1) | 1);
  EXPECT_EQ(read(column(8)), 0xA5C30000u);  // status, capture 0

  // At 8 bits the design sees, and answers with, the low byte only.
  write(0xC000, 0x00);
  write(column(1), 1);
  write(column(2), 0x80000381);
  write(column(1), 0);
  read(column(2));
  EXPECT_EQ(read(column(0)), 0x03u);  // (0x81 << 1 | 1) & 0xFF
  write(0xC000, 0x0C);                // invalid width: nothing gets through
  EXPECT_EQ(read(column(0)), 0u);
  write(0xC000, 0x08);
  EXPECT_EQ(read(column(0)), 0x103u);

  // A changed configuration word unloads the design; rewriting it restarts it.
  write(image[5].address, image[5].data ^ 1);
  EXPECT_EQ(card_->activeDesign(), "");
  EXPECT_EQ(read(column(0)), 0u);
  write(image[5].address, image[5].data);
  EXPECT_EQ(card_->activeDesign(), "kelpori");
  EXPECT_EQ(read(column(0)), 0u);  // a fresh shift register

  // The multiply-add design sees the mask registers as written.
  load(sim::configurationImage(sim::kMultiplyAddIdentification,
                               sim::MultiplyAddParameters{}.words(), 8));
  EXPECT_EQ(card_->activeDesign(), "vontrel");
  write(0xC010, 0);
  write(0xC014, 0xFFFFFFFF);
  write(column(0), (190u << 16) + 41);
  write(0xC010, 0xFFFFFFFF);
  write(0xC014, 0);
  write(column(0), (1924u << 16) + 35);
  write(0xC010, 0);
  write(0xC014, 0xFFFFFFFF);
  EXPECT_EQ(read(column(44)) & 0x7FFFFF, 75130u);
}

}  // namespace

TEST_F(SimCardTest, ColumnRegistersWithoutDesignAreStorageOfTheBusWidth) {
  open();
  write(0xC000, 0x00);  // 8-bit data bus, as after power-up
  write(column(2), 0x12345678);
  EXPECT_EQ(read(column(2)), 0x78u);
  write(0xC000, 0x04);  // 16 bits
  write(column(2), 0x12345678);
  EXPECT_EQ(read(column(2)), 0x5678u);
  write(0xC000, 0x08);  // 32 bits
  write(column(63), 0x12345678);
  EXPECT_EQ(read(column(63)), 0x12345678u);
  EXPECT_EQ(read(column(2)), 0x5678u);  // kept from the 16-bit write
  write(0xC000, 0x0C);                  // invalid width: nothing carried
  EXPECT_EQ(read(column(63)), 0u);
  write(column(63), 1);
  write(0xC000, 0x08);
  EXPECT_EQ(read(column(63)), 0x12345678u);
}

TEST_F(SimCardTest, TraceFileHoldsTheEventsInOrder) {
  char path[] = "/tmp/sim-trace-XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  setenv("TV940_TRACE", path, 1);
  sim::nextSettings().recordEvents = true;
  open();
  unsetenv("TV940_TRACE");
  write(0xC008, 7);
  read(0xC008);
  platform::windowWrite32(device_, window_, card::kWindowSize,
                          5);  // reaches nothing
  platform::portOut32(device_, 0xE018, 0);
  card_->raiseInterrupt(42);
  EXPECT_STREQ(platform::finishTrace(), "");

  // The file may hold earlier cards of this process first; this card's
  // lines are its last but the end line, which counts every event line. The
  // card's own record holds what reached it.
  std::ifstream file(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(file, line);) lines.push_back(line);
  ASSERT_FALSE(lines.empty());
  const auto events = std::count_if(lines.begin(), lines.end(),
                                    [](auto& line) { return line[0] != '#'; });
  EXPECT_EQ(lines.back(), "# trace end: " + std::to_string(events) + " events");
  lines.pop_back();
  const std::vector<std::string> expected{
      std::string("# trace: device sim (simulated card), written by tv940 ") +
          tv940::kVersion,
      "req 6",
      "wr c008 00000007",
      "rd c008 00000007",
      "wr @840000 00000005",
      "out e018 00000000",
      "irq 0000002a"};
  ASSERT_GE(lines.size(), expected.size());
  EXPECT_EQ(
      std::vector<std::string>(lines.end() - expected.size(), lines.end()),
      expected);
  std::vector<std::string> recorded;
  for (const auto& e : card_->events())
    recorded.push_back(platform::trace::format(e));
  EXPECT_EQ(recorded, (std::vector<std::string>{
                          "req 6", "wr c008 00000007", "rd c008 00000007",
                          "out e018 00000000", "irq 0000002a"}));
  std::remove(path);
}

TEST_F(SimCardTest, WindowIsInaccessibleMemoryOutsideTheAccessor) {
  open();
  ASSERT_NE(window_, nullptr);
  write(0xC008, 1);  // through the accessor: fine
  EXPECT_DEATH(
      {
        volatile std::uint32_t* word =
            reinterpret_cast<volatile std::uint32_t*>(
                window_ + card::windowOffset(0xC008));
        *word = 2;
      },
      "");
}

// The chip without a device: a design comes to life only with its whole
// configuration, and sees only what the clock and the bus width let through.
TEST(SimChipTest, DesignSeesWhatClockAndBusWidthLetThrough) {
  sim::Chip chip;
  EXPECT_EQ(chip.busWidth(), 8);  // as after power-up
  const auto image = sim::configurationImage(
      sim::kMultiplyAddIdentification, sim::MultiplyAddParameters{}.words(), 4);
  ASSERT_FALSE(image.empty());
  for (std::size_t i = 0; i + 1 < image.size(); ++i) {
    chip.write(image[i].address, image[i].data);
  }
  EXPECT_EQ(chip.activeDesign(), "");  // the CRC is missing
  chip.write(image.back().address, image.back().data);
  EXPECT_EQ(chip.activeDesign(), "vontrel");

  const std::uint16_t column0 = 0x00C0;
  const std::uint16_t column44 = 0x2CC0;
  chip.write(0xC000, 0x1F8);  // an 8-bit register; a 32-bit bus
  EXPECT_EQ(chip.peek(0xC000), 0xF8u);
  chip.write(0xC014, 0xFFFFFFFF);
  chip.write(column0, 3u << 16 | 5);  // the clock stands: the write is lost
  EXPECT_EQ(chip.read(column44), 0x1A5u << 23);
  chip.setClockRunning(true);
  chip.write(column0, 3u << 16 | 5);
  EXPECT_EQ(chip.read(column44), 0x1A5u << 23 | 15);
  chip.write(0xC000, 0x04);  // 16 bits: y in bits 16-26 never arrives
  chip.write(column0, 7u << 16 | 5);
  chip.write(0xC000, 0x08);
  EXPECT_EQ(chip.read(column44), 0x1A5u << 23);

  chip.write(0xC03F, 0x15A);
  EXPECT_EQ(chip.read(0xC03F), 0x5Au);
  chip.setIdentificationEcho(false);
  EXPECT_EQ(chip.read(0xC03F), 0xA5u);
  EXPECT_EQ(chip.peek(0xC03F), 0x5Au);
}
