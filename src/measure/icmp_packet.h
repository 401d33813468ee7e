// Telling the answer to one echo request apart from everything else an ICMP socket hands over. Anyone on
// the network can send us packets, so these read nothing past the bytes they are given and trust no
// field of them; they touch no socket, which lets tests and fuzzers feed them any bytes at all.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace icmp_packet {

inline constexpr uint8_t kEchoReply = 0;
inline constexpr uint8_t kDestinationUnreachable = 3;
inline constexpr uint8_t kEchoRequest = 8;
inline constexpr uint8_t kTimeExceeded = 11;
inline constexpr uint8_t kParameterProblem = 12;
inline constexpr size_t kIcmpHeaderBytes = 8;
inline constexpr size_t kMinIpHeaderBytes = 20;

// One echo request as it went on the wire; every field in network byte order.
struct EchoRequest {
  uint32_t address = 0;  // where the answer must come from and what an error must quote
  std::array<uint8_t, 2> identifier{};
  std::array<uint8_t, 2> sequence{};
};

enum class Verdict {
  Foreign,  // not about this request: keep waiting
  Answer,   // the echo reply to this request
  Refusal,  // an error about this very request: no answer will come
};

// The one's-complement sum of RFC 1071; 0 over a message whose checksum field is right.
uint16_t InternetChecksum(std::span<const uint8_t> data);

// The request's 8 bytes without payload. A datagram socket fills in the checksum itself.
std::array<uint8_t, kIcmpHeaderBytes> EchoRequestBytes(const EchoRequest& request, bool withChecksum);

// An ICMP message from its type byte on, sent from `source`, as a datagram ICMP socket hands it over
// (the kernel has checked its checksum).
Verdict JudgeIcmp(std::span<const uint8_t> icmp, uint32_t source, const EchoRequest& request);

// A whole IPv4 packet, header included, as a raw socket hands it over: nothing in it has been checked.
Verdict JudgeRawPacket(std::span<const uint8_t> packet, const EchoRequest& request);

// What SO_EE_ORIGIN_* and ICMP type the error queue reported, the quoted ICMP bytes it gave as data and
// the quoted destination it gave as address.
Verdict JudgeQueuedError(uint8_t origin, uint8_t icmpType, std::span<const uint8_t> quote,
                         uint32_t quotedDestination, const EchoRequest& request);

}  // namespace icmp_packet
