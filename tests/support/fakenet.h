// Fake hosts for tests and benchmarks: a private network namespace whose default route and the test
// prefix 198.18.0.0/15 lead into a TUN device, behind which this process answers ICMP echo requests
// like real hosts would, and a DNS server on 127.0.0.1:53 that answers for configured names.
// Every packet stays inside the namespace.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace fakenet {

// Moves the whole process into a new network and mount namespace, brings loopback up and points
// /etc/resolv.conf (bind mount, private to the namespace) at 127.0.0.1. Must run while the process has
// one thread (first thing in main). Idempotent. Returns "" on success, else why it could not (the
// caller skips its tests with that text).
std::string EnterPrivateNamespace();

// Whether EnterPrivateNamespace succeeded earlier in this process, and the reason if it did not.
bool InPrivateNamespace();
std::string NamespaceError();

// Writes net.ipv4.ping_group_range of this namespace ("0 2147483647" allows every group the datagram
// ICMP socket, "1 0" allows none). Returns false when it could not be written.
bool SetPingGroupRange(uint32_t low, uint32_t high);

enum class Behaviour {
  Reply,        // one echo reply after delayMs
  Silent,       // nothing at all
  Unreachable,  // ICMP destination unreachable (host unreachable) from RouterAddress after delayMs
  TimeExceeded, // ICMP time exceeded from RouterAddress after delayMs
  Duplicate,    // the echo reply twice, delayMs and again delayMs later
  WrongId,      // an echo reply whose identifier differs from the request's, after delayMs
  WrongSeq,     // an echo reply whose sequence number differs from the request's, after delayMs
  WrongSource,  // a correct echo reply, but sent from another address of the prefix
  BadChecksum,  // an echo reply with a broken ICMP checksum
  Truncated,    // an echo reply cut to fewer than 8 ICMP bytes
  Malformed,    // an IPv4 packet with a wrong header length / version, quoting the request
};

struct HostConfig {
  Behaviour behaviour = Behaviour::Reply;
  // Counted from when the request left its sender (the kernel's stamp), so that a late wake-up of
  // the responder does not add to the round trip; a reply is never written earlier than that.
  int delayMs = 0;
};

inline constexpr const char* RouterAddress = "198.18.0.254";

// The delay an address gets from FakeNet::SetDefaultSpread(loMs, hiMs).
int SpreadDelayMs(const std::string& address, int loMs, int hiMs);

class FakeNet {
 public:
  // Enters the private namespace if not done yet, creates the TUN device "tzfake0" with 198.18.0.1/15,
  // routes the default route and 198.18.0.0/15 into it, and starts the responder and DNS threads.
  // One at a time per process (a second one is !ok()); the destructor removes the device again.
  // Raises CAP_NET_RAW into the calling thread's effective set when it is permitted: its tap needs it,
  // and so do raw senders that a test opens on that thread afterwards.
  FakeNet();
  ~FakeNet();
  FakeNet(const FakeNet&) = delete;
  FakeNet& operator=(const FakeNet&) = delete;

  bool ok() const;            // all of the above worked
  std::string error() const;  // why not, when !ok()

  // Addresses are dotted quads (anything else throws std::invalid_argument, as does a negative delay);
  // any IPv4 address routed into the device may be configured, except 198.18.0.1, the device's own.
  // Addresses not configured follow the default, which starts as Silent.
  void SetHost(const std::string& address, HostConfig config);
  void SetDefault(HostConfig config);
  // Addresses not configured reply after a delay between loMs and hiMs that each address keeps
  // (SpreadDelayMs), so that a whole catalogue shows varied but repeatable numbers. SetDefault ends it.
  void SetDefaultSpread(int loMs, int hiMs);
  // DNS A records for a name (answered in this order); names not configured get NXDOMAIN, unless
  // SetAnswerEveryName(true): then each gets one stable address of 198.19.0.0/16 made from its text.
  void SetName(const std::string& name, std::vector<std::string> addresses);
  void SetAnswerEveryName(bool on);

  // Echo requests that arrived for an address, and in all; DNS queries for a name.
  int EchoRequestsTo(const std::string& address) const;
  int TotalEchoRequests() const;
  int DnsQueriesFor(const std::string& name) const;
  // Payload length of the last echo request to an address (-1 when none), to check what was sent.
  int LastRequestPayloadBytes(const std::string& address) const;

  // A hostile network. While on, every echo request draws forged packets that are not its answer and
  // say nothing about it: echo replies with another identifier or sequence, with another request's
  // identifier and sequence, with its own from another source, with a broken checksum, cut below an
  // ICMP header or behind a broken IP header, and ICMP errors that quote a request with another
  // sequence, identifier, destination or type, cut short or with a broken checksum. They come in
  // waves at 0, 250, 600 and 1100 ms after the request and right before its own reply or error, so
  // they also reach later calls. A request draws at most 65 of them: a socket's receive buffer holds
  // a few times that, so a reader held up the whole time still finds its answer behind them.
  void SetFlood(bool on);
  int FloodPacketsSent() const;
  // For each echo reply written for the address, in the order written: microseconds from when its
  // request left the sender until the reply went into the device. A busy machine makes them later
  // than the configured delay; a reading of the delay may be as much later.
  std::vector<int64_t> ReplyTimesUs(const std::string& address) const;

 private:
  struct Impl;
  Impl* m_impl;
};

}  // namespace fakenet
