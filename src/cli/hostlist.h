// The hosts tezmaro-cli measures: a catalogue region, or a list in the catalogue's own line form.
#pragma once

#include <cstddef>
#include <istream>
#include <string>
#include <string_view>
#include <vector>

struct Target {
  std::string area;  // may be empty
  std::string host;  // a dotted IPv4 address (inet_addr forms) or a host name
};

// Either the hosts or a one-line error naming the file and, for a bad line, its number ("f:3: …").
struct HostList {
  std::vector<Target> targets;
  std::string error;
};

inline constexpr size_t kMaxHostsFileBytes = 16u << 20;

std::vector<Target> CatalogueTargets(int region);

// Lines "area<TAB>host" or "host", ending in LF or CR LF; blank lines and lines whose first character
// other than a blank is '#' are skipped. `name` stands for the text in error messages.
HostList ParseHostsText(std::string_view text, std::string_view name);

// Reads and parses a file, or `standardInput` for "-".
HostList ReadHostsFile(const std::string& path, std::istream& standardInput);

// An IPv4 address as inet_addr reads it, or a host name by the rules of RFC 1123.
bool IsValidHost(std::string_view host);
