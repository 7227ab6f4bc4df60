#include "card/system_error.h"

#include <system_error>

namespace card {

std::string systemErrorText(int errnoValue) {
  if (errnoValue == 0) return "unknown error";
  return std::generic_category().message(errnoValue);
}

}  // namespace card
