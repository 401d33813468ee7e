// The fake hosts checked on real traffic: what other tests read from them has to be exactly right.
#include <arpa/inet.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/fakenet.h"

namespace {

using fakenet::Behaviour;
using fakenet::FakeNet;
using Bytes = std::vector<uint8_t>;

int64_t MonotonicNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

int64_t RealtimeNs() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

uint32_t Addr(const char* text) {
  in_addr a{};
  if (inet_pton(AF_INET, text, &a) != 1) throw std::invalid_argument(text);
  return a.s_addr;
}

std::string Text(uint32_t net) {
  char buf[INET_ADDRSTRLEN];
  in_addr a{};
  a.s_addr = net;
  return inet_ntop(AF_INET, &a, buf, sizeof buf);
}

uint16_t Get16(const uint8_t* p) { return uint16_t(p[0] << 8 | p[1]); }

// Zero for intact data that carries its own checksum.
uint16_t Checksum(const uint8_t* p, size_t n) {
  uint32_t sum = 0;
  for (size_t i = 0; i + 1 < n; i += 2) sum += uint32_t(p[i]) << 8 | p[i + 1];
  if (n & 1) sum += uint32_t(p[n - 1]) << 8;
  while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
  return uint16_t(~sum);
}

// A packet as a raw ICMP socket hands it over, IP header included, with the times it arrived.
struct Received {
  Bytes ip;
  int64_t kernelRealtimeNs = 0;  // stamped by the kernel on arrival
  int64_t monotonicNs = 0;       // read by us afterwards: never earlier than the arrival
  size_t ihl() const { return size_t(ip[0] & 0x0f) * 4; }
  uint32_t src() const { return Addr(ip, 12); }
  uint32_t dst() const { return Addr(ip, 16); }
  const uint8_t* icmp() const { return ip.data() + 20; }  // where a 20-byte header ends
  size_t icmpLen() const { return ip.size() - 20; }
  static uint32_t Addr(const Bytes& b, size_t at) {
    uint32_t a;
    std::memcpy(&a, &b[at], 4);
    return a;
  }
};

class RawIcmp {
 public:
  RawIcmp() {
    m_fd = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
    int one = 1;
    if (m_fd >= 0) setsockopt(m_fd, SOL_SOCKET, SO_TIMESTAMPNS, &one, sizeof one);
  }
  ~RawIcmp() {
    if (m_fd >= 0) close(m_fd);
  }
  bool ok() const { return m_fd >= 0; }

  // Sends an echo request; returns the monotonic time right before it left.
  int64_t Send(const char* to, uint16_t id, uint16_t seq, size_t payload = 0) {
    Bytes m(8 + payload);
    m[0] = 8;
    m[4] = uint8_t(id >> 8), m[5] = uint8_t(id);
    m[6] = uint8_t(seq >> 8), m[7] = uint8_t(seq);
    for (size_t i = 0; i < payload; ++i) m[8 + i] = uint8_t(i * 7 + 3);
    uint16_t c = Checksum(m.data(), m.size());
    m[2] = uint8_t(c >> 8), m[3] = uint8_t(c);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = ::Addr(to);
    int64_t t = MonotonicNs();
    EXPECT_EQ(sendto(m_fd, m.data(), m.size(), 0, reinterpret_cast<sockaddr*>(&sin), sizeof sin), ssize_t(m.size()))
        << std::strerror(errno);
    return t;
  }

  std::optional<Received> Receive(int timeoutMs) {
    pollfd p{m_fd, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) != 1) return std::nullopt;
    Received r;
    r.ip.resize(65536);
    char control[256];
    iovec iov{r.ip.data(), r.ip.size()};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    ssize_t n = recvmsg(m_fd, &msg, 0);
    r.monotonicNs = MonotonicNs();
    if (n < 20) return std::nullopt;
    r.ip.resize(size_t(n));
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
      if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_TIMESTAMPNS) {
        timespec ts;
        std::memcpy(&ts, CMSG_DATA(c), sizeof ts);
        r.kernelRealtimeNs = int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
      }
    }
    return r;
  }

 private:
  int m_fd = -1;
};

