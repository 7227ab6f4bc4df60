// The Linux PCI backend against fake device directories: regular files in
// place of the kernel's config and resource files, and a FIFO in place of
// the UIO device node. Window accesses are checked in the file behind the
// mapping, port accesses at their file offsets.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "boardlib/board.h"
#include "card/card_map.h"
#include "gtest/gtest.h"
#include "platform/backends/linuxpci/pci_address.h"
#include "platform/backends/linuxpci/pci_device.h"
#include "platform/backends/vfio/vfio_device.h"
#include "platform/device.h"
#include "platform/platform.h"
#include "tv940/version.h"

namespace fs = std::filesystem;
using platform::Device;
using platform::linuxpci::canonicalPciAddress;
using platform::linuxpci::openDeviceDirectory;
using platform::linuxpci::resolveDeviceDirectory;
using platform::vfio::openVfioDirectory;

namespace {

constexpr std::uint32_t kIoRegister = 0x0000E001;
constexpr std::uint32_t kFill = 0xA5A5A5A5;  // resource1's bytes before a run

// A configuration header: vendor 0x5A5A, decoding on, BAR0 memory, BAR1 as
// given; `size` bytes (64 is what an unprivileged reader sees).
std::vector<std::uint8_t> header(std::uint32_t bar1, std::size_t size = 64,
                                 std::uint16_t command = 0x0003) {
  std::vector<std::uint8_t> bytes(size, 0);
  auto put = [&](std::size_t at, std::uint32_t value, int count) {
    for (int i = 0; i < count; ++i) bytes[at + i] = value >> (8 * i) & 0xFF;
  };
  put(0, 0x5A5A, 2);
  put(4, command, 2);
  put(16, 0xF8000000, 4);
  put(20, bar1, 4);
  for (std::size_t i = 64; i < size; ++i) bytes[i] = std::uint8_t(i);
  return bytes;
}

void writeBytes(const fs::path& file, const std::vector<std::uint8_t>& bytes) {
  std::ofstream(file, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             std::streamsize(bytes.size()));
}

std::uint32_t wordAt(const fs::path& file, off_t offset) {
  const int fd = ::open(file.c_str(), O_RDONLY);
  std::uint32_t value = 0;
  EXPECT_EQ(::pread(fd, &value, 4, offset), 4) << file << " @" << offset;
  ::close(fd);
  return value;
}

std::uint8_t byteAt(const fs::path& file, off_t offset) {
  return std::uint8_t(wordAt(file, offset & ~off_t(3)) >> (8 * (offset & 3)));
}

void putWord(const fs::path& file, off_t offset, std::uint32_t value) {
  const int fd = ::open(file.c_str(), O_WRONLY);
  EXPECT_EQ(::pwrite(fd, &value, 4, offset), 4);
  ::close(fd);
}

bool send(Device& device, DriverRequest request, void* in = nullptr,
          std::uint32_t inSize = 0, void* out = nullptr,
          std::uint32_t outSize = 0) {
  std::uint32_t returned;
  return device.request(card::code(request), in, inSize, out, outSize,
                        &returned);
}

// Request 0; the reason of a failure, or "".
std::string checkFailure(Device& device) {
  std::string failure;
  const bool usable = device.check(&failure);
  EXPECT_EQ(usable, failure.empty()) << failure;
  return failure;
}

void* offsetArgument(std::uintptr_t offset) {
  return reinterpret_cast<void*>(offset);
}

// The interrupts and failed accesses a device reports, which the seam would
// trace.
class RecordedReports final : public platform::Reports {
 public:
  void interrupt(std::uint32_t word) override {
    std::lock_guard<std::mutex> guard(lock_);
    interrupts_.push_back(word);
  }
  void note(std::string_view) override {}
  void accessFailed(const Device&, std::string_view access,
                    std::string_view reason) override {
    std::lock_guard<std::mutex> guard(lock_);
    failures_.push_back(std::string(access) + ": " + std::string(reason));
  }
  std::vector<std::uint32_t> interrupts() {
    std::lock_guard<std::mutex> guard(lock_);
    return interrupts_;
  }
  std::vector<std::string> failures() {
    std::lock_guard<std::mutex> guard(lock_);
    return failures_;
  }

 private:
  std::mutex lock_;
  std::vector<std::uint32_t> interrupts_;
  std::vector<std::string> failures_;
};

// A port access that must reach the device's files.
void out(Device& device, std::uint16_t port, std::uint32_t value) {
  std::string failure;
  EXPECT_TRUE(device.portOut32(port, value, &failure)) << failure;
}
std::uint32_t in(Device& device, std::uint16_t port) {
  std::string failure;
  std::uint32_t value = 0;
  EXPECT_TRUE(device.portIn32(port, &value, &failure)) << failure;
  return value;
}

class LinuxPciTest : public testing::Test {
 protected:
  void SetUp() override {
    std::string name = fs::temp_directory_path() / "tv940-linuxpci-XXXXXX";
    ASSERT_NE(::mkdtemp(name.data()), nullptr);
    root_ = name;
    dir_ = root_ / "0000:03:00.0";
    nodes_ = root_ / "dev";
    fs::create_directories(dir_);
    fs::create_directories(nodes_);
    writeBytes(dir_ / "config", header(kIoRegister));
    fs::resize_file(touch(dir_ / "resource0"), 0x840000);
    writeBytes(dir_ / "resource1", std::vector<std::uint8_t>(64, 0xA5));
  }
  void TearDown() override {
    ::unsetenv("TV940_DEVICE");
    fs::remove_all(root_);
  }

