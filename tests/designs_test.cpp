// The behavioural designs, their recognition from configuration memory and
// the design files that bfxgen writes.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "boardlib/board.h"
#include "platform/backends/simulated_card/card.h"
#include "sim/clock_decoder.h"
#include "sim/design.h"

namespace {

namespace fs = std::filesystem;
using sim::ChipContext;
using sim::Design;

const fs::path kDesigns = fs::path(TV940_SOURCE_DIR) / "designs";

// Sets an environment variable, or removes it when value is null.
void setVariable(const char* name, const char* value) {
#ifdef _WIN32
  _putenv_s(name, value != nullptr ? value : "");
#else
  if (value != nullptr) {
    setenv(name, value, 1);
  } else {
    unsetenv(name);
  }
#endif
}

fs::path scratchPath(const std::string& suffix) {
  return fs::temp_directory_path() /
         ("designs_test-" + std::to_string(std::random_device{}()) + suffix);
}
const char* const kFiles[] = {"kelpori.bfx", "vontrel.bfx",
                              "faulty/kelpori-stuck-bit.bfx",
                              "faulty/vontrel-dropped-carry.bfx"};

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

struct Pair {
  std::uint32_t address;
  std::uint32_t data;
};

// The pairs of a BFX text: blank lines and lines whose first token starts
// with '#' are skipped, every other line holds an address and a data word.
std::vector<Pair> parseBfx(const std::string& text) {
  std::vector<Pair> pairs;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream tokens(line);
    std::string address, data;
    if (!(tokens >> address) || address[0] == '#') continue;
    if (!(tokens >> data)) {
      ADD_FAILURE() << "pair line without data: " << line;
      continue;
    }
    pairs.push_back(
        {static_cast<std::uint32_t>(std::stoul(address, nullptr, 16)),
         static_cast<std::uint32_t>(std::stoul(data, nullptr, 16))});
  }
  return pairs;
}

// The chip's address space, as far as configuration goes.
struct Chip {
  std::vector<std::uint32_t> words = std::vector<std::uint32_t>(0x10000, 0);

  void load(const std::vector<Pair>& pairs, std::size_t count) {
    for (std::size_t i = 0; i < count && i < pairs.size(); ++i) {
      words[pairs[i].address & 0xFFFF] = pairs[i].data;
    }
  }
  std::optional<sim::RecognisedDesign> recognise() const {
    return sim::recogniseDesign(
        [this](std::uint16_t address) { return words[address]; });
  }
};

std::optional<sim::RecognisedDesign> recogniseFile(const char* file) {
  Chip chip;
  chip.load(parseBfx(readFile(kDesigns / file)), SIZE_MAX);
  return chip.recognise();
}

// The programs' generator, with its own state.
struct Random {
  std::uint32_t state = 1;
  std::uint32_t operator()() {
    state = state * 214013u + 2531011u;
    return (state >> 16) & 0x7FFF;
  }
};

std::string stateLine(std::uint32_t capture, std::uint32_t shift) {
  char line[32];
  std::snprintf(line, sizeof line, "SR: Ox%04x%08x\n", capture, shift);
  return line;
}

// kelpori's software model, `vectors` blocks.
std::string shiftModel(int vectors) {
  Random random;
  std::string out;
  for (int i = 0; i < vectors; ++i) {
    const std::uint32_t a = random();
    std::uint32_t shift = a * random();
    std::uint32_t capture = 0;
    for (int step = 0; step < 48; ++step) {
      capture = ((capture << 1) | (shift >> 31)) & 0xFFFF;
      shift = shift << 1 | 1;
      out += stateLine(capture, shift);
    }
    out += "\n";
  }
  return out;
}

// kelpori's board loop against a design.
std::string shiftRun(Design& design, int vectors, bool clock = true) {
  const ChipContext chip{0, 0xFFFFFFFF, clock};
  Random random;
  std::string out;
  for (int i = 0; i < vectors; ++i) {
    const std::uint32_t a = random();
    const std::uint32_t vector = a * random();
    design.writeColumn(1, 1, chip);
    design.writeColumn(2, vector, chip);
    design.writeColumn(1, 0, chip);
    for (int step = 0; step < 48; ++step) {
      design.readColumn(2, chip);
      const std::uint32_t shift = design.readColumn(0, chip);
      const std::uint32_t capture = design.readColumn(8, chip) & 0xFFFF;
      out += stateLine(capture, shift);
    }
    out += "\n";
  }
  return out;
}

