#include "cli/hostlist.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "measure/catalogue.h"
#include "runtime/text.h"

namespace {

std::string_view TrimBlanks(std::string_view text) {
  const size_t first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) {
    return {};
  }
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

std::string_view TrimSpaces(std::string_view text) {
  const size_t first = text.find_first_not_of(' ');
  if (first == std::string_view::npos) {
    return {};
  }
  return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

bool IsValidUtf8(std::string_view text) {
  size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    size_t length = 0;
    uint32_t code = 0;
    if (lead < 0x80) {
      ++i;
      continue;
    } else if (lead >= 0xc2 && lead <= 0xdf) {
      length = 2;
      code = lead & 0x1f;
    } else if (lead >= 0xe0 && lead <= 0xef) {
      length = 3;
      code = lead & 0x0f;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
      length = 4;
      code = lead & 0x07;
    } else {
      return false;
    }
    if (i + length > text.size()) {
      return false;
    }
    for (size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xc0) != 0x80) {
        return false;
      }
      code = code << 6 | (next & 0x3f);
    }
    // Overlong forms, surrogates and code points past U+10FFFF.
    if ((length == 3 && (code < 0x800 || (code >= 0xd800 && code <= 0xdfff))) ||
        (length == 4 && (code < 0x10000 || code > 0x10ffff))) {
      return false;
    }
    i += length;
  }
  return true;
}

bool HasControlCharacter(std::string_view text) {
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f) {
      return true;
    }
  }
  return false;
}

// The host as it may be shown in an error: printable, and short.
std::string Shown(std::string_view host) {
  std::string shown;
  for (char c : host.substr(0, 64)) {
    const auto byte = static_cast<unsigned char>(c);
    shown += byte < 0x20 || byte >= 0x7f ? '?' : c;
  }
  return host.size() > 64 ? shown + "..." : shown;
}

}  // namespace

bool IsValidHost(std::string_view host) {
  if (host.empty() || host.size() > 254 ||
      host.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.-") !=
          std::string_view::npos) {
    return false;
  }
  in_addr parsed{};
  if (inet_aton(std::string(host).c_str(), &parsed) != 0) {
    return true;
  }
  std::string_view name = host;
  if (name.back() == '.') {
    name.remove_suffix(1);
  }
  if (name.empty() || name.size() > 253) {
    return false;
  }
  const TextArray labels = SplitText(name, ".");
  for (const std::string& label : labels) {
    if (label.empty() || label.size() > 63 || label.front() == '-' || label.back() == '-') {
      return false;
    }
  }
  // A name never ends in an all-digit label, so "256.1.1.1" is a mistyped address, not a name.
  return labels.back().find_first_not_of("0123456789") != std::string::npos;
}

HostList ParseHostsText(std::string_view text, std::string_view name) {
  if (text.substr(0, 3) == "\xef\xbb\xbf") {
    text.remove_prefix(3);
  }
  HostList list;
  const auto fail = [&](size_t lineNumber, const std::string& problem) {
    list.targets.clear();
    list.error = std::string(name) + ":" + std::to_string(lineNumber) + ": " + problem;
    return list;
  };
  size_t lineNumber = 0;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) {
      end = text.size();
    }
    std::string_view line = text.substr(start, end - start);
    start = end + 1;
    ++lineNumber;
    if (!line.empty() && line.back() == '\r') {
      line.remove_suffix(1);
    }
    const std::string_view trimmed = TrimBlanks(line);
    if (trimmed.empty() || trimmed.front() == '#') {
      continue;
    }
    const size_t tab = line.find('\t');
    if (tab != std::string_view::npos && line.find('\t', tab + 1) != std::string_view::npos) {
      return fail(lineNumber, "more than two fields; a line is \"area<TAB>host\" or \"host\"");
    }
    const std::string_view area = tab == std::string_view::npos ? std::string_view() : TrimSpaces(line.substr(0, tab));
    const std::string_view host = TrimSpaces(tab == std::string_view::npos ? line : line.substr(tab + 1));
    if (host.empty()) {
      return fail(lineNumber, "no host after the area");
    }
    if (!IsValidHost(host)) {
      return fail(lineNumber, "\"" + Shown(host) + "\" is neither an IPv4 address nor a host name");
    }
    if (!IsValidUtf8(area)) {
      return fail(lineNumber, "the area is not UTF-8 text");
    }
    if (HasControlCharacter(area)) {
      return fail(lineNumber, "the area holds a control character");
    }
    list.targets.push_back({std::string(area), std::string(host)});
  }
  return list;
}

std::vector<Target> CatalogueTargets(int region) {
  return ParseHostsText(RegionText(region), "catalogue").targets;
}

HostList ReadHostsFile(const std::string& path, std::istream& standardInput) {
  std::string text;
  const auto tooLarge = [&](const std::string& name) {
    return HostList{{}, name + ": larger than " + std::to_string(kMaxHostsFileBytes >> 20) + " MiB"};
  };
  if (path == "-") {
    char buffer[65536];
    while (standardInput.read(buffer, sizeof buffer) || standardInput.gcount() > 0) {
      text.append(buffer, static_cast<size_t>(standardInput.gcount()));
      if (text.size() > kMaxHostsFileBytes) {
        return tooLarge("standard input");
      }
    }
    if (standardInput.bad()) {
      return {{}, "standard input: cannot read"};
    }
    return ParseHostsText(text, "standard input");
  }
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return {{}, path + ": cannot open: " + std::strerror(errno)};
  }
  char buffer[65536];
  for (;;) {
    const ssize_t got = read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got < 0) {
      const int error = errno;
      close(fd);
      return {{}, path + ": cannot read: " + std::strerror(error)};
    }
    if (got == 0) {
      break;
    }
    text.append(buffer, static_cast<size_t>(got));
    if (text.size() > kMaxHostsFileBytes) {
      close(fd);
      return tooLarge(path);
    }
  }
  close(fd);
  return ParseHostsText(text, path);
}
