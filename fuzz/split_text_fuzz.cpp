// SplitText on any bytes. The input is a selector (bit 0: a delimiter is given; bit 1: a limit is
// given), the delimiter's length (0 to 4), the limit (4 bytes), the delimiter, then the text.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "runtime/text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 6) {
    return 0;
  }
  const bool delimiterGiven = (data[0] & 1) != 0;
  const bool limitGiven = (data[0] & 2) != 0;
  const size_t delimiterLength = data[1] % 5;
  int32_t limit = 0;
  std::memcpy(&limit, data + 2, 4);
  if (size < 6 + delimiterLength) {
    return 0;
  }
  const std::string delimiterBytes(reinterpret_cast<const char*>(data + 6), delimiterLength);
  const std::string text(reinterpret_cast<const char*>(data + 6 + delimiterLength),
                         size - 6 - delimiterLength);
  const std::optional<std::string_view> delimiter =
      delimiterGiven ? std::optional<std::string_view>(delimiterBytes) : std::nullopt;
  const std::string_view used = delimiter.value_or(",");

  const TextArray whole = SplitText(text, delimiter);
  if (!delimiterGiven) {
    Require(whole == SplitText(text, ","), "the delimiter left out is the comma");
  }
  if (text.empty()) {
    Require(whole.empty(), "the empty text gives no member");
  } else if (used.empty()) {
    Require(whole == TextArray{text}, "an empty delimiter gives the whole text");
  } else {
    // The members and the delimiters between them are the text again; a delimiter at the very end
    // leaves no empty member behind.
    std::string joined;
    for (size_t i = 0; i < whole.size(); ++i) {
      joined += (i == 0 ? "" : std::string(used)) + whole[i];
    }
    Require(joined == text || joined + std::string(used) == text, "the members make up the text");
  }

  if (limitGiven) {
    const TextArray limited = SplitText(text, delimiter, limit);
    const size_t keep = limit <= 0 ? 0 : std::min(whole.size(), static_cast<size_t>(limit));
    Require(limited == TextArray(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(keep)),
            "a limit keeps the first members");
  }
  return 0;
}
