// What tezmaro-cli prints: the table, CSV and JSON of the results, the region list and the sparkline.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/hostlist.h"
#include "cli/options.h"
#include "cli/stats.h"

struct HostResult {
  Target target;
  std::optional<uint32_t> address;  // network byte order; nothing while the name has not resolved
  HostStats stats;
};

struct RunSummary {
  Method method = Method::Icmp;
  uint16_t port = 0;
  int32_t timeoutMs = 1000;
  int64_t rounds = 0;  // rounds done
};

inline constexpr std::string_view kNoAnswerText = "无响应";

// Indexes into `hosts` in output order. By latency: lowest average first, hosts without an answer
// last, ties in catalogue order.
std::vector<size_t> OutputOrder(const std::vector<HostResult>& hosts, SortOrder sort);

// Columns area, host, address, last, min, avg, max, stddev (ms, one decimal) and loss, plus the
// recent readings as a sparkline when asked.
std::string FormatTable(const std::vector<HostResult>& hosts, const std::vector<size_t>& order, bool withRecent);
std::string FormatCsv(const std::vector<HostResult>& hosts, const std::vector<size_t>& order);
std::string FormatJson(const RunSummary& run, const std::vector<HostResult>& hosts, const std::vector<size_t>& order);

// One line per region: its number, its selector text and its number of hosts.
std::string FormatRegionList();

// One character per reading, from ▁ (the lowest) to █, and · for no answer.
std::string Sparkline(const std::deque<std::optional<int64_t>>& readings);

// Microseconds as milliseconds, rounded half up: "12.3", and "12.345" for machine-read output.
std::string MsOneDecimal(double us);
std::string MsThreeDecimals(double us);
// The loss as a percentage with at most one decimal: "0%", "33.3%".
std::string LossPercent(int64_t sent, int64_t received);

// The columns a terminal gives the UTF-8 text: two for East Asian wide and full-width characters.
size_t DisplayWidth(std::string_view text);

std::string AddressText(uint32_t address);