struct Operands {
  std::uint32_t x1, x2, y1, y2;
};

Operands draw(Random& random) {
  Operands o;
  o.x1 = random() % 2048;
  o.x2 = random() % 2048;
  o.y1 = random() % 2048;
  o.y2 = random() % 2048;
  return o;
}

std::string resultLine(const Operands& o, std::uint32_t result) {
  return std::to_string(o.x1) + "*" + std::to_string(o.y1) + " + " +
         std::to_string(o.x2) + "*" + std::to_string(o.y2) + " = " +
         std::to_string(result) + "\n";
}

std::string multiplyAddModel(int iterations) {
  Random random;
  std::string out;
  for (int i = 0; i < iterations; ++i) {
    const Operands o = draw(random);
    out += resultLine(o, o.x1 * o.y1 + o.x2 * o.y2);
  }
  return out;
}

// vontrel's board loop against a design.
std::string multiplyAddRun(Design& design, int iterations, bool clock = true) {
  const ChipContext first{0, 0xFFFFFFFF, clock};
  const ChipContext second{0xFFFFFFFF, 0, clock};
  Random random;
  std::string out;
  for (int i = 0; i < iterations; ++i) {
    const Operands o = draw(random);
    design.writeColumn(0, (o.y1 << 16) + o.x1, first);
    design.writeColumn(0, (o.y2 << 16) + o.x2, second);
    out += resultLine(o, design.readColumn(44, first) & 0x7FFFFF);
  }
  return out;
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> result;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) result.push_back(line);
  return result;
}

int differingLines(const std::string& a, const std::string& b) {
  const auto la = lines(a), lb = lines(b);
  int count = 0;
  for (std::size_t i = 0; i < la.size() || i < lb.size(); ++i) {
    if (i >= la.size() || i >= lb.size() || la[i] != lb[i]) ++count;
  }
  return count;
}

TEST(ShiftRegisterDesign, ShiftsLikeTheModelOnlyWithTheClock) {
  auto design =
      sim::makeShiftRegisterDesign(sim::ShiftRegisterParameters{}.words());
  ASSERT_NE(design, nullptr);
  const std::vector<std::string> out = lines(shiftRun(*design, 2));
  ASSERT_EQ(out.size(), 98u);
  EXPECT_EQ(out[0], "SR: Ox000000171b37");
  EXPECT_EQ(out[1], "SR: Ox0000002e366f");
  EXPECT_EQ(out[2], "SR: Ox0000005c6cdf");
  EXPECT_EQ(out[3], "SR: Ox000000b8d9bf");
  EXPECT_EQ(out[28], "SR: Ox71b37fffffff");
  EXPECT_EQ(out[31], "SR: Ox8d9bffffffff") << "all ones after 32 steps";
  EXPECT_EQ(out[47], "SR: Oxffffffffffff");
  EXPECT_EQ(out[48], "");
  EXPECT_EQ(out[49], "SR: Ox0000140267f1");

  // Column 8 carries a status pattern above the capture register.
  const ChipContext chip{0, 0xFFFFFFFF, true};
  EXPECT_NE(design->readColumn(8, chip) >> 16, 0u);
  EXPECT_EQ(design->readColumn(8, chip) & 0xFFFF, 0xFFFFu);

  // Without the clock nothing latches and reads of column 2 do not step.
  auto idle =
      sim::makeShiftRegisterDesign(sim::ShiftRegisterParameters{}.words());
  const std::string stopped = shiftRun(*idle, 1, false);
  EXPECT_EQ(lines(stopped)[47], "SR: Ox000000000000");
  EXPECT_EQ(differingLines(stopped, shiftModel(1)), 48);

  // Writes are enabled bitwise by mask 0xC014: masks 0 and 0 write nothing.
  auto masked =
      sim::makeShiftRegisterDesign(sim::ShiftRegisterParameters{}.words());
  const ChipContext closed{0, 0, true};
  masked->writeColumn(1, 1, closed);
  masked->writeColumn(2, 0x12345678, closed);
  masked->writeColumn(1, 0, closed);
  EXPECT_EQ(masked->readColumn(0, closed), 0u);

  // Parameters a shift register cannot have are refused.
  sim::ShiftRegisterParameters bad;
  bad.captureTap = 32;
  EXPECT_EQ(sim::makeShiftRegisterDesign(bad.words()), nullptr);
  bad = {};
  bad.stuckAtZero = bad.stuckAtOne = 4;
  EXPECT_EQ(sim::makeShiftRegisterDesign(bad.words()), nullptr);
  EXPECT_EQ(sim::makeShiftRegisterDesign({0xA5C3}), nullptr);
}