  static fs::path touch(const fs::path& file) {
    std::ofstream{file};
    return file;
  }

  // A working directory for a kelpori run, holding its design file.
  fs::path kelporiWorkDirectory() const {
    const fs::path work = root_ / "work";
    fs::create_directory(work);
    fs::copy_file(fs::path(TV940_SOURCE_DIR) / "designs" / "kelpori.bfx",
                  work / "kelpori.bfx");
    return work;
  }

  // Lists uio0 in the device directory, with a FIFO as its device node.
  void addUio() {
    fs::create_directories(dir_ / "uio" / "uio0");
    ASSERT_EQ(::mkfifo((nodes_ / "uio0").c_str(), 0600), 0);
  }

  std::shared_ptr<Device> open(std::string* failure = nullptr) {
    std::string reason;
    auto device = openDeviceDirectory(dir_, nodes_, reports_, &reason);
    if (failure != nullptr) *failure = reason;
    EXPECT_EQ(device == nullptr, !reason.empty()) << reason;
    return device;
  }

  // The open must fail, with a reason containing `expected`.
  void expectOpenFails(const std::string& expected) {
    std::string reason;
    EXPECT_EQ(open(&reason), nullptr);
    EXPECT_NE(reason.find(expected), std::string::npos) << reason;
  }

  static std::uint8_t* mapWindow(Device& device) {
    platform::Window window;
    std::string failure;
    EXPECT_TRUE(device.mapWindow(&window, &failure)) << failure;
    EXPECT_EQ(window.size, 0x840000u);
    return window.base;
  }

