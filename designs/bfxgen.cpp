// bfxgen: writes design files in the BFX format for the simulated card.
//
// Installed as tv940-bfxgen; its messages carry the name it was run by.
//
//   bfxgen DIRECTORY
//     writes the sample designs: kelpori.bfx, vontrel.bfx and the faulty
//     variants under faulty/.
//   bfxgen --identification HEX [--parameter HEX]... --body-words N
//          [--title TEXT] FILE
//     writes one design file for a design of one's own.
//
// A design file is a plain replay list of chip writes: the configuration of
// sim/design.h, one "address data" pair per line.
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "card/hex.h"
#include "sim/design.h"

namespace {

namespace fs = std::filesystem;

std::string program = "bfxgen";  // as run: bfxgen or tv940-bfxgen

struct DesignFile {
  std::string path;  // relative to the output directory
  std::vector<std::string> title;
  std::uint32_t identification;
  std::vector<std::uint32_t> parameters;
  std::vector<std::string> parameterNames;
  std::uint32_t bodyWords;
};

std::vector<DesignFile> sampleDesigns() {
  const std::vector<std::string> shiftNames = {
      "status pattern (column 8 bits 16-31)", "shift bits stuck at 0",
      "shift bits stuck at 1", "shift bit the capture register takes in"};
  const std::vector<std::string> addNames = {
      "status pattern (column 44 bits 23-31)", "sum bits without carry in"};

  sim::ShiftRegisterParameters stuck;
  stuck.stuckAtZero = 1u << 20;
  sim::MultiplyAddParameters carry;
  carry.droppedCarry = 1u << 12;

  return {
      {"kelpori.bfx",
       {"kelpori.bfx: shift-register design.",
        "Column 1 := 1, column 2 := vector, column 1 := 0 loads the vector;",
        "each read of column 2 shifts one step; column 0 reads the shift",
        "register, column 8 the capture register in bits 0-15."},
       sim::kShiftRegisterIdentification,
       sim::ShiftRegisterParameters{}.words(),
       shiftNames,
       1024},
      {"vontrel.bfx",
       {"vontrel.bfx: multiply-add design.",
        "Column 0 takes operand word 1 under masks (0, ~0) and operand word 2",
        "under masks (~0, 0); each carries x in bits 0-10, y in bits 16-26.",
        "Column 44 reads x1 * y1 + x2 * y2 in bits 0-22."},
       sim::kMultiplyAddIdentification,
       sim::MultiplyAddParameters{}.words(),
       addNames,
       1536},
      {"faulty/kelpori-stuck-bit.bfx",
       {"kelpori-stuck-bit.bfx: faulty shift-register design.",
        "Bit 20 of the shift register is stuck at 0, so no block ever ends",
        "with the shift register all ones."},
       sim::kShiftRegisterIdentification,
       stuck.words(),
       shiftNames,
       1024},
      {"faulty/vontrel-dropped-carry.bfx",
       {"vontrel-dropped-carry.bfx: faulty multiply-add design.",
        "The adder drops the carry into bit 12 of the sum, which about every",
        "second operand set needs."},
       sim::kMultiplyAddIdentification,
       carry.words(),
       addNames,
       1536},
  };
}

// The file's text. Every line stays within the loader's 79 characters.
std::string bfxText(const DesignFile& file) {
  const std::vector<sim::ConfigurationWrite> image = sim::configurationImage(
      file.identification, file.parameters, file.bodyWords);
  if (image.empty()) return {};
  std::string text;
  for (const std::string& line : file.title) text += "# " + line + "\n";
  text +=
      "# Configuration: identification, parameter count, body word count,\n"
      "# parameters, body, CRC-32. Written by bfxgen; regenerate, do not "
      "edit.\n";
  const std::size_t parameterEnd = 3 + file.parameters.size();
  for (std::size_t i = 0; i < image.size(); ++i) {
    std::string line = card::hexText(image[i].address, 4) + " " +
                       card::hexText(image[i].data, 8);
    if (i == 0) {
      line += " identification";
    } else if (i == 1) {
      line += " parameter count";
    } else if (i == 2) {
      line += " body word count";
    } else if (i < parameterEnd) {
      const std::size_t p = i - 3;
      line += p < file.parameterNames.size() ? " " + file.parameterNames[p]
                                             : " parameter";
    } else if (i + 1 == image.size()) {
      line += " CRC-32";
    }
    text += line.substr(0, 79) + "\n";
  }
  return text;
}

bool writeFile(const fs::path& path, const std::string& text) {
  std::error_code error;
  if (path.has_parent_path()) fs::create_directories(path.parent_path(), error);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  out.close();
  if (!out) {
    std::cerr << program << ": cannot write " << path.string() << "\n";
    return false;
  }
  return true;
}

bool parseNumber(const std::string& text, int base, std::uint32_t& value) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const unsigned long long n = std::strtoull(text.c_str(), &end, base);
  if (errno != 0 || *end != '\0' || n > 0xFFFFFFFFull || text[0] == '-') {
    return false;
  }
  value = static_cast<std::uint32_t>(n);
  return true;
}

int usage() {
  std::cerr << "usage: " << program << " DIRECTORY\n"
            << "       " << program
            << " --identification HEX [--parameter HEX]... "
               "--body-words N [--title TEXT] FILE\n";
  return 2;
}

int writeSamples(const fs::path& directory) {
  for (const DesignFile& file : sampleDesigns()) {
    if (!writeFile(directory / file.path, bfxText(file))) return 1;
  }
  return 0;
}

int writeCustom(int argc, char** argv) {
  DesignFile file{"", {}, 0, {}, {}, 0};
  bool haveIdentification = false;
  std::string output;
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    const bool hasValue = i + 1 < argc;
    std::uint32_t value = 0;
    if (option == "--identification" && hasValue &&
        parseNumber(argv[i + 1], 16, value)) {
      file.identification = value;
      haveIdentification = true;
      ++i;
    } else if (option == "--parameter" && hasValue &&
               parseNumber(argv[i + 1], 16, value)) {
      file.parameters.push_back(value);
      ++i;
    } else if (option == "--body-words" && hasValue &&
               parseNumber(argv[i + 1], 10, value)) {
      file.bodyWords = value;
      ++i;
    } else if (option == "--title" && hasValue) {
      file.title.push_back(argv[++i]);
    } else if (option.rfind("--", 0) != 0 && output.empty()) {
      output = option;
    } else {
      std::cerr << program << ": bad argument '" << option << "'\n";
      return usage();
    }
  }
  if (!haveIdentification || file.bodyWords == 0 || output.empty()) {
    return usage();
  }
  const std::string text = bfxText(file);
  if (text.empty()) {
    std::cerr << program << ": the configuration does not fit: at most "
              << sim::kMaxParameters << " parameters, and "
              << card::kConfigurationEnd - card::kConfigurationBase
              << " words in all\n";
    return 1;
  }
  return writeFile(output, text) ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 0 && argv[0][0] != '\0') {
    program = fs::path(argv[0]).filename().string();
  }
  if (argc == 2 && std::string(argv[1]).rfind("--", 0) != 0) {
    return writeSamples(argv[1]);
  }
  if (argc < 2) return usage();
  return writeCustom(argc, argv);
}
