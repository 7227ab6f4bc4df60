// Design plug-ins: the refusal of every broken plug-in by the card's open and
// by check, loading all or nothing before the first recognition, and a
// plug-in design's run in the chip, by its configuration or by a bound
// design file. The test plug-ins are tests/plugins/test_plugin.cpp.
#include <sys/wait.h>

#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "card/card_map.h"
#include "gtest/gtest.h"
#include "program_runner.h"
#include "sim/chip.h"
#include "sim/design.h"
#include "sim/plugins.h"

namespace fs = std::filesystem;
using tv940test::readFile;
using tv940test::writeFile;

namespace {

const fs::path kBinDir = TV940_BIN_DIR;
const fs::path kPlugins = kBinDir / "test-plugins";
const fs::path kDesignDir = fs::path(TV940_SOURCE_DIR) / "designs";
constexpr std::uint32_t kSumIdentification = 0x53554D00;

std::string plugin(const std::string& variant) {
  return (kPlugins / (variant + ".so")).string();
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> result;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) result.push_back(line);
  return result;
}

class DesignPluginRuns : public tv940test::ProgramRunTest {
 protected:
  DesignPluginRuns() : ProgramRunTest("design-plugins") {}

  struct Run {
    int status = -1;
    std::string out, err;
  };

  Run run(const std::string& program, const std::vector<std::string>& args,
          const std::map<std::string, std::string>& env) {
    Run r;
    const pid_t pid =
        start(kBinDir / program, args, tv940test::programEnvironment({}, env));
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) {
      ADD_FAILURE() << program << " did not run to its end";
      return r;
    }
    r.status = WEXITSTATUS(status);
    r.out = consoleOut();
    r.err = consoleErr();
    return r;
  }
};

TEST_F(DesignPluginRuns, EveryBrokenPluginFailsTheOpenAndCheckWithOneLine) {
  fs::copy_file(kDesignDir / "kelpori.bfx", dir_ / "kelpori.bfx");
  writeFile(dir_ / "text.so", "not a library\n");
  const std::map<std::string, std::string> sim = {{"TV940_DEVICE", "sim"}};

  // A sound plug-in beside the built-in designs: kelpori runs as ever, and
  // check judges its trace with the plug-in loaded.
  auto env = sim;
  env["TV940_SIM_DESIGNS"] = plugin("sound");
  env["TV940_TRACE"] = "kelpori.trace";
  const Run sound = run("kelpori", {}, env);
  ASSERT_EQ(sound.status, 0) << sound.err;
  const Run checked =
      run("tv940-trace",
          {"check", "--designs", plugin("sound"), "kelpori.trace"}, {});
  EXPECT_EQ(checked.status, 0) << checked.out << checked.err;

  // A plug-in design with kelpori's identification replaces the built-in
  // one: the board run differs from the model, and check agrees with the
  // run only with the plug-in loaded.
  env["TV940_SIM_DESIGNS"] = plugin("not_kelpori");
  env["TV940_TRACE"] = "replaced.trace";
  fs::rename(dir_ / "kelpori.out", dir_ / "sound.out");
  ASSERT_EQ(run("kelpori", {}, env).status, 0);
  EXPECT_NE(readFile(dir_ / "kelpori.out"), readFile(dir_ / "sound.out"));
  EXPECT_EQ(
      run("tv940-trace",
          {"check", "--designs", plugin("not_kelpori"), "replaced.trace"}, {})
          .status,
      0);
  EXPECT_EQ(run("tv940-trace", {"check", "replaced.trace"}, {}).status, 1);

  const std::vector<std::pair<std::string, std::string>> broken = {
      {(dir_ / "missing.so").string(), "no such file"},
      {dir_.string(), "not a shared library (not a regular file)"},
      {(dir_ / "text.so").string(), "not a shared library"},
      {plugin("no_symbol"), "exports no tv940_designs"},
      {plugin("abi"), "design 0 has abi 2, not 1"},
      {plugin("no_create"), "design 0 (sum) has no create"},
      {plugin("no_write"), "design 0 (sum) has no write_column"},
      {plugin("no_read"), "design 0 (sum) has no read_column"},
      {plugin("none"), "tv940_designs gives no design"},
      {plugin("too_many"), "tv940_designs gives 65 designs, more than 64"},
      {plugin("sound") + ":" + plugin("same_id"),
       "design other sum has identification 0x53554d00, which another "
       "plug-in design has"},
  };
  for (const auto& [list, reason] : broken) {
    const std::string named = list.substr(list.rfind(':') + 1);
    env = sim;
    env["TV940_SIM_DESIGNS"] = list;
    const Run open = run("kelpori", {}, env);
    EXPECT_EQ(open.status, 1) << list;
    const auto openLines = lines(open.err);
    ASSERT_EQ(openLines.size(), 1u) << open.err;
    EXPECT_NE(openLines[0].find(named + ": " + reason), std::string::npos)
        << openLines[0];

    const Run check =
        run("tv940-trace", {"check", "--designs", list, "kelpori.trace"}, {});
    EXPECT_EQ(check.status, 3) << list;
    EXPECT_EQ(check.out, "");
    // The loader's own words may follow the reason on the same line.
    EXPECT_EQ(lines(check.err).size(), 1u) << check.err;
    EXPECT_EQ(check.err.rfind(
                  "tv940-trace: design plug-in " + named + ": " + reason, 0),
              0u)
        << check.err;
    // check also takes the plug-ins from the environment.
    const Run fromEnvironment = run("tv940-trace", {"check", "kelpori.trace"},
                                    {{"TV940_SIM_DESIGNS", list}});
    EXPECT_EQ(fromEnvironment.status, 3) << list;
  }
}