  fs::path root_, dir_, nodes_;
  RecordedReports reports_;
};

// ---- Selecting a device ----------------------------------------------------

TEST(LinuxPciSelector, PciAddressesInLongAndShortForm) {
  EXPECT_EQ(canonicalPciAddress("0000:03:00.0"), "0000:03:00.0");
  EXPECT_EQ(canonicalPciAddress("03:00.0"), "0000:03:00.0");
  EXPECT_EQ(canonicalPciAddress("0001:AB:1F.7"), "0001:ab:1f.7");
  EXPECT_EQ(canonicalPciAddress("10000:e1:00.1"), "10000:e1:00.1");
  for (const char* bad :
       {"", "sim", "03:00", "3:00.0", "03:0.0", "03:20.0", "03:00.8",
        "000:03:00.0", "0000:03:00.0x", "0000:03:00.00", "x:03:00.0",
        "./03:00.0", "03:00.0/"}) {
    EXPECT_EQ(canonicalPciAddress(bad), "") << bad;
  }
}

TEST_F(LinuxPciTest, SelectorNamesAddressOrDirectory) {
  std::string directory, failure;
  ASSERT_TRUE(resolveDeviceDirectory("03:00.0", root_, &directory, &failure));
  EXPECT_EQ(directory, (root_ / "0000:03:00.0").string());
  ASSERT_TRUE(
      resolveDeviceDirectory(dir_, "/nonexistent", &directory, &failure));
  EXPECT_EQ(directory, dir_.string());

  EXPECT_FALSE(
      resolveDeviceDirectory("0000:04:00.0", root_, &directory, &failure));
  EXPECT_NE(failure.find("no PCI device 0000:04:00.0"), std::string::npos);
  EXPECT_FALSE(resolveDeviceDirectory("hardware", root_, &directory, &failure));
  EXPECT_NE(failure.find("neither a PCI address"), std::string::npos);
  EXPECT_FALSE(
      resolveDeviceDirectory(dir_ / "config", root_, &directory, &failure));
  EXPECT_NE(failure.find("is not a directory"), std::string::npos);
}

// ---- Opening ---------------------------------------------------------------

TEST_F(LinuxPciTest, MissingOrUnusableFilesFailTheOpen) {
  fs::rename(dir_ / "resource1", root_ / "r1");
  expectOpenFails("resource1 (the control ports)");
  touch(dir_ / "resource1");
  expectOpenFails("resource1 (the control ports) is not a usable I/O region");
  fs::resize_file(dir_ / "resource1", 60);  // one byte short of port 60's
  expectOpenFails("spans 0x3C bytes; the ports need 0x40");
  fs::rename(root_ / "r1", dir_ / "resource1");

  fs::resize_file(dir_ / "resource0", 0x83F000);
  expectOpenFails("spans 0x83F000 bytes; the chip window needs 0x840000");
  fs::remove(dir_ / "resource0");
  expectOpenFails("resource0 (the chip window): No such file");
  fs::resize_file(touch(dir_ / "resource0"), 0x840000);

  writeBytes(dir_ / "config", std::vector<std::uint8_t>(40, 0));
  expectOpenFails("holds 40 bytes, less than a PCI configuration header");
  fs::remove(dir_ / "config");
  expectOpenFails("has no config file");
  fs::create_directory(dir_ / "config");
  expectOpenFails("config: Is a directory");
}

TEST_F(LinuxPciTest, DeviceOfAnotherKernelDriverIsRefused) {
  fs::create_directories(root_ / "drivers" / "e1000e");
  fs::create_directory_symlink("../drivers/e1000e", dir_ / "driver");
  const auto before = fs::last_write_time(dir_ / "config");
  expectOpenFails(
      "the device 0000:03:00.0 is bound to the kernel driver e1000e");
  expectOpenFails("echo 0000:03:00.0 | sudo tee " + dir_.string() +
                  "/driver/unbind");
  EXPECT_EQ(fs::last_write_time(dir_ / "config"), before);

  // The driver that hands the device to programs through these files.
  fs::remove(dir_ / "driver");
  fs::create_directories(root_ / "drivers" / "uio_pci_generic");
  fs::create_directory_symlink("../drivers/uio_pci_generic", dir_ / "driver");
  EXPECT_NE(open(), nullptr);
}

// The driver link picks the backend: vfio-pci (or a driver_override naming
// it) goes to VFIO, whose open then explains what the fake device lacks.
TEST_F(LinuxPciTest, DriverLinkPicksTheBackend) {
  ::setenv("TV940_DEVICE", dir_.c_str(), 1);
  auto openFailure = [](const char* expected) {
    Board board;
    const int status = board.open();
    const std::string failure = Board::openFailure();
    board.close();
    if (expected == nullptr) return status == 0 ? "" : failure;
    return status == -5 && failure.find(expected) != std::string::npos
               ? ""
               : failure;
  };
  EXPECT_EQ(openFailure(nullptr), "");  // no driver: sysfs
  writeBytes(dir_ / "driver_override",
             {'v', 'f', 'i', 'o', '-', 'p', 'c', 'i', '\n'});
  EXPECT_EQ(openFailure("is set to be bound to vfio-pci (its driver_override) "
                        "but no driver is bound, and it is in no IOMMU group: "
                        "vfio-pci needs an IOMMU; enable VT-d"),
            "");
  fs::create_directories(root_ / "drivers" / "vfio-pci");
  fs::create_directory_symlink("../drivers/vfio-pci", dir_ / "driver");
  EXPECT_EQ(openFailure("0000:03:00.0 is in no IOMMU group: vfio-pci needs"),
            "");
  fs::create_directories(root_ / "iommu_groups" / "7");
  fs::create_directory_symlink("../iommu_groups/7", dir_ / "iommu_group");
  std::string failure;
  EXPECT_EQ(openVfioDirectory(dir_, nodes_, reports_, &failure), nullptr);
  EXPECT_NE(failure.find("cannot open " + nodes_.string() +
                         "/vfio (the VFIO container) for the device "
                         "0000:03:00.0: No such file or directory; load "
                         "vfio-pci"),
            std::string::npos)
      << failure;

  fs::remove(dir_ / "driver");
  fs::create_directories(root_ / "drivers" / "uio_pci_generic");
  fs::create_directory_symlink("../drivers/uio_pci_generic", dir_ / "driver");
  EXPECT_EQ(openFailure(nullptr), "");  // UIO: sysfs again
}

TEST_F(LinuxPciTest, UnreadableConfigFailsTheOpen) {
  if (::geteuid() == 0) GTEST_SKIP() << "root reads files whatever the mode";
  fs::permissions(dir_ / "config", fs::perms::none);
  expectOpenFails("Permission denied");
}

TEST_F(LinuxPciTest, UioListedButNodeMissingFailsTheOpen) {
  fs::create_directories(dir_ / "uio" / "uio3");
  expectOpenFails("bound to UIO (uio3) but " + (nodes_ / "uio3").string());
}

TEST_F(LinuxPciTest, MemoryRegisterOneOpensWithoutPorts) {
  // The library refuses such a block; the backend must not refuse it first,
  // and its ports reach nothing.
  writeBytes(dir_ / "config", header(0xE000));
  fs::remove(dir_ / "resource1");
  auto device = open();
  ASSERT_NE(device, nullptr);
  EXPECT_EQ(checkFailure(*device), "");
  EXPECT_EQ(in(*device, 0xE018), 0xFFFFFFFFu);
}

// ---- Requests --------------------------------------------------------------

TEST_F(LinuxPciTest, ConfigBlockIsThePaddedHeader) {
  auto device = open();
  ASSERT_NE(device, nullptr);
  std::array<std::uint8_t, 148> block;
  block.fill(0xEE);
  ASSERT_TRUE(send(*device, DriverRequest::GetConfigInfo, nullptr, 0,
                   block.data(), 148));
  const auto expected = header(kIoRegister);
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), block.begin()));
  EXPECT_TRUE(std::all_of(block.begin() + 64, block.end(),
                          [](std::uint8_t b) { return b == 0; }));
  EXPECT_FALSE(send(*device, DriverRequest::GetConfigInfo, nullptr, 0,
                    block.data(), 147));

  // A privileged reader's longer header: the first 148 bytes, read afresh.
  writeBytes(dir_ / "config", header(0x1234E003, 256));
  ASSERT_TRUE(send(*device, DriverRequest::GetConfigInfo, nullptr, 0,
                   block.data(), 148));
  const auto longer = header(0x1234E003, 256);
  EXPECT_TRUE(std::equal(block.begin(), block.end(), longer.begin()));
}

TEST_F(LinuxPciTest, CheckRequestSeesTheDeviceGoOrStopDecoding) {
  addUio();
  auto device = open();
  ASSERT_NE(device, nullptr);
  EXPECT_EQ(checkFailure(*device), "");

  writeBytes(dir_ / "config", header(kIoRegister, 64, 0x0001));
  EXPECT_NE(checkFailure(*device).find("memory decoding"), std::string::npos);
  writeBytes(dir_ / "config", header(kIoRegister, 64, 0x0002));
  EXPECT_NE(checkFailure(*device).find("I/O decoding"), std::string::npos);
  writeBytes(dir_ / "config", std::vector<std::uint8_t>(64, 0xFF));
  EXPECT_NE(checkFailure(*device).find("does not answer"), std::string::npos);

  writeBytes(dir_ / "config", header(kIoRegister));
  fs::remove(nodes_ / "uio0");
  EXPECT_NE(checkFailure(*device).find("uio0 is gone"), std::string::npos);
  fs::remove(dir_ / "resource0");
  EXPECT_NE(checkFailure(*device).find("resource0 is gone"), std::string::npos);
}

