// The command line, the host lists, the statistics, the output formats and the exit statuses, with
// stand-ins for the network: nothing here sends a packet.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <map>
#include <mutex>
#include <sstream>
#include <variant>

#include "cli/hostlist.h"
#include "cli/options.h"
#include "cli/report.h"
#include "cli/session.h"
#include "cli/stats.h"

namespace {

constexpr int64_t kMs = 1000;

// Just enough JSON to read the program's output back and look at its shape.
struct Json {
  using Object = std::vector<std::pair<std::string, Json>>;
  std::variant<std::nullptr_t, bool, double, std::string, std::vector<Json>, Object> value;

  bool IsNull() const { return std::holds_alternative<std::nullptr_t>(value); }
  double Number() const { return std::get<double>(value); }
  const std::string& String() const { return std::get<std::string>(value); }
  const std::vector<Json>& Array() const { return std::get<std::vector<Json>>(value); }
  const Object& Members() const { return std::get<Object>(value); }
  const Json& operator[](std::string_view key) const {
    for (const auto& [name, member] : Members()) {
      if (name == key) {
        return member;
      }
    }
    throw std::out_of_range("no member " + std::string(key));
  }
};

class JsonReader {
 public:
  explicit JsonReader(std::string_view text) : m_text(text) {}

  // Throws on anything that is not one complete JSON value.
  Json ReadDocument() {
    Json json = ReadValue();
    SkipBlanks();
    if (m_at != m_text.size()) {
      Fail("text after the value");
    }
    return json;
  }

 private:
  [[noreturn]] void Fail(const std::string& why) {
    throw std::runtime_error(why + " at offset " + std::to_string(m_at));
  }
  void SkipBlanks() {
    while (m_at < m_text.size() && std::string_view(" \t\r\n").find(m_text[m_at]) != std::string_view::npos) {
      ++m_at;
    }
  }
  bool Take(std::string_view word) {
    SkipBlanks();
    if (m_text.substr(m_at, word.size()) == word) {
      m_at += word.size();
      return true;
    }
    return false;
  }
  std::string ReadString() {
    if (!Take("\"")) {
      Fail("string expected");
    }
    std::string text;
    while (m_at < m_text.size() && m_text[m_at] != '"') {
      char c = m_text[m_at++];
      if (static_cast<unsigned char>(c) < 0x20) {
        Fail("raw control character in a string");
      }
      if (c == '\\') {
        c = m_text.at(m_at++);
        if (c == 'u') {
          text += static_cast<char>(std::stoi(std::string(m_text.substr(m_at, 4)), nullptr, 16));
          m_at += 4;
          continue;
        }
        if (std::string_view("\"\\/").find(c) == std::string_view::npos) {
          Fail("unexpected escape");
        }
      }
      text += c;
    }
    if (!Take("\"")) {
      Fail("unterminated string");
    }
    return text;
  }
  Json ReadValue() {
    SkipBlanks();
    if (Take("null")) {
      return {nullptr};
    }
    if (Take("true")) {
      return {true};
    }
    if (Take("false")) {
      return {false};
    }
    if (m_at < m_text.size() && m_text[m_at] == '"') {
      return {ReadString()};
    }
    if (Take("[")) {
      std::vector<Json> items;
      if (!Take("]")) {
        do {
          items.push_back(ReadValue());
        } while (Take(","));
        if (!Take("]")) {
          Fail("] expected");
        }
      }
      return {items};
    }
    if (Take("{")) {
      Json::Object members;
      if (!Take("}")) {
        do {
          std::string key = ReadString();
          if (!Take(":")) {
            Fail(": expected");
          }
          members.emplace_back(key, ReadValue());
        } while (Take(","));
        if (!Take("}")) {
          Fail("} expected");
        }
      }
      return {members};
    }
    const size_t start = m_at;
    while (m_at < m_text.size() && std::string_view("-+.eE0123456789").find(m_text[m_at]) != std::string_view::npos) {
      ++m_at;
    }
    if (start == m_at) {
      Fail("value expected");
    }
    return {std::stod(std::string(m_text.substr(start, m_at - start)))};
  }