// What one chip of the simulated card makes of a plug-in design: its
// columns through the window's accessors, and its interrupts.
struct PluginChip {
  sim::Chip chip;
  std::vector<std::uint32_t> interrupts;

  PluginChip() {
    chip.write(card::kDeviceConfig, card::kBusWidth32);
    chip.write(card::kMaskC014, 0xFFFFFFFF);
    chip.setClockRunning(true);
    chip.onInterrupt(
        [this](std::uint32_t word) { interrupts.push_back(word); });
  }
  void load(const std::vector<sim::ConfigurationWrite>& image) {
    for (const auto& w : image) chip.write(w.address, w.data);
  }
  void add(std::uint32_t value) {
    chip.write(static_cast<std::uint16_t>(card::columnRegister(0)), value);
  }
  std::uint32_t sum() {
    return chip.read(static_cast<std::uint16_t>(card::columnRegister(1)));
  }
};

TEST(DesignPlugins, LoadedWholeOrNotAtAllAndFixedByTheFirstRecognition) {
  if (sim::designsFixed()) GTEST_SKIP() << "designs fixed by an earlier test";
  std::string failure;
  EXPECT_FALSE(
      sim::loadDesignPlugins(plugin("sound") + ":" + plugin("abi"), &failure));
  EXPECT_EQ(failure,
            "design plug-in " + plugin("abi") + ": design 0 has abi 2, not 1");
  // The sound plug-in before the broken one was not installed.
  PluginChip c;
  c.load(sim::configurationImage(kSumIdentification, {10}, 16));
  EXPECT_EQ(c.chip.activeDesign(), "");
  EXPECT_EQ(sim::findDesign(kSumIdentification), nullptr);
  EXPECT_EQ(sim::knownDesigns().size(), 2u);

  // Once a design was recognised, no list changes the designs.
  EXPECT_FALSE(sim::loadDesignPlugins(plugin("sound"), &failure));
  EXPECT_NE(failure.find("too late"), std::string::npos) << failure;
  EXPECT_EQ(sim::knownDesigns().size(), 2u);
}