TEST_F(LinuxPciTest, WindowAndDriverWordsLandInResource0) {
  // Through the seam, which hands the window out and makes its accesses.
  ::setenv("TV940_DEVICE", dir_.c_str(), 1);
  const platform::Handle device = platform::openDevice("");
  ASSERT_NE(device, nullptr) << platform::lastOpenFailure();
  std::uint8_t* window = nullptr;
  std::uint32_t returned = 0;
  ASSERT_TRUE(
      platform::deviceRequest(device, card::code(DriverRequest::MapChipWindow),
                              nullptr, 0, &window, sizeof window, &returned));
  ASSERT_NE(window, nullptr);
  auto words = [&](DriverRequest request, std::uint32_t* buffer,
                   std::uint32_t count, std::uintptr_t offset) {
    return platform::deviceRequest(device, card::code(request), buffer, count,
                                   offsetArgument(offset), 0, &returned);
  };

  platform::windowWrite32(device, window, 0x830020, 0xC0DEC008);
  std::uint32_t value = 0x11223344;
  EXPECT_TRUE(words(DriverRequest::WriteWord, &value, 1, 0x83FFFC));
  std::uint32_t pair[2] = {5, 6};
  EXPECT_TRUE(words(DriverRequest::WriteWord, pair, 2, 0x800000));
  ASSERT_EQ(::msync(window, 0x840000, MS_SYNC), 0);
  EXPECT_EQ(wordAt(dir_ / "resource0", 0x830020), 0xC0DEC008u);
  EXPECT_EQ(wordAt(dir_ / "resource0", 0x83FFFC), 0x11223344u);
  EXPECT_EQ(wordAt(dir_ / "resource0", 0x800004), 6u);

  putWord(dir_ / "resource0", 0x830000, 0x0000000B);
  EXPECT_EQ(platform::windowRead32(device, window, 0x830000), 0x0000000Bu);
  std::uint32_t three[3] = {};
  EXPECT_TRUE(words(DriverRequest::ReadWords, three, 3, 0x82FFFC));
  EXPECT_EQ(three[1], 0x0000000Bu);
  EXPECT_EQ(three[2], 0u);
  platform::closeHandle(device);
}

TEST_F(LinuxPciTest, BoardWordsBeyondTheWindowReachNothing) {
  ::setenv("TV940_DEVICE", dir_.c_str(), 1);
  Board board;
  ASSERT_EQ(board.open(), 0) << Board::openFailure();
  // Chip address 0x10000 is window offset 0x840000, just past resource0.
  board.writeChip(0x10000, 0xBAD);
  EXPECT_EQ(board.readChip(0x10000), 0xFFFFFFFFu);
  const std::uint32_t block[4] = {1, 2, 3, 4};
  board.writeChipBlock(0x83FFF8, block, 4);
  board.writeChipBlock(0x83FFFE, block, 1);  // not on a word boundary
  ASSERT_EQ(::msync(board.chipWindow, 0x840000, MS_SYNC), 0);
  EXPECT_EQ(wordAt(dir_ / "resource0", 0x83FFF8), 1u);
  EXPECT_EQ(wordAt(dir_ / "resource0", 0x83FFFC), 2u);
  EXPECT_EQ(fs::file_size(dir_ / "resource0"), 0x840000u);
  board.close();
}

TEST_F(LinuxPciTest, WindowHandedOutStaysValidAfterTheDeviceIsGone) {
  auto device = open();
  ASSERT_NE(device, nullptr);
  auto* word =
      reinterpret_cast<volatile std::uint32_t*>(mapWindow(*device) + 0x830020);
  *word = 7;
  device.reset();
  // The device's pages are gone from the range, which still reads and
  // writes without a fault; the file is no longer reached.
  EXPECT_EQ(*word, 0u);
  *word = 9;
  EXPECT_EQ(wordAt(dir_ / "resource0", 0x830020), 7u);
}

TEST_F(LinuxPciTest, DriverWordsOutsideTheWindowAreRefused) {
  auto device = open();
  ASSERT_NE(device, nullptr);
  std::uint32_t words[2] = {0xDEAD, 0xBEEF};
  EXPECT_FALSE(send(*device, DriverRequest::WriteWord, words, 1,
                    offsetArgument(0x840000)));
  EXPECT_FALSE(send(*device, DriverRequest::WriteWord, words, 2,
                    offsetArgument(0x83FFFC)));
  EXPECT_FALSE(send(*device, DriverRequest::WriteWord, words, 1,
                    offsetArgument(0x800002)));
  EXPECT_FALSE(send(*device, DriverRequest::ReadWords, words, 1,
                    offsetArgument(~std::uintptr_t(3))));
  EXPECT_FALSE(send(*device, DriverRequest::ReadWords, words, 0x40000000,
                    offsetArgument(0)));
  EXPECT_FALSE(
      send(*device, DriverRequest::WriteWord, nullptr, 1, offsetArgument(0)));
  EXPECT_EQ(words[0], 0xDEADu);  // nothing was read into the buffer
  EXPECT_EQ(fs::file_size(dir_ / "resource0"), 0x840000u);
  EXPECT_EQ(wordAt(dir_ / "resource0", 0x83FFFC), 0u);
  EXPECT_FALSE(send(*device, DriverRequest(7)));
}