// What the fake hosts write into the device, before the kernel judges it.
class Sniffer {
 public:
  Sniffer() {
    m_fd = socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC, htons(ETH_P_IP));
    sockaddr_ll sll{};
    sll.sll_family = AF_PACKET;
    sll.sll_protocol = htons(ETH_P_IP);
    sll.sll_ifindex = int(if_nametoindex("tzfake0"));
    if (m_fd >= 0 && bind(m_fd, reinterpret_cast<sockaddr*>(&sll), sizeof sll) != 0) {
      close(m_fd);
      m_fd = -1;
    }
  }
  ~Sniffer() {
    if (m_fd >= 0) close(m_fd);
  }
  bool ok() const { return m_fd >= 0; }

  // The next packet coming in from the device; our own requests going out are passed over.
  std::optional<Received> Receive(int timeoutMs) {
    for (;;) {
      pollfd p{m_fd, POLLIN, 0};
      if (poll(&p, 1, timeoutMs) != 1) return std::nullopt;
      Received r;
      r.ip.resize(65536);
      sockaddr_ll from{};
      socklen_t fromLen = sizeof from;
      ssize_t n = recvfrom(m_fd, r.ip.data(), r.ip.size(), 0, reinterpret_cast<sockaddr*>(&from), &fromLen);
      r.monotonicNs = MonotonicNs();
      if (n < 20 || from.sll_pkttype == PACKET_OUTGOING) continue;
      r.ip.resize(size_t(n));
      return r;
    }
  }

 private:
  int m_fd = -1;
};

constexpr int64_t kMs = 1000000;
// Long enough for anything that is coming at all on a loaded machine; only a test of silence waits it out.
constexpr int kPatienceMs = 2000;
constexpr int kSilenceMs = 300;

class FakeNetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!fakenet::InPrivateNamespace()) GTEST_SKIP() << fakenet::NamespaceError();
    net = std::make_unique<FakeNet>();
    ASSERT_TRUE(net->ok()) << net->error();
    ASSERT_TRUE(raw.ok()) << std::strerror(errno);
  }
  std::unique_ptr<FakeNet> net;
  RawIcmp raw;
};

// A correct echo reply from `from` to us for (id, seq) with `payload` bytes, checksums and all.
void ExpectEchoReply(const Received& r, const char* from, uint16_t id, uint16_t seq, size_t payload) {
  ASSERT_EQ(r.ip.size(), 28 + payload);
  EXPECT_EQ(r.ip[0], 0x45);
  EXPECT_EQ(Get16(&r.ip[2]), r.ip.size());
  EXPECT_EQ(r.ip[8], 64) << "TTL";
  EXPECT_EQ(r.ip[9], IPPROTO_ICMP);
  EXPECT_EQ(Checksum(r.ip.data(), 20), 0) << "IP header checksum";
  EXPECT_EQ(Text(r.src()), from);
  EXPECT_EQ(Text(r.dst()), "198.18.0.1");
  EXPECT_EQ(r.icmp()[0], 0) << "type";
  EXPECT_EQ(r.icmp()[1], 0) << "code";
  EXPECT_EQ(Get16(r.icmp() + 4), id);
  EXPECT_EQ(Get16(r.icmp() + 6), seq);
  EXPECT_EQ(Checksum(r.icmp(), r.icmpLen()), 0) << "ICMP checksum";
  for (size_t i = 0; i < payload; ++i) ASSERT_EQ(r.icmp()[8 + i], uint8_t(i * 7 + 3)) << "payload byte " << i;
}