TEST(DesignPlugins, APluginDesignRunsInTheChipAndRaisesItsInterrupt) {
  if (sim::designsFixed()) GTEST_SKIP() << "designs fixed by an earlier test";
  std::string failure;
  ASSERT_TRUE(sim::loadDesignPlugins(plugin("sound"), &failure)) << failure;
  ASSERT_TRUE(sim::loadDesignPlugins(plugin("sound"), &failure)) << "again";

  PluginChip c;
  c.load(sim::configurationImage(kSumIdentification, {10}, 16));
  EXPECT_EQ(c.chip.activeDesign(), "sum");
  for (std::uint32_t value : {3u, 4u}) c.add(value);
  EXPECT_EQ(c.sum(), 7u);
  EXPECT_TRUE(c.interrupts.empty());
  c.add(5);  // 12 passes the threshold 10: one interrupt with the sum
  c.add(1);
  EXPECT_EQ(c.sum(), 13u);
  EXPECT_EQ(c.interrupts, std::vector<std::uint32_t>{0x8000000Cu});

  // Its unpredictable bits are what check leaves out; the built-in designs
  // are still known beside it.
  const sim::DesignEntry* entry = sim::findDesign(kSumIdentification);
  ASSERT_NE(entry, nullptr);
  ASSERT_EQ(entry->status.size(), 1u);
  EXPECT_EQ(entry->status[0].column, 2u);
  EXPECT_EQ(entry->status[0].bits, 0xFFFFFF00u);
  EXPECT_NE(sim::findDesign(sim::kShiftRegisterIdentification), nullptr);
}

TEST(DesignPlugins, ABoundPluginRunsExactlyItsDesignFile) {
  if (sim::designsFixed()) GTEST_SKIP() << "designs fixed by an earlier test";
  const fs::path dir = fs::path(testing::TempDir()) / "bound-design";
  fs::create_directories(dir);
  const fs::path file = dir / "mine.bfx";
  // A real design's configuration: no identification word, any addresses.
  writeFile(file, "# mine\n4000 0\n4100 0x1234\r\n5000 89abcdef trailing\n");
  std::string failure;
  // A file that is no list of pairs, or writes no configuration, binds
  // nothing.
  const fs::path bad = dir / "bad.bfx";
  writeFile(bad, "4000 1\n4001 xyz\n");
  EXPECT_FALSE(
      sim::loadDesignPlugins(plugin("sound") + "=" + bad.string(), &failure));
  EXPECT_EQ(failure, "design plug-in " + plugin("sound") +
                         ": the design file " + bad.string() +
                         " line 2 is not an address and a data word in "
                         "hexadecimal");
  writeFile(bad, "c000 1\n");
  EXPECT_FALSE(
      sim::loadDesignPlugins(plugin("sound") + "=" + bad.string(), &failure));
  EXPECT_NE(failure.find("writes nothing to the configuration space"),
            std::string::npos)
      << failure;

  ASSERT_TRUE(
      sim::loadDesignPlugins(plugin("sound") + "=" + file.string(), &failure))
      << failure;

  PluginChip exact;
  exact.load({{0x4100, 0x1234}, {0x5000, 0x89ABCDEF}});
  EXPECT_EQ(exact.chip.activeDesign(), "sum");
  exact.add(100);  // the threshold without parameter words
  EXPECT_EQ(exact.interrupts, std::vector<std::uint32_t>{0x80000064u});

  PluginChip more;  // one word the file does not write
  more.load({{0x4100, 0x1234}, {0x5000, 0x89ABCDEF}, {0xBFFF, 1}});
  EXPECT_EQ(more.chip.activeDesign(), "");
  PluginChip less;
  less.load({{0x4100, 0x1234}});
  EXPECT_EQ(less.chip.activeDesign(), "");
  // Bound, the design no longer answers to its identification word.
  PluginChip layout;
  layout.load(sim::configurationImage(kSumIdentification, {10}, 16));
  EXPECT_EQ(layout.chip.activeDesign(), "");
  // The built-in designs still run.
  PluginChip kelpori;
  kelpori.load(sim::configurationImage(sim::kShiftRegisterIdentification,
                                       sim::ShiftRegisterParameters{}.words(),
                                       16));
  EXPECT_EQ(kelpori.chip.activeDesign(), "kelpori");
}

}  // namespace