TEST_F(LinuxPciTest, PortsLandInResource1AtTheirOffset) {
  auto device = open();
  ASSERT_NE(device, nullptr);
  out(*device, 0xE018, 0);
  out(*device, 0xE03C, 0xFFFFFF80);
  EXPECT_EQ(wordAt(dir_ / "resource1", 24), 0u);
  EXPECT_EQ(wordAt(dir_ / "resource1", 60), 0xFFFFFF80u);
  EXPECT_EQ(wordAt(dir_ / "resource1", 20), kFill);
  putWord(dir_ / "resource1", 32, 0x12345678);
  EXPECT_EQ(in(*device, 0xE020), 0x12345678u);

  // Outside the region: dropped, and reads float high.
  out(*device, 0xE03D, 1);
  out(*device, 0xDFFC, 1);
  out(*device, 0xE040, 1);
  EXPECT_EQ(in(*device, 0xE03D), 0xFFFFFFFFu);
  EXPECT_EQ(in(*device, 0xDFFE), 0xFFFFFFFFu);
  EXPECT_EQ(fs::file_size(dir_ / "resource1"), 64u);
  EXPECT_EQ(wordAt(dir_ / "resource1", 60), 0xFFFFFF80u);
}

// The mappings of the process, as /proc/self/maps lists them.
std::size_t mappingCount() {
  std::ifstream maps("/proc/self/maps");
  std::size_t count = 0;
  for (std::string line; std::getline(maps, line);) ++count;
  return count;
}

// A long process opens and closes the card many times: the window's range
// is reused, so the mappings stay as many as at the first cycles, far below
// the kernel's limit (vm.max_map_count, 65530 by default), which one
// mapping kept per cycle passes after as many cycles. (A run of 100,000
// cycles takes some 20 s; a new range at any cycle is caught here.)
TEST_F(LinuxPciTest, ManyOpensAndClosesKeepTheMappingsBounded) {
  ::setenv("TV940_DEVICE", dir_.c_str(), 1);
  std::size_t after = 0;
  std::uint8_t* firstWindow = nullptr;
  constexpr unsigned kCycles = 2000;
  for (unsigned cycle = 1; cycle <= kCycles; ++cycle) {
    const platform::Handle device = platform::openDevice("");
    ASSERT_NE(device, nullptr) << cycle << ": " << platform::lastOpenFailure();
    std::uint8_t* window = nullptr;
    std::uint32_t returned = 0;
    ASSERT_TRUE(platform::deviceRequest(
        device, card::code(DriverRequest::MapChipWindow), nullptr, 0, &window,
        sizeof window, &returned))
        << cycle << ": " << platform::lastOpenFailure();
    platform::windowWrite32(device, window, 0x830020, cycle);
    ASSERT_TRUE(platform::closeHandle(device));
    if (cycle == 1) firstWindow = window;
    if (cycle == 10) after = mappingCount();
    ASSERT_EQ(window, firstWindow) << cycle << ": a new range";
  }
  // The heap may map a few more (a sanitizer's allocator does), never one
  // a cycle.
  EXPECT_LE(mappingCount(), after + 64);
  EXPECT_EQ(wordAt(dir_ / "resource0", 0x830020), kCycles);
}

// ---- Interrupts ------------------------------------------------------------

TEST_F(LinuxPciTest, UioInterruptsSignalTheEventAndGiveTheCount) {
  addUio();
  // Interrupt-disable set as the kernel leaves it; bit 8 must survive.
  writeBytes(dir_ / "config", header(kIoRegister, 64, 0x0503));
  auto device = open();
  ASSERT_NE(device, nullptr);
  platform::Handle event = platform::createEvent();
  ASSERT_TRUE(send(*device, DriverRequest::SetInterruptEvent, event));
  const int node = ::open((nodes_ / "uio0").c_str(), O_WRONLY);
  ASSERT_GE(node, 0);
  auto interrupt = [&](std::uint32_t count) {
    ASSERT_EQ(::write(node, &count, 4), 4);
    ASSERT_EQ(platform::waitEvent(event, 30000), platform::WaitResult::First);
    std::uint32_t word = 0;
    ASSERT_TRUE(
        send(*device, DriverRequest::GetInterruptWord, nullptr, 0, &word, 4));
    EXPECT_EQ(word, count);
  };
  interrupt(1);
  EXPECT_EQ(byteAt(dir_ / "config", 5), 0x01);
  // The kernel masks the interrupt again; it is unmasked before the next wait.
  putWord(dir_ / "config", 4, 0x00000503);
  interrupt(2);
  interrupt(3);
  EXPECT_EQ(byteAt(dir_ / "config", 5), 0x01);
  EXPECT_EQ(byteAt(dir_ / "config", 4), 0x03);

  // Shutdown: no more signals, and requests 3 and 10 fail.
  EXPECT_TRUE(send(*device, DriverRequest::Shutdown));
  std::uint32_t count = 4;
  ASSERT_EQ(::write(node, &count, 4), 4);
  EXPECT_EQ(platform::waitEvent(event, 0), platform::WaitResult::TimedOut);
  std::uint32_t word;
  EXPECT_FALSE(
      send(*device, DriverRequest::GetInterruptWord, nullptr, 0, &word, 4));
  EXPECT_FALSE(send(*device, DriverRequest::SetInterruptEvent, event));
  // Each interrupt was reported for the trace, none after the shutdown.
  EXPECT_EQ(reports_.interrupts(), (std::vector<std::uint32_t>{1, 2, 3}));
  ::close(node);
  platform::closeHandle(event);
}

