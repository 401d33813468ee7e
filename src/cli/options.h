// The command line of tezmaro-cli, read into plain values; nothing here touches the network.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

enum class Method { Icmp, Tcp };
enum class SortOrder { Catalogue, Latency };
enum class Format { Table, Csv, Json };

inline constexpr int kMaxWorkers = 256;
inline constexpr int kMaxRounds = 1'000'000;
inline constexpr int32_t kMaxTimeoutMs = 60'000;
inline constexpr int64_t kMinIntervalUs = 100'000;
inline constexpr int64_t kMaxIntervalUs = 86'400'000'000;

struct CliOptions {
  bool help = false;
  bool version = false;
  bool list = false;
  int region = 0;                        // catalogue index, used when hostsFile is empty
  std::optional<std::string> hostsFile;  // "-" is standard input
  int rounds = 1;                        // 0: until interrupted (--watch without --rounds)
  int64_t intervalUs = 1'000'000;        // from the start of one round to the start of the next
  int32_t timeoutMs = 1000;
  int workers = 0;                       // 0: every host at once, at most kMaxWorkers
  bool watch = false;
  Method method = Method::Icmp;
  uint16_t port = 0;                     // with Method::Tcp
  SortOrder sort = SortOrder::Catalogue;
  Format format = Format::Table;

  bool operator==(const CliOptions&) const = default;
};

// Either the options or a one-line reason for a usage error, without the program's name in front.
struct ParsedArguments {
  std::optional<CliOptions> options;
  std::string error;
};

// The arguments after the program's name.
ParsedArguments ParseArguments(const std::vector<std::string>& args);

// A catalogue index from its number, its selector text ("US 北美") or the text's first word, any case.
std::optional<int> FindRegion(std::string_view text);

extern const char* const kUsageText;
