#include "cli/options.h"

#include <cstdlib>
#include <functional>
#include <map>

#include "measure/catalogue.h"

const char* const kUsageText =
    "usage: tezmaro-cli [REGION] [options]\n"
    "Measures the round-trip time to every host of a catalogue region (0-5, \"US 北美\" or \"US\"; default 0)\n"
    "or of a host list, and prints last, min, avg, max, stddev in ms and the loss.\n"
    "  --list                 the regions with their number of hosts\n"
    "  --hosts FILE           hosts from FILE (- for standard input): \"area<TAB>host\" or \"host\" per line\n"
    "  --rounds N             probes per host, default 1\n"
    "  --interval SECONDS     from the start of one round to the next, default 1 (at least 0.1)\n"
    "  --timeout MS           wait for each answer, default 1000\n"
    "  --workers N            probes in flight at once, default every host (at most 256)\n"
    "  --tcp PORT             time a TCP connect to PORT instead of an ICMP echo\n"
    "  --watch                redraw the table after every round until Ctrl+C, with recent readings\n"
    "  --sort order|latency   catalogue order (default) or fastest average first\n"
    "  --format table|csv|json\n"
    "  -h, --help             this text\n"
    "  --version              the version\n"
    "Exit status: 0 some host answered, 1 none did, 2 usage error, 3 ICMP not permitted, 4 output failed.\n";

namespace {

// A usage error stays one line of plain text whatever the user typed.
std::string Quoted(std::string_view value) {
  std::string quoted = "\"";
  for (char c : value.substr(0, 64)) {
    const auto byte = static_cast<unsigned char>(c);
    quoted += byte < 0x20 || byte == 0x7f ? '?' : c;
  }
  return quoted + (value.size() > 64 ? "…\"" : "\"");
}

// Digits only: a sign, blanks or a fraction are no whole number to a user who typed them by mistake.
std::optional<int64_t> WholeNumber(std::string_view text, int64_t low, int64_t high) {
  if (text.empty() || text.size() > 18) {
    return std::nullopt;
  }
  int64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') {
      return std::nullopt;
    }
    value = value * 10 + (c - '0');
  }
  if (value < low || value > high) {
    return std::nullopt;
  }
  return value;
}

// Decimal seconds ("1", "0.25", ".5") to whole microseconds; no exponent, sign, "inf" or "nan".
std::optional<int64_t> Seconds(std::string_view text) {
  const size_t dot = text.find('.');
  const std::string_view whole = text.substr(0, dot);
  const std::string_view fraction = dot == std::string_view::npos ? std::string_view() : text.substr(dot + 1);
  if (whole.empty() && fraction.empty()) {
    return std::nullopt;
  }
  if (whole.size() > 6 || fraction.size() > 6 || fraction.find_first_not_of("0123456789") != std::string_view::npos ||
      whole.find_first_not_of("0123456789") != std::string_view::npos) {
    return std::nullopt;
  }
  int64_t us = 0;
  for (char c : whole) {
    us = us * 10 + (c - '0');
  }
  us *= 1'000'000;
  int64_t scale = 100'000;
  for (char c : fraction) {
    us += (c - '0') * scale;
    scale /= 10;
  }
  if (us < kMinIntervalUs || us > kMaxIntervalUs) {
    return std::nullopt;
  }
  return us;
}

std::string AsciiLower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') {
      c = static_cast<char>(c - 'A' + 'a');
    }
  }
  return lower;
}

}  // namespace

std::optional<int> FindRegion(std::string_view text) {
  if (text.size() == 1 && text[0] >= '0' && text[0] < '0' + RegionCount) {
    return text[0] - '0';
  }
  for (int i = 0; i < RegionCount; ++i) {
    const std::string_view item = RegionItemText(i);
    const std::string_view firstWord = item.substr(0, item.find(' '));
    if (text == item || AsciiLower(text) == AsciiLower(firstWord)) {
      return i;
    }
  }
  return std::nullopt;
}