TEST_F(LinuxPciTest, InterruptWordWaitsUntilAnInterruptOrTheShutdown) {
  addUio();
  auto device = open();
  ASSERT_NE(device, nullptr);
  auto waitForWord = [&] {
    std::uint32_t word = 0;
    return send(*device, DriverRequest::GetInterruptWord, nullptr, 0, &word, 4)
               ? word
               : 0xFFFFFFFFu;
  };
  auto first = std::async(std::launch::async, waitForWord);
  const int node = ::open((nodes_ / "uio0").c_str(), O_WRONLY);
  const std::uint32_t count = 42;
  ASSERT_EQ(::write(node, &count, 4), 4);
  EXPECT_EQ(first.get(), 42u);
  ::close(node);

  // Without a new interrupt the last count stays the answer; the close then
  // ends the interrupts, and a waiting request fails instead of hanging.
  EXPECT_EQ(waitForWord(), 42u);
  device->onClose();
  EXPECT_EQ(waitForWord(), 0xFFFFFFFFu);
}

TEST_F(LinuxPciTest, WithoutUioTheInterruptWordFailsAtOnce) {
  auto device = open();
  ASSERT_NE(device, nullptr);
  platform::Handle event = platform::createEvent();
  std::uint32_t word;
  EXPECT_TRUE(send(*device, DriverRequest::SetInterruptEvent, event));
  EXPECT_FALSE(
      send(*device, DriverRequest::GetInterruptWord, nullptr, 0, &word, 4));
  EXPECT_TRUE(send(*device, DriverRequest::Shutdown));
  platform::closeHandle(event);
}

// ---- Through the library ---------------------------------------------------

TEST_F(LinuxPciTest, BoardOpensAFakeDeviceAndReachesItsFiles) {
  ::setenv("TV940_DEVICE", dir_.c_str(), 1);
  Board board;
  ASSERT_EQ(board.open(), 0) << Board::openFailure();
  EXPECT_EQ(board.ioBase, 0xE000);
  EXPECT_EQ(board.baseAddress0, 0xF8000000u);
  board.writePort24Zero();
  board.writePort16One();
  EXPECT_EQ(wordAt(dir_ / "resource1", 24), 0u);
  EXPECT_EQ(wordAt(dir_ / "resource1", 16), 1u);
  board.writeControlC008(0x00C0FFEE);
  board.writeChipViaDriver(0xFFFF, 0x600DF00D);
  putWord(dir_ / "resource0", 0x830040, 0x5EED);
  EXPECT_EQ(board.getMaskC010(), 0x5EEDu);
  EXPECT_EQ(board.readChipViaDriver(0xC008), 0x00C0FFEEu);
  ASSERT_EQ(::msync(board.chipWindow, 0x840000, MS_SYNC), 0);
  EXPECT_EQ(wordAt(dir_ / "resource0", 0x830020), 0x00C0FFEEu);
  EXPECT_EQ(wordAt(dir_ / "resource0", 0x83FFFC), 0x600DF00Du);
  board.close();
}

TEST_F(LinuxPciTest, BoardOpenFailsWithTheReason) {
  Board board;
  // Every reason names the device as selected.
  auto expectFailure = [&](const std::string& selector,
                           const std::string& expected) {
    ::setenv("TV940_DEVICE", selector.c_str(), 1);
    EXPECT_EQ(board.open(), -5) << selector;
    const std::string failure = Board::openFailure();
    EXPECT_EQ(failure.rfind("TV940_DEVICE=" + selector + ": ", 0), 0u)
        << failure;
    EXPECT_NE(failure.find(expected), std::string::npos) << failure;
  };
  expectFailure("not-a-device", "neither a PCI address");
  expectFailure("fedc:ab:1f.7", "no PCI device fedc:ab:1f.7");

  writeBytes(dir_ / "config", header(0x0000E000));
  expectFailure(dir_, "not an I/O-space register");
  EXPECT_EQ(board.ioBase, 0xFFFF);
  board.close();

  writeBytes(dir_ / "config", header(kIoRegister, 64, 0));
  expectFailure(dir_, "memory decoding is off");
  board.close();

  fs::remove(dir_ / "resource0");
  expectFailure(dir_, "resource0");
}

// One program per card: while a Board holds the card, another Board of this
// program and another program are refused, naming this process, and neither
// touches the card; once the first closes, the card is free.
TEST_F(LinuxPciTest, CardHeldByOneOpenRefusesEveryOther) {
  const fs::path program = fs::path(TV940_BIN_DIR) / "kelpori";
  ASSERT_TRUE(fs::exists(program)) << program << " is not built";
  ::setenv("TV940_DEVICE", dir_.c_str(), 1);
  Board first;
  ASSERT_EQ(first.open(), 0) << Board::openFailure();
  const std::string self = "(process " + std::to_string(::getpid());

  Board second;
  EXPECT_EQ(second.open(), -5);
  const std::string failure = Board::openFailure();
  EXPECT_NE(failure.find("in use by another program " + self +
                         ", this program itself"),
            std::string::npos)
      << failure;
  second.close();

  const fs::path work = kelporiWorkDirectory();
  const std::string command = "cd '" + work.string() + "' && TV940_DEVICE='" +
                              dir_.string() + "' '" + program.string() +
                              "' >console.txt 2>&1";
  const int status = std::system(command.c_str());
  std::ifstream console(work / "console.txt");
  std::stringstream text;
  text << console.rdbuf();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << text.str();
  EXPECT_NE(text.str().find("in use by another program " + self + ")"),
            std::string::npos)
      << text.str();
  EXPECT_FALSE(fs::exists(work / "kelpori.out"));
  EXPECT_EQ(wordAt(dir_ / "resource1", 24), kFill);  // bring-up never ran

  first.writePort16One();  // the first open is untouched
  EXPECT_EQ(wordAt(dir_ / "resource1", 16), 1u);
  first.close();
  EXPECT_EQ(second.open(), 0) << Board::openFailure();
  second.close();
}

