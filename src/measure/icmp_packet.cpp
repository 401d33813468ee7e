#include "measure/icmp_packet.h"

#include <netinet/in.h>
#include <time.h>
// After time.h: it uses struct timespec without including it.
#include <linux/errqueue.h>

#include <algorithm>
#include <cstring>

namespace icmp_packet {
namespace {

// The identifier and sequence of an echo header, compared as they are on the wire.
bool IsOurEcho(std::span<const uint8_t> echo, const EchoRequest& request) {
  return std::equal(request.identifier.begin(), request.identifier.end(), echo.begin() + 4) &&
         std::equal(request.sequence.begin(), request.sequence.end(), echo.begin() + 6);
}

bool IsFinalError(uint8_t type) {
  return type == kDestinationUnreachable || type == kTimeExceeded || type == kParameterProblem;
}

uint32_t AddressAt(std::span<const uint8_t> bytes, size_t offset) {
  uint32_t address = 0;
  std::memcpy(&address, bytes.data() + offset, sizeof address);
  return address;
}

}  // namespace

uint16_t InternetChecksum(std::span<const uint8_t> data) {
  uint32_t sum = 0;
  size_t i = 0;
  for (; i + 1 < data.size(); i += 2) {
    sum += static_cast<uint32_t>(data[i]) << 8 | data[i + 1];
    // Folded as it goes, so that no length of data can carry out of 32 bits.
    sum = (sum & 0xffff) + (sum >> 16);
  }
  if (i < data.size()) {
    sum += static_cast<uint32_t>(data[i]) << 8;
  }
  while (sum >> 16 != 0) {
    sum = (sum & 0xffff) + (sum >> 16);
  }
  return static_cast<uint16_t>(~sum);
}

std::array<uint8_t, kIcmpHeaderBytes> EchoRequestBytes(const EchoRequest& request, bool withChecksum) {
  std::array<uint8_t, kIcmpHeaderBytes> echo{kEchoRequest, 0, 0, 0};
  std::copy(request.identifier.begin(), request.identifier.end(), echo.begin() + 4);
  std::copy(request.sequence.begin(), request.sequence.end(), echo.begin() + 6);
  if (withChecksum) {
    const uint16_t checksum = InternetChecksum(echo);
    echo[2] = static_cast<uint8_t>(checksum >> 8);
    echo[3] = static_cast<uint8_t>(checksum);
  }
  return echo;
}

Verdict JudgeIcmp(std::span<const uint8_t> icmp, uint32_t source, const EchoRequest& request) {
  if (icmp.size() < kIcmpHeaderBytes) {
    return Verdict::Foreign;
  }
  if (icmp[0] == kEchoReply) {
    const bool ours = icmp[1] == 0 && source == request.address && IsOurEcho(icmp, request);
    return ours ? Verdict::Answer : Verdict::Foreign;
  }
  if (!IsFinalError(icmp[0])) {
    return Verdict::Foreign;
  }
  // An error quotes the IP header of the packet it answers and the first 8 bytes after it; only an
  // error about this very request ends the wait, whoever sent it (a router on the way may).
  const std::span<const uint8_t> quote = icmp.subspan(kIcmpHeaderBytes);
  if (quote.size() < kMinIpHeaderBytes || quote[0] >> 4 != 4) {
    return Verdict::Foreign;
  }
  const size_t quotedHeader = static_cast<size_t>(quote[0] & 0x0f) * 4;
  if (quotedHeader < kMinIpHeaderBytes || quotedHeader + kIcmpHeaderBytes > quote.size() ||
      quote[9] != IPPROTO_ICMP) {
    return Verdict::Foreign;
  }
  const std::span<const uint8_t> quotedIcmp = quote.subspan(quotedHeader, kIcmpHeaderBytes);
  const bool ours = AddressAt(quote, 16) == request.address && quotedIcmp[0] == kEchoRequest &&
                    IsOurEcho(quotedIcmp, request);
  return ours ? Verdict::Refusal : Verdict::Foreign;
}

Verdict JudgeRawPacket(std::span<const uint8_t> packet, const EchoRequest& request) {
  if (packet.size() < kMinIpHeaderBytes || packet[0] >> 4 != 4) {
    return Verdict::Foreign;
  }
  const size_t header = static_cast<size_t>(packet[0] & 0x0f) * 4;
  const size_t total = static_cast<size_t>(packet[2]) << 8 | packet[3];
  if (header < kMinIpHeaderBytes || total < header + kIcmpHeaderBytes || total > packet.size() ||
      packet[9] != IPPROTO_ICMP) {
    return Verdict::Foreign;
  }
  // Bytes past the total length are padding of the link, not part of the message.
  const std::span<const uint8_t> icmp = packet.subspan(header, total - header);
  if (InternetChecksum(icmp) != 0) {
    return Verdict::Foreign;
  }
  return JudgeIcmp(icmp, AddressAt(packet, 12), request);
}

Verdict JudgeQueuedError(uint8_t origin, uint8_t icmpType, std::span<const uint8_t> quote,
                         uint32_t quotedDestination, const EchoRequest& request) {
  if (quotedDestination != request.address) {
    return Verdict::Foreign;
  }
  if (origin == SO_EE_ORIGIN_LOCAL) {
    return Verdict::Refusal;  // the socket is the call's alone, so the send that failed was ours
  }
  if (origin != SO_EE_ORIGIN_ICMP || !IsFinalError(icmpType)) {
    return Verdict::Foreign;
  }
  const bool ours = quote.size() >= kIcmpHeaderBytes && quote[0] == kEchoRequest && IsOurEcho(quote, request);
  return ours ? Verdict::Refusal : Verdict::Foreign;
}

}  // namespace icmp_packet
