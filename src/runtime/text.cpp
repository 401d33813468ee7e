#include "runtime/text.h"

#include <algorithm>
#include <charconv>
#include <new>

#include "runtime/lifecycle.h"

namespace {

// Bytes of the UTF-8 character that begins with this byte. Continuation bytes and bytes that begin no
// character count as one, so that malformed text is still walked byte by byte.
std::size_t CharLength(unsigned char lead) {
  if (lead >= 0xC0 && lead <= 0xDF) return 2;
  if (lead >= 0xE0 && lead <= 0xEF) return 3;
  if (lead >= 0xF0 && lead <= 0xF7) return 4;
  return 1;
}

void AppendMember(TextArray& out, std::string_view piece) {
  if (out.size() == out.capacity()) {
    // Growing by hand keeps the byte count of a failed growth known for the error text.
    const std::size_t wanted = std::max<std::size_t>(4, out.capacity() * 2);
    try {
      out.reserve(wanted);
    } catch (const std::bad_alloc&) {
      ReportOutOfMemory(wanted * sizeof(std::string));
    }
  }
  try {
    out.emplace_back(piece);
  } catch (const std::bad_alloc&) {
    ReportOutOfMemory(piece.size() + 1);
  }
}

// Stands for a multi-byte character that folds into nothing plain; it is no space, sign or digit.
constexpr char kOtherChar = '\x80';

// The character at pos with its full-width forms folded into the plain ones, and where the next one
// begins. A multi-byte character cut off by the end of the text counts as the end.
struct FoldedChar {
  char c;
  std::size_t next;
};

std::optional<FoldedChar> FoldAt(std::string_view text, std::size_t pos) {
  if (pos >= text.size()) return std::nullopt;
  const auto lead = static_cast<unsigned char>(text[pos]);
  const std::size_t len = CharLength(lead);
  if (len > text.size() - pos) return std::nullopt;
  const std::size_t next = pos + len;
  if (len == 1) return FoldedChar{text[pos], next};
  const std::string_view ch = text.substr(pos, len);
  if (ch == "\xE3\x80\x80") return FoldedChar{' ', next};
  if (ch == "\xEF\xBC\x8B") return FoldedChar{'+', next};
  if (ch == "\xEF\xBC\x8D") return FoldedChar{'-', next};
  if (ch.substr(0, 2) == "\xEF\xBC") {
    const auto last = static_cast<unsigned char>(ch[2]);
    if (last >= 0x90 && last <= 0x99) return FoldedChar{static_cast<char>('0' + (last - 0x90)), next};
  }
  return FoldedChar{kOtherChar, next};
}

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace

TextArray SplitText(std::string_view text, std::optional<std::string_view> delimiter,
                    std::optional<int32_t> maxCount) {
  const std::string_view delim = delimiter.value_or(",");
  std::optional<int32_t> left;
  if (maxCount) left = std::max<int32_t>(*maxCount, 0);

  TextArray out;
  if (text.empty() || left == 0) return out;
  if (delim.empty()) {
    AppendMember(out, text);
    return out;
  }

  std::size_t pieceStart = 0;
  std::size_t pos = 0;
  while (text.size() - pos >= delim.size()) {
    if (text[pos] == delim.front() && text.compare(pos, delim.size(), delim) == 0) {
      AppendMember(out, text.substr(pieceStart, pos - pieceStart));
      pos += delim.size();
      pieceStart = pos;
      if (left && --*left == 0) return out;
      continue;
    }
    const std::size_t len = CharLength(static_cast<unsigned char>(text[pos]));
    if (len > text.size() - pos) break;
    pos += len;
  }
  if (pieceStart < text.size()) AppendMember(out, text.substr(pieceStart));
  return out;
}

std::string CharFromCode(uint8_t code) {
  if (code == 0) return {};
  return std::string(1, static_cast<char>(code));
}

int32_t TextToInt(std::string_view text) {
  auto ch = FoldAt(text, 0);
  while (ch && IsSpace(ch->c)) ch = FoldAt(text, ch->next);

  bool negative = false;
  if (ch && (ch->c == '+' || ch->c == '-')) {
    negative = ch->c == '-';
    ch = FoldAt(text, ch->next);
  }

  // Unsigned arithmetic gives the modulo-2^32 wrap without overflow.
  uint32_t value = 0;
  while (ch && ch->c >= '0' && ch->c <= '9') {
    value = value * 10u + static_cast<uint32_t>(ch->c - '0');
    ch = FoldAt(text, ch->next);
  }
  if (negative) value = 0u - value;
  return static_cast<int32_t>(value);
}

std::string IntToText(int32_t value) {
  char buffer[16];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  return std::string(buffer, result.ptr);
}