// ---- A whole program run ---------------------------------------------------

// The last value the design file gives each chip address.
std::map<std::uint32_t, std::uint32_t> designWords(const fs::path& file) {
  std::map<std::uint32_t, std::uint32_t> words;
  std::ifstream in(file);
  for (std::string line; std::getline(in, line);) {
    std::istringstream fields(line);
    std::string address, data;
    if (!(fields >> address >> data) || address[0] == '#') continue;
    words[std::stoul(address, nullptr, 16)] = std::stoul(data, nullptr, 16);
  }
  return words;
}

// What column 2 keeps after a whole kelpori loop: the last of its 1000 test
// vectors.
std::uint32_t lastKelporiVector() {
  std::uint32_t state = 1, vector = 0;
  auto next = [&] {
    state = state * 214013u + 2531011u;
    return (state >> 16) & 0x7FFF;
  };
  for (int i = 0; i < 1000; ++i) {
    const std::uint32_t first = next();
    vector = first * next();
  }
  return vector;
}

// A file-size limit of 0 for the test's scope: every write to a regular
// file fails (EFBIG), as on a full file system, without the signal.
class NoFileWrites {
 public:
  NoFileWrites() {
    ::getrlimit(RLIMIT_FSIZE, &saved_);
    previous_ = std::signal(SIGXFSZ, SIG_IGN);
    const rlimit zero{0, saved_.rlim_max};
    ::setrlimit(RLIMIT_FSIZE, &zero);
  }
  ~NoFileWrites() {
    ::setrlimit(RLIMIT_FSIZE, &saved_);
    std::signal(SIGXFSZ, previous_);
  }

 private:
  rlimit saved_{};
  void (*previous_)(int) = nullptr;
};

TEST_F(LinuxPciTest, KelporiRunsItsBringUpAndLoopAgainstTheFiles) {
  const fs::path program = fs::path(TV940_BIN_DIR) / "kelpori";
  ASSERT_TRUE(fs::exists(program)) << program << " is not built";
  const fs::path work = kelporiWorkDirectory();
  const std::string command = "cd '" + work.string() + "' && TV940_DEVICE='" +
                              dir_.string() + "' '" + program.string() +
                              "' >console.txt 2>&1";
  const int status = std::system(command.c_str());
  std::ifstream console(work / "console.txt");
  ASSERT_EQ(status, 0) << console.rdbuf();

  // Bring-up ports; the clock's last bit is the protocol word's final 0.
  const fs::path ports = dir_ / "resource1";
  EXPECT_EQ(wordAt(ports, 24), 0u);
  EXPECT_EQ(wordAt(ports, 16), 1u);
  EXPECT_EQ(wordAt(ports, 60), 0u);
  EXPECT_EQ(wordAt(ports, 20), 0u);
  EXPECT_EQ(wordAt(ports, 28), kFill);  // never written

  // The design's pairs, except the registers the run writes afterwards.
  const fs::path window = dir_ / "resource0";
  auto design = designWords(work / "kelpori.bfx");
  ASSERT_GT(design.size(), 1000u);
  for (std::uint32_t overwritten :
       {0x01C0u, 0x02C0u, 0xC000u, 0xC008u, 0xC010u, 0xC014u}) {
    design.erase(overwritten);
  }
  for (const auto& [address, data] : design) {
    ASSERT_EQ(wordAt(window, 0x800000 + 4 * address), data) << address;
  }
  EXPECT_EQ(wordAt(window, 0x830020), 0u);           // 0xC008
  EXPECT_EQ(wordAt(window, 0x830040), 0u);           // first mask
  EXPECT_EQ(wordAt(window, 0x830050), 0xFFFFFFFFu);  // second mask
  EXPECT_EQ(wordAt(window, 0x830000) >> 2 & 3, 2u);  // 32-bit bus
  EXPECT_EQ(wordAt(window, 0x800700), 0u);           // column 1 := 0 last
  EXPECT_EQ(wordAt(window, 0x800B00), lastKelporiVector());

  // The files cannot compute: every state line shows what they hold.
  std::ifstream out(work / "kelpori.out");
  int stateLines = 0;
  for (std::string line; std::getline(out, line);) {
    if (line.rfind("SR: Ox", 0) == 0) ++stateLines;
  }
  EXPECT_EQ(stateLines, 48000);
}

}  // namespace