TEST(MultiplyAddDesign, AddsTheProductsOfBothPairsOnlyWithTheClock) {
  auto design =
      sim::makeMultiplyAddDesign(sim::MultiplyAddParameters{}.words());
  ASSERT_NE(design, nullptr);
  const ChipContext first{0, 0xFFFFFFFF, true};
  const ChipContext second{0xFFFFFFFF, 0, true};
  design->writeColumn(0, 0x00BE0029, first);
  design->writeColumn(0, 0x07840023, second);
  const std::uint32_t reading = design->readColumn(44, first);
  EXPECT_EQ(reading & 0x7FFFFF, 75130u);  // 41 * 190 + 35 * 1924
  EXPECT_NE(reading >> 23, 0u) << "bits above the result are not zero";

  // A write under the second pair's masks leaves the first pair alone.
  design->writeColumn(0, (2047u << 16) | 2047, second);
  EXPECT_EQ(design->readColumn(44, first) & 0x7FFFFF, 7790u + 2047u * 2047u);
  design->writeColumn(0, (2047u << 16) | 2047, first);
  EXPECT_EQ(design->readColumn(44, first) & 0x7FFFFF, 8380418u);
  // Only bits 0-10 and 16-26 of an operand word are operands.
  design->writeColumn(0, 0xF800F800u | 3u << 16 | 5u, first);
  EXPECT_EQ(design->readColumn(44, first) & 0x7FFFFF, 15u + 2047u * 2047u);

  auto idle = sim::makeMultiplyAddDesign(sim::MultiplyAddParameters{}.words());
  const std::string stopped = multiplyAddRun(*idle, 3, false);
  EXPECT_EQ(lines(stopped)[0], "41*190 + 35*1924 = 0");
  EXPECT_EQ(differingLines(stopped, multiplyAddModel(3)), 3);

  sim::MultiplyAddParameters bad;
  bad.status = 0x200;
  EXPECT_EQ(sim::makeMultiplyAddDesign(bad.words()), nullptr);
  bad = {};
  bad.droppedCarry = 1u << 23;
  EXPECT_EQ(sim::makeMultiplyAddDesign(bad.words()), nullptr);
}

TEST(DesignFiles, BfxgenWritesTheCommittedFiles) {
#ifdef _WIN32
  GTEST_SKIP() << "runs bfxgen through the POSIX shell";
#endif
  const fs::path out = scratchPath("");
  fs::remove_all(out);
  const std::string command =
      std::string(TV940_BIN_DIR) + "/bfxgen " + out.string() + " > /dev/null";
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
  for (const char* file : kFiles) {
    SCOPED_TRACE(file);
    const std::string committed = readFile(kDesigns / file);
    ASSERT_FALSE(committed.empty());
    EXPECT_EQ(readFile(out / file), committed)
        << "regenerate with the regenerate-designs target";
    for (const std::string& line : lines(committed)) {
      EXPECT_LE(line.size(), 79u) << line;
    }
  }

  // A design file for a design of one's own.
  const fs::path own = out / "own.bfx";
  const std::string custom = std::string(TV940_BIN_DIR) +
                             "/bfxgen --identification 0BADC0DE --parameter 7 "
                             "--parameter 1F --body-words 40 --title Own " +
                             own.string();
  ASSERT_EQ(std::system(custom.c_str()), 0) << custom;
  const std::vector<Pair> pairs = parseBfx(readFile(own));
  ASSERT_EQ(pairs.size(), 3u + 2u + 40u + 1u);
  EXPECT_EQ(pairs[0].address, 0x4000u);
  EXPECT_EQ(pairs[0].data, 0x0BADC0DEu);
  EXPECT_EQ(pairs[3].data, 7u);
  EXPECT_EQ(pairs[4].data, 0x1Fu);
  // Refused: no body, too many words, a bad number.
  for (const char* args : {"--identification 1 --body-words 0 x.bfx",
                           "--identification 1 --body-words 40000 x.bfx",
                           "--identification 1G --body-words 4 x.bfx"}) {
    const std::string bad =
        std::string(TV940_BIN_DIR) + "/bfxgen " + args + " 2> /dev/null";
    EXPECT_NE(std::system(bad.c_str()), 0) << args;
  }
  fs::remove_all(out);
}