TEST_F(FakeNetTest, EchoReplyComesNoEarlierThanItsDelayAndEchoesTheRequest) {
  struct Row {
    const char* name;
    const char* address;
    bool viaDefault;  // unconfigured, following SetDefault
    int delayMs;
    size_t payload;
  };
  const Row rows[] = {
      {"at once, empty payload", "198.18.1.1", false, 0, 0},
      {"7 ms with the 56 bytes ping sends", "198.18.1.2", false, 7, 56},
      {"40 ms, outside the prefix by the default route", "52.67.255.254", false, 40, 0},
      {"unconfigured host following the default", "198.19.3.4", true, 12, 1},
  };
  net->SetDefault({Behaviour::Reply, 12});
  uint16_t seq = 100;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    if (!row.viaDefault) net->SetHost(row.address, {Behaviour::Reply, row.delayMs});
    const int totalBefore = net->TotalEchoRequests();
    int64_t sent = raw.Send(row.address, 0x4242, ++seq, row.payload);
    auto r = raw.Receive(kPatienceMs);
    ASSERT_TRUE(r) << "no reply";
    ExpectEchoReply(*r, row.address, 0x4242, seq, row.payload);
    EXPECT_GE(r->monotonicNs - sent, row.delayMs * kMs) << "early";
    EXPECT_LT(r->monotonicNs - sent, (row.delayMs + 500) * kMs) << "hopelessly late";
    EXPECT_EQ(net->EchoRequestsTo(row.address), 1);
    EXPECT_EQ(net->TotalEchoRequests(), totalBefore + 1);
    EXPECT_EQ(net->LastRequestPayloadBytes(row.address), int(row.payload));
  }
  EXPECT_EQ(net->LastRequestPayloadBytes("198.18.9.9"), -1);
}

TEST_F(FakeNetTest, SilentHostsAnswerNothingButCountTheRequest) {
  net->SetHost("198.18.2.1", {Behaviour::Silent, 0});
  raw.Send("198.18.2.1", 7, 1);
  raw.Send("198.18.2.2", 7, 2);  // unconfigured: silent until a default says otherwise
  EXPECT_FALSE(raw.Receive(kSilenceMs));
  EXPECT_EQ(net->EchoRequestsTo("198.18.2.1"), 1);
  EXPECT_EQ(net->EchoRequestsTo("198.18.2.2"), 1);
  EXPECT_EQ(net->TotalEchoRequests(), 2);
}

TEST_F(FakeNetTest, IcmpErrorsComeFromTheRouterAndQuoteTheRequest) {
  struct Row {
    Behaviour behaviour;
    uint8_t type, code;
  };
  const Row rows[] = {{Behaviour::Unreachable, 3, 1}, {Behaviour::TimeExceeded, 11, 0}};
  uint16_t seq = 500;
  for (const Row& row : rows) {
    SCOPED_TRACE(int(row.type));
    net->SetHost("198.18.3.1", {row.behaviour, 5});
    int64_t sent = raw.Send("198.18.3.1", 0x1234, ++seq, 4);
    auto r = raw.Receive(kPatienceMs);
    ASSERT_TRUE(r);
    EXPECT_GE(r->monotonicNs - sent, 5 * kMs);
    EXPECT_EQ(Text(r->src()), fakenet::RouterAddress);
    EXPECT_EQ(Text(r->dst()), "198.18.0.1");
    EXPECT_EQ(Checksum(r->ip.data(), 20), 0);
    ASSERT_EQ(r->icmpLen(), 8u + 20 + 8) << "error header, the request's IP header and 8 bytes of it";
    EXPECT_EQ(r->icmp()[0], row.type);
    EXPECT_EQ(r->icmp()[1], row.code);
    EXPECT_EQ(Checksum(r->icmp(), r->icmpLen()), 0);
    const uint8_t* quoted = r->icmp() + 8;
    EXPECT_EQ(quoted[0], 0x45);
    EXPECT_EQ(quoted[9], IPPROTO_ICMP);
    EXPECT_EQ(Text(Received::Addr(Bytes(quoted, quoted + 20), 16)), "198.18.3.1");
    EXPECT_EQ(quoted[20], 8) << "the quoted message is our echo request";
    EXPECT_EQ(Get16(quoted + 24), 0x1234);
    EXPECT_EQ(Get16(quoted + 26), seq);
  }
}

