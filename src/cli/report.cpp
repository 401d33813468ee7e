#include "cli/report.h"

#include <arpa/inet.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>

#include "measure/catalogue.h"

namespace {

uint32_t NextCodePoint(std::string_view text, size_t& i) {
  const auto lead = static_cast<unsigned char>(text[i]);
  size_t length = lead < 0x80 ? 1 : lead < 0xe0 ? 2 : lead < 0xf0 ? 3 : 4;
  if (i + length > text.size()) {
    length = text.size() - i;
  }
  uint32_t code = length == 1 ? lead : length == 2 ? lead & 0x1f : length == 3 ? lead & 0x0f : lead & 0x07;
  for (size_t k = 1; k < length; ++k) {
    code = code << 6 | (static_cast<unsigned char>(text[i + k]) & 0x3f);
  }
  i += length;
  return code;
}

bool IsWide(uint32_t c) {
  return (c >= 0x1100 && c <= 0x115f) || (c >= 0x2e80 && c <= 0x303e) || (c >= 0x3041 && c <= 0x33ff) ||
         (c >= 0x3400 && c <= 0x4dbf) || (c >= 0x4e00 && c <= 0x9fff) || (c >= 0xa000 && c <= 0xa4cf) ||
         (c >= 0xac00 && c <= 0xd7a3) || (c >= 0xf900 && c <= 0xfaff) || (c >= 0xfe30 && c <= 0xfe4f) ||
         (c >= 0xff00 && c <= 0xff60) || (c >= 0xffe0 && c <= 0xffe6) || (c >= 0x20000 && c <= 0x3fffd);
}

std::string Padded(std::string_view text, size_t width, bool right) {
  const size_t fill = width - std::min(width, DisplayWidth(text));
  return right ? std::string(fill, ' ') + std::string(text) : std::string(text) + std::string(fill, ' ');
}

std::string OptionalMs(const std::optional<double>& us) { return us ? MsOneDecimal(*us) : "-"; }

std::optional<double> Widened(const std::optional<int64_t>& us) {
  return us ? std::optional<double>(static_cast<double>(*us)) : std::nullopt;
}

std::string JsonString(std::string_view text) {
  std::string quoted = "\"";
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      quoted += '\\';
      quoted += c;
    } else if (byte < 0x20) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", byte);
      quoted += escape;
    } else {
      quoted += c;
    }
  }
  return quoted + "\"";
}

std::string JsonMs(const std::optional<double>& us) { return us ? MsThreeDecimals(*us) : "null"; }

std::string CsvField(std::string_view text) {
  if (text.find_first_of(",\"\r\n") == std::string_view::npos) {
    return std::string(text);
  }
  std::string quoted = "\"";
  for (char c : text) {
    quoted += c;
    if (c == '"') {
      quoted += '"';
    }
  }
  return quoted + "\"";
}

std::string LossFraction(double loss) {
  char text[32];
  std::snprintf(text, sizeof text, "%.6g", loss);
  return text;
}

}  // namespace

size_t DisplayWidth(std::string_view text) {
  size_t width = 0;
  for (size_t i = 0; i < text.size();) {
    width += IsWide(NextCodePoint(text, i)) ? 2 : 1;
  }
  return width;
}

std::string AddressText(uint32_t address) {
  char text[INET_ADDRSTRLEN] = {};
  in_addr in{};
  in.s_addr = address;
  inet_ntop(AF_INET, &in, text, sizeof text);
  return text;
}

std::string MsOneDecimal(double us) {
  const long long tenths = std::llround(std::floor(us / 100.0 + 0.5));
  return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10);
}

std::string MsThreeDecimals(double us) {
  const long long whole = std::llround(std::floor(us + 0.5));
  char text[32];
  std::snprintf(text, sizeof text, "%lld.%03lld", whole / 1000, whole % 1000);
  return text;
}

std::string LossPercent(int64_t sent, int64_t received) {
  if (sent == 0) {
    return "-";
  }
  // Tenths of a per cent, rounded half up in integers.
  const int64_t tenths = ((sent - received) * 2000 + sent) / (2 * sent);
  return std::to_string(tenths / 10) + (tenths % 10 != 0 ? "." + std::to_string(tenths % 10) : "") + "%";
}

std::vector<size_t> OutputOrder(const std::vector<HostResult>& hosts, SortOrder sort) {
  std::vector<size_t> order(hosts.size());
  for (size_t i = 0; i < order.size(); ++i) {
    order[i] = i;
  }
  if (sort == SortOrder::Latency) {
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
      const auto avgA = hosts[a].stats.AvgUs();
      const auto avgB = hosts[b].stats.AvgUs();
      if (!avgA || !avgB) {
        return avgA.has_value() && !avgB.has_value();
      }
      return *avgA < *avgB;
    });
  }
  return order;
}

std::string Sparkline(const std::deque<std::optional<int64_t>>& readings) {
  static constexpr std::array<std::string_view, 8> kLevels = {"▁", "▂", "▃", "▄", "▅", "▆", "▇", "█"};
  int64_t low = 0;
  int64_t high = 0;
  bool any = false;
  for (const auto& us : readings) {
    if (us) {
      low = any ? std::min(low, *us) : *us;
      high = any ? std::max(high, *us) : *us;
      any = true;
    }
  }
  // A floor under the span keeps the jitter of a steady host (a few tenths of a ms) from filling the
  // whole height as if it were a swing.
  const int64_t span = std::max({high - low, high / 10, int64_t{1000}});
  std::string line;
  for (const auto& us : readings) {
    if (!us) {
      line += "·";
      continue;
    }
    line += kLevels[static_cast<size_t>(((*us - low) * 7 + span / 2) / span)];
  }
  return line;
}

