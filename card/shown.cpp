#include "card/shown.h"

namespace card {

std::string shownValue(std::string_view value) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  std::size_t shown =
      value.size() <= kShownLength ? value.size() : kShownLength;
  // A cut never splits a character of several bytes.
  while (shown < value.size() && shown > 0 &&
         (static_cast<unsigned char>(value[shown]) & 0xC0) == 0x80) {
    --shown;
  }
  for (std::size_t i = 0; i < shown; ++i) {
    const auto c = static_cast<unsigned char>(value[i]);
    if (c == '\n') {
      text += "\\n";
    } else if (c == '\r') {
      text += "\\r";
    } else if (c == '\t') {
      text += "\\t";
    } else if (c < 0x20 || c == 0x7F) {
      text += "\\x";
      text += digits[c >> 4];
      text += digits[c & 0xF];
    } else {
      text += static_cast<char>(c);
    }
  }
  if (shown < value.size()) {
    text += "... (" + std::to_string(value.size()) + " characters)";
  }
  return text;
}

}  // namespace card
