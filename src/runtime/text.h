// Splitting and number conversion over UTF-8 byte strings. Every result is a new value owned by the
// caller; when memory for a result cannot be had, the program ends through ReportOutOfMemory.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

using TextArray = std::vector<std::string>;

// Splits at every occurrence of the delimiter ("," when left out) that begins a character. A limit that
// is left out means none; a given limit below 1 gives the empty array. Delimiters in a row give empty
// members, a trailing delimiter no empty last member, an empty delimiter the whole text as one member.
TextArray SplitText(std::string_view text, std::optional<std::string_view> delimiter = std::nullopt,
                    std::optional<int32_t> maxCount = std::nullopt);

// The one-byte text of the code; code 0 gives the empty text.
std::string CharFromCode(uint8_t code);

// Leading white space, an optional sign and decimal digits, accepting the full-width forms of the digits,
// the signs and the ideographic space. Wraps modulo 2^32; anything that is not a number gives 0.
int32_t TextToInt(std::string_view text);

std::string IntToText(int32_t value);
