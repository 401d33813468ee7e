#include "runtime/text.h"

#include <gtest/gtest.h>

#include <climits>

namespace {

struct SplitCase {
  const char* name;
  std::string_view text;
  std::optional<std::string_view> delimiter;
  std::optional<int32_t> maxCount;
  TextArray expected;
};

TEST(SplitText, Cases) {
  using std::nullopt;
  const SplitCase cases[] = {
      {"crlf ending each line", "a\r\nb\r\n", "\r\n", nullopt, {"a", "b"}},
      {"crlf alone", "\r\n", "\r\n", nullopt, {""}},
      {"crlf twice in a row", "a\r\n\r\nb", "\r\n", nullopt, {"a", "", "b"}},
      {"crlf at the start", "\r\na", "\r\n", nullopt, {"", "a"}},
      {"trailing lone cr kept", "a\r\nb\r", "\r\n", nullopt, {"a", "b\r"}},
      {"text shorter than delimiter", "a", "\r\n", nullopt, {"a"}},
      {"empty text", "", "\r\n", nullopt, {}},
      {"tab between chinese fields", "美国东部\t52.94.0.1\t", "\t", nullopt, {"美国东部", "52.94.0.1"}},
      {"delimiter left out is comma", "a,b,c", nullopt, nullopt, {"a", "b", "c"}},
      {"limit 2 drops the rest", "a,b,c", nullopt, 2, {"a", "b"}},
      {"limit 1", "a,b,c", nullopt, 1, {"a"}},
      {"limit above member count", "a,b,c", nullopt, 5, {"a", "b", "c"}},
      {"limit 0", "a,b,c", nullopt, 0, {}},
      {"negative limit", "a,b,c", nullopt, -5, {}},
      {"empty delimiter", "a,b,c", "", nullopt, {"a,b,c"}},
      {"empty delimiter with limit", "a,b,c", "", 3, {"a,b,c"}},
      {"only the delimiter", ",", nullopt, nullopt, {""}},
      {"matches do not overlap", "aaa", "aa", nullopt, {"", "a"}},
      {"chinese delimiter", "甲、乙、丙", "、", nullopt, {"甲", "乙", "丙"}},
      // U+3000 is E3 80 80: its 2nd and 3rd bytes never match, the stray 0x80 that begins a character does.
      {"continuation byte delimiter only where a character begins", "\xE3\x80\x80" "a\x80" "b", "\x80", nullopt,
       {"\xE3\x80\x80" "a", "b"}},
      // 中 is E4 B8 AD.
      {"tail bytes of a cjk character", "中文", "\xB8\xAD", nullopt, {"中文"}},
      // 😀 is F0 9F 98 80.
      {"tail bytes of a four-byte character", "😀,😀", "\x98\x80", nullopt, {"😀,😀"}},
      {"cut-off character ends the scan", "a,\xE4,", nullopt, nullopt, {"a", "\xE4,"}},
      {"cut-off character at the very end", "a,b\xE4\xB8", nullopt, nullopt, {"a", "b\xE4\xB8"}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(SplitText(c.text, c.delimiter, c.maxCount), c.expected) << c.name;
  }
}

TEST(CharFromCode, Cases) {
  const struct {
    uint8_t code;
    std::string expected;
  } cases[] = {{9, "\t"}, {0, ""}, {'A', "A"}, {255, std::string(1, '\xFF')}};
  for (const auto& c : cases) EXPECT_EQ(CharFromCode(c.code), c.expected) << "code " << int{c.code};
}

TEST(TextToInt, Cases) {
  const struct {
    const char* name;
    std::string_view text;
    int32_t expected;
  } cases[] = {
      {"empty", "", 0},
      {"letters", "abc", 0},
      {"leading space", " 15", 15},
      {"every white space", " \t\n\v\f\r9", 9},
      {"plus and trailing junk", "+15s", 15},
      {"trailing junk", "12abc", 12},
      {"negative", " -7", -7},
      {"stops at inner space", "1 2", 1},
      {"lone minus", "-", 0},
      {"lone plus", "+", 0},
      {"two signs", "--5", 0},
      {"space after sign", "- 5", 0},
      {"full-width digits", "１５", 15},
      {"full-width minus", "－７", -7},
      {"full-width plus", "＋８", 8},
      {"ideographic space", "\xE3\x80\x80" "42", 42},
      {"mixed widths", "1２3", 123},
      {"other full-width letter ends digits", "7Ａ8", 7},
      {"cjk after digits", "20秒", 20},
      {"int max", "2147483647", INT32_MAX},
      {"2^31 wraps to int min", "2147483648", INT32_MIN},
      {"int min", "-2147483648", INT32_MIN},
      {"2^32 - 1 is -1", "4294967295", -1},
      {"2^32 + 1 wraps to 1", "4294967297", 1},
      {"cut-off character after digits dropped", "12\xEF\xBC", 12},
      {"cut-off character alone", "\xEF\xBC", 0},
      {"cut-off character after full-width digit", "１\xEF", 1},
  };
  for (const auto& c : cases) EXPECT_EQ(TextToInt(c.text), c.expected) << c.name;
}

TEST(IntToText, Cases) {
  const struct {
    int32_t value;
    std::string expected;
  } cases[] = {{37, "37"}, {-1, "-1"}, {0, "0"}, {INT32_MAX, "2147483647"}, {INT32_MIN, "-2147483648"}};
  for (const auto& c : cases) EXPECT_EQ(IntToText(c.value), c.expected);
}

}  // namespace