ParsedArguments ParseArguments(const std::vector<std::string>& args) {
  CliOptions o;
  std::optional<std::string> regionText;
  bool roundsGiven = false;
  std::string error;

  // Each option that takes a value, and what it makes of it; false means the value is wrong and
  // `error` says why.
  const std::map<std::string, std::function<bool(const std::string&)>, std::less<>> valued = {
      {"--hosts",
       [&](const std::string& v) {
         if (v.empty()) {
           error = "--hosts needs a file name (- for standard input)";
           return false;
         }
         o.hostsFile = v;
         return true;
       }},
      {"--rounds",
       [&](const std::string& v) {
         const auto n = WholeNumber(v, 1, kMaxRounds);
         if (!n) {
           error = "--rounds wants a whole number from 1 to " + std::to_string(kMaxRounds) + ", got " + Quoted(v);
           return false;
         }
         o.rounds = static_cast<int>(*n);
         roundsGiven = true;
         return true;
       }},
      {"--interval",
       [&](const std::string& v) {
         const auto us = Seconds(v);
         if (!us) {
           error = "--interval wants seconds from 0.1 to 86400, got " + Quoted(v);
           return false;
         }
         o.intervalUs = *us;
         return true;
       }},
      {"--timeout",
       [&](const std::string& v) {
         const auto ms = WholeNumber(v, 1, kMaxTimeoutMs);
         if (!ms) {
           error = "--timeout wants milliseconds from 1 to " + std::to_string(kMaxTimeoutMs) + ", got " + Quoted(v);
           return false;
         }
         o.timeoutMs = static_cast<int32_t>(*ms);
         return true;
       }},
      {"--workers",
       [&](const std::string& v) {
         const auto n = WholeNumber(v, 1, kMaxWorkers);
         if (!n) {
           error = "--workers wants a whole number from 1 to " + std::to_string(kMaxWorkers) + ", got " + Quoted(v);
           return false;
         }
         o.workers = static_cast<int>(*n);
         return true;
       }},
      {"--tcp",
       [&](const std::string& v) {
         const auto port = WholeNumber(v, 1, 65535);
         if (!port) {
           error = "--tcp wants a port from 1 to 65535, got " + Quoted(v);
           return false;
         }
         o.method = Method::Tcp;
         o.port = static_cast<uint16_t>(*port);
         return true;
       }},
      {"--sort",
       [&](const std::string& v) {
         if (v == "order" || v == "latency") {
           o.sort = v == "order" ? SortOrder::Catalogue : SortOrder::Latency;
           return true;
         }
         error = "--sort wants order or latency, got " + Quoted(v);
         return false;
       }},
      {"--format",
       [&](const std::string& v) {
         static const std::map<std::string, Format, std::less<>> kFormats = {
             {"table", Format::Table}, {"csv", Format::Csv}, {"json", Format::Json}};
         const auto it = kFormats.find(v);
         if (it == kFormats.end()) {
           error = "--format wants table, csv or json, got " + Quoted(v);
           return false;
         }
         o.format = it->second;
         return true;
       }},
  };
  const std::map<std::string, bool*, std::less<>> flags = {
      {"--list", &o.list}, {"--watch", &o.watch}, {"--help", &o.help}, {"-h", &o.help}, {"--version", &o.version}};

  bool optionsEnded = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (!optionsEnded && arg == "--") {
      optionsEnded = true;
      continue;
    }
    if (optionsEnded || arg.empty() || arg[0] != '-') {
      if (regionText) {
        return {std::nullopt, "one region at most, got " + Quoted(*regionText) + " and " + Quoted(arg)};
      }
      regionText = arg;
      continue;
    }
    const size_t equals = arg.find('=');
    const std::string name = arg.substr(0, equals);
    if (const auto flag = flags.find(name); flag != flags.end()) {
      if (equals != std::string::npos) {
        return {std::nullopt, name + " takes no value"};
      }
      *flag->second = true;
      continue;
    }
    const auto option = valued.find(name);
    if (option == valued.end()) {
      return {std::nullopt, "unknown option " + Quoted(name)};
    }
    std::string value;
    if (equals != std::string::npos) {
      value = arg.substr(equals + 1);
    } else if (i + 1 < args.size()) {
      value = args[++i];
    } else {
      return {std::nullopt, name + " needs a value"};
    }
    if (!option->second(value)) {
      return {std::nullopt, error};
    }
  }

  if (regionText) {
    if (o.hostsFile) {
      return {std::nullopt, "give a region or --hosts, not both"};
    }
    const auto region = FindRegion(*regionText);
    if (!region) {
      return {std::nullopt, "unknown region " + Quoted(*regionText) + " (tezmaro-cli --list shows them)"};
    }
    o.region = *region;
  }
  if (o.watch) {
    if (o.format != Format::Table) {
      return {std::nullopt, "--watch draws the table; it takes no --format csv or json"};
    }
    if (!roundsGiven) {
      o.rounds = 0;
    }
  }
  return {o, ""};
}