// Each faulty reply must carry its one fault and be otherwise right, or a probe test that expects
// the fault to be ignored could pass for the wrong reason. Also which of them the kernel lets through
// to a raw socket at all, as that is what a probe can meet.
TEST_F(FakeNetTest, FaultyRepliesCarryExactlyTheirFault) {
  const char* host = "198.18.4.1";
  struct Row {
    const char* name;
    Behaviour behaviour;
    bool reachesRawSocket;
    std::function<void(const Received&, uint16_t seq)> check;
  };
  auto sameOtherwise = [&](const Received& r) {
    EXPECT_EQ(Checksum(r.ip.data(), r.ihl()), 0) << "IP header checksum";
    EXPECT_EQ(Get16(&r.ip[2]), r.ip.size());
    EXPECT_EQ(Text(r.dst()), "198.18.0.1");
    EXPECT_EQ(r.icmp()[0], 0);
  };
  const Row rows[] = {
      {"wrong identifier", Behaviour::WrongId, true,
       [&](const Received& r, uint16_t seq) {
         sameOtherwise(r);
         EXPECT_EQ(Text(r.src()), host);
         EXPECT_NE(Get16(r.icmp() + 4), 0x0777);
         EXPECT_EQ(Get16(r.icmp() + 6), seq);
         EXPECT_EQ(Checksum(r.icmp(), r.icmpLen()), 0);
       }},
      {"wrong sequence", Behaviour::WrongSeq, true,
       [&](const Received& r, uint16_t seq) {
         sameOtherwise(r);
         EXPECT_EQ(Text(r.src()), host);
         EXPECT_EQ(Get16(r.icmp() + 4), 0x0777);
         EXPECT_NE(Get16(r.icmp() + 6), seq);
         EXPECT_EQ(Checksum(r.icmp(), r.icmpLen()), 0);
       }},
      {"wrong source", Behaviour::WrongSource, true,
       [&](const Received& r, uint16_t seq) { ExpectEchoReply(r, "198.18.0.253", 0x0777, seq, 0); }},
      {"bad checksum", Behaviour::BadChecksum, true,
       [&](const Received& r, uint16_t seq) {
         sameOtherwise(r);
         EXPECT_EQ(Text(r.src()), host);
         EXPECT_EQ(Get16(r.icmp() + 4), 0x0777);
         EXPECT_EQ(Get16(r.icmp() + 6), seq);
         EXPECT_NE(Checksum(r.icmp(), r.icmpLen()), 0);
       }},
      // The kernel drops ICMP shorter than its 8-byte header before any socket sees it.
      {"truncated", Behaviour::Truncated, false,
       [&](const Received& r, uint16_t) {
         sameOtherwise(r);
         EXPECT_EQ(Text(r.src()), host);
         EXPECT_EQ(r.icmpLen(), 6u);
         EXPECT_EQ(Checksum(r.icmp(), r.icmpLen()), 0);
       }},
      {"header length says 24 while the reply starts at 20", Behaviour::Malformed, true,
       [&](const Received& r, uint16_t seq) {
         EXPECT_EQ(r.ihl(), 24u);
         sameOtherwise(r);  // a header checksum over 24 bytes, or the kernel would drop it
         EXPECT_EQ(Text(r.src()), host);
         EXPECT_EQ(Get16(r.icmp() + 4), 0x0777);
         EXPECT_EQ(Get16(r.icmp() + 6), seq);
       }},
  };
  uint16_t seq = 900;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    net->SetHost(host, {row.behaviour, 3});
    Sniffer wire;
    ASSERT_TRUE(wire.ok()) << std::strerror(errno);
    int64_t sent = raw.Send(host, 0x0777, ++seq);
    auto r = wire.Receive(kPatienceMs);
    ASSERT_TRUE(r) << "never left";
    EXPECT_GE(r->monotonicNs - sent, 3 * kMs);
    row.check(*r, seq);
    EXPECT_FALSE(wire.Receive(0)) << "one packet only";
    EXPECT_EQ(bool(raw.Receive(row.reachesRawSocket ? kPatienceMs : kSilenceMs)), row.reachesRawSocket);
  }
}