TEST(DesignFiles, RecognisedOnlyWhenCompletelyLoaded) {
  const std::vector<std::string> expected = {
      "kelpori", "vontrel", "kelpori (shift bits 0x100000 stuck at 0)",
      "vontrel (adder drops the carry into bit 12)"};
  for (std::size_t f = 0; f < std::size(kFiles); ++f) {
    SCOPED_TRACE(kFiles[f]);
    const std::vector<Pair> pairs = parseBfx(readFile(kDesigns / kFiles[f]));
    for (const Pair& p : pairs) {
      EXPECT_TRUE(p.address >= 0x4000 && p.address < 0xC000) << p.address;
    }
    Chip chip;
    chip.load(pairs, pairs.size());
    auto found = chip.recognise();
    ASSERT_TRUE(found.has_value());
    EXPECT_EQ(found->name, expected[f]);
    EXPECT_NE(found->design, nullptr);

    // Every truncation of the file, on a fresh chip, holds no design.
    Chip partial;
    for (std::size_t count = 0; count < pairs.size(); ++count) {
      ASSERT_FALSE(partial.recognise().has_value()) << count << " pairs";
      partial.words[pairs[count].address] = pairs[count].data;
    }
    EXPECT_TRUE(partial.recognise().has_value());
    // One flipped bit anywhere spoils it.
    for (std::size_t i :
         {std::size_t{0}, std::size_t{3}, pairs.size() / 2, pairs.size() - 1}) {
      Chip flipped = chip;
      flipped.words[pairs[i].address] ^= 0x10;
      EXPECT_FALSE(flipped.recognise().has_value()) << "pair " << i;
    }
  }

  // A truncated load over a complete one of another design holds neither.
  const std::vector<Pair> vontrel = parseBfx(readFile(kDesigns / kFiles[1]));
  Chip mixed;
  mixed.load(parseBfx(readFile(kDesigns / kFiles[0])), SIZE_MAX);
  mixed.load(vontrel, vontrel.size() - 1);
  EXPECT_FALSE(mixed.recognise().has_value());
  mixed.load(vontrel, vontrel.size());
  ASSERT_TRUE(mixed.recognise().has_value());
  EXPECT_EQ(mixed.recognise()->name, "vontrel");

  // A complete configuration of an unknown design, or of a known design
  // with parameters its model refuses, is not recognised.
  auto loadImage = [](const std::vector<sim::ConfigurationWrite>& image) {
    Chip chip;
    for (const auto& w : image) chip.words[w.address] = w.data;
    return chip.recognise();
  };
  EXPECT_FALSE(loadImage(sim::configurationImage(0x12345678, {}, 16)));
  EXPECT_TRUE(loadImage(
      sim::configurationImage(sim::kShiftRegisterIdentification,
                              sim::ShiftRegisterParameters{}.words(), 16)));
  sim::ShiftRegisterParameters tooWide;
  tooWide.status = 0x10000;
  EXPECT_FALSE(loadImage(sim::configurationImage(
      sim::kShiftRegisterIdentification, tooWide.words(), 16)));
  EXPECT_TRUE(sim::configurationImage(1, {}, 0).empty());
  EXPECT_TRUE(sim::configurationImage(1, {}, 0x8000 - 4 + 1).empty());
  EXPECT_EQ(sim::configurationImage(1, {}, 0x8000 - 4).back().address, 0xBFFF);
}