std::string FormatTable(const std::vector<HostResult>& hosts, const std::vector<size_t>& order, bool withRecent) {
  std::vector<std::vector<std::string>> rows;
  std::vector<std::string> header = {"area", "host", "address", "last", "min", "avg", "max", "stddev", "loss"};
  if (withRecent) {
    header.push_back("recent");
  }
  rows.push_back(header);
  for (size_t index : order) {
    const HostResult& h = hosts[index];
    const HostStats& s = h.stats;
    std::vector<std::string> row = {h.target.area, h.target.host, h.address ? AddressText(*h.address) : "-"};
    if (s.Received() == 0) {
      row.insert(row.end(), {std::string(kNoAnswerText), "-", "-", "-", "-"});
    } else {
      row.insert(row.end(), {OptionalMs(Widened(s.LastUs())), OptionalMs(Widened(s.MinUs())), OptionalMs(s.AvgUs()),
                             OptionalMs(Widened(s.MaxUs())), OptionalMs(s.StddevUs())});
    }
    row.push_back(LossPercent(s.Sent(), s.Received()));
    if (withRecent) {
      row.push_back(Sparkline(s.Recent()));
    }
    rows.push_back(row);
  }
  std::vector<size_t> widths(header.size(), 0);
  for (const auto& row : rows) {
    for (size_t c = 0; c < row.size(); ++c) {
      widths[c] = std::max(widths[c], DisplayWidth(row[c]));
    }
  }
  std::string table;
  for (const auto& row : rows) {
    std::string line;
    for (size_t c = 0; c < row.size(); ++c) {
      const bool numeric = c >= 3 && c <= 8;
      line += (c == 0 ? "" : "  ") + Padded(row[c], widths[c], numeric);
    }
    line.erase(line.find_last_not_of(' ') + 1);
    table += line + "\n";
  }
  return table;
}

std::string FormatCsv(const std::vector<HostResult>& hosts, const std::vector<size_t>& order) {
  std::string csv = "area,host,address,sent,received,loss,last_ms,min_ms,avg_ms,max_ms,stddev_ms\r\n";
  const auto ms = [](const std::optional<double>& us) { return us ? MsThreeDecimals(*us) : std::string(); };
  for (size_t index : order) {
    const HostResult& h = hosts[index];
    const HostStats& s = h.stats;
    csv += CsvField(h.target.area) + "," + CsvField(h.target.host) + "," + (h.address ? AddressText(*h.address) : "") +
           "," + std::to_string(s.Sent()) + "," + std::to_string(s.Received()) + "," + LossFraction(s.Loss()) + "," +
           ms(Widened(s.LastUs())) + "," + ms(Widened(s.MinUs())) + "," + ms(s.AvgUs()) + "," +
           ms(Widened(s.MaxUs())) + "," + ms(s.StddevUs()) + "\r\n";
  }
  return csv;
}

std::string FormatJson(const RunSummary& run, const std::vector<HostResult>& hosts, const std::vector<size_t>& order) {
  std::string json = "{\n";
  json += "  \"method\": \"" + std::string(run.method == Method::Tcp ? "tcp" : "icmp") + "\",\n";
  json += "  \"port\": " + (run.method == Method::Tcp ? std::to_string(run.port) : std::string("null")) + ",\n";
  json += "  \"timeout_ms\": " + std::to_string(run.timeoutMs) + ",\n";
  json += "  \"rounds\": " + std::to_string(run.rounds) + ",\n";
  json += "  \"hosts\": [";
  for (size_t k = 0; k < order.size(); ++k) {
    const HostResult& h = hosts[order[k]];
    const HostStats& s = h.stats;
    json += k == 0 ? "\n    {" : ",\n    {";
    json += "\"area\": " + JsonString(h.target.area) + ", \"host\": " + JsonString(h.target.host) +
            ", \"address\": " + (h.address ? JsonString(AddressText(*h.address)) : "null") +
            ", \"sent\": " + std::to_string(s.Sent()) + ", \"received\": " + std::to_string(s.Received()) +
            ", \"loss\": " + LossFraction(s.Loss()) + ", \"last_ms\": " + JsonMs(Widened(s.LastUs())) +
            ", \"min_ms\": " + JsonMs(Widened(s.MinUs())) + ", \"avg_ms\": " + JsonMs(s.AvgUs()) +
            ", \"max_ms\": " + JsonMs(Widened(s.MaxUs())) + ", \"stddev_ms\": " + JsonMs(s.StddevUs()) +
            ", \"rtts_ms\": [";
    for (size_t r = 0; r < s.Readings().size(); ++r) {
      json += (r == 0 ? "" : ", ") + JsonMs(Widened(s.Readings()[r]));
    }
    json += "]}";
  }
  json += order.empty() ? "]\n}\n" : "\n  ]\n}\n";
  return json;
}

std::string FormatRegionList() {
  size_t width = 0;
  for (int i = 0; i < RegionCount; ++i) {
    width = std::max(width, DisplayWidth(RegionItemText(i)));
  }
  std::string list;
  for (int i = 0; i < RegionCount; ++i) {
    const size_t hosts = CatalogueTargets(i).size();
    list += std::to_string(i) + "  " + Padded(RegionItemText(i), width, false) + "  " +
            Padded(std::to_string(hosts), 3, true) + "\n";
  }
  return list;
}