TEST_F(FakeNetTest, DuplicateRepliesTwiceOneDelayApart) {
  net->SetHost("198.18.4.2", {Behaviour::Duplicate, 20});
  int64_t sent = raw.Send("198.18.4.2", 9, 9);
  auto first = raw.Receive(kPatienceMs);
  auto second = raw.Receive(kPatienceMs);
  ASSERT_TRUE(first && second);
  ExpectEchoReply(*first, "198.18.4.2", 9, 9, 0);
  ExpectEchoReply(*second, "198.18.4.2", 9, 9, 0);
  EXPECT_GE(first->monotonicNs - sent, 20 * kMs);
  EXPECT_GE(second->kernelRealtimeNs - first->kernelRealtimeNs, 15 * kMs) << "not back to back";
  EXPECT_FALSE(raw.Receive(kSilenceMs));
}

// One thread keeps a schedule for every pending reply: with a sleep per request the replies of this
// burst would come out in the order sent and the last one after the sum of all delays.
TEST_F(FakeNetTest, ManyPendingRepliesLeaveEachAtItsOwnTime) {
  constexpr int kHosts = 120;
  auto address = [](int i) { return "198.18.5." + std::to_string(i + 1); };
  auto delay = [](int i) { return (i * 37) % 61; };  // 0..60 ms, out of order
  for (int i = 0; i < kHosts; ++i) net->SetHost(address(i), {Behaviour::Reply, delay(i)});
  std::vector<int64_t> sentMono(kHosts), sentReal(kHosts);
  for (int i = 0; i < kHosts; ++i) {
    sentReal[i] = RealtimeNs();
    sentMono[i] = raw.Send(address(i).c_str(), 0x5151, uint16_t(i));
  }
  std::vector<int64_t> lateUs;
  int64_t lastArrival = 0;
  for (int got = 0; got < kHosts; ++got) {
    auto r = raw.Receive(kPatienceMs);
    ASSERT_TRUE(r) << got << " replies of " << kHosts;
    const int i = Get16(r->icmp() + 6);
    ASSERT_LT(i, kHosts);
    EXPECT_EQ(Text(r->src()), address(i));
    EXPECT_GE(r->monotonicNs - sentMono[i], delay(i) * kMs) << address(i) << " early";
    lateUs.push_back((r->kernelRealtimeNs - sentReal[i] - delay(i) * kMs) / 1000);
    lastArrival = std::max(lastArrival, r->monotonicNs);
  }
  EXPECT_LT(lastArrival - sentMono[0], 1000 * kMs);
  std::sort(lateUs.begin(), lateUs.end());
  std::printf("round trip beyond the delay, %d replies pending at once: p50 %lld us, p99 %lld us, max %lld us\n",
              kHosts, (long long)lateUs[lateUs.size() / 2], (long long)lateUs[lateUs.size() * 99 / 100],
              (long long)lateUs.back());
}

struct Lookup {
  int error = 0;  // getaddrinfo's
  std::vector<std::string> addresses;
};

Lookup Resolve(const char* name, int family = AF_INET) {
  addrinfo hints{};
  hints.ai_family = family;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* res = nullptr;
  Lookup l;
  l.error = getaddrinfo(name, nullptr, &hints, &res);
  for (addrinfo* a = res; a; a = a->ai_next)
    if (a->ai_family == AF_INET) l.addresses.push_back(Text(reinterpret_cast<sockaddr_in*>(a->ai_addr)->sin_addr.s_addr));
  if (res) freeaddrinfo(res);
  return l;
}

