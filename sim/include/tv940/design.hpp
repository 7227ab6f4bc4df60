// A C++ class as a design plug-in's tv940_design.
//
//   struct Counter {
//     explicit Counter(tv940::Parameters) {}
//     void writeColumn(unsigned column, std::uint32_t value,
//                      const tv940_chip_context& chip);
//     std::uint32_t readColumn(unsigned column,
//                              const tv940_chip_context& chip);
//     std::uint32_t interrupt();  // optional: nonzero raises the interrupt
//   };
//   const tv940_design counter =
//       tv940::makeDesign<Counter>(0x434E5452, "counter");
//   TV940_DESIGNS(&counter)
//
// The class is made from the configuration's parameter words: by a static
// `std::unique_ptr<T> create(tv940::Parameters)` when it has one (null: the
// words describe no design it runs), else by a constructor taking
// tv940::Parameters, else by its default constructor. An exception out of
// create or the constructor refuses the parameters; one out of another
// member ends the program, as any fault of a plug-in does.
#ifndef TV940_DESIGN_HPP
#define TV940_DESIGN_HPP

#include <cstddef>
#include <cstdint>
#include <memory>
#include <type_traits>
#include <utility>

#include "design_plugin.h"

namespace tv940 {

// The configuration's parameter words, as the card hands them over.
struct Parameters {
  const std::uint32_t* words;
  std::size_t count;

  std::size_t size() const { return count; }
  std::uint32_t operator[](std::size_t i) const { return words[i]; }
  const std::uint32_t* begin() const { return words; }
  const std::uint32_t* end() const { return words + count; }
};

namespace detail {

template <class T, class = void>
struct HasCreate : std::false_type {};
template <class T>
struct HasCreate<T,
                 std::void_t<decltype(T::create(std::declval<Parameters>()))>>
    : std::true_type {};

template <class T, class = void>
struct HasInterrupt : std::false_type {};
template <class T>
struct HasInterrupt<T, std::void_t<decltype(std::declval<T&>().interrupt())>>
    : std::true_type {};

template <class T>
T* make(Parameters parameters) {
  if constexpr (HasCreate<T>::value) {
    return T::create(parameters).release();
  } else if constexpr (std::is_constructible_v<T, Parameters>) {
    return new T(parameters);
  } else {
    return new T();
  }
}

template <class T>
void* create(const std::uint32_t* words, std::size_t count) noexcept {
  try {
    return make<T>(Parameters{words, count});
  } catch (...) {
    return nullptr;
  }
}

template <class T>
void destroy(void* design) noexcept {
  delete static_cast<T*>(design);
}

template <class T>
void writeColumn(void* design, unsigned column, std::uint32_t value,
                 const tv940_chip_context* chip) noexcept {
  static_cast<T*>(design)->writeColumn(column, value, *chip);
}

template <class T>
std::uint32_t readColumn(void* design, unsigned column,
                         const tv940_chip_context* chip) noexcept {
  return static_cast<T*>(design)->readColumn(column, *chip);
}

template <class T>
std::uint32_t interrupt(void* design) noexcept {
  return static_cast<T*>(design)->interrupt();
}

}  // namespace detail

// The tv940_design of class T. `unpredictable`, when given, points to 64
// masks (one per column) that outlive the design.
template <class T>
constexpr tv940_design makeDesign(
    std::uint32_t identification, const char* name,
    const std::uint32_t* unpredictable = nullptr) {
  tv940_design d{};
  d.abi = TV940_DESIGN_ABI;
  d.identification = identification;
  d.name = name;
  d.create = &detail::create<T>;
  d.destroy = &detail::destroy<T>;
  d.write_column = &detail::writeColumn<T>;
  d.read_column = &detail::readColumn<T>;
  if constexpr (detail::HasInterrupt<T>::value) {
    d.interrupt = &detail::interrupt<T>;
  }
  d.unpredictable = unpredictable;
  return d;
}

}  // namespace tv940

// Defines the plug-in's tv940_designs() over the addresses of its designs:
//   TV940_DESIGNS(&first, &second)
#define TV940_DESIGNS(...)                                                 \
  extern "C" TV940_DESIGN_EXPORT const tv940_design* const* tv940_designs( \
      std::size_t* count) {                                                \
    static const tv940_design* const designs[] = {__VA_ARGS__};            \
    *count = sizeof designs / sizeof designs[0];                           \
    return designs;                                                        \
  }

#endif  // TV940_DESIGN_HPP
