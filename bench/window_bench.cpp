// Chip-window access through the seam (platform::windowRead32/windowWrite32)
// against a raw volatile access to the same mapping: the mapped resource0 of
// a fake device directory opened through the Linux PCI backend. For scale,
// also a driver-mediated word (request 2) and a port write, both of which are
// system calls.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "card/card_map.h"
#include "platform/platform.h"

namespace fs = std::filesystem;

namespace {

constexpr std::uint32_t kOffset = card::windowOffset(card::kControlC008);
constexpr std::uint16_t kIoBase = 0xE000;

// A device directory of regular files, opened as TV940_DEVICE selects it.
class FakeCard {
 public:
  FakeCard() {
    std::string name = fs::temp_directory_path() / "tv940-window-bench-XXXXXX";
    if (::mkdtemp(name.data()) == nullptr) return;
    root_ = name;
    std::vector<char> config(card::kPciHeaderSize, 0);
    config[0] = config[1] = 0x5A;  // vendor
    config[card::kCommandRegister] =
        card::kCommandMemorySpace | card::kCommandIoSpace;
    config[card::kBaseAddress1] = card::kIoSpaceIndicator;  // I/O at kIoBase
    config[card::kBaseAddress1 + 1] = char(kIoBase >> 8);
    std::ofstream(root_ / "config", std::ios::binary)
        .write(config.data(), std::streamsize(config.size()));
    std::ofstream(root_ / "resource0").close();
    fs::resize_file(root_ / "resource0", card::kWindowSize);
    std::ofstream(root_ / "resource1").close();
    fs::resize_file(root_ / "resource1", card::kPortSpan);

    ::setenv("TV940_DEVICE", root_.c_str(), 1);
    device_ = platform::openDevice("");
    std::uint32_t returned;
    if (device_ == nullptr ||
        !platform::deviceRequest(device_, card::code(DriverRequest::Check),
                                 nullptr, 0, nullptr, 0, &returned) ||
        !platform::deviceRequest(
            device_, card::code(DriverRequest::MapChipWindow), nullptr, 0,
            &window_, sizeof window_, &returned)) {
      failure_ = platform::lastOpenFailure();
      window_ = nullptr;
    }
  }
  ~FakeCard() {
    if (device_ != nullptr) platform::closeHandle(device_);
    if (!root_.empty()) fs::remove_all(root_);
  }

  std::uint8_t* window() const { return window_; }
  platform::Handle device() const { return device_; }
  const std::string& failure() const { return failure_; }

 private:
  fs::path root_;
  platform::Handle device_ = nullptr;
  std::uint8_t* window_ = nullptr;
  std::string failure_ = "the fake device directory cannot be made";
};

FakeCard& card() {
  static FakeCard fake;
  return fake;
}

std::uint8_t* windowOrSkip(benchmark::State& state) {
  std::uint8_t* window = card().window();
  if (window == nullptr) state.SkipWithError(card().failure().c_str());
  return window;
}

void BM_SeamWindowRead(benchmark::State& state) {
  std::uint8_t* window = windowOrSkip(state);
  if (window == nullptr) return;
  const platform::Handle device = card().device();
  for (auto _ : state) {
    benchmark::DoNotOptimize(platform::windowRead32(device, window, kOffset));
  }
}

void BM_RawWindowRead(benchmark::State& state) {
  std::uint8_t* window = windowOrSkip(state);
  if (window == nullptr) return;
  auto* word =
      reinterpret_cast<const volatile std::uint32_t*>(window + kOffset);
  for (auto _ : state) {
    const std::uint32_t value = *word;
    benchmark::DoNotOptimize(value);
  }
}

void BM_SeamWindowWrite(benchmark::State& state) {
  std::uint8_t* window = windowOrSkip(state);
  if (window == nullptr) return;
  std::uint32_t value = 0;
  const platform::Handle device = card().device();
  for (auto _ : state)
    platform::windowWrite32(device, window, kOffset, ++value);
}

void BM_RawWindowWrite(benchmark::State& state) {
  std::uint8_t* window = windowOrSkip(state);
  if (window == nullptr) return;
  auto* word = reinterpret_cast<volatile std::uint32_t*>(window + kOffset);
  std::uint32_t value = 0;
  for (auto _ : state) *word = ++value;
}

// Request 2 for one word: what Board::readChipViaDriver costs.
void BM_DriverWordRead(benchmark::State& state) {
  if (windowOrSkip(state) == nullptr) return;
  std::uint32_t value = 0;
  std::uint32_t returned;
  for (auto _ : state) {
    platform::deviceRequest(
        card().device(), card::code(DriverRequest::ReadWords), &value, 1,
        reinterpret_cast<void*>(std::uintptr_t(kOffset)), 0, &returned);
    benchmark::DoNotOptimize(value);
  }
}

// One 4-byte pwrite of resource1 per port output.
void BM_PortWrite(benchmark::State& state) {
  if (windowOrSkip(state) == nullptr) return;
  std::uint32_t value = 0;
  for (auto _ : state)
    platform::portOut32(card().device(), kIoBase + card::kClockPort, ++value);
}

BENCHMARK(BM_SeamWindowRead);
BENCHMARK(BM_RawWindowRead);
BENCHMARK(BM_SeamWindowWrite);
BENCHMARK(BM_RawWindowWrite);
BENCHMARK(BM_DriverWordRead);
BENCHMARK(BM_PortWrite);

}  // namespace

BENCHMARK_MAIN();
