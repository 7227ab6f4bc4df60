// Plug-ins for the plug-in suite, one per VARIANT: a sound one whose design
// adds what column 0 receives and asks for the interrupt once the sum passes
// a threshold (its parameter word), one in place of kelpori's design, and
// one for each way a plug-in can break the contract.
#include <tv940/design.hpp>

namespace {

#define VARIANT_SOUND 0
#define VARIANT_NO_SYMBOL 1
#define VARIANT_ABI 2
#define VARIANT_NO_CREATE 3
#define VARIANT_NO_WRITE 4
#define VARIANT_NO_READ 5
#define VARIANT_NONE 6
#define VARIANT_TOO_MANY 7
#define VARIANT_SAME_ID 8
#define VARIANT_NOT_KELPORI 9

// Column 0 adds (when the clock runs), column 1 reads the sum, column 2
// reads its low byte in bits 0-7 beside noise in bits 8-31.
class Sum {
 public:
  static std::unique_ptr<Sum> create(tv940::Parameters p) {
    // Bound to a design file, it gets no parameter words: threshold 100.
    if (p.size() > 1) return nullptr;
    return std::make_unique<Sum>(p.size() == 1 ? p[0] : 100);
  }
  explicit Sum(std::uint32_t threshold) : threshold_(threshold) {}
  void writeColumn(unsigned column, std::uint32_t value,
                   const tv940_chip_context& chip) {
    if (column == 0 && chip.clock_running) sum_ += value;
  }
  std::uint32_t readColumn(unsigned column, const tv940_chip_context&) {
    if (column == 1) return sum_;
    if (column == 2) return (++noise_ * 0x9E3779B9u) << 8 | (sum_ & 0xFF);
    return 0;
  }
  std::uint32_t interrupt() {
    if (raised_ || sum_ < threshold_) return 0;
    raised_ = true;
    return 0x80000000u | sum_;
  }

 private:
  std::uint32_t threshold_;
  std::uint32_t sum_ = 0;
  std::uint32_t noise_ = 0;
  bool raised_ = false;
};

constexpr std::uint32_t kUnpredictable[64] = {0, 0, 0xFFFFFF00u};

constexpr tv940_design sound() {
  tv940_design d = tv940::makeDesign<Sum>(0x53554D00, "sum", kUnpredictable);
#if VARIANT == VARIANT_ABI
  d.abi = 2;
#elif VARIANT == VARIANT_NO_CREATE
  d.create = nullptr;
#elif VARIANT == VARIANT_NO_WRITE
  d.write_column = nullptr;
#elif VARIANT == VARIANT_NO_READ
  d.read_column = nullptr;
#endif
  return d;
}

const tv940_design kSum = sound();

}  // namespace

#if VARIANT == VARIANT_NOT_KELPORI
// In place of kelpori's built-in design: every column reads 0.
struct Zero {
  void writeColumn(unsigned, std::uint32_t, const tv940_chip_context&) {}
  std::uint32_t readColumn(unsigned, const tv940_chip_context&) { return 0; }
};
const tv940_design kZero = tv940::makeDesign<Zero>(0x4B454C50, "zero");
TV940_DESIGNS(&kZero)
#elif VARIANT == VARIANT_NONE
extern "C" TV940_DESIGN_EXPORT const tv940_design* const* tv940_designs(
    std::size_t* count) {
  *count = 0;
  static const tv940_design* const none[] = {nullptr};
  return none;
}
#elif VARIANT == VARIANT_TOO_MANY
extern "C" TV940_DESIGN_EXPORT const tv940_design* const* tv940_designs(
    std::size_t* count) {
  static const tv940_design* designs[65];
  for (auto& d : designs) d = &kSum;
  *count = 65;
  return designs;
}
#elif VARIANT == VARIANT_SAME_ID
const tv940_design kOther = tv940::makeDesign<Sum>(0x53554D00, "other sum");
TV940_DESIGNS(&kOther)
#elif VARIANT != VARIANT_NO_SYMBOL
TV940_DESIGNS(&kSum)
#else
extern "C" TV940_DESIGN_EXPORT int tv940_other(void) { return 0; }
#endif