TEST_F(FakeNetTest, DnsAnswersConfiguredNamesInOrderAndNothingElse) {
  net->SetName("dynamodb.us-east-1.amazonaws.com", {"198.18.6.2", "198.18.6.1"});
  net->SetName("noaddress.example", {});

  Lookup known = Resolve("dynamodb.us-east-1.amazonaws.com");
  EXPECT_EQ(known.error, 0) << gai_strerror(known.error);
  EXPECT_EQ(known.addresses, (std::vector<std::string>{"198.18.6.2", "198.18.6.1"}));
  EXPECT_EQ(net->DnsQueriesFor("dynamodb.us-east-1.amazonaws.com"), 1);

  Lookup otherCase = Resolve("DynamoDB.US-East-1.amazonaws.com.");
  EXPECT_EQ(otherCase.addresses, known.addresses);
  EXPECT_EQ(net->DnsQueriesFor("dynamodb.us-east-1.amazonaws.com"), 2);

  Lookup unknown = Resolve("unknown.example");
  EXPECT_EQ(unknown.error, EAI_NONAME) << gai_strerror(unknown.error);
  EXPECT_EQ(net->DnsQueriesFor("unknown.example"), 1);

  // Known without an A record: the name exists, so the resolver gets NOERROR and no address.
  Lookup noAddress = Resolve("noaddress.example");
  EXPECT_NE(noAddress.error, 0);
  EXPECT_TRUE(noAddress.addresses.empty());
  EXPECT_EQ(net->DnsQueriesFor("noaddress.example"), 1);

  // Asked for any family, a configured name still gives exactly its IPv4 addresses.
  Lookup any = Resolve("dynamodb.us-east-1.amazonaws.com", AF_UNSPEC);
  EXPECT_EQ(any.error, 0) << gai_strerror(any.error);
  EXPECT_EQ(any.addresses, known.addresses);

  EXPECT_EQ(net->TotalEchoRequests(), 0) << "a lookup sends no echo";
}

TEST_F(FakeNetTest, AnswerEveryNameGivesEachNameItsOwnStableAddress) {
  net->SetName("configured.example", {"198.18.6.9"});
  net->SetAnswerEveryName(true);
  Lookup a1 = Resolve("first.example"), a2 = Resolve("first.example"), b = Resolve("second.example");
  ASSERT_EQ(a1.addresses.size(), 1u);
  ASSERT_EQ(b.addresses.size(), 1u);
  EXPECT_EQ(a1.addresses, a2.addresses);
  EXPECT_NE(a1.addresses, b.addresses);
  EXPECT_EQ(a1.addresses[0].rfind("198.19.", 0), 0u) << a1.addresses[0];
  EXPECT_EQ(Resolve("configured.example").addresses, std::vector<std::string>{"198.18.6.9"});
  net->SetAnswerEveryName(false);
  EXPECT_EQ(Resolve("first.example").error, EAI_NONAME);
}