TEST(DesignFiles, ProgramLoopsMatchTheModelOnlyWithTheSoundDesigns) {
  const std::string shiftExpected = shiftModel(1000);
  const std::string addExpected = multiplyAddModel(1000);

  auto kelpori = recogniseFile("kelpori.bfx");
  ASSERT_TRUE(kelpori);
  EXPECT_EQ(shiftRun(*kelpori->design, 1000), shiftExpected);

  auto vontrel = recogniseFile("vontrel.bfx");
  ASSERT_TRUE(vontrel);
  EXPECT_EQ(multiplyAddRun(*vontrel->design, 1000), addExpected);

  // The stuck bit shows in every block: no shift register ends all ones.
  auto stuck = recogniseFile("faulty/kelpori-stuck-bit.bfx");
  ASSERT_TRUE(stuck);
  const std::string stuckOut = shiftRun(*stuck->design, 1000);
  EXPECT_EQ(stuckOut.find("SR: Oxffffffffffff"), std::string::npos);
  EXPECT_GE(differingLines(stuckOut, shiftExpected), 1000 * 16);

  // The dropped carry shows in about every second result.
  auto carry = recogniseFile("faulty/vontrel-dropped-carry.bfx");
  ASSERT_TRUE(carry);
  EXPECT_GE(differingLines(multiplyAddRun(*carry->design, 1000), addExpected),
            300);
}

// A design of one's own: a model registered at run time and a configuration
// that carries its identification.
class XorDesign final : public Design {
 public:
  explicit XorDesign(std::uint32_t key) : key_(key) {}
  void writeColumn(unsigned column, std::uint32_t value,
                   const ChipContext& chip) override {
    if (column == 3 && chip.clockRunning) value_ = value ^ key_;
  }
  std::uint32_t readColumn(unsigned column, const ChipContext&) override {
    return column == 3 ? value_ : 0;
  }

 private:
  std::uint32_t key_;
  std::uint32_t value_ = 0;
};

TEST(DesignRegistry, RecognisesARegisteredDesign) {
  const std::uint32_t id = 0x58455200;
  auto make =
      [](const std::vector<std::uint32_t>& p) -> std::unique_ptr<Design> {
    if (p.size() != 1) return nullptr;
    return std::make_unique<XorDesign>(p[0]);
  };
  // Designs are registered before the first recognition fixes them; ctest
  // runs this test in a process of its own.
  if (sim::designsFixed()) GTEST_SKIP() << "designs fixed by an earlier test";
  EXPECT_TRUE(sim::registerDesign({id, "xor", make}));
  EXPECT_TRUE(sim::registerDesign({id, "xor", make}));  // replaces, not adds
  EXPECT_EQ(sim::knownDesigns().size(), 3u) << "two built-in, one registered";

  const auto image = sim::configurationImage(id, {0xFF00FF00}, 64);
  Chip chip;
  for (const auto& w : image) chip.words[w.address] = w.data;
  const sim::DesignEntry* entry = sim::findDesign(id);
  auto found = chip.recognise();
  ASSERT_TRUE(found);
  EXPECT_EQ(found->name, "xor");

  // Fixed now: a late registration changes nothing, and entries stay put.
  EXPECT_FALSE(sim::registerDesign({id + 1, "late", make}));
  EXPECT_EQ(sim::knownDesigns().size(), 3u);
  EXPECT_EQ(sim::findDesign(id + 1), nullptr);
  EXPECT_EQ(sim::findDesign(id), entry);
  const ChipContext clock{0, 0xFFFFFFFF, true};
  found->design->writeColumn(3, 0x12345678, clock);
  EXPECT_EQ(found->design->readColumn(3, clock), 0xED34A978u);
}

// ---- On the simulated card, through the library --------------------------

struct BringUp {
  bool clock = true;
  int busWidth = 32;  // 0: left as the card starts
};

// The programs' bring-up sequence against the simulated card, then their
// board loops for a few vectors.
class OnTheCard : public ::testing::Test {
 protected:
  void SetUp() override {
    setVariable("TV940_DEVICE", "sim");
    setVariable("TV940_SIM_FAULTS", nullptr);
    sim::resetSettings();
  }
  void TearDown() override {
    if (board_) board_->close();
    sim::resetSettings();
  }