  std::string_view m_text;
  size_t m_at = 0;
};

std::vector<std::string> Words(std::initializer_list<const char*> words) { return {words.begin(), words.end()}; }

TEST(CliArguments, GoodLinesGiveTheirOptions) {
  struct Case {
    const char* name;
    std::vector<std::string> args;
    std::function<void(CliOptions&)> expect;  // applied to the defaults
  };
  const Case cases[] = {
      {"nothing: region 0, one ICMP round as a table", {}, [](CliOptions&) {}},
      {"region by number", Words({"3"}), [](CliOptions& o) { o.region = 3; }},
      {"region by its selector text", Words({"US 北美"}), [](CliOptions& o) { o.region = 1; }},
      {"region by first word in any case", Words({"eu"}), [](CliOptions& o) { o.region = 2; }},
      {"region 0 by its text", Words({"服务器"}), [](CliOptions& o) { o.region = 0; }},
      {"region after --", Words({"--", "SA"}), [](CliOptions& o) { o.region = 5; }},
      {"numbers, with = and apart",
       Words({"--rounds", "5", "--interval", "0.25", "--timeout=300", "--workers", "8"}),
       [](CliOptions& o) {
         o.rounds = 5;
         o.intervalUs = 250'000;
         o.timeoutMs = 300;
         o.workers = 8;
       }},
      {"interval without a leading digit", Words({"--interval", ".5"}), [](CliOptions& o) { o.intervalUs = 500'000; }},
      {"tcp, sort and format", Words({"--tcp", "443", "--sort", "latency", "--format", "json"}),
       [](CliOptions& o) {
         o.method = Method::Tcp;
         o.port = 443;
         o.sort = SortOrder::Latency;
         o.format = Format::Json;
       }},
      {"watch runs until stopped", Words({"--watch"}), [](CliOptions& o) {
         o.watch = true;
         o.rounds = 0;
       }},
      {"watch for a number of rounds", Words({"--rounds", "3", "--watch"}), [](CliOptions& o) {
         o.watch = true;
         o.rounds = 3;
       }},
      {"hosts from standard input", Words({"--hosts", "-"}), [](CliOptions& o) { o.hostsFile = "-"; }},
      {"the later of two values", Words({"--rounds", "2", "--rounds", "4"}), [](CliOptions& o) { o.rounds = 4; }},
      {"list", Words({"--list"}), [](CliOptions& o) { o.list = true; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const ParsedArguments parsed = ParseArguments(c.args);
    ASSERT_TRUE(parsed.options) << parsed.error;
    CliOptions expected;
    c.expect(expected);
    EXPECT_TRUE(*parsed.options == expected);
  }
}

TEST(CliArguments, BadLinesSayWhatIsWrongInOneLine) {
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {Words({"--bogus"}), "unknown option \"--bogus\""},
      {Words({"--rounds"}), "--rounds needs a value"},
      {Words({"--rounds", "0"}), "--rounds wants a whole number from 1 to 1000000, got \"0\""},
      {Words({"--rounds", "-1"}), "--rounds wants a whole number from 1 to 1000000, got \"-1\""},
      {Words({"--rounds=1.5"}), "--rounds wants a whole number from 1 to 1000000, got \"1.5\""},
      {Words({"--interval", "0.05"}), "--interval wants seconds from 0.1 to 86400, got \"0.05\""},
      {Words({"--interval", "1e3"}), "--interval wants seconds from 0.1 to 86400, got \"1e3\""},
      {Words({"--interval", "nan"}), "--interval wants seconds from 0.1 to 86400, got \"nan\""},
      {Words({"--interval", "."}), "--interval wants seconds from 0.1 to 86400, got \".\""},
      {Words({"--timeout", "0"}), "--timeout wants milliseconds from 1 to 60000, got \"0\""},
      {Words({"--timeout", "60001"}), "--timeout wants milliseconds from 1 to 60000, got \"60001\""},
      {Words({"--workers", "257"}), "--workers wants a whole number from 1 to 256, got \"257\""},
      {Words({"--tcp", "0"}), "--tcp wants a port from 1 to 65535, got \"0\""},
      {Words({"--tcp", "65536"}), "--tcp wants a port from 1 to 65535, got \"65536\""},
      {Words({"--sort", "fast"}), "--sort wants order or latency, got \"fast\""},
      {Words({"--format", "xml"}), "--format wants table, csv or json, got \"xml\""},
      {Words({"--hosts", ""}), "--hosts needs a file name (- for standard input)"},
      {Words({"7"}), "unknown region \"7\" (tezmaro-cli --list shows them)"},
      {Words({"US 北"}), "unknown region \"US 北\" (tezmaro-cli --list shows them)"},
      {Words({"1", "2"}), "one region at most, got \"1\" and \"2\""},
      {Words({"1", "--hosts", "f"}), "give a region or --hosts, not both"},
      {Words({"--watch", "--format", "json"}), "--watch draws the table; it takes no --format csv or json"},
      {Words({"--watch=yes"}), "--watch takes no value"},
      {Words({"--rounds", "a\nb"}), "--rounds wants a whole number from 1 to 1000000, got \"a?b\""},
  };
  for (const auto& [args, message] : cases) {
    SCOPED_TRACE(message);
    const ParsedArguments parsed = ParseArguments(args);
    EXPECT_FALSE(parsed.options);
    EXPECT_EQ(parsed.error, message);
  }
}

TEST(CliHosts, LinesInTheCatalogueFormAndTheirErrors) {
  struct Case {
    const char* name;
    const char* text;
    std::vector<Target> targets;
    const char* error;
  };
  const Case cases[] = {
      {"area and address, CR LF", "伦敦\t35.176.0.252\r\n", {{"伦敦", "35.176.0.252"}}, ""},
      {"a host alone has no area", "1.2.3.4", {{"", "1.2.3.4"}}, ""},
      {"empty area before the tab", "\tdynamodb.eu-west-1.amazonaws.com.", {{"", "dynamodb.eu-west-1.amazonaws.com."}}, ""},
      {"comments, blank lines, blanks around fields, byte-order mark",
       "\xef\xbb\xbf# list\n\n   \n  # indented comment\n a \t b.example \n",
       {{"a", "b.example"}},
       ""},
      {"inet_addr short forms", "127.1\n0x7f.1", {{"", "127.1"}, {"", "0x7f.1"}}, ""},
      {"duplicates stay", "x\t1.1.1.1\nx\t1.1.1.1", {{"x", "1.1.1.1"}, {"x", "1.1.1.1"}}, ""},
      {"three fields", "ok\t1.1.1.1\na\tb\tc", {}, "f:2: more than two fields; a line is \"area<TAB>host\" or \"host\""},
      {"area without host", "area\t", {}, "f:1: no host after the area"},
      {"address out of range", "x\n300.1.1.1", {}, "f:2: \"300.1.1.1\" is neither an IPv4 address nor a host name"},
      {"underscore", "bad_name.example", {}, "f:1: \"bad_name.example\" is neither an IPv4 address nor a host name"},
      {"label starting with a hyphen", "-a.example", {}, "f:1: \"-a.example\" is neither an IPv4 address nor a host name"},
      {"empty label", "a..example", {}, "f:1: \"a..example\" is neither an IPv4 address nor a host name"},
      {"address with trailing words", "1.2.3.4 junk", {}, "f:1: \"1.2.3.4 junk\" is neither an IPv4 address nor a host name"},
      {"control bytes are not echoed", "a\x1b[2Jb", {}, "f:1: \"a?[2Jb\" is neither an IPv4 address nor a host name"},
      {"area with an escape sequence", "\x1b[31m\t1.2.3.4", {}, "f:1: the area holds a control character"},
      {"area that is not UTF-8", "\xff\xfe\t1.2.3.4", {}, "f:1: the area is not UTF-8 text"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const HostList list = ParseHostsText(c.text, "f");
    EXPECT_EQ(list.error, c.error);
    ASSERT_EQ(list.targets.size(), c.targets.size());
    for (size_t i = 0; i < c.targets.size(); ++i) {
      EXPECT_EQ(list.targets[i].area, c.targets[i].area);
      EXPECT_EQ(list.targets[i].host, c.targets[i].host);
    }
  }
}

TEST(CliHosts, FilesThatCannotBeReadAreNamed) {
  std::istringstream none;
  EXPECT_EQ(ReadHostsFile("/nonexistent/hosts", none).error, "/nonexistent/hosts: cannot open: No such file or directory");
  EXPECT_EQ(ReadHostsFile("/", none).error, "/: cannot read: Is a directory");
  // An endless file must not take all memory.
  EXPECT_EQ(ReadHostsFile("/dev/zero", none).error, "/dev/zero: larger than 16 MiB");

  std::istringstream input("a\t10.0.0.1\n#\nb.example\n");
  const HostList fromInput = ReadHostsFile("-", input);
  ASSERT_EQ(fromInput.error, "");
  ASSERT_EQ(fromInput.targets.size(), 2u);
  EXPECT_EQ(fromInput.targets[1].host, "b.example");
  std::istringstream badInput("10.0.0.1\nnot a host\n");
  EXPECT_EQ(ReadHostsFile("-", badInput).error,
            "standard input:2: \"not a host\" is neither an IPv4 address nor a host name");
}

TEST(CliHosts, EveryCatalogueRegionReadsWhole) {
  const size_t expected[] = {16, 103, 51, 56, 0, 9};
  for (int region = 0; region < 6; ++region) {
    EXPECT_EQ(CatalogueTargets(region).size(), expected[region]) << region;
  }
  EXPECT_EQ(CatalogueTargets(0).front().area, "美国东部（弗吉尼亚）");
  EXPECT_EQ(CatalogueTargets(0).front().host, "dynamodb.us-east-1.amazonaws.com");
}

HostStats StatsOf(std::initializer_list<std::optional<int64_t>> readings, bool keep = true) {
  HostStats stats(keep);
  for (const auto& reading : readings) {
    stats.Add(reading);
  }
  return stats;
}

TEST(CliStatistics, AgainstHandComputedValues) {
  struct Case {
    const char* name;
    HostStats stats;
    int64_t sent, received;
    double loss;
    std::optional<int64_t> last, min, max;
    std::optional<double> avg, stddev;
  };
  const std::optional<int64_t> lost;
  const Case cases[] = {
      // mean 5 ms; squared deviations 9+1+1+1+0+0+4+16 = 32; population variance 32/8 = 4 (the sample
      // deviation would be 2.138 ms)
      {"eight answers and two losses",
       StatsOf({2 * kMs, lost, 4 * kMs, 4 * kMs, 4 * kMs, 5 * kMs, 5 * kMs, 7 * kMs, 9 * kMs, lost}),
       10, 8, 0.2, lost, 2 * kMs, 9 * kMs, 5.0 * kMs, 2.0 * kMs},
      {"one answer deviates by nothing", StatsOf({1500}), 1, 1, 0.0, 1500, 1500, 1500, 1500.0, 0.0},
      {"two answers", StatsOf({1000, 2000}), 2, 2, 0.0, 2000, 1000, 2000, 1500.0, 500.0},
      {"never answered", StatsOf({lost, lost, lost}), 3, 0, 1.0, lost, lost, lost, std::nullopt, std::nullopt},
      // Σx² is past 2^53 here, where a sum of squares in doubles loses the deviation:
      // deviations -1, 0, 1 µs give sqrt(2/3) µs.
      {"large readings keep their small spread", StatsOf({59'999'999, 60'000'000, 60'000'001}), 3, 3, 0.0,
       60'000'001, 59'999'999, 60'000'001, 60'000'000.0, std::sqrt(2.0 / 3.0)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.stats.Sent(), c.sent);
    EXPECT_EQ(c.stats.Received(), c.received);
    EXPECT_DOUBLE_EQ(c.stats.Loss(), c.loss);
    EXPECT_EQ(c.stats.LastUs(), c.last);
    EXPECT_EQ(c.stats.MinUs(), c.min);
    EXPECT_EQ(c.stats.MaxUs(), c.max);
    ASSERT_EQ(c.stats.AvgUs().has_value(), c.avg.has_value());
    ASSERT_EQ(c.stats.StddevUs().has_value(), c.stddev.has_value());
    if (c.avg) {
      EXPECT_DOUBLE_EQ(*c.stats.AvgUs(), *c.avg);
      EXPECT_NEAR(*c.stats.StddevUs(), *c.stddev, 1e-9);
    }
  }
}

TEST(CliStatistics, AWatchHoldsOnlyTheRecentReadings) {
  HostStats kept(true);
  HostStats watched(false);
  for (int64_t i = 1; i <= 1000; ++i) {
    kept.Add(i);
    watched.Add(i);
  }
  EXPECT_EQ(kept.Readings().size(), 1000u);
  EXPECT_TRUE(watched.Readings().empty());
  ASSERT_EQ(watched.Recent().size(), kRecentReadings);
  EXPECT_EQ(watched.Recent().front(), 1000 - static_cast<int64_t>(kRecentReadings) + 1);
  EXPECT_EQ(*watched.AvgUs(), 500.5);
}

TEST(CliReport, NumbersAndWidths) {
  const std::pair<std::string, std::string> cases[] = {
      {MsOneDecimal(1250), "1.3"},   // half up, where printf would round half to even
      {MsOneDecimal(1249), "1.2"},
      {MsOneDecimal(0), "0.0"},
      {MsOneDecimal(999'960), "1000.0"},
      {MsThreeDecimals(1234.5), "1.235"},
      {MsThreeDecimals(7), "0.007"},
      {LossPercent(3, 2), "33.3%"},
      {LossPercent(8, 7), "12.5%"},
      {LossPercent(2, 1), "50%"},
      {LossPercent(3, 0), "100%"},
      {LossPercent(0, 0), "-"},
      {std::to_string(DisplayWidth("伦敦")), "4"},
      {std::to_string(DisplayWidth("AWS GovCloud（美国）")), "20"},
      {std::to_string(DisplayWidth("▁█·")), "3"},
      {Sparkline({1000, std::nullopt, 8000, 4500}), "▁·█▅"},
      {Sparkline({40'000, 40'300, 40'100}), "▁▂▁"},  // a steady host stays low
      {AddressText(htonl(0x34433F3C)), "52.67.63.60"},
  };
  for (const auto& [got, expected] : cases) {
    EXPECT_EQ(got, expected);
  }
}

// Three hosts as a run leaves them: one answering, one silent, one whose name never resolved.
std::vector<HostResult> ThreeHosts() {
  std::vector<HostResult> hosts;
  hosts.push_back({{"慢 \"q\"\\", "slow.example"}, htonl(0x0A000002), StatsOf({30 * kMs, 32 * kMs})});
  hosts.push_back({{"silent", "10.0.0.3"}, htonl(0x0A000003), StatsOf({std::nullopt, std::nullopt})});
  hosts.push_back({{"a,b", "fast.example"}, htonl(0x0A000001), StatsOf({5 * kMs, std::nullopt})});
  hosts.push_back({{"", "gone.example"}, std::nullopt, StatsOf({std::nullopt, std::nullopt})});
  return hosts;
}

TEST(CliReport, TableAlignsWideTextAndMarksTheSilent) {
  const std::vector<HostResult> hosts = ThreeHosts();
  const std::string table = FormatTable(hosts, OutputOrder(hosts, SortOrder::Latency), true);
  std::vector<std::string> lines;
  std::istringstream stream(table);
  for (std::string line; std::getline(stream, line);) {
    lines.push_back(line);
  }
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[0].substr(0, 4), "area");
  EXPECT_NE(lines[1].find("fast.example"), std::string::npos);  // lowest average first
  EXPECT_NE(lines[2].find("31.0"), std::string::npos);
  EXPECT_NE(lines[3].find("无响应"), std::string::npos);
  EXPECT_NE(lines[4].find("gone.example"), std::string::npos);
  // Losses come before the recent readings, which are right after the loss column: its right edge is
  // the same on every line.
  const size_t edge = DisplayWidth(lines[0].substr(0, lines[0].find("loss") + 4));
  for (const std::string& line : lines) {
    const size_t percent = line.find('%');
    if (percent != std::string::npos) {
      EXPECT_EQ(DisplayWidth(line.substr(0, percent + 1)), edge) << line;
    }
  }
  // Lost in the last round: no "last", and the sparkline ends in a gap.
  EXPECT_NE(lines[1].find("10.0.0.1       -   5.0"), std::string::npos) << lines[1];
  EXPECT_EQ(lines[1].substr(lines[1].size() - std::string("▁·").size()), "▁·");
}

TEST(CliReport, JsonReadsBackWithEveryField) {
  const std::vector<HostResult> hosts = ThreeHosts();
  const Json json = JsonReader(FormatJson({Method::Tcp, 443, 800, 2}, hosts, OutputOrder(hosts, SortOrder::Catalogue)))
                        .ReadDocument();
  EXPECT_EQ(json["method"].String(), "tcp");
  EXPECT_EQ(json["port"].Number(), 443);
  EXPECT_EQ(json["timeout_ms"].Number(), 800);
  EXPECT_EQ(json["rounds"].Number(), 2);
  const auto& list = json["hosts"].Array();
  ASSERT_EQ(list.size(), 4u);
  const char* const keys[] = {"area", "host", "address", "sent", "received", "loss", "last_ms",
                              "min_ms", "avg_ms", "max_ms", "stddev_ms", "rtts_ms"};
  for (const Json& host : list) {
    ASSERT_EQ(host.Members().size(), std::size(keys));
    for (size_t k = 0; k < std::size(keys); ++k) {
      EXPECT_EQ(host.Members()[k].first, keys[k]);
    }
    EXPECT_EQ(host["rtts_ms"].Array().size(), 2u);
  }
  EXPECT_EQ(list[0]["area"].String(), "慢 \"q\"\\");
  EXPECT_EQ(list[0]["address"].String(), "10.0.0.2");
  EXPECT_EQ(list[0]["avg_ms"].Number(), 31.0);
  EXPECT_EQ(list[0]["stddev_ms"].Number(), 1.0);
  EXPECT_EQ(list[0]["rtts_ms"].Array()[1].Number(), 32.0);
  EXPECT_EQ(list[1]["loss"].Number(), 1.0);
  EXPECT_TRUE(list[1]["min_ms"].IsNull());
  EXPECT_EQ(list[2]["loss"].Number(), 0.5);
  EXPECT_TRUE(list[2]["last_ms"].IsNull());
  EXPECT_TRUE(list[2]["rtts_ms"].Array()[1].IsNull());
  EXPECT_TRUE(list[3]["address"].IsNull());

  const Json icmp = JsonReader(FormatJson({Method::Icmp, 0, 1000, 0}, {}, {})).ReadDocument();
  EXPECT_TRUE(icmp["port"].IsNull());
  EXPECT_TRUE(icmp["hosts"].Array().empty());
}

TEST(CliReport, CsvQuotesWhatNeedsIt) {
  const std::vector<HostResult> hosts = ThreeHosts();
  const std::string csv = FormatCsv(hosts, OutputOrder(hosts, SortOrder::Catalogue));
  EXPECT_EQ(csv,
            "area,host,address,sent,received,loss,last_ms,min_ms,avg_ms,max_ms,stddev_ms\r\n"
            "\"慢 \"\"q\"\"\\\",slow.example,10.0.0.2,2,2,0,32.000,30.000,31.000,32.000,1.000\r\n"
            "silent,10.0.0.3,10.0.0.3,2,0,1,,,,,\r\n"
            "\"a,b\",fast.example,10.0.0.1,2,1,0.5,,5.000,5.000,5.000,0.000\r\n"
            ",gone.example,,2,0,1,,,,,\r\n");
}

// Stand-ins for the resolver and the probe: fixed addresses and answers.
struct FakeNetwork {
  std::map<std::string, uint32_t, std::less<>> names;
  std::map<uint32_t, int64_t> answersUs;
  bool icmpRefused = false;
  std::mutex mutex;
  std::vector<CliOptions> probedWith;
  std::function<std::optional<int64_t>()> onProbe;  // answers in place of answersUs when set
};

struct Outcome {
  int status = -1;
  std::string out;
  std::string err;
};

Outcome RunWith(FakeNetwork& net, const std::vector<std::string>& args, const std::string& input = "",
            StopSignal* stopSignal = nullptr, bool outputFails = false) {
  std::istringstream in(input);
  std::ostringstream out;
  std::ostringstream err;
  std::ostream broken(nullptr);
  StopSignal localStop;
  CliContext context;
  context.in = &in;
  context.out = outputFails ? &broken : &out;
  context.err = &err;
  context.resolve = [&](std::string_view host) -> std::optional<uint32_t> {
    const auto it = net.names.find(host);
    return it == net.names.end() ? std::nullopt : std::optional<uint32_t>(it->second);
  };
  context.probe = [&](uint32_t address, const CliOptions& options) -> std::optional<int64_t> {
    {
      std::lock_guard lock(net.mutex);
      net.probedWith.push_back(options);
    }
    if (net.onProbe) {
      return net.onProbe();
    }
    const auto it = net.answersUs.find(address);
    return it == net.answersUs.end() ? std::nullopt : std::optional<int64_t>(it->second);
  };
  context.icmpRefused = [&] { return net.icmpRefused; };
  context.stop = stopSignal ? stopSignal : &localStop;
  Outcome run;
  run.status = RunCli(args, context);
  run.out = out.str();
  run.err = err.str();
  return run;
}

TEST(CliRun, ExitStatuses) {
  struct Case {
    const char* name;
    std::vector<std::string> args;
    std::string input;
    bool answering;
    bool icmpRefused;
    int status;
    const char* inOut;
    const char* err;  // the whole of standard error
  };
  const std::string hosts = "a\t10.0.0.1\nb\t10.0.0.2\n";
  const Case cases[] = {
      {"some host answered", Words({"--hosts", "-"}), hosts, true, false, 0, "10.0.0.1", ""},
      {"none answered", Words({"--hosts", "-"}), hosts, false, false, 1, "无响应", ""},
      {"usage error", Words({"--rounds", "x"}), hosts, true, false, 2, "",
       "tezmaro-cli: --rounds wants a whole number from 1 to 1000000, got \"x\"\n"},
      {"bad line in the host list", Words({"--hosts", "-"}), hosts + "a\tb\tc\n", true, false, 2, "",
       "tezmaro-cli: standard input:3: more than two fields; a line is \"area<TAB>host\" or \"host\"\n"},
      {"the empty region", Words({"OC"}), "", true, false, 1, "", "tezmaro-cli: no hosts to measure\n"},
      {"ICMP refused", Words({"--hosts", "-"}), hosts, true, true, 3, "", nullptr},
      {"TCP needs no ICMP", Words({"--hosts", "-", "--tcp", "443"}), hosts, true, true, 0, "10.0.0.1", ""},
      {"list", Words({"--list"}), "", false, false, 0, "1  US 北美  103", ""},
      {"help", Words({"--help"}), "", false, false, 0, "usage: tezmaro-cli", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeNetwork net;
    net.names = {{"10.0.0.1", htonl(0x0A000001)}, {"10.0.0.2", htonl(0x0A000002)}};
    if (c.answering) {
      net.answersUs = {{htonl(0x0A000001), 12'345}};
    }
    net.icmpRefused = c.icmpRefused;
    const Outcome run = RunWith(net, c.args, c.input);
    EXPECT_EQ(run.status, c.status);
    EXPECT_NE(run.out.find(c.inOut), std::string::npos) << run.out;
    if (c.err) {
      EXPECT_EQ(run.err, c.err);
    }
    if (c.status == 3) {
      EXPECT_EQ(run.out, "");
      EXPECT_NE(run.err.find("ping_group_range"), std::string::npos);
      EXPECT_NE(run.err.find("setcap cap_net_raw+ep"), std::string::npos);
    }
  }
}

TEST(CliRun, OutputThatCannotBeWrittenIsNoSuccess) {
  FakeNetwork net;
  net.names = {{"10.0.0.1", htonl(0x0A000001)}};
  net.answersUs = {{htonl(0x0A000001), 1000}};
  const Outcome run = RunWith(net, Words({"--hosts", "-"}), "10.0.0.1\n", nullptr, true);
  EXPECT_EQ(run.status, kExitOutputFailed);
  EXPECT_EQ(run.err, "tezmaro-cli: cannot write the output\n");
}

TEST(CliRun, RoundsGiveOneReadingEachAndTheProbeItsSettings) {
  FakeNetwork net;
  net.names = {{"10.0.0.1", htonl(0x0A000001)}, {"named.example", htonl(0x0A000009)}};
  net.answersUs = {{htonl(0x0A000001), 2500}, {htonl(0x0A000009), 7000}};
  const Outcome run = RunWith(net, Words({"--hosts", "-", "--rounds", "3", "--interval", "0.1", "--timeout", "250",
                                      "--tcp", "8080", "--format", "json", "--sort", "latency"}),
                          "x\tnamed.example\n10.0.0.1\nnowhere.example\n");
  ASSERT_EQ(run.status, 0) << run.err;
  const Json json = JsonReader(run.out).ReadDocument();
  EXPECT_EQ(json["rounds"].Number(), 3);
  const auto& list = json["hosts"].Array();
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[0]["host"].String(), "10.0.0.1");
  EXPECT_EQ(list[0]["rtts_ms"].Array().size(), 3u);
  EXPECT_EQ(list[0]["avg_ms"].Number(), 2.5);
  EXPECT_EQ(list[1]["address"].String(), "10.0.0.9");
  EXPECT_EQ(list[2]["host"].String(), "nowhere.example");
  EXPECT_TRUE(list[2]["address"].IsNull());
  // Six probes: the name that never resolved is never probed.
  ASSERT_EQ(net.probedWith.size(), 6u);
  for (const CliOptions& options : net.probedWith) {
    EXPECT_EQ(options.timeoutMs, 250);
    EXPECT_EQ(options.port, 8080);
  }
}

TEST(CliRun, InterruptKeepsTheCompleteRoundsOnly) {
  FakeNetwork net;
  net.names = {{"10.0.0.1", htonl(0x0A000001)}, {"10.0.0.2", htonl(0x0A000002)}};
  net.answersUs = {{htonl(0x0A000001), 1000}, {htonl(0x0A000002), 2000}};
  StopSignal stop;
  int probes = 0;
  net.onProbe = [&]() -> std::optional<int64_t> {
    if (++probes == 3) {
      stop.Raise();  // Ctrl+C during the second round, one host still to go
    }
    return 1000;
  };
  const Outcome run = RunWith(net, Words({"--hosts", "-", "--rounds", "5", "--interval", "0.1", "--workers", "1",
                                      "--format", "json"}),
                          "10.0.0.1\n10.0.0.2\n", &stop);
  EXPECT_EQ(run.status, 0);
  const Json json = JsonReader(run.out).ReadDocument();
  EXPECT_EQ(json["rounds"].Number(), 1);
  EXPECT_EQ(json["hosts"].Array()[0]["sent"].Number(), 1);

  StopSignal early;
  early.Raise();
  EXPECT_EQ(RunWith(net, Words({"--hosts", "-"}), "10.0.0.1\n", &early).status, kExitInterrupted);
}

// A barrier of `size` probes: each waits until `size` are in flight at once, so a round only ends
// when that many really ran together.
struct ProbeBarrier {
  explicit ProbeBarrier(size_t size) : size(size) {}
  std::optional<int64_t> Probe() {
    std::unique_lock lock(mutex);
    const size_t generation = arrived++ / size;
    maxInFlight = std::max(maxInFlight, ++inFlight);
    changed.notify_all();
    const bool met = changed.wait_for(lock, std::chrono::seconds(20), [&] { return arrived >= (generation + 1) * size; });
    --inFlight;
    timedOut = timedOut || !met;
    return 1000;
  }
  size_t size;
  std::mutex mutex;
  std::condition_variable changed;
  size_t arrived = 0;
  size_t inFlight = 0;
  size_t maxInFlight = 0;
  bool timedOut = false;
};

TEST(CliRun, WorkersBoundTheProbesInFlight) {
  const std::pair<std::vector<std::string>, size_t> cases[] = {
      {Words({"--hosts", "-", "--workers", "3"}), 3},
      {Words({"--hosts", "-"}), 9},  // by default every host at once
  };
  for (const auto& [args, expected] : cases) {
    SCOPED_TRACE(expected);
    FakeNetwork net;
    net.names = {{"10.0.0.1", htonl(0x0A000001)}};
    ProbeBarrier barrier(expected);
    net.onProbe = [&] { return barrier.Probe(); };
    std::string nineHosts;
    for (int i = 0; i < 9; ++i) {
      nineHosts += "10.0.0.1\n";
    }
    const Outcome run = RunWith(net, args, nineHosts);
    EXPECT_EQ(run.status, 0);
    EXPECT_FALSE(barrier.timedOut);
    EXPECT_EQ(barrier.maxInFlight, expected);
    EXPECT_EQ(net.probedWith.size(), 9u);
  }
}

}  // namespace