// The server reads whatever arrives on port 53; junk must neither crash it nor stop it answering.
TEST_F(FakeNetTest, DnsServerSurvivesMalformedQueries) {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(fd, 0);
  sockaddr_in server{};
  server.sin_family = AF_INET;
  server.sin_port = htons(53);
  server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&server), sizeof server), 0);
  auto ask = [&](const Bytes& q) -> std::optional<Bytes> {
    EXPECT_EQ(send(fd, q.data(), q.size(), 0), ssize_t(q.size()));
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, kSilenceMs) != 1) return std::nullopt;
    Bytes a(512);
    ssize_t n = recv(fd, a.data(), a.size(), 0);
    a.resize(size_t(std::max<ssize_t>(n, 0)));
    return a;
  };
  const Bytes header = {0xab, 0xcd, 0x01, 0x00, 0, 1, 0, 0, 0, 0, 0, 0};
  auto query = [&](Bytes name) {
    Bytes q = header;
    q.insert(q.end(), name.begin(), name.end());
    return q;
  };
  struct Row {
    const char* name;
    Bytes datagram;
    int rcode;  // -1: no answer at all
  };
  const Row rows[] = {
      {"shorter than a header", {0xab, 0xcd, 0x01}, -1},
      {"a response, not a query", {0xab, 0xcd, 0x81, 0x80, 0, 1, 0, 0, 0, 0, 0, 0}, -1},
      {"label running past the end", query({5, 'a', 'b'}), 1},
      {"compression pointer in the question", query({0xc0, 0x0c, 0, 1, 0, 1}), 1},
      {"no type and class", query({1, 'a', 0}), 1},
      {"two questions", {0xab, 0xcd, 0x01, 0x00, 0, 2, 0, 0, 0, 0, 0, 0, 1, 'a', 0, 0, 1, 0, 1}, 1},
      {"not a standard query", {0xab, 0xcd, 0x11, 0x00, 0, 1, 0, 0, 0, 0, 0, 0, 1, 'a', 0, 0, 1, 0, 1}, 4},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    auto answer = ask(row.datagram);
    if (row.rcode < 0) {
      EXPECT_FALSE(answer);
      continue;
    }
    ASSERT_TRUE(answer);
    ASSERT_GE(answer->size(), 12u);
    EXPECT_EQ(Get16(answer->data()), 0xabcd);
    EXPECT_TRUE((*answer)[2] & 0x80) << "a response";
    EXPECT_EQ((*answer)[3] & 0x0f, row.rcode);
  }
  close(fd);
  net->SetName("still.example", {"198.18.6.3"});
  EXPECT_EQ(Resolve("still.example").addresses, std::vector<std::string>{"198.18.6.3"});
}

TEST_F(FakeNetTest, BadAddressesAndDelaysAreRefused) {
  for (const char* bad : {"", "1.2.3", "256.1.1.1", "198.18.0.1 ", "host.example", "::1"}) {
    SCOPED_TRACE(bad);
    EXPECT_THROW(net->SetHost(bad, {}), std::invalid_argument);
    EXPECT_THROW(net->SetName("n.example", {bad}), std::invalid_argument);
    EXPECT_THROW(net->EchoRequestsTo(bad), std::invalid_argument);
  }
  EXPECT_THROW(net->SetHost("198.18.7.1", {Behaviour::Reply, -1}), std::invalid_argument);
  EXPECT_THROW(net->SetDefaultSpread(10, 5), std::invalid_argument);
}

TEST_F(FakeNetTest, SpreadGivesEachUnconfiguredAddressItsOwnLastingDelay) {
  net->SetDefaultSpread(20, 60);
  net->SetHost("198.18.8.9", {Behaviour::Silent, 0});
  std::vector<int> delays;
  for (const char* a : {"198.18.8.1", "198.18.8.2", "52.67.255.254", "13.112.63.251"}) {
    int d = fakenet::SpreadDelayMs(a, 20, 60);
    EXPECT_GE(d, 20);
    EXPECT_LE(d, 60);
    delays.push_back(d);
    int64_t sent = raw.Send(a, 3, 3);
    auto r = raw.Receive(kPatienceMs);
    ASSERT_TRUE(r) << a;
    EXPECT_EQ(Text(r->src()), a);
    EXPECT_GE(r->monotonicNs - sent, d * kMs) << a;
  }
  std::sort(delays.begin(), delays.end());
  EXPECT_GT(std::unique(delays.begin(), delays.end()) - delays.begin(), 1) << "all the same delay";
  raw.Send("198.18.8.9", 3, 4);
  EXPECT_FALSE(raw.Receive(kSilenceMs)) << "a configured host keeps its own behaviour";
}

