// TextToInt on any bytes, and IntToText back and forth.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz_check.h"
#include "runtime/text.h"

namespace {

// The full-width forms of what a number is written with in plain characters.
std::string Widened(const std::string& text) {
  std::string wide;
  for (const char c : text) {
    if (c >= '0' && c <= '9') {
      wide += "\xEF\xBC";
      wide += static_cast<char>(0x90 + (c - '0'));
    } else if (c == '+') {
      wide += "\xEF\xBC\x8B";
    } else if (c == '-') {
      wide += "\xEF\xBC\x8D";
    } else if (c == ' ') {
      wide += "\xE3\x80\x80";
    } else {
      wide += c;
    }
  }
  return wide;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const int32_t value = TextToInt(text);

  // Whatever follows a character that is no digit is not read, even a character cut in half.
  Require(TextToInt(text + "x" + text) == value, "nothing after the number counts");
  bool plain = true;
  for (const char c : text) {
    plain = plain && static_cast<unsigned char>(c) < 0x80;
  }
  if (plain) {
    Require(TextToInt(Widened(text)) == value, "full-width forms read as the plain ones");
  }
  if (size >= 4) {
    int32_t number = 0;
    std::memcpy(&number, data, 4);
    Require(TextToInt(IntToText(number)) == number, "a number's text reads back as the number");
  }
  return 0;
}