  std::shared_ptr<sim::Card> bringUp(const fs::path& file, BringUp how) {
    if (board_) board_->close();
    board_ = std::make_unique<Board>();  // a new board and a fresh card
    EXPECT_EQ(board_->open(), 0);
    board_->writePort24Zero();
    board_->writePort16One();
    board_->writePort60(0);
    if (how.clock) {
      testing::internal::CaptureStdout();  // the clock trace lines
      board_->setClock(16.0f, 66.0f);
      testing::internal::GetCapturedStdout();
    }
    EXPECT_EQ(board_->loadConfiguration(file.string().c_str()), 0);
    if (how.busWidth != 0) board_->setBusWidth(how.busWidth);
    board_->writeControlC008(0);
    return sim::Card::current();
  }

  std::string shiftOnBoard(int vectors) {
    board_->setMasks(0, 0xFFFFFFFF);
    Random random;
    std::string out;
    for (int i = 0; i < vectors; ++i) {
      const std::uint32_t a = random();
      board_->writeUserRegister(1, 1);
      board_->writeUserRegister(2, a * random());
      board_->writeUserRegister(1, 0);
      for (int step = 0; step < 48; ++step) {
        board_->readUserRegister(2);
        const std::uint32_t shift = board_->readUserRegister(0);
        const std::uint32_t capture = board_->readUserRegister(8) & 0xFFFF;
        out += stateLine(capture, shift);
      }
      out += "\n";
    }
    return out;
  }

  std::string multiplyAddOnBoard(int iterations) {
    Random random;
    std::string out;
    for (int i = 0; i < iterations; ++i) {
      const Operands o = draw(random);
      board_->setMasks(0, 0xFFFFFFFF);
      board_->writeUserRegister(0, (o.y1 << 16) + o.x1);
      board_->setMasks(0xFFFFFFFF, 0);
      board_->writeUserRegister(0, (o.y2 << 16) + o.x2);
      board_->setMasks(0, 0xFFFFFFFF);
      out += resultLine(o, board_->readUserRegister(44) & 0x7FFFFF);
    }
    return out;
  }

  std::unique_ptr<Board> board_;
};

TEST_F(OnTheCard, OnlyACompleteBringUpGivesTheModelsResults) {
  auto card = bringUp(kDesigns / "kelpori.bfx", {});
  EXPECT_EQ(shiftOnBoard(5), shiftModel(5));
  EXPECT_EQ(card->activeDesign(), "kelpori");
  EXPECT_TRUE(card->clock().violations().empty());
  ASSERT_TRUE(card->clock().setting());
  EXPECT_EQ(card->clock().setting()->word, 0x1F81E0u);

  card = bringUp(kDesigns / "vontrel.bfx", {});
  EXPECT_EQ(multiplyAddOnBoard(50), multiplyAddModel(50));
  EXPECT_EQ(card->activeDesign(), "vontrel");

  // No clock: the design is there but computes nothing.
  card = bringUp(kDesigns / "kelpori.bfx", {.clock = false});
  EXPECT_EQ(differingLines(shiftOnBoard(5), shiftModel(5)), 5 * 48);
  EXPECT_EQ(card->activeDesign(), "kelpori");
  EXPECT_FALSE(card->clock().running());

  // The bus left at its narrow start-up width, or set to 16 bits: the
  // operands and readings lose their high bits.
  bringUp(kDesigns / "kelpori.bfx", {.busWidth = 0});
  EXPECT_GT(differingLines(shiftOnBoard(5), shiftModel(5)), 5 * 16);
  bringUp(kDesigns / "vontrel.bfx", {.busWidth = 16});
  EXPECT_GT(differingLines(multiplyAddOnBoard(50), multiplyAddModel(50)), 40);

  // A truncated design file loads without complaint but holds no design.
  const fs::path truncated = scratchPath(".bfx");
  const std::string text = readFile(kDesigns / "kelpori.bfx");
  std::ofstream(truncated, std::ios::binary)
      << text.substr(0, text.rfind('\n', text.size() - 2) + 1);
  card = bringUp(truncated, {});
  EXPECT_NE(shiftOnBoard(1), shiftModel(1));
  EXPECT_EQ(card->activeDesign(), "");
  fs::remove(truncated);
}

}  // namespace