// A traced run against the files gives the simulated card's trace: the same
// lines in the same order, except the values read.
TEST_F(LinuxPciTest, TracedRunMatchesTheSimulatedCardsTrace) {
  const fs::path program = fs::path(TV940_BIN_DIR) / "kelpori";
  ASSERT_TRUE(fs::exists(program)) << program << " is not built";
  const fs::path work = kelporiWorkDirectory();
  // The run's trace: its heading, then its events, reads without the value.
  auto tracedRun = [&](const std::string& device, const std::string& file,
                       std::string* heading) {
    const std::string command = "cd '" + work.string() + "' && TV940_DEVICE='" +
                                device + "' TV940_TRACE=" + file + " '" +
                                program.string() + "' >console.txt 2>&1";
    const int status = std::system(command.c_str());
    std::ifstream console(work / "console.txt");
    EXPECT_EQ(status, 0) << console.rdbuf();
    std::ifstream trace(work / file);
    std::vector<std::string> events;
    std::getline(trace, *heading);
    for (std::string line; std::getline(trace, line);) {
      if (line.rfind("#", 0) == 0) continue;
      if (line.rfind("rd ", 0) == 0 || line.rfind("in ", 0) == 0 ||
          line.rfind("drd ", 0) == 0) {
        line.erase(line.rfind(' '));
      }
      events.push_back(line);
    }
    return events;
  };
  std::string simHeading, pciHeading;
  const auto sim = tracedRun("sim", "sim.trace", &simHeading);
  const auto pci = tracedRun(dir_.string(), "pci.trace", &pciHeading);
  const std::string writer =
      std::string(", written by tv940 ") + tv940::kVersion;
  EXPECT_EQ(simHeading, "# trace: device sim (simulated card)" + writer);
  EXPECT_EQ(pciHeading,
            "# trace: device " + dir_.string() + " (linux pci)" + writer);
  ASSERT_GT(sim.size(), 100000u);
  EXPECT_EQ(std::count(sim.begin(), sim.end(), "dwr c000 00000008"), 1);
  EXPECT_TRUE(pci == sim) << pci.size() << " lines against " << sim.size();

  // The trace tool says the same: what the program sent is equal, what the
  // files gave back is not what the simulated card computed.
  const std::string diff = "cd '" + work.string() + "' && '" +
                           (fs::path(TV940_BIN_DIR) / "tv940-trace").string() +
                           "' diff ";
  EXPECT_EQ(std::system(
                (diff + "--sent-only sim.trace pci.trace >/dev/null").c_str()),
            0);
  const int status =
      std::system((diff + "sim.trace pci.trace >/dev/null").c_str());
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
}

// A card whose accesses fail fails the run. Every port write that resource1
// refuses (here by a file-size limit of 0, as a full file system refuses it)
// is counted and traced, the loop still runs to its end, and the run ends
// with one line and status 1. A read that comes back short, and a failed
// interrupt unmask, are reported alike.
TEST_F(LinuxPciTest, FailedAccessesFailTheRun) {
  const fs::path program = fs::path(TV940_BIN_DIR) / "kelpori";
  ASSERT_TRUE(fs::exists(program)) << program << " is not built";
  const fs::path work = kelporiWorkDirectory();
  fs::create_symlink("/dev/null", work / "kelpori.out");
  // The limit would also stop the trace and standard error, so they go
  // through pipes to files that others write; the status comes last.
  const std::string command =
      "cd '" + work.string() +
      "' && { { ( trap '' XFSZ; ulimit -f 0; TV940_DEVICE='" + dir_.string() +
      "' TV940_TRACE=/dev/fd/3 '" + program.string() +
      "' 3>&1 >/dev/null 2>&4; echo \"exit $?\" >&4 ) | cat >trace.txt; } "
      "4>&1 | cat >console.txt; }";
  ASSERT_EQ(std::system(command.c_str()), 0);

  const std::string ports = (dir_ / "resource1").string();
  const std::string refused =
      ": cannot write " + ports + ": " + std::strerror(EFBIG);
  std::ifstream trace(work / "trace.txt");
  std::vector<std::string> lines;
  for (std::string line; std::getline(trace, line);) lines.push_back(line);
  unsigned outputs = 0;
  for (std::size_t i = 0; i + 1 < lines.size(); ++i) {
    if (lines[i].rfind("out ", 0) != 0) continue;
    ++outputs;
    ASSERT_EQ(lines[i + 1], "# the card failed " + lines[i] + refused);
  }
  EXPECT_EQ(outputs, 70u) << "three bring-up ports and 67 clock bits";
  std::ifstream console(work / "console.txt");
  std::stringstream said;
  said << console.rdbuf();
  EXPECT_EQ(said.str(),
            "kelpori: the card failed 70 port accesses: out e018 00000000" +
                refused + "\nexit 1\n");
  EXPECT_EQ(wordAt(ports, 24), kFill);  // nothing reached it
  EXPECT_EQ(wordAt(dir_ / "resource0", 0x800B00), lastKelporiVector());

  addUio();
  // The interrupt masked, as the kernel leaves it; the interrupt thread
  // unmasks it before its first wait, and fails there.
  writeBytes(dir_ / "config", header(kIoRegister, 64, 0x0503));
  std::shared_ptr<Device> device;
  {
    NoFileWrites limit;
    device = open();
    ASSERT_NE(device, nullptr);
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (reports_.failures().empty() &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  fs::resize_file(ports, 16);
  std::string failure;
  std::uint32_t value = 0;
  EXPECT_FALSE(device->portIn32(0xE020, &value, &failure));
  EXPECT_EQ(value, 0xFFFFFFFFu);
  EXPECT_EQ(failure, "cannot read " + ports + ": 0 of 4 bytes read");
  EXPECT_EQ(
      reports_.failures(),
      std::vector<std::string>{
          "interrupt unmask in " + (dir_ / "config").string() +
          ": cannot write the command register: " + std::strerror(EFBIG)});
}