TEST(FakeNetLifetime, ANewFakeNetWorksAfterThePreviousOneIsGone) {
  if (!fakenet::InPrivateNamespace()) GTEST_SKIP() << fakenet::NamespaceError();
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    {
      FakeNet net;
      ASSERT_TRUE(net.ok()) << net.error();
      net.SetHost("198.18.9.1", {Behaviour::Reply, 0});
      net.SetName("again.example", {"198.18.9.1"});
      RawIcmp raw;
      raw.Send("198.18.9.1", 1, uint16_t(round));
      auto r = raw.Receive(kPatienceMs);
      ASSERT_TRUE(r);
      EXPECT_EQ(Get16(r->icmp() + 6), round);
      EXPECT_EQ(Resolve("again.example").addresses, std::vector<std::string>{"198.18.9.1"});
    }
    EXPECT_EQ(if_nametoindex("tzfake0"), 0u) << "the device outlived its FakeNet";
  }
  FakeNet first;
  FakeNet second;
  EXPECT_TRUE(first.ok());
  EXPECT_FALSE(second.ok());
  EXPECT_NE(second.error().find("tzfake0"), std::string::npos) << second.error();
}

TEST(FakeNetNamespace, PingGroupRangeDecidesWhoMayOpenDatagramIcmpSockets) {
  if (!fakenet::InPrivateNamespace()) GTEST_SKIP() << fakenet::NamespaceError();
  struct Row {
    uint32_t low, high;
    bool allowed;  // for us, group 0
  };
  for (const Row& row : {Row{1, 0, false}, Row{0, 2147483647, true}, Row{1, 0, false}}) {
    SCOPED_TRACE(std::to_string(row.low) + " " + std::to_string(row.high));
    ASSERT_TRUE(fakenet::SetPingGroupRange(row.low, row.high));
    std::ifstream in("/proc/sys/net/ipv4/ping_group_range");
    uint32_t low = 99, high = 99;
    in >> low >> high;
    EXPECT_EQ(low, row.low);
    EXPECT_EQ(high, row.high);
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMP);
    EXPECT_EQ(fd >= 0, row.allowed) << std::strerror(errno);
    if (fd >= 0) close(fd);
  }
}

int RunShell(const std::string& command) {
  int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(FakenetRun, RunsTheCommandAmongFakeHostsAndReturnsItsStatus) {
  if (!fakenet::InPrivateNamespace()) GTEST_SKIP() << fakenet::NamespaceError();
  if (RunShell("command -v ping getent >/dev/null") != 0) GTEST_SKIP() << "ping or getent missing (iputils-ping, libc-bin)";
  struct Row {
    const char* name;
    const char* arguments;
    int status;
  };
  const Row rows[] = {
      {"configured host answers", "--host 198.18.0.9=reply:3 -- ping -c1 -W2 198.18.0.9", 0},
      {"unconfigured host is silent", "-- ping -c1 -W1 198.18.0.9", 1},
      {"default answers for every address", "--default reply:2 -- ping -c1 -W2 52.67.255.254", 0},
      {"spread answers for every address", "--default spread:1-5 -- ping -c1 -W2 52.67.255.254", 0},
      {"unreachable host", "--host 198.18.0.9=unreachable -- ping -c1 -W2 198.18.0.9", 1},
      {"configured name resolves", "--name a.example=198.18.0.7 -- getent ahostsv4 a.example", 0},
      {"unknown name does not", "-- getent ahostsv4 b.example", 2},
      {"every name resolves", "--answer-every-name -- getent ahostsv4 b.example", 0},
      {"datagram ICMP for all groups", "--ping-group -- grep -q 2147483647 /proc/sys/net/ipv4/ping_group_range", 0},
      {"exit status passed on", "-- sh -c 'exit 7'", 7},
      {"death by signal", "-- sh -c 'kill -TERM $$'", 128 + SIGTERM},
      {"command not found", "-- /nonexistent/command", 127},
      {"bad address", "--host 1.2.3=reply -- true", 2},
      {"bad behaviour", "--host 1.2.3.4=sometimes -- true", 2},
      {"bad spread", "--default spread:9-3 -- true", 2},
      {"no command", "--default reply", 2},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(RunShell(std::string(FAKENET_RUN_PATH) + " " + row.arguments + ""), row.status);
  }
}

}  // namespace
